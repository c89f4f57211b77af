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

// The paths of `list`, separated by '|'.
std::vector<std::string> paths(std::string list) {
    std::vector<std::string> out;
    for (std::size_t at; (at = list.find('|')) != std::string::npos; list.erase(0, at + 1))
        out.push_back(list.substr(0, at));
    out.push_back(list);
    return out;
}

TEST(DeltreeRefusal, RootsDotFoldersAndDevicesAsThePlatformResolvesThem) {
    struct Case {
        bool windows;
        bool refused;
        const char* paths;
    } cases[] = {
        {false, true, "/|//|.|..|./|../|d/..|d/.|/..|a/../.."},
        // Ordinary names on Linux.
        {false, false, "|a|/a|a/|...|.a|a..|a/.b|C:\\|. |.. |d/. |C: |foo |NUL|\\\\srv\\share"},
        {true, true,
         "C:\\|c:/|C:|\\|C:.|C:..|d\\..|\\\\srv\\share\\|\\\\srv\\share|\\\\srv|//srv/share/"},
        // Win32 drops trailing dots and spaces from names and reads a ':' as a stream.
        {true, true,
         ". |.. |...|..\\. |d\\.. |d\\ ..|C: |C:. |\\. |d\\. "
         "\\|d\\..::$INDEX_ALLOCATION|d\\::$DATA|"
         "\\\\srv\\share\\. |foo |d\\bar.|a.\\b|...\\x|d\\x. "},
        // Devices, and the device namespace's roots, however spelled.
        {true, true,
         "NUL|con|C:\\dir\\COM1.txt|LPT¹|aux .txt|\\\\.\\C:|\\\\.\\NUL|\\\\.\\COM1|\\??\\C:\\|"
         "//./C:/|\\\\.\\X\\..\\C:\\|\\\\?\\UNC\\srv\\share\\|\\\\?\\Volume{0a1b}\\|\\\\srv\\表示|"
         "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\|\\\\?\\GLOBALROOT\\??\\C:\\|"
         "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1|\\\\?\\GLOBALROOT\\Device\\Mup\\s\\sh|"
         "\\\\?\\GLOBALROOT\\Device\\LanmanRedirector\\;Z:0000\\srv\\share\\|"
         "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x\\y|\\\\?\\Global\\C:\\|\\\\.\\Global\\NUL|"
         "\\\\?\\Global\\UNC\\srv\\share\\|\\\\.\\pipe\\x|//?/C:/x/foo.|\\\\?\\C:\\foo "},
        // A device name means itself only in a plain path.
        {true, false,
         "C:\\x|C:x|\\\\srv\\share\\x|x|C:\\x\\|\\\\?\\C:\\x|...x|d\\.x|a.b\\c|NULL|COM10|console|"
         "\\\\?\\C:\\d\\NUL|\\\\?\\UNC\\srv\\share\\x|\\\\?\\Volume{0a1b}\\x|"
         "\\\\.\\C:\\x|\\\\?\\Global\\C:\\x"},
    };
    for (const Case& c : cases) {
        for (const std::string& path : paths(c.paths))
            EXPECT_EQ(refusal_reason(path.c_str(), c.windows) != nullptr, c.refused)
                << path << (c.windows ? " (Windows)" : " (POSIX)");
    }
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
