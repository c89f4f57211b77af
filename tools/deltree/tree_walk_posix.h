// The parallel, race-safe removal of one folder tree on POSIX.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace deltree {

// Where an open folder is: its device and inode, and the mount it belongs to. Bind mounts of a
// filesystem share its device number; only the mount id tells them apart (0 where the kernel
// has none to give: before Linux 5.8, or without statx).
struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t mount = 0;
};

// The identity of the open folder `fd`, or nullopt with errno.
std::optional<FolderId> identify(int fd);

// Empties and removes the folder `name` of the open folder `parent_fd` (which is `parent`).
// `shown_prefix` is what messages put before `name`. Every failure is reported; returns true
// when the folder is gone.
bool remove_tree(int parent_fd, const FolderId& parent, const std::string& name,
                 const std::string& shown_prefix);

}  // namespace deltree
