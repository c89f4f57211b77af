// The PATH walk, its debug traces, and the diagnosis and report built on it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "messages/trace.h"
#include "search/tool_search.h"

namespace {

struct Search {
    ToolSearchResult result;
    std::string out;
};

class ToolSearch : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        g_debug_mode = 1;
    }
    void TearDown() override { g_debug_mode = 0; }

    Search search(const char* path_variable) {
        if (path_variable) fake::state().path_variable = path_variable;
        Search s{};
        s.out = captured_stdout([&] { s.result = search_tool_on_path(); });
        return s;
    }
    void folder(const std::string& dir, bool with_tool) {
        fake::state().existing.insert(dir);
        if (with_tool) fake::state().existing.insert(dir + "/deltree");
    }
};

const char kMissing[] = "  Path is Not Found.\n";

TEST_F(ToolSearch, UnsetPathIsOneEmptyEntry) {
    Search s = search(nullptr);
    EXPECT_EQ(s.result, kToolNotFound);
    EXPECT_EQ(s.out, std::string("Search Error:\n  \n") + kMissing);
}

TEST_F(ToolSearch, StopsAtTheFirstEntryThatHoldsTheTool) {
    folder("/a", true);
    folder("/b", true);
    Search s = search("/a:/b");
    EXPECT_EQ(s.result, kToolFound);
    EXPECT_EQ(s.out, "Searching-> /a/deltree\ndeltree is found.\n");
}

TEST_F(ToolSearch, TracesEveryEntryBeforeALaterHit) {
    folder("/empty", false);
    folder("/tools/", true);
    Search s = search("/gone::/empty:/tools/:/never");
    EXPECT_EQ(s.result, kToolFound);
    EXPECT_EQ(s.out, std::string("Search Error:\n  /gone\n") + kMissing + "Search Error:\n  \n" +
                         kMissing +
                         "Searching-> /empty/deltree\n"
                         "Searching-> /tools//deltree\ndeltree is found.\n");
}

TEST_F(ToolSearch, TrailingSeparatorAddsAnEmptyEntry) {
    folder("/empty", false);
    Search s = search("/empty:");
    EXPECT_EQ(s.result, kToolNotFound);
    EXPECT_EQ(s.out, std::string("Searching-> /empty/deltree\nSearch Error:\n  \n") + kMissing);
}

TEST_F(ToolSearch, ExistingEntryWithoutShortForm) {
    folder("/long", true);
    fake::state().no_short_form.insert("/long");
    Search s = search("/long");
    EXPECT_EQ(s.result, kToolNotFound);
    EXPECT_EQ(s.out, "Search Error:\n  /long\n  Can't Get path.\n");
}

TEST_F(ToolSearch, TracesOnlyInDebugMode) {
    g_debug_mode = 0;
    folder("/a", true);
    Search s = search("/gone:/a");
    EXPECT_EQ(s.result, kToolFound);
    EXPECT_EQ(s.out, "");
}

// The file that runs is the one the diagnosis finds; a relative entry (empty or ".", the
// current folder to execvp) is passed over like any entry without a short form, and so is a
// deltree that cannot run (a folder, a file without execute permission, a broken link).
TEST_F(ToolSearch, LocatesTheFileItFindsWithoutTraces) {
    folder("/a", true);
    folder("/b", true);
    folder(".", true);
    folder("/c", true);
    fake::state().not_runnable.insert("/c/deltree");
    fake::state().path_variable = ":.:/gone:/c:/b:/a";
    std::string tool;
    EXPECT_EQ(captured_stdout([&] { tool = locate_tool_on_path(); }), "");
    EXPECT_EQ(tool, "/b/deltree");
    fake::state().path_variable = "/gone";
    EXPECT_EQ(locate_tool_on_path(), "");
}

TEST_F(ToolSearch, NoMemoryForTheWorkingCopy) {
    fake::state().path_variable = "/a";
    fake::state().path_copy_fails = true;
    Search s = search(nullptr);
    EXPECT_EQ(s.result, kToolSearchNoMemory);
    EXPECT_EQ(s.out, "");
}

TEST_F(ToolSearch, DiagnosisAndReportSayWhatTheSearchFound) {
    g_debug_mode = 0;
    EXPECT_EQ(captured_stdout(print_failure_diagnosis),
              "環境変数でセットされたパスから deltree がみつかりません。\n");
    EXPECT_EQ(captured_stdout(print_search_report), "Command Search: 0\n");
    folder("/a", true);
    fake::state().path_variable = "/a";
    EXPECT_EQ(captured_stdout(print_failure_diagnosis), "例外\n");
    EXPECT_EQ(captured_stdout(print_search_report), "Command Search: 1\n");
    fake::state().path_copy_fails = true;
    EXPECT_EQ(captured_stdout(print_failure_diagnosis), "検索時にメモリが確保できませんでした。\n");
    EXPECT_EQ(captured_stdout(print_search_report), "Command Search: -1\n");
}

TEST(PathEntries, CountAndSplit) {
    EXPECT_EQ(count_separators(""), 0);
    EXPECT_EQ(count_separators("a::b:"), 3);
    char text[] = "a::b";
    char* rest = split_at_separator(text);
    EXPECT_STREQ(text, "a");
    EXPECT_STREQ(rest, ":b");
    char* next = split_at_separator(rest);
    EXPECT_STREQ(rest, "");
    EXPECT_STREQ(next, "b");
    char* end = split_at_separator(next);
    EXPECT_STREQ(next, "b");
    EXPECT_EQ(end, next + 1);
    EXPECT_STREQ(end, "");
}

}  // namespace
