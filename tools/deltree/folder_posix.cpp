// Where a folder is, and what its filesystem allows, as the kernel tells it.
#include "folder_posix.h"

#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cerrno>

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

bool listing_survives_removal(int fd) {
    // ext2/3/4 list by hash (or, in a small unindexed folder, by offsets that a removal leaves
    // in place), tmpfs by a cursor among the entries, btrfs by an index number. On others (NFS
    // above all) a removal can shift what is still to come, so they are listed whole first.
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case BTRFS_SUPER_MAGIC: return true;
    default: return false;
    }
}

bool refuses_removal(int fd) {
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM))
        return true;
    // Filesystems without these attributes answer ENOTTY: then there are none to refuse.
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
}

bool same_folder(int fd, const Folder* folder) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == folder->dev && st.st_ino == folder->ino;
}

}  // namespace deltree
