// Race-safe, parallel removal of a folder tree. Every step is taken relative to an open folder
// descriptor and no symbolic link is ever followed, so a folder swapped for a link while the walk
// is under way cannot send the deletion outside the tree (the attack behind CVE-2022-21658).
//
// Each folder is a task: opened relative to its parent, listed in large batches, its entries
// removed in inode order (a big folder split into several tasks) and judged by the type the
// listing gives, without a stat per entry. Subfolders become tasks of their own; whoever
// finishes a folder's last piece of work removes the folder and reports to its parent.
//
// Open descriptors are bounded: folders that only wait for their subfolders are closed, oldest
// first, and opened again when needed, through ".." from a subfolder or down from an open
// ancestor, each step checked against the device and inode the folder had.
#include "tree_walk_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "deltree.h"
#include "work_pool.h"

namespace deltree {

namespace {

constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr std::size_t kDirentBufferSize = 128 * 1024;
constexpr std::uint32_t kChunkEntries = 2048;  // entries per task of a big folder

struct Entry {
    ino_t ino;
    std::uint32_t name_offset;
    unsigned char type;  // as the listing says; DT_UNKNOWN on some filesystems
};

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
    std::string names;  // the entries' names, each ended by '\0'
    std::vector<Entry> entries;
    // Subfolders found while many folders were open, opened later, one for each subfolder that
    // finishes, with our descriptor in hand (guarded by fd_mutex).
    std::vector<std::string> waiting;
    std::atomic<int> under_way{0};  // subfolders opened and not finished yet
    std::atomic<std::uint32_t> tasks_left{0};
    std::atomic<int> pending{1};      // our own entries (as one) and every unfinished subfolder
    std::atomic<bool> failed{false};  // something inside stays, so the folder stays (reported)
    std::atomic<bool> denied{false};  // we may not change it: said once for all its entries
    bool gone = false;  // it turned out to be no folder and was removed as such, or vanished
    // Place among the open folders that only wait for their subfolders (guarded by the walk).
    Folder* idle_prev = nullptr;
    Folder* idle_next = nullptr;
    bool idle = false;
};

struct Task {
    enum Job : std::uint8_t {
        kList,     // list the (open) folder and start on its entries
        kEntries,  // remove the folder's entries [begin, end)
        kClose,    // close the descriptor of a removed folder
    };
    Job job;
    Folder* folder;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    int fd = -1;
};

void report_errno(const std::string& path, int error) {
    report_failure(path.c_str(), std::strerror(error));
}

// Failures that come from the folder (no write permission, a read-only filesystem, an
// immutable or append-only folder), not from the entry: every other entry of that folder fails
// the same way.
bool folder_wide(int error) { return error == EACCES || error == EROFS || error == EPERM; }

// Whether `fd` is the folder that was opened as `folder` before.
bool same_folder(int fd, const Folder* folder) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == folder->dev && st.st_ino == folder->ino;
}

