// The parallel, race-safe removal of one folder tree on POSIX.
#pragma once

#include <string>

#include "folder_posix.h"
#include "paths/identity.h"

namespace deltree {

// Empties and removes the folder `name` of the open folder `parent_fd` (which is `parent`),
// already open as `top_fd` (which is `top`), with up to `threads` threads. `shown_prefix` is
// what messages put before `name`. No folder that `folders` protects is entered. Every failure
// is reported; returns true when the folder is gone.
bool remove_tree(int parent_fd, const FolderId& parent, UniqueFd top_fd, const FolderId& top,
                 const std::string& name, const std::string& shown_prefix,
                 const paths::ProtectedFolders& folders, unsigned threads);

}  // namespace deltree
