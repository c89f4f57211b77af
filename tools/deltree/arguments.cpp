// deltree's command line: the switch, the paths, and the raw Windows line split into them.
#include "arguments.h"

namespace deltree {

namespace {

bool is_quiet_switch(const std::string& arg) { return arg == "/Y" || arg == "/y"; }

// On Linux "--" ends the switches, as with every command there, so that a script can pass any
// path. Windows keeps its own convention: switches begin with '/', and zelk's line there hands
// over any listed name, "--" included, right after /Y.
#ifdef _WIN32
constexpr bool kDashDashEndsSwitches = false;
#else
constexpr bool kDashDashEndsSwitches = true;
#endif

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<Options> parse_arguments(const std::vector<std::string>& args) {
    Options options;
    auto first_path = args.begin();
    // One switch at most: after it, "/Y" is a path like any other.
    if (first_path != args.end() && is_quiet_switch(*first_path)) {
        options.quiet = true;
        ++first_path;
    }
    if (kDashDashEndsSwitches && first_path != args.end() && *first_path == "--") ++first_path;
    if (first_path == args.end()) return std::nullopt;
    options.paths.assign(first_path, args.end());
    return options;
}

std::vector<std::string> split_windows_command_line(const char* line) {
    std::vector<std::string> args;
    bool program_name = true;
    for (const char* p = line;;) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') return args;
        std::string arg;
        for (bool quoted = false; *p != '\0' && (quoted || !is_blank(*p)); ++p) {
            if (*p == '"')
                quoted = !quoted;
            else
                arg.push_back(*p);
        }
        if (!program_name) args.push_back(std::move(arg));
        program_name = false;
    }
}

}  // namespace deltree
