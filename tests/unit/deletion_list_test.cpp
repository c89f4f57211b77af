// The deletion list's run codes and messages, over the fake platform.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "capture.h"
#include "driver/deletion_list.h"
#include "fake_platform.h"

namespace {

struct ListRun {
    int run_code = 0;
    std::string out;
};

class DeletionList : public testing::Test {
protected:
    void SetUp() override { reset(); }

    // A fresh platform whose PATH holds the deletion command.
    static void reset() {
        fake::reset();
        fake::state().path_variable = "/bin";
        fake::state().existing = {"/bin", "/bin/deltree"};
    }

    ListRun run(const std::string& list) {
        fake::state().list = list;
        return run_as_is();
    }
    ListRun run_as_is() {
        ListRun r;
        r.out = captured_stdout(
            [&] { r.run_code = exit_of(process_deletion_list("/opt/app/zelk.lst")).run_code; });
        return r;
    }
    void exists(std::initializer_list<const char*> paths) {
        for (const char* p : paths) fake::state().existing.insert(p);
    }
};

TEST_F(DeletionList, EmptyListRunsNothingAndIsRemoved) {
    ListRun r = run("");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fake::state().commands.empty());
    EXPECT_FALSE(fake::state().list);
}

TEST_F(DeletionList, EachEntryIsDeletedAndReportedInOrder) {
    exists({"/d/a", "/d/b c"});
    ListRun r = run("/d/a\n/d/b c\n");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out, "/d/a が削除されました。\n/d/b c が削除されました。\n");
    EXPECT_EQ(fake::state().commands, (std::vector<std::string>{"/d/a", "/d/b c"}));
    // What runs is the file the PATH search finds, never a bare name.
    EXPECT_EQ(fake::state().tools, (std::vector<std::string>{"/bin/deltree", "/bin/deltree"}));
}

// A front end that puts the next job in place while this one runs must not lose it.
TEST_F(DeletionList, NewListWrittenDuringTheRunIsLeftForTheNextRun) {
    exists({"/d/a"});
    fake::state().next_list = "/d/next\n";
    ListRun r = run("/d/a\n");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out, "/d/a が削除されました。\n");
    EXPECT_EQ(fake::state().list, "/d/next\n");
}

TEST_F(DeletionList, MissingEntryStopsTheListAndTheListIsStillRemoved) {
    exists({"/d/a", "/d/c"});
    ListRun r = run("/d/a\n/d/b\n/d/c\n");
    EXPECT_EQ(r.run_code, -8);
    EXPECT_EQ(r.out, "/d/a が削除されました。\n/d/b がみつかりません。\n");
    EXPECT_EQ(fake::state().commands.size(), 1u);
    EXPECT_FALSE(fake::state().list);
}

TEST_F(DeletionList, TrailingBlankLineIsAnEmptyPathThatIsNotFound) {
    exists({"/d/a"});
    ListRun r = run("/d/a\n\n");
    EXPECT_EQ(r.run_code, -8);
    EXPECT_EQ(r.out, "/d/a が削除されました。\n がみつかりません。\n");
}

// A command's status, whatever its sign or size (Windows crash codes are negative), must never
// absorb a failure into a "successful" run or change its documented status.
TEST_F(DeletionList, CommandStatusNeverChangesAFailure) {
    struct Case {
        int status;
        bool removes;
        const char* list;
        bool list_removable;
        int run_code;
    } cases[] = {
        {10, true, "/d/a\n/d/missing\n", true, -8},  // not 10 - 8 = 2
        {5, false, "/d/a\n", true, -32},             // not 5 - 32 = -27
        {70, true, "/d/a\n", false, -64},            // not 70 - 64 = 6
        {-2, true, "/d/a\n/d/missing\n", true, -8},  // not -10
        {static_cast<int>(0xC0000005), false, "/d/a\n", true, -32},
        {static_cast<int>(0x80000003), false, "/d/a\n", true, -32},  // no overflow
        {static_cast<int>(0xFFFFFFE0), false, "/d/a\n", true, -32},  // not 64, "list kept"
        {static_cast<int>(0x80000000), true, "/d/a\n", false, -64},
        // Without a failure the last status stays the run code, whatever its sign.
        {static_cast<int>(0xC0000005), true, "/d/a\n", true, static_cast<int>(0xC0000005)},
    };
    for (const Case& c : cases) {
        reset();
        exists({"/d/a"});
        fake::state().outcomes["/d/a"] = {c.status, 0, c.removes};
        fake::state().list_removable = c.list_removable;
        ListRun r = run(c.list);
        EXPECT_EQ(r.run_code, c.run_code) << c.status;
        if (!c.removes) {
            EXPECT_EQ(r.out,
                      "/d/a を削除できませんでした。他のプログラムから開かれていないか確認して"
                      "下さい。\n")
                << c.status;
        }
    }
}

