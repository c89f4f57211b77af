// Race-safe removal on POSIX. Every step is taken relative to an open folder descriptor and no
// symbolic link is ever followed, so a folder swapped for a link while the walk is under way
// cannot send the deletion outside the tree (the attack behind CVE-2022-21658 and its kin).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "deltree.h"

namespace deltree {

namespace {

constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
// Deep chains close their upper folders beyond this many and come back to them through "..".
constexpr std::size_t kMaxOpenFolders = 64;
constexpr std::size_t kDirentBufferSize = 64 * 1024;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct Entry {
    std::uint32_t name_offset;
    unsigned char type;  // as the folder listing says; DT_UNKNOWN on some filesystems
};

// A folder being emptied. Its path is the walk's path up to path_len.
struct Folder {
    UniqueFd fd;  // closed while deep below it, to bound the open descriptors
    dev_t dev = 0;
    ino_t ino = 0;
    std::size_t path_len = 0;
    std::size_t name_pos = 0;  // where its own name starts in the path
    std::string names;         // the entries' names, each ended by '\0'
    std::vector<Entry> entries;
    std::size_t next = 0;
    bool failed = false;  // something inside stays, so the folder stays too (reported already)
};

// The top path split into the folder that holds it and its own name. Trailing '/' are dropped,
// so "link/" names the link itself, never the folder it points to.
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

void report_errno(const std::string& path, int error) {
    report_failure(path.c_str(), std::strerror(error));
}

// Opens folder `name` below `parent_fd` for the walk. 0, or an errno value: ENOTDIR or ELOOP
// when the name is no folder (a link is never followed), EXDEV when another filesystem is mounted
// there, which is not part of the tree whatever the tree holds.
int open_folder(int parent_fd, const char* name, dev_t parent_dev, UniqueFd& fd, struct stat& st) {
    fd.reset(openat(parent_fd, name, kFolderOpenFlags));
    if (!fd.valid() || fstat(fd.get(), &st) != 0) return errno;
    return st.st_dev == parent_dev ? 0 : EXDEV;
}

void report_open_failure(const std::string& path, int error) {
    if (error == EXDEV)
        report_failure(path.c_str(), "is a mount point; not entered");
    else
        report_errno(path, error);
}

class TreeWalk {
public:
    explicit TreeWalk(const TopPath& top)
        : path_(top.prefix + top.name), top_prefix_len_(top.prefix.size()) {}

    // Empties and removes the folder `name` of `parent_fd`. True when it is gone.
    bool run(int parent_fd, const char* name, dev_t parent_dev);

private:
    void push_folder(UniqueFd fd, const struct stat& st, const char* name);
    void read_entries(Folder& folder);
    void remove_entry(const Entry& entry);
    bool finish_folder(int top_parent_fd);
    int reopen_parent(const Folder& child, Folder& parent);
    std::string entry_path(const char* name) const {
        return path_.substr(0, stack_.back().path_len) + "/" + name;
    }

