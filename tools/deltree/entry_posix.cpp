// deltree's POSIX side of its entry: the arguments as the process got them, the signals of a
// lost reader, the processors it may use, and the refusal rules as Linux names paths.
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

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

unsigned processors_available() {
    // One system call, and it honours `taskset`; the standard library's count reads /sys.
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

const char* refusal_reason_of(const char* path) { return refusal_reason(path, kWindowsPaths); }

}  // namespace deltree
