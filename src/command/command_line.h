// The command line that runs deltree through the command interpreter (Windows).
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Room for the command line of any path that fits the platform's path limit, every character a '%'.
inline constexpr std::size_t kCommandLineLimit = 16 + 8 * platform::kPathLimit;

// Writes `deltree /Y "path"` into `out`. cmd.exe expands %VAR% even between quotes, so each '%'
// of the path is written as `%%cd:~,%`: a literal '%' followed by an empty substring of the
// always-defined `cd` variable, which leaves cmd.exe no variable name to expand. Returns 0, or -1
// when the line does not fit `size` bytes.
int compose_delete_command(const char* path, char* out, std::size_t size);
