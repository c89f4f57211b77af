// deltree's command line and the paths it refuses, for both platforms' rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <optional>

#include "arguments.h"
#include "paths/path_refusal.h"

namespace {

TEST(DeltreeArguments, OneLeadingSwitchThenOnlyPaths) {
    using V = std::vector<std::string>;
#ifdef _WIN32
    constexpr bool kLinux = false;
#else
    constexpr bool kLinux = true;
#endif
    struct Case {
        V args;
        bool parsed;
        bool quiet;
        V paths;
    } cases[] = {
        {{"/Y", "a"}, true, true, {"a"}},
        {{"/y", "a"}, true, true, {"a"}},
        {{"a"}, true, false, {"a"}},
        {{"/Y", "/Y"}, true, true, {"/Y"}},
        {{"/Y"}, false, false, {}},
        {{}, false, false, {}},
        {{"-rf", "/Y"}, true, false, {"-rf", "/Y"}},
        {{"/tmp/x"}, true, false, {"/tmp/x"}},
        // "--" ends the switches on Linux, and only there; it takes nothing after the first path.
        {{"/Y", "--", "d"}, true, true, kLinux ? V{"d"} : V{"--", "d"}},
        {{"--", "/Y", "--"}, true, false, kLinux ? V{"/Y", "--"} : V{"--", "/Y", "--"}},
        {{"/Y", "--"}, !kLinux, true, {"--"}},
        {{"d", "--", "e"}, true, false, {"d", "--", "e"}},
    };
    for (const Case& c : cases) {
        std::optional<deltree::Options> options = deltree::parse_arguments(c.args);
        ASSERT_EQ(options.has_value(), c.parsed);
        if (!options) continue;
        EXPECT_EQ(options->quiet, c.quiet);
        EXPECT_EQ(options->paths, c.paths);
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
    return deltree::split_windows_command_line(line);
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
