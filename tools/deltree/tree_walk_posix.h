// The parallel, race-safe removal of one folder tree on POSIX.
#pragma once

#include <string>

#include "folder_posix.h"

namespace deltree {

// Empties and removes the folder `name` of the open folder `parent_fd` (which is `parent`).
// `shown_prefix` is what messages put before `name`. Every failure is reported; returns true
// when the folder is gone.
bool remove_tree(int parent_fd, const FolderId& parent, const std::string& name,
                 const std::string& shown_prefix);

}  // namespace deltree
