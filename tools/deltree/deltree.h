// deltree: deletes files and whole folder trees, never following a link out of the tree.
#pragma once

#include <cstddef>

namespace deltree {

// What the command line asks for. Switches count only before the first path, so a path may be
// named like a switch.
struct Arguments {
    bool quiet = false;  // /Y: no question before each path
    int first_path = 0;  // index of the first path in the argument list
    int count = 0;       // number of arguments
};

// Reads the arguments after the program name. 0, or -1 when no path is given.
int parse_arguments(int count, const char* const* args, Arguments& out);

// Keeps a lost reader from ending the process half way (POSIX: SIGPIPE and SIGXFSZ ignored).
void keep_running_without_output();

// Why `path`, as the command line gives it, must never be deleted (see refusal_reason), or
// nullptr.
const char* refusal_reason_of(const char* path);

// Writes one failure line to standard error: the path and the reason.
void report_failure(const char* path, const char* reason);

// Deletes the file or tree at `path`. True when nothing of it is left.
bool remove_path(const char* path);

// Whether `path` names a folder (not through a link), for the question before deleting it.
bool is_folder(const char* path);

}  // namespace deltree
