// A named path removed on POSIX: as itself when it is a file or a link, as a tree when it is a
// folder, and never when it is the root or the current folder under another name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "deltree.h"
#include "folder_posix.h"
#include "report.h"
#include "tree_walk_posix.h"

namespace deltree {

namespace {

// The path split into the folder that holds it and its own name. Trailing '/' are dropped, so
// "link/" names the link itself, never the folder it points to (where `rm -rf link/` would empty
// that folder).
struct TopPath {
    std::string parent;
    std::string prefix;  // the path as given, up to the name
    std::string name;
};

TopPath split_top(const char* path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return {".", "", p};
    return {slash == 0 ? "/" : p.substr(0, slash), p.substr(0, slash + 1), p.substr(slash + 1)};
}

// Whether the folder `target` is the current folder of this process or a folder above it,
// judged by device and inode: no spelling ("../../b", "$PWD", a link on the way) removes the
// folder that the caller works in. Taken step by step through "..", up to the root (or to the
// root of a chroot, whose ".." is itself).
bool holds_current_folder(const struct stat& target) {
    UniqueFd here(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (struct stat st{}; here.valid() && fstat(here.get(), &st) == 0;) {
        if (st.st_dev == target.st_dev && st.st_ino == target.st_ino) return true;
        UniqueFd up(openat(here.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat above {};
        if (!up.valid() || fstat(up.get(), &above) != 0 ||
            (above.st_dev == st.st_dev && above.st_ino == st.st_ino))
            return false;
        here = std::move(up);
    }
    return false;
}

}  // namespace

Kind kind_of(const char* path) {
    TopPath top = split_top(path);
    struct stat st {};
    if (fstatat(AT_FDCWD, (top.parent + "/" + top.name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Kind::kMissing;
    return S_ISDIR(st.st_mode) ? Kind::kFolder : Kind::kFile;
}

bool remove_path(const char* path) {
    TopPath top = split_top(path);
    // The folders leading to the named object may be links: the user named them.
    UniqueFd parent(open(top.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::optional<FolderId> parent_id = parent.valid() ? identify(parent.get()) : std::nullopt;
    struct stat st {};
    if (!parent_id || fstatat(parent.get(), top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report_failure(Operation::kRemove, path, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent.get(), top.name.c_str(), 0) == 0) return true;
        report_failure(Operation::kRemove, path, std::strerror(errno));
        return false;
    }
    // A bind mount of "/" (or a chroot's view of it) is the root under another name.
    struct stat root {};
    if (stat("/", &root) == 0 && st.st_dev == root.st_dev && st.st_ino == root.st_ino) {
        report_refusal(path, "is the root folder under another name");
        return false;
    }
    if (holds_current_folder(st)) {
        report_refusal(path, "is the current folder or a folder above it");
        return false;
    }
    return remove_tree(parent.get(), *parent_id, top.name, top.prefix);
}

}  // namespace deltree
