// The parallel, race-safe removal of one folder tree on POSIX.
#pragma once

#include <sys/types.h>

#include <string>

namespace deltree {

// Empties and removes the folder `name` of the open folder `parent_fd` (which lies on device
// `parent_dev`). `shown_prefix` is what messages put before `name`. Every failure is reported;
// returns true when the folder is gone.
bool remove_tree(int parent_fd, dev_t parent_dev, const std::string& name,
                 const std::string& shown_prefix);

}  // namespace deltree
