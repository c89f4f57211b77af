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
    // The folders leading to the named object may be links: the user named them. Opened only
    // to work in (O_PATH): a folder the user may write and search but not read, such as a drop
    // box, still lets its own entries go.
    UniqueFd parent(open(top.parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::optional<FolderId> parent_id = parent.valid() ? identify(parent.get()) : std::nullopt;
    struct stat st {};
    // What vanished since it was judged (or asked about) is gone, as it is inside a tree.
    if (!parent_id || fstatat(parent.get(), top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        report_failure(Operation::kRemove, path, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent.get(), top.name.c_str(), 0) == 0 || errno == ENOENT) return true;
        report_failure(Operation::kRemove, path, std::strerror(errno));
        return false;
    }
    // The folder is judged again as it is open, by identity: whatever took the name since the
    // first judgement (a folder above the current one, moved in) is what is judged and worked on.
    UniqueFd fd(openat(parent.get(), top.name.c_str(), kFolderOpenFlags));
    std::optional<FolderId> id = fd.valid() ? identify(fd.get()) : std::nullopt;
    if (!id) {
        // No folder any more: it vanished, or a link or file took its place, to be removed as such.
        if (errno == ENOENT) return true;
        if ((errno == ENOTDIR || errno == ELOOP) &&
            unlinkat(parent.get(), top.name.c_str(), 0) == 0)
            return true;
        report_failure(Operation::kOpenFolder, path, std::strerror(errno));
        return false;
    }
    const paths::ProtectedFolders& folders = paths::protected_folders();
    paths::Judgement judged = paths::judge_folder({id->dev, id->ino}, folders);
    if (judged.verdict != paths::Verdict::kMayGo) {
        report_refusal(path, judged.reason);
        return false;
    }
    return remove_tree(parent.get(), *parent_id, std::move(fd), *id, top.name, top.prefix, folders,
                       walk_threads());
}

}  // namespace deltree
