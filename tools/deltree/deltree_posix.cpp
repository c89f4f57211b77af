// deltree's POSIX side: its arguments, and the named object removed as itself (a file or link)
// or as a tree.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "command/path_refusal.h"

#include "command_line.h"
#include "deltree.h"
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

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// Whether the folder `target` is the current folder of this process or a folder above it,
// judged by device and inode: no spelling ("../../b", "$PWD", a link on the way) removes the
// folder that the caller works in. Taken step by step through "..", up to the root (or to the
// root of a chroot, whose ".." is itself).
bool holds_current_folder(const struct stat& target) {
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool held = false;
    for (struct stat here{}; fd >= 0 && fstat(fd, &here) == 0;) {
        if (here.st_dev == target.st_dev && here.st_ino == target.st_ino) {
            held = true;
            break;
        }
        int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat above {};
        bool at_root = up < 0 || (fstat(up, &above) == 0 && above.st_dev == here.st_dev &&
                                  above.st_ino == here.st_ino);
        ::close(fd);
        fd = up;
        if (at_root) break;
    }
    if (fd >= 0) ::close(fd);
    return held;
}

}  // namespace

void read_command_line(int argc, char** argv, ArgumentList& out) {
    for (int i = 1; i < argc; ++i) out.add(argv[i]);
}

void keep_running_without_output() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

const char* refusal_reason_of(const char* path) { return refusal_reason(path, false); }

bool is_folder(const char* path) {
    TopPath top = split_top(path);
    struct stat st {};
    return fstatat(AT_FDCWD, (top.parent + "/" + top.name).c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           S_ISDIR(st.st_mode);
}

bool remove_path(const char* path) {
    TopPath top = split_top(path);
    // The folders leading to the named object may be links: the user named them.
    UniqueFd parent(open(top.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::optional<FolderId> parent_id = parent.valid() ? identify(parent.get()) : std::nullopt;
    struct stat st {};
    if (!parent_id || fstatat(parent.get(), top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report_failure(path, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent.get(), top.name.c_str(), 0) == 0) return true;
        report_failure(path, std::strerror(errno));
        return false;
    }
    // A bind mount of "/" (or a chroot's view of it) is the root under another name.
    struct stat root {};
    if (stat("/", &root) == 0 && st.st_dev == root.st_dev && st.st_ino == root.st_ino) {
        report_failure(path, "is the root folder under another name");
        return false;
    }
    if (holds_current_folder(st)) {
        report_failure(path, "is the current folder or a folder above it");
        return false;
    }
    return remove_tree(parent.get(), *parent_id, top.name, top.prefix);
}

}  // namespace deltree
