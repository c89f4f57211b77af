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
        int error;  // 0: the command ran and itself ended with -1
        const char* out;
        bool on_path = true;
    } cases[] = {
        {ENOENT, "No such file or directory\n"},
        {E2BIG, "/d/a\nArgument list too long\n"},
        {ENOEXEC, "Exec format error\n"},
        {ENOMEM, "Not enough memory\n"},
        {EACCES, ""},
        {0, ""},  // no reason from an errno left over by an earlier call
        {0, "No such file or directory\n", false},  // nothing on PATH: nothing else is tried
    };
    for (const Case& c : cases) {
        reset();
        if (!c.on_path) fake::state().existing.erase("/bin/deltree");
        exists({"/d/a", "/d/b"});
        fake::state().outcomes["/d/a"] = {-1, c.error, false};
        errno = ENOENT;
        ListRun r = run("/d/a\n/d/b\n");
        EXPECT_EQ(r.run_code, -17) << c.error;
        EXPECT_EQ(r.out, c.out) << c.error;
        EXPECT_EQ(fake::state().commands.size(), c.on_path ? 1u : 0u);
    }
}

TEST_F(DeletionList, PathThatCannotBeCheckedAfterItsCommandCountsAsDone) {
    exists({"/d/a", "/d/b"});
    fake::state().check_error_after["/d/a"] = EACCES;
    ListRun r = run("/d/a\n/d/b\n");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out,
              "/d/a にアクセスできません。アクセス権があるか確認して下さい。\n"
              "/d/b が削除されました。\n");
    // Any other error leaves it unknown whether the path is gone: never reported as deleted.
    reset();
    exists({"/d/a", "/d/b"});
    fake::state().check_error_after["/d/a"] = ENOTCONN;
    r = run("/d/a\n/d/b\n");
    EXPECT_EQ(r.run_code, -32);
    EXPECT_EQ(r.out,
              "/d/a を削除できませんでした。他のプログラムから開かれていないか確認して下さい。\n");
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

TEST_F(DeletionList, CurrentDirectoryTooLongToShow) {
    fake::state().cwd = std::string(300, 'x');
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
// reach the deletion command, whichever one is installed.
TEST_F(DeletionList, RootsAndDotFoldersAreNeverHandedToTheCommand) {
    for (const char* path : {"/", "//", ".", "..", "./", "d/..", "d/.", "/d/../.."}) {
        reset();
        exists({path, "/d/after"});
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

// Stopping quietly at a read error would leave the unread entries and report success.
TEST_F(DeletionList, ReadErrorIsAFailureAndDropsThePartLine) {
    exists({"/d/a", "/d/bb"});
    fake::state().list = "/d/a\n/d/bb\n";
    fake::state().list_read_error_at = 8;  // inside "/d/bb"
    ListRun r = run_as_is();
    EXPECT_EQ(r.run_code, -4);
    EXPECT_EQ(r.out, "/d/a が削除されました。\nファイルを読み出せない...\n");
    EXPECT_EQ(fake::state().commands, std::vector<std::string>{"/d/a"});
}

}  // namespace
