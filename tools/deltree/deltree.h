// deltree: deletes files and whole folder trees, never following a link out of the tree. What
// each platform gives the common entry routine.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "paths/identity.h"

namespace deltree {

// The arguments after the program name, as this process received them.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Readies the process before any path is judged: a lost reader must not end it half way
// (POSIX: SIGPIPE and SIGXFSZ ignored), and every folder kept open saves opening it again, so
// the soft limit on open files is raised towards the hard one (POSIX).
void prepare_process();

// Whether standard error is a terminal (a console on Windows), where a progress line may go.
bool stderr_is_terminal();

// Where the question before a path goes: standard error on POSIX, as `rm -i` asks, so that it is
// seen when the output is redirected; the console's standard output on Windows.
std::FILE* question_stream();

// The width of the terminal standard error shows on, in columns, or 0 when it cannot be told.
unsigned terminal_width();

// What `path`, as the command line gives it, is before anything is removed: its text by the
// refusal rules (path_refusal.h), a cheap first filter, then what it is by identity
// (paths::judge). Only kMayGo may be removed.
paths::Judgement judge_named(const char* path);

// The system's text for an error number of the judgement (errno on POSIX, a Win32 code on
// Windows).
std::string error_text(int code);

// How many processors this process may run on (its affinity on Linux), at least 1.
unsigned processors_available();

// Threads for a tree's walk: DELTREE_THREADS=N (1 to 256) when set, else one per processor.
inline unsigned walk_threads() {
    if (const char* forced = std::getenv("DELTREE_THREADS")) {
        long n = std::strtol(forced, nullptr, 10);
        if (n >= 1 && n <= 256) return static_cast<unsigned>(n);
    }
    return processors_available();
}

// What `path` names, not through a link: for the question before deleting it.
enum class Kind { kMissing, kFile, kFolder };
Kind kind_of(const char* path);

// Deletes the file or tree at `path`, reporting every failure. True when nothing of it is left.
// No folder that paths::protected_folders() protects is removed, whatever its name: the named
// one is judged again by identity once it is open, and every folder the walk enters too.
bool remove_path(const char* path);

}  // namespace deltree
