// Where a folder is, and whether it refuses removals in it, as the kernel tells it.
#include "folder_posix.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace deltree {

namespace {

// The mount of the open folder `fd` where statx gives none (before Linux 5.8, or a sandbox that
// refuses statx): from the descriptor's entry in /proc, else from a file handle, which names its
// mount too. Nothing when neither answers.
std::optional<std::uint64_t> mount_of(int fd) {
    char name[48];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    int info = open(name, O_RDONLY | O_CLOEXEC);
    if (info >= 0) {
        char text[1024];
        ssize_t n = read(info, text, sizeof text - 1);
        ::close(info);
        text[n > 0 ? n : 0] = '\0';
        if (const char* at = std::strstr(text, "mnt_id:"))
            return std::strtoull(at + 7, nullptr, 10);
    }
    alignas(file_handle) unsigned char room[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(room);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount = 0;
    if (name_to_handle_at(fd, "", handle, &mount, AT_EMPTY_PATH) == 0)
        return static_cast<std::uint64_t>(mount);
    return std::nullopt;
}

}  // namespace

std::optional<FolderId> identify(int fd) {
    struct statx st {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &st) == 0 &&
        (st.stx_mask & STATX_MNT_ID))
        return FolderId{makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino, st.stx_mnt_id};
    // Bind mounts of a filesystem share its device number: without the mount, one inside the
    // tree could not be told from a folder of it, so a folder whose mount is unknown is not
    // entered.
    struct stat plain {};
    if (fstat(fd, &plain) != 0) return std::nullopt;
    std::optional<std::uint64_t> mount = mount_of(fd);
    if (!mount) {
        errno = ENOTSUP;
        return std::nullopt;
    }
    return FolderId{plain.st_dev, plain.st_ino, *mount};
}

bool refuses_removal(int fd) {
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM))
        return true;
    // Filesystems without these attributes answer ENOTTY: then there are none to refuse.
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
}

bool same_folder(int fd, const FolderId& id) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

}  // namespace deltree
