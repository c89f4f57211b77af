// Where the deletion list lives: beside the executable, whatever the current directory.
#pragma once

#include <optional>
#include <string>

inline constexpr char kListName[] = "zelk.lst";

// The list path formed from the executable's full path, or nothing when the executable's drive
// or folder does not fit the limits the platform gives them.
std::optional<std::string> form_list_path(const char* exe_path);
