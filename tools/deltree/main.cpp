// deltree [/Y] PATH...: deletes each file or folder tree; asks first unless /Y is given.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "deltree.h"
#include "deltree_version.h"
#include "report.h"

namespace {

constexpr int kAllGone = 0;
constexpr int kSomeRemain = 1;
constexpr int kUsageError = 2;

#ifdef _WIN32
#define DELTREE_USAGE "usage: deltree [/Y] PATH...\n"
#else
#define DELTREE_USAGE "usage: deltree [/Y] [--] PATH...\n"
#endif
constexpr char kUsage[] = DELTREE_USAGE;
constexpr char kHelp[] =
    DELTREE_USAGE
    "Deletes each named file or folder, with everything in it.\n"
    "\n"
    "  /Y  do not ask before each path; only as the first argument: after it,\n"
    "      every argument is a path (deltree /Y /Y deletes a path named /Y)\n"
#ifndef _WIN32
    "  --  ends the switches: every argument after it is a path\n"
#endif
    "\n"
    "Exit status: 0 every path is gone, 1 a path remains, 2 no path given.\n"
    "\n"
    "Safety:\n"
    "  a symbolic link is never followed: a listed link goes, its target stays\n"
    "  another filesystem or mount inside a tree is never entered\n"
    "  roots, . and .., and the current folder or one above it are refused\n"
    "  what another program removes meanwhile is gone, not a failure\n"
    "\n"
    "DELTREE_THREADS=N sets the number of threads (default: one per processor it may\n"
    "use).\n"
    "deltree /?, -h or --help shows this; deltree --version shows the version.\n";

// The answer is one whole line, however long: a long one can never answer the next question.
// Only its first character counts, so nothing of it is kept that memory could not hold.
bool confirmed(const char* path, deltree::Kind kind) {
    deltree::ask_before_deleting(path, kind == deltree::Kind::kFolder);
    int first = std::getchar();
    for (int c = first; c != EOF && c != '\n';) c = std::getchar();
    return first == 'y' || first == 'Y';
}

// A path that is not there is not asked about: removing it reports it at once.
bool asked_and_confirmed(const char* path) {
    deltree::Kind kind = deltree::kind_of(path);
    return kind == deltree::Kind::kMissing || confirmed(path, kind);
}

// Deletes one named path, after judging it: by its text, then by what it is. True when it is
// gone. Memory too short for a step of it leaves what is left of it, said in its line, and the
// next path is tried all the same.
bool delete_path(const char* path, bool quiet) {
    // An empty path names nothing, so it never was there to go; nor is it asked about, since
    // some systems would take it for the current folder.
    if (*path == '\0') {
        deltree::report_failure(deltree::Operation::kRemove, path, std::strerror(ENOENT));
        return false;
    }
    try {
        paths::Judgement judged = deltree::judge_named(path);
        switch (judged.verdict) {
        case paths::Verdict::kMissing:
            // Asked to make sure it is gone, and it is (a second run on the same list): done,
            // as with `rm -f`. Without /Y a missing path is worth telling.
            if (!quiet)
                deltree::report_failure(deltree::Operation::kRemove, path,
                                        deltree::error_text(judged.error));
            return quiet;
        case paths::Verdict::kRefused: deltree::report_refusal(path, judged.reason); return false;
        case paths::Verdict::kCannotJudge:
            deltree::report_failure(deltree::Operation::kCheck, path,
                                    deltree::error_text(judged.error));
            return false;
        case paths::Verdict::kMayGo: break;
        }
        if (!quiet && !asked_and_confirmed(path)) return false;
        deltree::ProgressLine progress;
        return deltree::remove_path(path);
    } catch (const std::bad_alloc&) {
        deltree::report_failure(deltree::Operation::kRemove, path, std::strerror(ENOMEM));
        return false;
    }
}

int delete_paths(const deltree::Options& options) {
    int status = kAllGone;
    for (const std::string& arg : options.paths)
        if (!delete_path(arg.c_str(), options.quiet)) status = kSomeRemain;
    return status;
}

int run(int argc, char** argv) {
    std::vector<std::string> args = deltree::command_line_arguments(argc, argv);
    // Help and version only as the one argument: anywhere else these are paths like any other.
    if (args.size() == 1 && (args[0] == "/?" || args[0] == "-h" || args[0] == "--help")) {
        std::fputs(kHelp, stdout);
        return kAllGone;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::puts("deltree " DELTREE_VERSION);
        return kAllGone;
    }
    std::optional<deltree::Options> options = deltree::parse_arguments(args);
    if (!options) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    return delete_paths(*options);
}

}  // namespace

int main(int argc, char** argv) {
    deltree::prepare_process();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {  // the command line itself: nothing was deleted
        std::fprintf(stderr, "deltree: %s\n", std::strerror(ENOMEM));
        return kSomeRemain;
    }
}