    std::string path_;  // the path of the innermost folder, for messages
    std::vector<Folder> stack_;
    std::size_t top_prefix_len_;  // the top folder's own name starts here
    std::size_t first_open_ = 0;  // folders below this index have their descriptor closed
    std::unique_ptr<char[]> dirents_{new char[kDirentBufferSize]};
    bool top_failed_ = false;
};

bool TreeWalk::run(int parent_fd, const char* name, dev_t parent_dev) {
    UniqueFd fd;
    struct stat st {};
    if (int error = open_folder(parent_fd, name, parent_dev, fd, st)) {
        report_open_failure(path_, error);
        return false;
    }
    push_folder(std::move(fd), st, name);
    while (!stack_.empty()) {
        Folder& folder = stack_.back();
        if (folder.next < folder.entries.size()) {
            remove_entry(folder.entries[folder.next++]);
        } else if (!finish_folder(parent_fd)) {
            return false;
        }
    }
    return !top_failed_;
}

// Makes the opened folder `name` the innermost one of the walk and reads its entries.
void TreeWalk::push_folder(UniqueFd fd, const struct stat& st, const char* name) {
    if (stack_.size() - first_open_ >= kMaxOpenFolders) stack_[first_open_++].fd.reset();
    Folder folder;
    folder.fd = std::move(fd);
    folder.dev = st.st_dev;
    folder.ino = st.st_ino;
    if (stack_.empty()) {
        path_.resize(top_prefix_len_);
    } else {
        path_.resize(stack_.back().path_len);
        path_ += '/';
    }
    folder.name_pos = path_.size();
    path_ += name;
    folder.path_len = path_.size();
    stack_.push_back(std::move(folder));
    read_entries(stack_.back());
}

void TreeWalk::read_entries(Folder& folder) {
    char* buf = dirents_.get();
    for (;;) {
        ssize_t n = getdents64(folder.fd.get(), buf, kDirentBufferSize);
        if (n == 0) return;
        if (n < 0) {
            report_errno(path_.substr(0, folder.path_len), errno);
            folder.failed = true;
            return;
        }
        for (ssize_t off = 0; off < n;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(buf + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            folder.entries.push_back({static_cast<std::uint32_t>(folder.names.size()), d->d_type});
            folder.names.append(name, std::strlen(name) + 1);
        }
    }
}

void TreeWalk::remove_entry(const Entry& entry) {
    Folder& folder = stack_.back();
    const char* name = folder.names.c_str() + entry.name_offset;
    if (entry.type != DT_DIR) {
        if (unlinkat(folder.fd.get(), name, 0) == 0) return;
        // The listing said "not a folder" (or did not know); the name may be a folder after all.
        if (errno != EISDIR) {
            if (errno != ENOENT) {
                report_errno(entry_path(name), errno);
                folder.failed = true;
            }
            return;
        }
    }
    UniqueFd fd;
    struct stat st {};
    int error = open_folder(folder.fd.get(), name, folder.dev, fd, st);
    // Under a low descriptor limit, give up upper folders (they can be opened again) first.
    while (error == EMFILE && stack_.size() - first_open_ > 1) {
        stack_[first_open_++].fd.reset();
        error = open_folder(folder.fd.get(), name, folder.dev, fd, st);
    }
    if (error == 0) {
        push_folder(std::move(fd), st, name);
        return;
    }
    // Not a folder any more (a link or a file took its place since it was listed): remove the
    // name itself. O_NOFOLLOW refused to follow it, so nothing outside the tree was touched.
    if ((error == ENOTDIR || error == ELOOP) && unlinkat(folder.fd.get(), name, 0) == 0) return;
    if (error != ENOENT) {
        report_open_failure(entry_path(name), error);
        folder.failed = true;
    }
}

// Removes the innermost folder, now empty, from its parent. False when the walk must stop.
bool TreeWalk::finish_folder(int top_parent_fd) {
    Folder done = std::move(stack_.back());
    stack_.pop_back();
    int parent_fd = top_parent_fd;
    if (!stack_.empty()) {
        Folder& parent = stack_.back();
        if (!parent.fd.valid() && reopen_parent(done, parent) != 0) {
            report_failure(path_.substr(0, parent.path_len).c_str(),
                           "was moved during the deletion; the rest of the tree is left");
            stack_.clear();
            return false;
        }
        parent_fd = parent.fd.get();
    }
    done.fd.reset();
    bool removed = !done.failed;
    if (removed && unlinkat(parent_fd, path_.c_str() + done.name_pos, AT_REMOVEDIR) != 0) {
        report_errno(path_.substr(0, done.path_len), errno);
        removed = false;
    }
    if (stack_.empty()) {
        top_failed_ = !removed;
    } else {
        stack_.back().failed |= !removed;
        path_.resize(stack_.back().path_len);
    }
    return true;
}

// Opens the parent again from its child through "..". The child was opened from the parent, so
// the same device and inode prove that nobody moved the chain in between.
int TreeWalk::reopen_parent(const Folder& child, Folder& parent) {
    UniqueFd fd(openat(child.fd.get(), "..", kFolderOpenFlags));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) return -1;
    if (st.st_dev != parent.dev || st.st_ino != parent.ino) return -1;
    parent.fd = std::move(fd);
    first_open_ = stack_.size() - 1;
    return 0;
}

}  // namespace

void read_command_line(int argc, char** argv, ArgumentList& out) {
    for (int i = 1; i < argc; ++i) out.add(argv[i]);
}

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
    struct stat parent_st {};
    struct stat st {};
    if (!parent.valid() || fstat(parent.get(), &parent_st) != 0 ||
        fstatat(parent.get(), top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report_errno(path, errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent.get(), top.name.c_str(), 0) == 0) return true;
        report_errno(path, errno);
        return false;
    }
    TreeWalk walk(top);
    return walk.run(parent.get(), top.name.c_str(), parent_st.st_dev);
}

}  // namespace deltree
