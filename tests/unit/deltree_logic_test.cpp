// deltree's command line and the paths it refuses, for both platforms' rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/path_refusal.h"
#include "command_line.h"
#include "deltree.h"

namespace {

TEST(DeltreeArguments, OneLeadingSwitchThenOnlyPaths) {
    struct Case {
        std::vector<const char*> args;
        int result;
        bool quiet;
        int first_path;
    } cases[] = {
        {{"/Y", "a"}, 0, true, 1},    {{"/y", "a"}, 0, true, 1}, {{"a"}, 0, false, 0},
        {{"/Y", "/Y"}, 0, true, 1},   {{"/Y"}, -1, true, 1},     {{}, -1, false, 0},
        {{"-rf", "/Y"}, 0, false, 0}, {{"/tmp/x"}, 0, false, 0},
    };
    for (const Case& c : cases) {
        deltree::Arguments a;
        EXPECT_EQ(deltree::parse_arguments(static_cast<int>(c.args.size()), c.args.data(), a),
                  c.result);
        EXPECT_EQ(a.quiet, c.quiet);
        EXPECT_EQ(a.first_path, c.first_path);
    }
}

TEST(DeltreeRefusal, RootsDotFoldersAndDevicesAsThePlatformResolvesThem) {
    for (const char* path : {"/", "//", ".", "..", "./", "../", "d/..", "d/.", "/..", "a/../.."})
        EXPECT_NE(refusal_reason(path, false), nullptr) << path;
    for (const char* path : {"", "a", "/a", "a/", "...", ".a", "a..", "a/.b", "C:\\", ". ", ".. ",
                             "d/. ", "C: ", "\\\\srv\\share", "\\\\?\\C:\\"})
        EXPECT_EQ(refusal_reason(path, false), nullptr) << path;
    // Win32 trims trailing dots and spaces from a last name and reads a ':' as a stream.
    for (const char* path : {"C:\\",
                             "c:/",
                             "C:",
                             "\\",
                             "C:.",
                             "C:..",
                             "d\\..",
                             "\\\\srv\\share\\",
                             "\\\\srv\\share",
                             "\\\\srv",
                             "//srv/share/",
                             "\\\\?\\C:\\",
                             ". ",
                             ".. ",
                             "...",
                             "..\\. ",
                             "d\\.. ",
                             "d\\ ..",
                             "C: ",
                             "C:. ",
                             "\\. ",
                             "d\\. \\",
                             "d\\..::$INDEX_ALLOCATION",
                             "d\\::$DATA",
                             "\\\\srv\\share\\. ",
                             "\\\\srv\\表示",
                             "\\\\.\\C:",
                             "\\\\.\\NUL",
                             "\\\\.\\COM1",
                             "\\??\\C:\\",
                             "//./C:/",
                             "\\\\?\\UNC\\srv\\share\\",
                             "\\\\?\\Volume{0a1b}\\",
                             "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\",
                             "\\\\?\\GLOBALROOT\\??\\C:\\",
                             "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1",
                             "\\\\?\\GLOBALROOT\\Device\\Mup\\s\\sh"})
        EXPECT_NE(refusal_reason(path, true), nullptr) << path;
    for (const char* path :
         {"C:\\x", "C:x", "\\\\srv\\share\\x", "x", "C:\\x\\", "\\\\?\\C:\\x", "d\\x. ", "...x",
          "d\\.x", "\\\\?\\UNC\\srv\\share\\x", "\\\\?\\Volume{0a1b}\\x", "\\\\.\\pipe\\x",
          "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x\\y"})
        EXPECT_EQ(refusal_reason(path, true), nullptr) << path;
}

std::vector<std::string> split(const char* line) {
    deltree::ArgumentList list;
    deltree::split_raw_command_line(line, list);
    const char* const* data = list.data();
    return std::vector<std::string>(data, data + list.count());
}

TEST(DeltreeCommandLine, RawWindowsLineKeepsBackslashesAndQuotedBlanks) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split("deltree /Y \"C:\\DIR\\\""), (V{"/Y", "C:\\DIR\\"}));
    EXPECT_EQ(split("\"C:\\Program Files\\deltree.exe\" /Y \"C:\\OLD DATA\""),
              (V{"/Y", "C:\\OLD DATA"}));
    EXPECT_EQ(split("deltree  /Y\ta"), (V{"/Y", "a"}));
    EXPECT_EQ(split("deltree /Y \"a\\\\\" b"), (V{"/Y", "a\\\\", "b"}));
    EXPECT_EQ(split("deltree /Y \"unclosed path"), (V{"/Y", "unclosed path"}));
    EXPECT_EQ(split("deltree /Y \"\""), (V{"/Y", ""}));
    EXPECT_EQ(split("deltree"), V{});
}

}  // namespace
