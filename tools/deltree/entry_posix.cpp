// deltree's POSIX side of its entry: the arguments as the process got them, the signals of a
// lost reader, the processors it may use, and the refusal rules as Linux names paths.
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "deltree.h"
#include "os/process.h"
#include "paths/path_refusal.h"

namespace deltree {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepare_process() {
    os::ignore_lost_output();
    // Raised before anything is judged: the judgement needs a descriptor or two, and fails
    // closed without them.
    constexpr rlim_t kWanted = 16384;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kWanted &&
        limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min(kWanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string error_text(int code) { return std::strerror(code); }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

std::FILE* question_stream() { return stderr; }

unsigned terminal_width() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

unsigned processors_available() {
    // One system call, and it honours `taskset`; the standard library's count reads /sys.
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

paths::Judgement judge_named(const char* path) {
    if (const char* reason = refusal_reason(path, kWindowsPaths))
        return {paths::Verdict::kRefused, reason};
    paths::Judgement judged = paths::judge(path);
    // "link/" is judged where the link leads; but deltree removes the link itself, which is
    // there even when what it leads to is not (a dangling link, one to a file, a loop).
    std::string_view p = path;
    if (judged.verdict != paths::Verdict::kMissing || p.size() < 2 || p.back() != '/')
        return judged;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return paths::judge(std::string(p).c_str());
}

}  // namespace deltree
