// A deletion command for tests, put on PATH under deltree's name. What it does is set in the
// environment: STAND_IN_RECORD (file that gets each argument, NUL-terminated), STAND_IN_SAY
// (a line for standard output), STAND_IN_REMOVE=1 (remove the last argument's tree),
// STAND_IN_SLEEP_MS, STAND_IN_SIGNAL (end by this signal) and STAND_IN_STATUS (exit status).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "command_line.h"
#endif

namespace {

std::vector<std::string> arguments(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    // As the real tool does: the raw line, so that the test sees what cmd.exe handed over.
    (void)argc;
    (void)argv;
    deltree::ArgumentList list;
    deltree::split_raw_command_line(GetCommandLineA(), list);
    const char* const* data = list.data();
    for (int i = 0; i < list.count(); ++i) args.emplace_back(data[i]);
#else
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
    return args;
}

// The last argument as a path: on Windows it comes in the ANSI code page, which the C++ library
// does not take for the narrow encoding of paths.
std::filesystem::path as_path(const std::string& arg) {
#ifdef _WIN32
    int n = MultiByteToWideChar(CP_ACP, 0, arg.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, arg.c_str(), -1, wide.data(), n);
    return std::filesystem::path(wide);
#else
    return std::filesystem::path(arg);
#endif
}

long env_number(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::strtol(value, nullptr, 10) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = arguments(argc, argv);
    if (const char* record = std::getenv("STAND_IN_RECORD")) {
        if (std::FILE* f = std::fopen(record, "ab")) {
            for (const std::string& arg : args) std::fwrite(arg.c_str(), 1, arg.size() + 1, f);
            std::fclose(f);
        }
    }
    if (const char* say = std::getenv("STAND_IN_SAY")) std::printf("%s\n", say);
    std::fflush(stdout);
    if (env_number("STAND_IN_REMOVE") == 1 && !args.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(as_path(args.back()), ec);
    }
    if (long ms = env_number("STAND_IN_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (long sig = env_number("STAND_IN_SIGNAL")) std::raise(static_cast<int>(sig));
    return static_cast<int>(env_number("STAND_IN_STATUS"));
}