// How many folders to keep open: a quarter of the descriptors this process may have, so that a
// deep or wide tree never runs out of them. The soft limit is raised towards the hard one first:
// every folder kept open saves opening it again later.
int open_folder_bound() {
    constexpr rlim_t kWanted = 16384;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
    if (limit.rlim_cur < kWanted && limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(kWanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY) return 4096;
    long quarter = (static_cast<long>(limit.rlim_cur) - 16) / 4;
    return static_cast<int>(std::clamp(quarter, 2L, 4096L));
}

class TreeWalk {
public:
    TreeWalk(int top_parent_fd, const std::string& shown_prefix)
        : prefix_(shown_prefix),
          top_parent_fd_(top_parent_fd),
          bound_(open_folder_bound()),
          // Every running task holds a folder open: few descriptors allow few threads.
          threads_(std::min(thread_count(), static_cast<unsigned>(std::max(1, bound_ / 2)))),
          pool_(threads_, Runner{this}) {}

    bool run(const std::string& name, const FolderId& parent);

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(const Task& task) const { walk->run_task(task); }
    };

    void run_task(const Task& task);
    void list(Folder* folder);
    void read_entries(Folder* folder);
    void remove_entries(Folder* folder, std::uint32_t begin, std::uint32_t end);
    Folder* remove_entry(Folder* folder, const Entry& entry);
    Folder* add_subfolder(Folder* folder, const char* name);
    int open_child(Folder* parent, Folder* child, int parent_fd);
    void release(Folder* folder);
    Folder* finish(Folder* folder);
    int parent_fd_for_finish(Folder* folder, int& error);
    int open_again(Folder* folder, int& error);
    void open_waiting(Folder* folder, int fd, bool at_least_one);
    void drop_waiting(Folder* folder, bool vanished);
    void opened(int count);
    void make_idle(Folder* folder);
    void leave_idle(Folder* folder);
    void unlink_idle(Folder* folder);
    void close_idle_folders();
    void report_denied(Folder* folder, int error) const;
    void report_lost(const Folder* folder, int error) const;
    std::string path_of(const Folder* folder) const;
    std::string entry_path(const Folder* folder, const char* name) const {
        return path_of(folder) + "/" + name;
    }

    const std::string prefix_;
    const int top_parent_fd_;
    const int bound_;
    const unsigned threads_;
    std::atomic<int> open_count_{0};
    std::mutex idle_mutex_;  // guards the list of idle folders, oldest first
    Folder* idle_head_ = nullptr;
    Folder* idle_tail_ = nullptr;
    bool top_failed_ = false;
    WorkPool<Task, Runner> pool_;
};

bool TreeWalk::run(const std::string& name, const FolderId& parent) {
    auto* top = new Folder(nullptr, name, parent);
    if (open_child(nullptr, top, top_parent_fd_) != 0) {
        bool gone = top->gone;
        delete top;
        return gone;
    }
    pool_.push({Task::kList, top});
    pool_.run();
    return !top_failed_;
}

void TreeWalk::run_task(const Task& task) {
    switch (task.job) {
    case Task::kList: list(task.folder); break;
    case Task::kEntries: remove_entries(task.folder, task.begin, task.end); break;
    case Task::kClose:
        ::close(task.fd);
        open_count_.fetch_sub(1);
        break;
    }
}

// Opens `child` relative to `parent_fd` and checks that it is a folder of the same mount.
// 0, or the errno value after reporting. A name that is no folder any more (a link or a file took
// its place since it was listed) is removed as it is: O_NOFOLLOW refused to follow it, so nothing
// outside the tree was touched.
int TreeWalk::open_child(Folder* parent, Folder* child, int parent_fd) {
    int fd = openat(parent_fd, child->name.c_str(), kFolderOpenFlags);
    std::optional<FolderId> id = fd < 0 ? std::nullopt : identify(fd);
    int error = id ? 0 : errno;
    if (id && (id->dev != child->dev || id->mount != child->mount)) error = EXDEV;
    if (error == 0) {
        child->fd = fd;
        child->ino = id->ino;
        opened(1);
        return 0;
    }
    if (fd >= 0) ::close(fd);
    if ((error == ENOTDIR || error == ELOOP) && unlinkat(parent_fd, child->name.c_str(), 0) == 0) {
        child->gone = true;
        return error;
    }
    std::string path = parent ? entry_path(parent, child->name.c_str()) : prefix_ + child->name;
    if (error == ENOENT)
        child->gone = true;
    else if (error == EXDEV)
        report_failure(path.c_str(), "is a mount point; not entered");
    else
        report_errno(path, error);
    return error;
}

void TreeWalk::list(Folder* folder) {
    read_entries(folder);
    auto count = static_cast<std::uint32_t>(folder->entries.size());
    std::uint32_t tasks = (count + kChunkEntries - 1) / kChunkEntries;
    if (tasks == 0) {
        release(folder);
        return;
    }
    folder->tasks_left = tasks;
    // Pushed last first, so that the pieces are taken in inode order, by one thread or several:
    // measured, going through the folder backwards costs a third more time in the filesystem.
    for (std::uint32_t t = tasks - 1; t >= 1; --t)
        pool_.push(
            {Task::kEntries, folder, t * kChunkEntries, std::min(count, (t + 1) * kChunkEntries)});
    remove_entries(folder, 0, std::min(count, kChunkEntries));
}

