// The command line of deltree: an optional /Y, then the paths.
#include "deltree.h"

namespace deltree {

namespace {

bool is_quiet_switch(const char* arg) {
    return arg[0] == '/' && (arg[1] == 'Y' || arg[1] == 'y') && arg[2] == '\0';
}

}  // namespace

int parse_arguments(int count, const char* const* args, Arguments& out) {
    out = Arguments{};
    out.count = count;
    // One switch at most: after it, "/Y" is a path like any other ("/" begins absolute paths).
    if (count > 0 && is_quiet_switch(args[0])) {
        out.quiet = true;
        out.first_path = 1;
    }
    return out.first_path < count ? 0 : -1;
}

}  // namespace deltree
