// Starts commands N times each and prints, one line per command, the milliseconds per start (the
// cost of starting a program, without a shell's or an interpreter's own overhead on top) and the
// command's peak memory in KiB. Several commands, separated by "--", are started in turns
// (A B A B ...), so that they meet the same machine. Being small itself, it does not inflate the
// child's peak, which the kernel counts from the moment of the start.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: spawn_loop N COMMAND [ARG...] [-- COMMAND [ARG...]]...\n", stderr);
        return 2;
    }
    long n = std::strtol(argv[1], nullptr, 10);
    std::vector<char**> commands{argv + 2};
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0 && i + 1 < argc) {
            argv[i] = nullptr;  // ends the command before it
            commands.push_back(argv + i + 1);
        }
    }
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", 1, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", 1, 0);
    std::vector<double> spent_ms(commands.size(), 0.0);
    std::vector<long> peak_kib(commands.size(), 0);
    for (long i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            auto start = std::chrono::steady_clock::now();
            pid_t pid;
            if (posix_spawn(&pid, commands[c][0], &quiet, nullptr, commands[c], environ) != 0)
                return 1;
            int status;
            rusage usage{};
            wait4(pid, &status, 0, &usage);
            spent_ms[c] +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (usage.ru_maxrss > peak_kib[c]) peak_kib[c] = usage.ru_maxrss;
        }
    }
    for (std::size_t c = 0; c < commands.size(); ++c)
        std::printf("%.4f %ld\n", spent_ms[c] / static_cast<double>(n), peak_kib[c]);
    return 0;
}
