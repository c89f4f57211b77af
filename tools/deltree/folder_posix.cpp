// Where a folder is, as the kernel tells it.
#include "folder_posix.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace deltree {

std::optional<FolderId> identify(int fd) {
    struct statx st {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &st) == 0)
        return FolderId{makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino,
                        (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0};
    // A kernel or a sandbox without statx: the device alone still tells other filesystems.
    struct stat plain {};
    if (fstat(fd, &plain) != 0) return std::nullopt;
    return FolderId{plain.st_dev, plain.st_ino, 0};
}

bool same_folder(int fd, const Folder* folder) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == folder->dev && st.st_ino == folder->ino;
}

}  // namespace deltree
