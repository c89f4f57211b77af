// deltree: deletes files and whole folder trees, never following a link out of the tree. What
// each platform gives the common entry routine.
#pragma once

#include <string>
#include <vector>

namespace deltree {

// The arguments after the program name, as this process received them.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Keeps a lost reader from ending the process half way (POSIX: SIGPIPE and SIGXFSZ ignored).
void keep_running_without_output();

// Whether standard error is a terminal (a console on Windows), where a progress line may go.
bool stderr_is_terminal();

// Why `path`, as the command line gives it, must never be deleted (see refusal_reason), or
// nullptr.
const char* refusal_reason_of(const char* path);

// How many processors this process may run on (its affinity on Linux), at least 1.
unsigned processors_available();

// What `path` names, not through a link: for the question before deleting it.
enum class Kind { kMissing, kFile, kFolder };
Kind kind_of(const char* path);

// Deletes the file or tree at `path`, reporting every failure. True when nothing of it is left.
bool remove_path(const char* path);

}  // namespace deltree
