// deltree's command line, as data: an optional /Y, on Linux an optional "--", then the paths.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace deltree {

struct Options {
    bool quiet = false;  // /Y: no question before each path
    std::vector<std::string> paths;
};

// The options of the arguments after the program name, or nothing when no path is given.
// Switches count only before the first path, so a path may be named like a switch ("/Y /Y"
// deletes a path named "/Y"; "/" begins absolute paths). On Linux a "--" after the switch ends
// them ("/Y -- /Y" deletes "/Y"); a "--" with no path after it is no path given.
std::optional<Options> parse_arguments(const std::vector<std::string>& args);

// The arguments of a raw Windows command line: blanks separate arguments, a '"' opens a part that
// runs to the next '"', and '\' is a plain character, so "C:\DIR\" names C:\DIR\ (the C runtime's
// rules would read its closing \" as a quote). The program name, the first argument, is left
// out. Plain code, so it is tested on every platform.
std::vector<std::string> split_windows_command_line(const char* line);

}  // namespace deltree
