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
    void SetUp() override { fake::reset(); }

    ListRun run(const std::string& list) {
        fake::state().list = list;
        return run_as_is();
    }
    ListRun run_as_is() {
        ListRun r;
        r.out = captured_stdout([&] { process_deletion_list("/opt/app/zelk.lst", r.run_code); });
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

// A command's positive status must never absorb a later failure into a "successful" run.
TEST_F(DeletionList, PositiveCommandStatusNeverHidesAFailure) {
    exists({"/d/a", "/d/b"});
    fake::state().outcomes["/d/a"] = {10, 0, true};
    EXPECT_EQ(run("/d/a\n/d/missing\n").run_code, -8);  // not 10 - 8 = 2

    fake::reset();
    exists({"/d/b"});
    fake::state().outcomes["/d/b"] = {5, 0, false};
    ListRun r = run("/d/b\n");
    EXPECT_EQ(r.run_code, -32);  // not 5 - 32 = -27
    EXPECT_EQ(r.out,
              "/d/b を削除できませんでした。他のプログラムから開かれていないか確認して下さい。\n");

    fake::reset();
    exists({"/d/a"});
    fake::state().outcomes["/d/a"] = {70, 0, true};
    fake::state().list_removable = false;
    EXPECT_EQ(run("/d/a\n").run_code, -64);  // not 70 - 64 = 6
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
    } cases[] = {
        {ENOENT, "No such file or directory\n"},
        {E2BIG, "/d/a\nArgument list too long\n"},
        {ENOEXEC, "Exec format error\n"},
        {ENOMEM, "Not enough memory\n"},
        {EACCES, ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        exists({"/d/a", "/d/b"});
        fake::state().outcomes["/d/a"] = {-1, c.error, false};
        ListRun r = run("/d/a\n/d/b\n");
        EXPECT_EQ(r.run_code, -17) << c.error;
        EXPECT_EQ(r.out, c.out) << c.error;
        EXPECT_EQ(fake::state().commands.size(), 1u);
    }
}

TEST_F(DeletionList, PathThatCannotBeCheckedAfterItsCommandCountsAsDone) {
    exists({"/d/a", "/d/b"});
    fake::state().inaccessible_after.insert("/d/a");
    ListRun r = run("/d/a\n/d/b\n");
    EXPECT_EQ(r.run_code, 0);
    EXPECT_EQ(r.out,
              "/d/a にアクセスできません。アクセス権があるか確認して下さい。\n"
              "/d/b が削除されました。\n");
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

    fake::reset();
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
        fake::reset();
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
