// The POSIX platform layer against the real system, in a scratch folder.
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

TEST_F(PosixPlatform, OwnPathIsTheRealFileAndACutOffPathIsNone) {
    char buf[4096];
    ASSERT_EQ(platform::own_executable_path(buf, sizeof buf), 0);
    EXPECT_EQ(fs::path(buf), fs::read_symlink("/proc/self/exe"));
    std::size_t len = std::strlen(buf);
    EXPECT_EQ(platform::own_executable_path(buf, len + 1), 0);
    EXPECT_EQ(platform::own_executable_path(buf, len), -1);
}

TEST_F(PosixPlatform, ExistenceJudgesLinksThemselvesAndMapsNotFound) {
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
    std::ofstream(dir_ / "file") << "x";
    EXPECT_EQ(platform::path_access((dir_ / "dangling").c_str(), platform::kAccessExists), 0);
    for (std::string missing : {(dir_ / "none").string(), (dir_ / "file" / "below").string(),
                                std::string(), dir_.string() + "/" + std::string(300, 'n')}) {
        errno = 0;
        EXPECT_EQ(platform::path_access(missing.c_str(), platform::kAccessExists), -1);
        EXPECT_EQ(errno, ENOENT) << missing;
    }
}

TEST_F(PosixPlatform, DeletionCommandStatusSignalAndStartFailure) {
    std::string deltree = tool("printf '%s|%s' \"$1\" \"$2\" > \"${0%/*}/args\"; exit 7");
    const char* path = "-a b'\"$HOME;`x`\\";
    EXPECT_EQ(platform::run_deletion_command(deltree.c_str(), path), 7);
    std::ifstream args(dir_ / "args");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}), std::string("/Y|") + path);
    tool("kill -TERM $$");
    EXPECT_EQ(platform::run_deletion_command(deltree.c_str(), "x"), 128 + SIGTERM);
    errno = 0;
    EXPECT_EQ(platform::run_deletion_command((dir_ / "none").c_str(), "x"), -1);
    EXPECT_EQ(errno, ENOENT);
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

TEST_F(PosixPlatform, ShortFormIsTheEntryItselfWhenItExists) {
    char buf[64];
    ASSERT_EQ(platform::short_path(dir_.c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(dir_, buf);
    EXPECT_EQ(platform::short_path((dir_ / "none").c_str(), buf, sizeof buf), -1);
    EXPECT_EQ(platform::short_path(dir_.c_str(), buf, dir_.string().size()), -1);
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

}  // namespace
