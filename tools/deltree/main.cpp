// deltree [/Y] PATH...: deletes each file or folder tree; asks first unless /Y is given.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "deltree.h"
#include "deltree_version.h"

namespace {

constexpr int kAllGone = 0;
constexpr int kSomeRemain = 1;
constexpr int kUsageError = 2;

bool confirmed(const char* path) {
    if (deltree::is_folder(path))
        std::printf("Delete directory \"%s\" and all its subdirectories? [yn] ", path);
    else
        std::printf("Delete file \"%s\"? [yn] ", path);
    std::fflush(stdout);
    char answer[16];
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

int delete_paths(const deltree::Options& options) {
    int status = kAllGone;
    for (const std::string& arg : options.paths) {
        const char* path = arg.c_str();
        if (const char* reason = deltree::refusal_reason_of(path)) {
            deltree::report_failure(path, reason);
            status = kSomeRemain;
        } else if (!options.quiet && !confirmed(path)) {
            status = kSomeRemain;
        } else if (!deltree::remove_path(path)) {
            status = kSomeRemain;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away must not leave a tree half deleted.
    deltree::keep_running_without_output();
    std::vector<std::string> args = deltree::command_line_arguments(argc, argv);
    // Only as the one argument: anywhere else "--version" is a path like any other.
    if (args.size() == 1 && args[0] == "--version") {
        std::puts("deltree " DELTREE_VERSION);
        return kAllGone;
    }
    std::optional<deltree::Options> options = deltree::parse_arguments(args);
    if (!options) {
        std::fputs("usage: deltree [/Y] PATH...\n", stderr);
        return kUsageError;
    }
    return delete_paths(*options);
}
