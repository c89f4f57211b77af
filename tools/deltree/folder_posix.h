// A folder of the POSIX walk: where it is, its descriptor, and what the walk keeps of it.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

struct Entry {
    ino_t ino;
    std::uint32_t name_offset;
    unsigned char type;  // as the listing says; DT_UNKNOWN on some filesystems
};

// Entries as the folder's listing gave them, and their names, each ended by '\0'.
struct Listing {
    std::string names;
    std::vector<Entry> entries;
};

// Whether names may be removed from the folder `fd` while the rest of it is still being listed,
// and no name the listing has yet to give is skipped for it: filesystems whose listing position
// is a hash or an index, not a place that shifts when an entry before it goes.
bool listing_survives_removal(int fd);

struct Folder {
    Folder(Folder* parent_folder, std::string folder_name, const FolderId& parent_id)
        : parent(parent_folder),
          name(std::move(folder_name)),
          dev(parent_id.dev),
          mount(parent_id.mount) {}

    Folder* const parent;  // nullptr for the top
    const std::string name;
    // The parent's device and mount: a folder on another filesystem, or another mount of the
    // same one (a bind mount), is not entered.
    const dev_t dev;
    const std::uint64_t mount;
    ino_t ino = 0;
    // Its own identity once open: entered only on its parent's device and mount, it shares them.
    FolderId id() const { return {dev, ino, mount}; }
    // The descriptor. The folder's own tasks use it freely while they run; anyone else (a
    // subfolder removing itself and opening a waiting sibling, the closing of idle folders)
    // holds the mutex.
    std::mutex fd_mutex;
    int fd = -1;
    // The first entries of a big folder, at work while the rest is still being listed; then the
    // rest. Each is fixed once tasks refer to it.
    Listing head;
    Listing listing;
    // Subfolders found while many folders were open, opened later, one for each subfolder that
    // finishes, with our descriptor in hand (guarded by fd_mutex).
    std::vector<std::string> waiting;
    std::atomic<int> under_way{0};  // subfolders opened and not finished yet
    std::atomic<std::uint32_t> tasks_left{0};
    std::atomic<int> pending{1};      // our own entries (as one) and every unfinished subfolder
    std::atomic<bool> failed{false};  // something inside stays, so the folder stays (reported)
    std::atomic<bool> denied{false};  // we may not change it: said once for all its entries
    // Whether it refuses every removal in it (refuses_removal), asked the first time one fails.
    enum Verdict : std::uint8_t { kUnjudged, kRefuses, kAllows };
    std::atomic<Verdict> verdict{kUnjudged};
    bool gone = false;  // it turned out to be no folder and was removed as such, or vanished
    // Place among the open folders that only wait for their subfolders (guarded by the budget).
    Folder* idle_prev = nullptr;
    Folder* idle_next = nullptr;
    bool idle = false;
};

// Whether the folder `fd` itself refuses every removal in it: we may not write to it or search
// it, or it is immutable or append-only. Otherwise a refused entry is that entry's own matter
// (an immutable file, another user's file in a sticky folder).
bool refuses_removal(int fd);

// Whether `fd` is the folder that was opened as `folder` before.
bool same_folder(int fd, const Folder* folder);

}  // namespace deltree
