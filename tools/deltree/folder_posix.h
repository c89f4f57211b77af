// What the kernel tells about a folder the POSIX walk opens: where it is, and whether it refuses
// removals in it.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

#include "os/unique_handle.h"

namespace deltree {

using os::UniqueFd;

// A folder opened for the walk: never through a link, never a terminal.
inline constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Where an open folder is: its device and inode, and the mount it belongs to. Bind mounts of a
// filesystem share its device number; only the mount id tells them apart.
struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t mount = 0;
};

// The identity of the open folder `fd`, or nothing, with errno (ENOTSUP when its mount cannot
// be had).
std::optional<FolderId> identify(int fd);

// Whether `fd` is the folder `id` (by device and inode).
bool same_folder(int fd, const FolderId& id);

// Whether the folder `fd` itself refuses every removal in it: we may not write to it or search
// it, or it is immutable or append-only. Otherwise a refused entry is that entry's own matter
// (an immutable file, another user's file in a sticky folder).
bool refuses_removal(int fd);

}  // namespace deltree
