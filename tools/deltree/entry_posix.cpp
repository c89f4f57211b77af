// deltree's POSIX side of its entry: the arguments as the process got them, the signals of a
// lost reader, and the refusal rules as Linux names paths.
#include <signal.h>
#include <unistd.h>

#include "deltree.h"
#include "paths/path_refusal.h"

namespace deltree {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void keep_running_without_output() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

const char* refusal_reason_of(const char* path) { return refusal_reason(path, kWindowsPaths); }

}  // namespace deltree
