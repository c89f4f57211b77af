// The interpreter's command line: the tool and the path must come out of cmd.exe exactly as they
// went in.
#include <gtest/gtest.h>

#include <string>

#include "platform/interpreter_line.h"

namespace {

std::string compose(const char* path) { return compose_delete_command("C:\\Z\\deltree.exe", path); }

TEST(CommandLine, PathIsQuotedAsItIs) {
    EXPECT_EQ(compose("C:\\TEMP\\OLD DATA"),
              "\"\"C:\\Z\\deltree.exe\" /Y \"C:\\TEMP\\OLD DATA\"\"");
    EXPECT_EQ(compose("C:\\DIR\\"), "\"\"C:\\Z\\deltree.exe\" /Y \"C:\\DIR\\\"\"");
    EXPECT_EQ(compose("a&b|c^d!e"), "\"\"C:\\Z\\deltree.exe\" /Y \"a&b|c^d!e\"\"");
}

TEST(CommandLine, EveryPercentIsKeptFromExpansion) {
    EXPECT_EQ(compose("%PATH%"), "\"\"C:\\Z\\deltree.exe\" /Y \"%%cd:~,%PATH%%cd:~,%\"\"");
    EXPECT_EQ(compose("100%"), "\"\"C:\\Z\\deltree.exe\" /Y \"100%%cd:~,%\"\"");
    EXPECT_EQ(compose("%%"), "\"\"C:\\Z\\deltree.exe\" /Y \"%%cd:~,%%%cd:~,%\"\"");
    EXPECT_EQ(compose_delete_command("C:\\100%\\deltree.exe", "x"),
              "\"\"C:\\100%%cd:~,%\\deltree.exe\" /Y \"x\"\"");
}

TEST(CommandLine, LongestPathsAreComposedWhole) {
    std::string all_percent(259, '%');
    EXPECT_EQ(compose(all_percent.c_str()).size(), 26 + 259 * 8);
}

}  // namespace
