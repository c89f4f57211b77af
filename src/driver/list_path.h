// Where the deletion list lives: beside the executable, whatever the current directory.
#pragma once

#include <cstddef>

inline constexpr char kListName[] = "zelk.lst";

// Forms the list path from the executable's full path. 0, or -1 when the result would not fit
// `size` bytes with its terminator.
int form_list_path(const char* exe_path, char* list_path, std::size_t size);