TEST_F(DeletionList, SuccessfulCommandKeepsItsOwnStatus) {
    exists({"/d/a"});
    fake::state().outcomes["/d/a"] = {3, 0, true};
    EXPECT_EQ(run("/d/a\n").run_code, 3);
}

TEST_F(DeletionList, CommandThatCannotStartEndsTheListWithItsReason) {
    struct Case {
        int error;
        const char* out;
        bool on_path = true;
    } cases[] = {
        {ENOENT, "No such file or directory\n"},   {E2BIG, "/d/a\nArgument list too long\n"},
        {ENOEXEC, "Exec format error\n"},          {ENOMEM, "Not enough memory\n"},
        {EACCES, "Permission denied\n"},            // every start failure says why
        {0, "No such file or directory\n", false},  // nothing on PATH: nothing else is tried
    };
    for (const Case& c : cases) {
        reset();
        if (!c.on_path) fake::state().existing.erase("/bin/deltree");
        exists({"/d/a", "/d/b"});
        fake::state().outcomes["/d/a"] = {0, c.error, false};
        ListRun r = run("/d/a\n/d/b\n");
        EXPECT_EQ(r.run_code, -17) << c.error;
        EXPECT_EQ(r.out, c.out) << c.error;
        EXPECT_EQ(fake::state().commands.size(), c.on_path ? 1u : 0u);
    }
}

// A command that ran and itself ended with -1 is no start failure: its path decides, and a
// negative last status makes the run a failed one.
TEST_F(DeletionList, CommandThatEndsWithMinusOneRan) {
    exists({"/d/a"});
    fake::state().outcomes["/d/a"] = {-1, 0, true};
    ListRun r = run("/d/a\n");
    EXPECT_EQ(r.run_code, -1);
    EXPECT_EQ(r.out, "/d/a が削除されました。\n");
}

// Whether a path is there, before and after its command, as the platform tells it: only "gone"
// lets the run go on, and a check that cannot tell never counts as deleted.
TEST_F(DeletionList, PresenceDecidesTheEntry) {
    using platform::Presence;
    const std::string no_access = "/d/a にアクセスできません。アクセス権があるか確認して下さい。\n";
    const std::string remains =
        "/d/a を削除できませんでした。他のプログラムから開かれていないか確認して下さい。\n";
    struct Case {
        bool before;  // the check before the command, else the one after it
        platform::PresenceCheck check;
        int run_code;
        std::string out;
        std::size_t commands;
    } cases[] = {
        // Windows: delete pending, as good as gone.
        {false, {Presence::kGone, EACCES}, 0, no_access + "/d/b が削除されました。\n", 2},
        // Linux: a folder on the way that may not be searched: the path may well be there.
        {false, {Presence::kCannotTell, EACCES}, -32, no_access, 1},
        {false, {Presence::kCannotTell, ENOTCONN}, -32, remains, 1},
        {false, {Presence::kThere, 0}, -32, remains, 1},
        {true, {Presence::kCannotTell, EACCES}, -32, no_access, 0},
        {true, {Presence::kCannotTell, EIO}, -32, remains, 0},
        {true, {Presence::kGone, EACCES}, -8, "/d/a がみつかりません。\n", 0},
    };
    for (const Case& c : cases) {
        reset();
        exists({"/d/a", "/d/b"});
        (c.before ? fake::state().presence_before : fake::state().presence_after)["/d/a"] = c.check;
        ListRun r = run("/d/a\n/d/b\n");
        EXPECT_EQ(r.run_code, c.run_code) << c.before << c.check.error;
        EXPECT_EQ(r.out, c.out) << c.before << c.check.error;
        EXPECT_EQ(fake::state().commands.size(), c.commands);
    }
}

TEST_F(DeletionList, MissingListTellsWhereItWasLookedFor) {
    ListRun r = run_as_is();
    EXPECT_EQ(r.run_code, -68);
    EXPECT_EQ(r.out,
              "/opt/app/zelk.lst\n"
              "ファイルがみつからない...\n"
              "ファイルを読み出せない...\n"
              "カレントディレクトリは /home/user です\n"
              "Unexpected error\n");
}