void TreeWalk::read_entries(Folder* folder) {
    thread_local std::unique_ptr<char[]> buf(new char[kDirentBufferSize]);
    for (;;) {
        ssize_t n = getdents64(folder->fd, buf.get(), kDirentBufferSize);
        if (n == 0) break;
        if (n < 0) {
            // ENOENT: removed by someone else meanwhile, so there is nothing left to list.
            if (errno != ENOENT) {
                report_errno(path_of(folder), errno);
                folder->failed = true;
            }
            break;
        }
        for (ssize_t off = 0; off < n;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(buf.get() + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            folder->entries.push_back(
                {d->d_ino, static_cast<std::uint32_t>(folder->names.size()), d->d_type});
            folder->names.append(name, std::strlen(name) + 1);
        }
    }
    // In inode order the filesystem's inode table is visited once, front to back.
    std::sort(folder->entries.begin(), folder->entries.end(),
              [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
}

void TreeWalk::remove_entries(Folder* folder, std::uint32_t begin, std::uint32_t end) {
    std::vector<Folder*> subfolders;
    for (std::uint32_t i = begin; i < end; ++i) {
        if (Folder* child = remove_entry(folder, folder->entries[i])) subfolders.push_back(child);
    }
    // Last first, so that they are taken in inode order (see list()).
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
        pool_.push({Task::kList, *it});
    if (folder->tasks_left.fetch_sub(1) != 1) return;
    folder->entries = {};
    folder->names = {};
    {
        // With every subfolder waiting and none under way, none would ever finish to open the
        // next: one starts now.
        std::lock_guard lock(folder->fd_mutex);
        std::reverse(folder->waiting.begin(), folder->waiting.end());  // taken from the back
        open_waiting(folder, folder->fd, folder->under_way.load() == 0);
    }
    close_idle_folders();
    if (folder->pending.load() > 1) make_idle(folder);  // subfolders still to come back
    release(folder);
}

// Removes one entry; a subfolder is opened and returned, for the caller to start.
Folder* TreeWalk::remove_entry(Folder* folder, const Entry& entry) {
    const char* name = folder->names.c_str() + entry.name_offset;
    if (entry.type != DT_DIR) {
        if (unlinkat(folder->fd, name, 0) == 0 || errno == ENOENT) return nullptr;
        // The listing said "not a folder" (or did not know); the name may be a folder after all.
        if (errno != EISDIR) {
            if (folder_wide(errno))
                report_denied(folder, errno);
            else
                report_errno(entry_path(folder, name), errno);
            folder->failed = true;
            return nullptr;
        }
    }
    return add_subfolder(folder, name);
}

// Opens a subfolder found in `folder`; with many folders open already, it waits instead.
Folder* TreeWalk::add_subfolder(Folder* folder, const char* name) {
    folder->pending.fetch_add(1);
    if (open_count_.load() >= bound_) {
        std::lock_guard lock(folder->fd_mutex);
        folder->waiting.emplace_back(name);
        return nullptr;
    }
    auto* child = new Folder(folder, name, folder->id());
    if (open_child(folder, child, folder->fd) == 0) {
        folder->under_way.fetch_add(1);
        return child;
    }
    if (!child->gone) folder->failed = true;
    delete child;
    release(folder);
    return nullptr;
}

// Opens waiting subfolders of `folder` through its descriptor `fd` (the caller holds its mutex
// and still counts in its `pending`): as many as the bound allows, and one at least if asked.
void TreeWalk::open_waiting(Folder* folder, int fd, bool at_least_one) {
    while (!folder->waiting.empty() && (at_least_one || open_count_.load() < bound_)) {
        auto* child = new Folder(folder, std::move(folder->waiting.back()), folder->id());
        folder->waiting.pop_back();
        if (open_child(folder, child, fd) == 0) {
            folder->under_way.fetch_add(1);
            pool_.push({Task::kList, child});
            at_least_one = false;
            continue;
        }
        if (!child->gone) folder->failed = true;
        delete child;
        folder->pending.fetch_sub(1);
    }
}

// The waiting subfolders of a folder that cannot be opened again stay where they are, unless
// the folder has `vanished` (removed by someone else, and they with it).
void TreeWalk::drop_waiting(Folder* folder, bool vanished) {
    if (folder->waiting.empty()) return;
    folder->pending.fetch_sub(static_cast<int>(folder->waiting.size()));
    folder->waiting.clear();
    if (!vanished) folder->failed = true;
}

// The way up is a loop, not a recursion: each finished folder hands back its parent, so that
// no depth of tree can run out of stack.
void TreeWalk::release(Folder* folder) {
    bool finished = false;
    while (folder && folder->pending.fetch_sub(1) == 1) {
        folder = finish(folder);
        finished = true;
    }
    if (finished) close_idle_folders();
}

// Removes a folder whose entries and subfolders are all done, where it opens the next waiting
// subfolder of its parent in its place. Returns the parent, for the caller to release (nullptr
// after the top). Something already gone, removed by someone else, is no failure.
Folder* TreeWalk::finish(Folder* folder) {
    leave_idle(folder);
    Folder* parent = folder->parent;
    bool removed = folder->gone;
    bool needs_parent = !folder->gone && !folder->failed;
    std::unique_lock<std::mutex> lock;
    if (parent) {
        lock = std::unique_lock(parent->fd_mutex);
        // Counted down under the parent's mutex: the parent's last task, which opens a waiting
        // subfolder when none is under way, must see either this or its own waiting list.
        parent->under_way.fetch_sub(1);
        needs_parent = needs_parent || !parent->waiting.empty();
    }
    if (needs_parent) {
        int error = 0;
        int parent_fd = parent_fd_for_finish(folder, error);
        if (parent_fd < 0 && error == ENOENT) {
            // The parent has vanished, and this folder with it.
            if (!folder->failed) removed = true;
            if (parent) drop_waiting(parent, true);
        } else if (parent_fd < 0) {
            report_lost(parent, error);
            if (parent) drop_waiting(parent, false);
        } else {
            if (!folder->gone && !folder->failed) {
                if (unlinkat(parent_fd, folder->name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
                    removed = true;
                else if (parent && folder_wide(errno))
                    report_denied(parent, errno);
                else
                    report_errno(path_of(folder), errno);
            }
            if (parent) open_waiting(parent, parent_fd, true);
        }
    }
    if (lock) lock.unlock();
    if (folder->fd >= 0) {
        // The removed folder is freed by the filesystem when its last descriptor closes: with a
        // second thread at hand and descriptors to spare, that work goes on beside the next one.
        if (removed && threads_ > 1 && open_count_.load() < bound_) {
            pool_.push({Task::kClose, nullptr, 0, 0, folder->fd});
        } else {
            ::close(folder->fd);
            open_count_.fetch_sub(1);
        }
    }
    delete folder;
    if (!parent) {
        top_failed_ = !removed;
        pool_.stop();
        return nullptr;
    }
    if (!removed) parent->failed = true;
    return parent;
}

// The parent's descriptor for removing `folder` from it (the caller holds the parent's mutex).
// A closed parent is opened again through "..": the folder was opened from the parent, so the
// same device and inode prove that nobody moved the chain in between. The parent keeps it: its
// other subfolders, and the parent itself when it finishes, need it next.
int TreeWalk::parent_fd_for_finish(Folder* folder, int& error) {
    Folder* parent = folder->parent;
    if (!parent) return top_parent_fd_;
    if (parent->fd >= 0) return parent->fd;
    int fd = -1;
    if (folder->fd >= 0) {
        fd = openat(folder->fd, "..", kFolderOpenFlags);
        error = fd < 0 ? errno : 0;
        if (fd >= 0 && !same_folder(fd, parent)) {
            ::close(fd);
            fd = -1;
        }
    }
    // A folder that someone else removed has no ".." any more; its parent may still be there.
    if (folder->fd < 0 || (fd < 0 && error == ENOENT)) fd = open_again(parent, error);
    if (fd < 0) return -1;
    parent->fd = fd;
    opened(1);
    // Others still to come back to the parent may find it closed again; if this is its last
    // subfolder, the parent finishes next and needs the descriptor for its own "..".
    if (parent->pending.load() > 1) make_idle(parent);
    return fd;
}

// A new descriptor of a closed folder (the caller closes it): opened step by step down from its
// nearest open ancestor, each step relative to the one before and checked for the device and
// inode that folder had, so that two descriptors at most are open at a time. -1 when a step
// fails: `error` is its errno, or 0 when a folder is not the one it was (the tree was moved).
int TreeWalk::open_again(Folder* folder, int& error) {
    std::vector<Folder*> chain;  // the closed folders, from `folder` up
    int fd = -1;
    for (Folder* f = folder;; f = f->parent) {
        chain.push_back(f);
        if (!f->parent) {
            fd = openat(top_parent_fd_, f->name.c_str(), kFolderOpenFlags);
            break;
        }
        std::lock_guard lock(f->parent->fd_mutex);
        if (f->parent->fd >= 0) {
            fd = openat(f->parent->fd, f->name.c_str(), kFolderOpenFlags);
            break;
        }
    }
    for (auto it = chain.rbegin();; ++it) {
        error = fd < 0 ? errno : 0;
        if (fd < 0 || !same_folder(fd, *it)) break;
        if (*it == folder) return fd;
        int next = openat(fd, (*(it + 1))->name.c_str(), kFolderOpenFlags);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

void TreeWalk::opened(int count) { open_count_.fetch_add(count); }

void TreeWalk::make_idle(Folder* folder) {
    std::lock_guard lock(idle_mutex_);
    if (folder->idle) return;
    folder->idle = true;
    folder->idle_prev = idle_tail_;
    folder->idle_next = nullptr;
    (idle_tail_ ? idle_tail_->idle_next : idle_head_) = folder;
    idle_tail_ = folder;
}

void TreeWalk::leave_idle(Folder* folder) {
    std::lock_guard lock(idle_mutex_);
    unlink_idle(folder);
}

void TreeWalk::unlink_idle(Folder* folder) {
    if (!folder->idle) return;
    (folder->idle_prev ? folder->idle_prev->idle_next : idle_head_) = folder->idle_next;
    (folder->idle_next ? folder->idle_next->idle_prev : idle_tail_) = folder->idle_prev;
    folder->idle = false;
}

// Closes idle folders, oldest first, until the bound holds again. A folder in use (its mutex
// held) is passed over: its holder may be waiting for the idle list. The caller holds no folder's
// mutex.
void TreeWalk::close_idle_folders() {
    if (open_count_.load() <= bound_) return;
    std::lock_guard lock(idle_mutex_);
    for (Folder* f = idle_head_; f && open_count_.load() > bound_;) {
        Folder* next = f->idle_next;
        if (f->fd_mutex.try_lock()) {
            unlink_idle(f);
            if (f->fd >= 0) {
                ::close(f->fd);
                f->fd = -1;
                open_count_.fetch_sub(1);
            }
            f->fd_mutex.unlock();
        }
        f = next;
    }
}

// A folder we may not change fails every removal in it alike: one line says so for all of them.
void TreeWalk::report_denied(Folder* folder, int error) const {
    if (!folder->denied.exchange(true)) report_errno(path_of(folder), error);
}

void TreeWalk::report_lost(const Folder* folder, int error) const {
    if (error == 0)
        report_failure(path_of(folder).c_str(),
                       "was moved during the deletion; the rest of it is left");
    else
        report_errno(path_of(folder), error);
}

std::string TreeWalk::path_of(const Folder* folder) const {
    std::vector<const std::string*> names;
    for (const Folder* f = folder; f; f = f->parent) names.push_back(&f->name);
    std::string path = prefix_;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (it != names.rbegin()) path += '/';
        path += **it;
    }
    return path;
}

}  // namespace

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

bool remove_tree(int parent_fd, const FolderId& parent, const std::string& name,
                 const std::string& shown_prefix) {
    TreeWalk walk(parent_fd, shown_prefix);
    return walk.run(name, parent);
}

}  // namespace deltree
