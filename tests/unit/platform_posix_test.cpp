// The POSIX platform layer against the real system, in a scratch folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "paths/identity.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class PosixPlatform : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelk-platform-XXXXXX";
        dir_ = mkdtemp(tmpl);
        old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    }
    void TearDown() override {
        setenv("PATH", old_path_.c_str(), 1);
        fs::remove_all(dir_);
    }
    // A deltree made of a shell script with this body; its path.
    std::string tool(const std::string& body) {
        std::ofstream(dir_ / "deltree") << "#!/bin/sh\n" << body << "\n";
        fs::permissions(dir_ / "deltree", fs::perms::owner_all);
        return (dir_ / "deltree").string();
    }
    fs::path dir_;
    std::string old_path_;
};

TEST_F(PosixPlatform, ListIsBesideTheRealExecutable) {
    fs::path real = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(platform::path_beside_executable("zelk.lst"),
              (real.parent_path() / "zelk.lst").string());
}

TEST_F(PosixPlatform, PresenceJudgesLinksThemselvesAndMapsNotFound) {
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
    std::ofstream(dir_ / "file") << "x";
    EXPECT_EQ(platform::presence_of((dir_ / "dangling").c_str()).presence,
              platform::Presence::kThere);
    for (std::string missing : {(dir_ / "none").string(), (dir_ / "file" / "below").string(),
                                std::string(), dir_.string() + "/" + std::string(300, 'n')}) {
        platform::PresenceCheck check = platform::presence_of(missing.c_str());
        EXPECT_EQ(check.presence, platform::Presence::kGone) << missing;
        EXPECT_EQ(check.error, ENOENT) << missing;
    }
}

// What a path is, as the system resolves it: the root, the current folder and the folders above
// it in any spelling, and devices, are refused; a link without a trailing slash is only a link.
TEST_F(PosixPlatform, JudgementByIdentity) {
    using paths::Verdict;
    fs::create_directories(dir_ / "a" / "here");
    fs::create_symlink("/", dir_ / "rootlink");
    fs::create_symlink(dir_ / "a", dir_ / "alink");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    std::ofstream(dir_ / "file") << "x";
    fs::path old_cwd = fs::current_path();
    fs::current_path(dir_ / "a" / "here");
    paths::ProtectedFolders protect = paths::ProtectedFolders::record();
    std::string d = dir_.string();
    struct Case {
        std::string path;
        Verdict verdict;
    } cases[] = {
        {d + "/rootlink/", Verdict::kRefused},
        {d + "/rootlink", Verdict::kMayGo},
        {"/proc/self/root/", Verdict::kRefused},
        {"/proc/self/cwd/", Verdict::kRefused},
        {d + "/alink/", Verdict::kRefused},
        {d + "/alink", Verdict::kMayGo},
        {"..", Verdict::kRefused},
        {d + "/a/here/../..", Verdict::kRefused},
        {"/", Verdict::kRefused},
        {"/dev/null", Verdict::kRefused},
        {d + "/fifo", Verdict::kMayGo},
        {d + "/file", Verdict::kMayGo},
        {d + "/none", Verdict::kMissing},
        {d + "/file/", Verdict::kMissing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(paths::judge(c.path.c_str(), protect).verdict, c.verdict) << c.path;
    // A record that could not be finished protects every folder, and only folders.
    paths::ProtectedFolders unfinished = paths::ProtectedFolders::of({}, {}, EMFILE);
    EXPECT_EQ(paths::judge(d.c_str(), unfinished).verdict, Verdict::kCannotJudge);
    EXPECT_EQ(paths::judge((d + "/file").c_str(), unfinished).verdict, Verdict::kMayGo);
    fs::current_path(old_cwd);
}

TEST_F(PosixPlatform, DeletionCommandStatusSignalAndStartFailure) {
    std::string deltree =
        tool("printf '%s|%s|%s|%s' \"$#\" \"$1\" \"$2\" \"$3\" > \"${0%/*}/args\"; exit 7");
    const char* path = "-a b'\"$HOME;`x`\\";
    EXPECT_EQ(platform::run_deletion_command(deltree.c_str(), path).status, 7);
    std::ifstream args(dir_ / "args");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}), std::string("3|/Y|--|") + path);
    tool("kill -TERM $$");
    EXPECT_EQ(platform::run_deletion_command(deltree.c_str(), "x").status, 128 + SIGTERM);
    platform::CommandRun none = platform::run_deletion_command((dir_ / "none").c_str(), "x");
    EXPECT_FALSE(none.started);
    EXPECT_EQ(none.error, ENOENT);
}