TEST_F(DeletionList, CurrentDirectoryThatCannotBeHad) {
    fake::state().cwd = std::nullopt;
    EXPECT_NE(run_as_is().out.find("カレントディレクトリの取得に失敗しました。\n"),
              std::string::npos);
}

// No piece of an over-long line, or of one with a NUL byte, may be taken for a path.
TEST_F(DeletionList, UnusableLineIsOneMissingEntry) {
    std::string prefix = "/d";
    std::string long_line = prefix + std::string(5000, 'x');
    exists({"/d"});
    ListRun r = run(long_line + "\n/d\n");
    EXPECT_EQ(r.run_code, -8);
    EXPECT_TRUE(fake::state().commands.empty());
    EXPECT_EQ(r.out, long_line.substr(0, 4095) + " がみつかりません。\n");

    reset();
    exists({"/d"});
    r = run(std::string("/d\0/etc\n", 8));
    EXPECT_EQ(r.run_code, -8);
    EXPECT_TRUE(fake::state().commands.empty());
    EXPECT_EQ(r.out, "/d がみつかりません。\n");
}

// A front end that writes an empty folder name produces roots and dot folders; none of them may
// reach the deletion command, whichever one is installed. Nor may what the platform judges, by
// identity, to be a root, a device, the current folder or one above it, however it is spelled.
TEST_F(DeletionList, RootsAndDotFoldersAreNeverHandedToTheCommand) {
    for (const char* path :
         {"/", "//", ".", "..", "./", "d/..", "d/.", "/d/../..", "/home", "rootlink/"}) {
        reset();
        exists({path, "/d/after"});
        fake::state().refused = {"/home", "rootlink/"};
        ListRun r = run(std::string(path) + "\n/d/after\n");
        EXPECT_EQ(r.run_code, -32) << path;
        EXPECT_EQ(
            r.out,
            std::string(path) +
                " を削除できませんでした。他のプログラムから開かれていないか確認して下さい。\n")
            << path;
        EXPECT_TRUE(fake::state().commands.empty()) << path;
    }
}

// A list that cannot be read whole runs nothing (a line cut by the error could name its parent)
// and is kept: deleting it would lose its job.
TEST_F(DeletionList, ReadErrorIsAFailureAndKeepsTheList) {
    exists({"/d/a", "/d/bb"});
    fake::state().list = "/d/a\n/d/bb\n";
    fake::state().list_read_error_at = 8;  // inside "/d/bb"
    ListRun r = run_as_is();
    EXPECT_EQ(r.run_code, -68);
    EXPECT_EQ(r.out, "ファイルを読み出せない...\nUnexpected error\n");
    EXPECT_TRUE(fake::state().commands.empty());
    EXPECT_TRUE(fake::state().list);
}

// A list written to in place during the run (a front end rewriting it rather than renaming a
// new one into place): the job is the list as it was read, whole, before anything ran, so no
// line can be spliced from two versions; and the list, which may hold a new job, is kept.
// Also when the write leaves no trace but the bytes themselves, as through a shared mapping.
TEST_F(DeletionList, ListWrittenToDuringTheRunIsKept) {
    for (bool seen : {true, false}) {
        reset();
        exists({"/d/a", "/d/b"});
        fake::state().outcomes["/d/a"] = {0, 0, true, false, seen, !seen};
        ListRun r = run("/d/a\n/d/b\n");
        EXPECT_EQ(r.run_code, -64) << seen;
        EXPECT_EQ(r.out, "/d/a が削除されました。\n/d/b が削除されました。\nUnexpected error\n");
        EXPECT_TRUE(fake::state().list) << seen;
    }
}

// Only the list that was read is deleted: a list missing at the start is never deleted by name
// afterwards (one may have been put in place since), and a list that an entry took with it (an
// uninstall list naming zelk's own folder) is as deleted as can be.
TEST_F(DeletionList, OnlyTheListThatWasReadIsDeleted) {
    fake::state().next_list = "/d/next\n";  // would take the name during a command; none runs
    ListRun r = run_as_is();
    EXPECT_EQ(r.run_code, -68);
    EXPECT_TRUE(fake::state().removed_files.empty());

    reset();
    exists({"/opt/app"});
    fake::state().outcomes["/opt/app"] = {0, 0, true, true};
    r = run("/opt/app\n");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out, "/opt/app が削除されました。\n");
}

}  // namespace
