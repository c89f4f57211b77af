// The run as a whole over the fake platform: switches, outcome paths and exit statuses.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "capture.h"
#include "driver/run_driver.h"
#include "driver/run_outcome.h"
#include "fake_platform.h"
#include "messages/trace.h"

namespace {

struct DriverRun {
    int status;
    std::string out;
    std::string err;
};

DriverRun run(std::vector<const char*> args) {
    args.insert(args.begin(), "zelk");
    DriverRun r{};
    testing::internal::CaptureStderr();
    r.out = captured_stdout([&] {
        r.status = run_driver(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    });
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

class RunDriver : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        g_debug_mode = 0;
    }
};

TEST_F(RunDriver, DebugSwitchIsSlashDInEitherCaseAnywhere) {
    struct Case {
        std::vector<const char*> args;
        int debug;
    } cases[] = {
        {{}, 0},      {{"/d"}, 1}, {{"/D"}, 1}, {{"x", "/D", "y"}, 1},
        {{"/Dx"}, 0}, {{"-D"}, 0}, {{"D"}, 0},  {{"//"}, 0},
        {{"/1"}, 0},  {{"/"}, 0},  {{""}, 0},
    };
    for (const Case& c : cases) {
        g_debug_mode = 0;
        std::vector<const char*> argv{"zelk"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        scan_switches(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
        EXPECT_EQ(g_debug_mode, c.debug) << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST_F(RunDriver, SuccessReturnsTheRunCodeWithoutPause) {
    fake::state().list = "";
    DriverRun r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fake::state().slept_ms, 0u);
}

TEST_F(RunDriver, FailurePausesAndReturnsTheCodeNegated) {
    DriverRun r = run({"/D"});
    EXPECT_EQ(r.status, 68);
    EXPECT_EQ(fake::state().slept_ms, 5000u);
    EXPECT_EQ(r.err, "只今、デバッグモードで実行中...\n");
    // The search traces its one (empty) PATH entry before the diagnosis, then the run code.
    EXPECT_EQ(r.out,
              "/opt/app/zelk.lst\n"
              "ファイルがみつからない...\n"
              "ファイルを読み出せない...\n"
              "カレントディレクトリは /home/user です\n"
              "Unexpected error\n"
              "Search Error:\n  \n  Path is Not Found.\n"
              "環境変数でセットされたパスから deltree がみつかりません。\n"
              "Return Code: -68\n");
}

// Close must be greyed before anything else happens and enabled as the very last act, after the
// pause of a failed run, with the window taken at the start.
TEST_F(RunDriver, CloseGuardGreysFirstAndEnablesLast) {
    fake::state().path_variable = "/bin";
    fake::state().existing = {"/bin", "/bin/deltree", "/d/a"};
    fake::state().list = "/d/a\n";
    EXPECT_EQ(run({}).status, 0);
    EXPECT_EQ(fake::state().calls, (std::vector<std::string>{"foreground", "close grey",
                                                             "command /d/a", "close enable"}));

    fake::reset();
    EXPECT_EQ(run({}).status, 68);
    EXPECT_EQ(fake::state().calls,
              (std::vector<std::string>{"foreground", "close grey", "sleep 5000", "close enable"}));
}

// The README's exit-status table, row for row.
TEST(RunOutcome, ExitStatusTable) {
    constexpr bool kKept = false, kUnremoved = true;
    struct Case {
        Failure failure;
        int last_status;
        bool list_unremoved;
        Exit exit;
    } cases[] = {
        {Failure::kNone, 0, kKept, {false, 0, 0}},
        {Failure::kNone, 3, kKept, {false, 3, 3}},  // the last deltree's own status
        {Failure::kNone, -3, kKept, {true, -3, 3}},
        {Failure::kNone, INT_MIN, kKept, {true, INT_MIN, INT_MIN}},  // negated without overflow
        {Failure::kNoModulePath, 0, kKept, {true, -2, 2}},
        {Failure::kListUnopened, 0, kKept, {true, -4, 4}},
        {Failure::kEntryMissing, 10, kKept, {true, -8, 8}},  // no status changes a failure
        {Failure::kCommandFailed, 0, kKept, {true, -17, 17}},
        {Failure::kEntryRemains, static_cast<int>(0xC0000005), kKept, {true, -32, 32}},
        {Failure::kNone, 70, kUnremoved, {true, -64, 64}},
        {Failure::kListUnopened, 0, kUnremoved, {true, -68, 68}},
        {Failure::kEntryMissing, -2, kUnremoved, {true, -72, 72}},
        {Failure::kCommandFailed, 0, kUnremoved, {true, -81, 81}},
        {Failure::kEntryRemains, static_cast<int>(0x80000003), kUnremoved, {true, -96, 96}},
    };
    for (const Case& c : cases) {
        Exit exit = exit_of({c.failure, c.last_status, c.list_unremoved});
        EXPECT_EQ(exit.failed, c.exit.failed) << c.exit.status;
        EXPECT_EQ(exit.run_code, c.exit.run_code) << c.exit.status;
        EXPECT_EQ(exit.status, c.exit.status);
    }
}

// A negative status of the last command (a Windows crash code), with its path gone, takes the
// failure path; negating it must not overflow.
TEST_F(RunDriver, NegativeLastStatusFailsAndIsNegatedWithoutOverflow) {
    for (int status : {-3, INT_MIN}) {
        fake::reset();
        fake::state().path_variable = "/bin";
        fake::state().existing = {"/bin", "/bin/deltree", "/d/a"};
        fake::state().outcomes["/d/a"] = {status, 0, true};
        fake::state().list = "/d/a\n";
        EXPECT_EQ(run({}).status, status == INT_MIN ? INT_MIN : 3);
        EXPECT_EQ(fake::state().slept_ms, 5000u);
    }
}

TEST_F(RunDriver, ListIsReadBesideTheExecutable) {
    fake::state().exe_path = "C:\\APPS\\TOOL\\CLEAN.EXE";
    fake::state().list_path = "C:\\APPS\\TOOL\\zelk.lst";
    fake::state().list = "";
    EXPECT_EQ(run({}).status, 0);
    EXPECT_EQ(fake::state().removed_files, std::vector<std::string>{"C:\\APPS\\TOOL\\zelk.lst"});
}

TEST_F(RunDriver, UnavailableExecutablePathLeavesTheListAlone) {
    fake::state().exe_path.reset();
    fake::state().list = "/x\n";
    DriverRun r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
              "パスが取得できません\n環境変数でセットされたパスから deltree がみつかりません。\n");
    EXPECT_TRUE(fake::state().list);
    EXPECT_EQ(fake::state().slept_ms, 5000u);
}

}  // namespace
