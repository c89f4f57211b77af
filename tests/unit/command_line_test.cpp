// The interpreter's command line: the path must come out of cmd.exe exactly as it went in.
#include <gtest/gtest.h>

#include <string>

#include "command/command_line.h"

namespace {

std::string compose(const char* path, std::size_t size = kCommandLineLimit) {
    char buf[kCommandLineLimit];
    return compose_delete_command(path, buf, size) == 0 ? buf : "(does not fit)";
}

TEST(CommandLine, PathIsQuotedAsItIs) {
    EXPECT_EQ(compose("C:\\TEMP\\OLD DATA"), "deltree /Y \"C:\\TEMP\\OLD DATA\"");
    EXPECT_EQ(compose("C:\\DIR\\"), "deltree /Y \"C:\\DIR\\\"");
    EXPECT_EQ(compose("a&b|c^d!e"), "deltree /Y \"a&b|c^d!e\"");
}

TEST(CommandLine, EveryPercentIsKeptFromExpansion) {
    EXPECT_EQ(compose("%PATH%"), "deltree /Y \"%%cd:~,%PATH%%cd:~,%\"");
    EXPECT_EQ(compose("100%"), "deltree /Y \"100%%cd:~,%\"");
    EXPECT_EQ(compose("%%"), "deltree /Y \"%%cd:~,%%%cd:~,%\"");
}

TEST(CommandLine, LongestPathsFitAndOverflowIsRefused) {
    std::string all_percent(4095, '%');
    EXPECT_NE(compose(all_percent.c_str()), "(does not fit)");
    EXPECT_EQ(compose("abc", 15), "(does not fit)");  // needs 16 bytes with the terminator
    EXPECT_EQ(compose("abc", 17), "deltree /Y \"abc\"");
}

}  // namespace
