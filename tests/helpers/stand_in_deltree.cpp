// A deletion command for tests, put on PATH under deltree's name. What it does is set in the
// environment: STAND_IN_RECORD (file that gets each argument, NUL-terminated), STAND_IN_SAY
// (a line for standard output), STAND_IN_REMOVE=1 (remove the last argument's tree, and only
// when it lies inside STAND_IN_ROOT), STAND_IN_SLEEP_MS, STAND_IN_SIGNAL (end by this signal)
// and STAND_IN_STATUS (exit status).
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

#include "arguments.h"
#endif

namespace {

std::vector<std::string> arguments(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    // As the real tool does: the raw line, so that the test sees what cmd.exe handed over.
    (void)argc;
    (void)argv;
    args = deltree::split_windows_command_line(GetCommandLineA());
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

// Whether `target` lies strictly inside the folder the test gave us. The stand-in receives what
// a broken zelk would hand over ("/", "..", a path built from $HOME): it must never act on it.
bool inside_test_folder(const std::filesystem::path& target) {
    namespace fs = std::filesystem;
    const char* root = std::getenv("STAND_IN_ROOT");
    if (!root) return false;
    std::error_code ec;
    fs::path absolute = fs::absolute(target, ec);
    while (!absolute.has_filename() && absolute.has_relative_path())
        absolute = absolute.parent_path();  // "dir/" names dir
    fs::path name = absolute.filename();
    if (ec || name.empty() || name == "." || name == "..") return false;
    // The folders above the named item, with links and dot folders resolved; the item itself
    // stays as named, so that a listed link is judged by where it lies, not where it points.
    fs::path where = fs::weakly_canonical(absolute.parent_path(), ec) / name;
    fs::path top = fs::weakly_canonical(fs::path(root), ec);
    if (ec) return false;
    auto rel = where.lexically_relative(top);
    return !rel.empty() && *rel.begin() != ".." && rel != ".";
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
    if (env_number("STAND_IN_REMOVE") == 1 && !args.empty() &&
        inside_test_folder(as_path(args.back()))) {
        std::error_code ec;
        std::filesystem::remove_all(as_path(args.back()), ec);
    }
    if (long ms = env_number("STAND_IN_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (long sig = env_number("STAND_IN_SIGNAL")) std::raise(static_cast<int>(sig));
    return static_cast<int>(env_number("STAND_IN_STATUS"));
}
