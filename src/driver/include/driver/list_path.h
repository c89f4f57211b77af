// Where the deletion list lives: beside the executable, whatever the current directory.
#pragma once

#include <optional>
#include <string>

inline constexpr char kListName[] = "zelk.lst";

// The list's path, or nothing when the executable's own path is unavailable (a path cut off at
// the platform's limit would name some other folder's list).
std::optional<std::string> list_path();
