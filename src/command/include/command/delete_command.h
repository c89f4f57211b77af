// Runs the deletion command for one listed path.
#pragma once

#include <optional>
#include <string>

// Runs the deletion command `tool` (its path as the PATH search found it; "" when it found none)
// with /Y on `path` and waits for it. Returns its exit status, whatever its value, or nothing
// when it could not be started, after writing why.
std::optional<int> run_delete_command(const std::string& tool, const char* path);
