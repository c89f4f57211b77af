// Starts a command N times, one after another, and prints the milliseconds per start (the cost
// of starting a program, without a shell's or an interpreter's own overhead on top) and the
// command's peak memory in KiB. Being small itself, it does not inflate the child's peak, which
// the kernel counts from the moment of the start.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: spawn_loop N COMMAND [ARG...]\n", stderr);
        return 2;
    }
    long n = std::strtol(argv[1], nullptr, 10);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", 1, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", 1, 0);
    long peak_kib = 0;
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        pid_t pid;
        if (posix_spawn(&pid, argv[2], &quiet, nullptr, argv + 2, environ) != 0) return 1;
        int status;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (usage.ru_maxrss > peak_kib) peak_kib = usage.ru_maxrss;
    }
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    std::printf("%.4f %ld\n", spent.count() / static_cast<double>(n), peak_kib);
    return 0;
}