void on_hangup(int) {}

TEST_F(PosixPlatform, CloseGuardIgnoresHangupAndRestoresWhatWasThere) {
    struct sigaction mine {
    }, now{};
    mine.sa_handler = on_hangup;
    sigaction(SIGHUP, &mine, nullptr);
    platform::set_close_command(platform::foreground_window(), false);
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    platform::set_close_command(platform::foreground_window(), true);
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &on_hangup);
    signal(SIGHUP, SIG_DFL);
}

// Only an absolute entry that exists is searched, and only a file that can run is taken.
TEST_F(PosixPlatform, SearchTakesAbsoluteFoldersAndFilesThatRun) {
    EXPECT_EQ(platform::search_folder(dir_.c_str()), dir_.string());
    EXPECT_EQ(platform::search_folder((dir_ / "none").c_str()), std::nullopt);
    EXPECT_EQ(platform::search_folder("."), std::nullopt);
    EXPECT_EQ(platform::search_folder(""), std::nullopt);
    std::string runs = tool("exit 0");
    fs::create_directory(dir_ / "folder");
    std::ofstream(dir_ / "plain") << "x";
    fs::create_symlink(dir_ / "nowhere", dir_ / "broken");
    fs::create_symlink(runs, dir_ / "link");
    EXPECT_TRUE(platform::is_runnable_file(runs.c_str()));
    EXPECT_TRUE(platform::is_runnable_file((dir_ / "link").c_str()));
    for (const char* name : {"folder", "plain", "broken", "none"})
        EXPECT_FALSE(platform::is_runnable_file((dir_ / name).c_str())) << name;
}

TEST_F(PosixPlatform, ListMustBeAPlainFile) {
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    std::ofstream(dir_ / "list") << "a\n";
    platform::ListFile list;
    EXPECT_EQ(list.open((dir_ / "folder").c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(list.open((dir_ / "fifo").c_str()), -1);  // and it does not hang
    ASSERT_EQ(list.open((dir_ / "list").c_str()), 0);
    char buf[8];
    EXPECT_EQ(list.read(buf, sizeof buf), 2);
    EXPECT_EQ(list.read(buf, sizeof buf), 0);
    // Removed only while it is still the file that was read: a new list renamed into its place
    // meanwhile stays for the next run.
    std::ofstream(dir_ / "next") << "b\n";
    fs::rename(dir_ / "next", dir_ / "list");
    EXPECT_EQ(platform::remove_file_if_same((dir_ / "list").c_str(), list.id()),
              platform::Removal::kReplaced);
    ASSERT_EQ(list.open((dir_ / "list").c_str()), 0);
    EXPECT_EQ(platform::remove_file_if_same((dir_ / "list").c_str(), list.id()),
              platform::Removal::kRemoved);
    EXPECT_FALSE(fs::exists(dir_ / "list"));
}

// A write of the same size within one tick of the change-time clock leaves size and stamp as
// they were: the list must still count as changed, every time, and an untouched one unchanged.
TEST_F(PosixPlatform, ListRewrittenInPlaceIsChangedWhateverTheClock) {
    std::string list = (dir_ / "list").string();
    for (int round = 0; round < 200; ++round) {
        std::ofstream(list) << "/data/keep\n";
        platform::ListFile file;
        ASSERT_EQ(file.open(list.c_str()), 0);
        EXPECT_EQ(file.state_since_open(), platform::ListFile::State::kUnchanged);
        int fd = open(list.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, "/data/zzep\n", 11, 0), 11);
        close(fd);
        ASSERT_EQ(file.state_since_open(), platform::ListFile::State::kChanged) << round;
    }
}

}  // namespace
