// Race-safe, parallel removal of a folder tree. Every step is taken relative to an open folder
// descriptor and no symbolic link is ever followed, so a folder swapped for a link while the walk
// is under way cannot send the deletion outside the tree (the attack behind CVE-2022-21658).
//
// Each folder is a task: opened relative to its parent, listed in large batches, its entries
// removed in inode order (a big folder split into several tasks) and judged by the type the
// listing gives, without a stat per entry. Subfolders become tasks of their own; whoever
// finishes a folder's last piece of work removes the folder and reports to its parent.
//
// Open descriptors are bounded by a DescriptorBudget (descriptor_budget_posix.h).
#include "tree_walk_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "deltree.h"
#include "descriptor_budget_posix.h"
#include "report.h"
#include "work_pool.h"

namespace deltree {

namespace {

// A small folder is listed by one small read; one that fills more than half of it goes on with
// big reads, which cost fewer calls per entry.
constexpr std::size_t kSmallRead = 16 * 1024;
constexpr std::size_t kBigRead = 128 * 1024;
constexpr std::uint32_t kChunkEntries = 2048;  // entries per task of a big folder

struct Task {
    enum Job : std::uint8_t {
        kList,     // list the (open) folder and start on its entries
        kEntries,  // remove the entries [begin, end) of one of the folder's listings
    };
    Job job;
    Folder* folder;
    Listing* listing = nullptr;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// In inode order the filesystem's inode table is visited once, front to back.
void sort_by_inode(Listing& listing) {
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
}

// Whether a removal in `folder` (open as `fd`) failed because of the folder, not the entry: a
// read-only filesystem, or a folder that refuses every removal in it (folder_posix.h). Then
// every other entry of it fails the same way. The folder is asked at its first refusal only.
bool folder_wide(Folder* folder, int fd, int error) {
    if (error == EROFS) return true;
    if (error != EACCES && error != EPERM) return false;
    Folder::Verdict verdict = folder->verdict.load();
    if (verdict == Folder::kUnjudged) {
        verdict = refuses_removal(fd) ? Folder::kRefuses : Folder::kAllows;
        folder->verdict.store(verdict);
    }
    return verdict == Folder::kRefuses;
}

// The record of the subfolder `name` of `parent`, or nullptr when memory is too short for it
// (`name` is then left as it was).
template <typename Name>
Folder* new_subfolder(Folder* parent, Name&& name) {
    try {
        return new Folder(parent, std::forward<Name>(name), parent->id());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Adds the `size` bytes of a listing call's answer to `into`; false when memory ran out half
// way. A name goes in before the entry that refers to it, so that every entry in is whole.
bool add_entries(Listing& into, const char* answer, ssize_t size) try {
    for (ssize_t off = 0; off < size;) {
        const auto* d = reinterpret_cast<const struct dirent64*>(answer + off);
        off += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        auto name_offset = static_cast<std::uint32_t>(into.names.size());
        into.names.append(name, std::strlen(name) + 1);
        into.entries.push_back({d->d_ino, name_offset, d->d_type});
    }
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

// Grows a listing buffer; false, with the buffer as it was, when memory is too short.
bool grown(std::vector<char>& buffer, std::size_t size) {
    try {
        buffer.resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

class TreeWalk {
public:
    TreeWalk(int top_parent_fd, const std::string& shown_prefix,
             const paths::ProtectedFolders& folders)
        : prefix_(shown_prefix),
          folders_(folders),
          budget_(top_parent_fd),
          // Every running task holds a folder open: few descriptors allow few threads.
          pool_(static_cast<unsigned>(std::max(1, budget_.bound() / 2)), Runner{this}) {
        try {
            spare_.reserve(32 * 1024);
        } catch (const std::bad_alloc&) {  // then such a line names the entry alone
        }
    }

    bool run(UniqueFd top_fd, const FolderId& top, const std::string& name, const FolderId& parent);

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(const Task& task) const { walk->run_task(task); }
    };

    void run_task(const Task& task);
    void list(Folder* folder);
    bool read_entries(Folder* folder);
    void start_head(Folder* folder);
    void remove_entries(Folder* folder, Listing* listing, std::uint32_t begin, std::uint32_t end);
    void start(Folder* child);
    void task_done(Folder* folder);
    Folder* remove_entry(Folder* folder, const Listing& listing, const Entry& entry);
    Folder* add_subfolder(Folder* folder, const char* name);
    bool wait_for_room(Folder* folder, const char* name);
    int open_child(Folder* parent, Folder* child, int parent_fd);
    int accept_open(Folder* parent, Folder* child, int fd, const FolderId& id);
    int open_failed(Folder* parent, Folder* child, int parent_fd, int error);
    void release(Folder* folder);
    Folder* finish(Folder* folder);
    void open_waiting(Folder* folder, int fd, bool at_least_one);
    void drop_waiting(Folder* folder, bool vanished);
    void report_denied(Folder* folder, int error) const;
    void report_lost(const Folder* folder, int error) const;
    void report_errno(Operation operation, const Folder* folder, const char* name, int error) const;
    template <typename Write>
    void report_at(const Folder* folder, const char* name, Write write) const;
    bool write_path(std::string& into, const Folder* folder, const char* name, bool may_grow) const;

    const std::string prefix_;
    // Room for one failure line's path, taken at the start: a line written while memory runs
    // short still names the whole path where it fits.
    mutable std::mutex spare_mutex_;
    mutable std::string spare_;
    const paths::ProtectedFolders& folders_;
    DescriptorBudget budget_;
    std::atomic<bool> top_failed_{false};
    WorkPool<Task, Runner> pool_;
};

bool TreeWalk::run(UniqueFd top_fd, const FolderId& top_id, const std::string& name,
                   const FolderId& parent) {
    auto* top = new Folder(nullptr, name, parent);
    if (accept_open(nullptr, top, top_fd.release(), top_id) != 0) {
        delete top;
        return false;
    }
    if (!pool_.try_push({Task::kList, top})) list(top);
    pool_.run();
    return !top_failed_;
}

void TreeWalk::run_task(const Task& task) {
    switch (task.job) {
    case Task::kList: list(task.folder); break;
    case Task::kEntries: remove_entries(task.folder, task.listing, task.begin, task.end); break;
    }
}

// Opens `child` relative to `parent_fd` and checks that it is a folder of the same mount.
// 0, or the errno value after reporting. A name that is no folder any more (a link or a file took
// its place since it was listed) is removed as it is: O_NOFOLLOW refused to follow it, so nothing
// outside the tree was touched.
int TreeWalk::open_child(Folder* parent, Folder* child, int parent_fd) {
    int fd = openat(parent_fd, child->name.c_str(), kFolderOpenFlags);
    std::optional<FolderId> id = fd < 0 ? std::nullopt : identify(fd);
    if (!id) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        return open_failed(parent, child, parent_fd, error);
    }
    return accept_open(parent, child, fd, *id);
}

// Takes the open folder `fd` (which is `id`) as `child`, unless it lies on another mount or is
// a folder no deletion may remove: the current folder or one above it, reached through a bind
// mount inside the tree, is the same folder by device and inode. 0, or the errno value after
// reporting (the descriptor is then closed).
int TreeWalk::accept_open(Folder* parent, Folder* child, int fd, const FolderId& id) {
    int error = 0;
    const char* protection = folders_.reason({id.dev, id.ino});
    if (id.dev != child->dev || id.mount != child->mount)
        error = EXDEV;
    else if (protection)
        error = EPERM;
    if (error == 0) {
        child->fd = fd;
        child->ino = id.ino;
        budget_.opened();
        return 0;
    }
    ::close(fd);
    char why[96];  // no memory needed for the line
    std::snprintf(why, sizeof why, "%s; not entered",
                  error == EXDEV ? "is a mount point" : protection);
    report_at(parent, child->name.c_str(), [&](auto path) { report_refusal(path, why); });
    return error;
}

// After `child` could not be opened with `error`: a name that is no folder any more is removed
// as it is, one that vanished is gone, and anything else is reported. Returns `error`.
int TreeWalk::open_failed(Folder* parent, Folder* child, int parent_fd, int error) {
    if ((error == ENOTDIR || error == ELOOP) && unlinkat(parent_fd, child->name.c_str(), 0) == 0) {
        child->gone = true;
        count_removed();
        return error;
    }
    if (error == ENOENT)
        child->gone = true;
    else
        report_errno(Operation::kOpenFolder, parent, child->name.c_str(), error);
    return error;
}

void TreeWalk::list(Folder* folder) {
    // The listing counts as one task until it ends: no task of the head can finish the folder
    // while entries are still to come.
    folder->tasks_left.store(1);
    bool head_started = read_entries(folder);
    Listing& rest = folder->listing;
    auto count = static_cast<std::uint32_t>(rest.entries.size());
    std::uint32_t tasks = (count + kChunkEntries - 1) / kChunkEntries;
    if (tasks == 0) {
        if (head_started)
            task_done(folder);
        else
            release(folder);
        return;
    }
    folder->tasks_left.fetch_add(tasks - 1);
    // Pushed last first, so that the pieces are taken in inode order, by one thread or several:
    // measured, going through the folder backwards costs a third more time in the filesystem.
    // A piece that no task list can hold is done here and now (the first one, still to come,
    // keeps the folder).
    for (std::uint32_t t = tasks - 1; t >= 1; --t) {
        std::uint32_t begin = t * kChunkEntries;
        std::uint32_t end = std::min(count, (t + 1) * kChunkEntries);
        if (!pool_.try_push({Task::kEntries, folder, &rest, begin, end}))
            remove_entries(folder, &rest, begin, end);
    }
    remove_entries(folder, &rest, 0, std::min(count, kChunkEntries));
}

// Lists `folder` into its listing, sorted by inode. True when a head of it was started on
// meanwhile (see start_head).
bool TreeWalk::read_entries(Folder* folder) {
    // Small reads go to the stack. Not a buffer kept per thread: glibc aborts a thread whose
    // first use of one finds no memory to register its destructor.
    alignas(struct dirent64) char small[kSmallRead];
    std::vector<char> big;
    char* buffer = small;
    std::size_t read_size = kSmallRead;
    bool head_started = false;
    bool head_judged = false;  // asked once per folder: on NFS the filesystem check is a round trip
    for (;;) {
        Listing& into = folder->listing;
        ssize_t n = getdents64(folder->fd, buffer, read_size);
        int error = n < 0 ? errno : 0;
        if (n > 0 && !add_entries(into, buffer, n)) error = ENOMEM;
        // ENOENT: removed by someone else meanwhile, so there is nothing left to list. Any other
        // failure leaves the rest unlisted: what is listed goes, the rest stays with the folder.
        if (error != 0 && error != ENOENT) {
            report_errno(Operation::kList, folder, nullptr, error);
            folder->failed = true;
        }
        if (error != 0 || n == 0) break;
        // Without memory for big reads, small ones do the same in more calls.
        if (static_cast<std::size_t>(n) > read_size / 2 && big.empty() && grown(big, kBigRead)) {
            buffer = big.data();
            read_size = kBigRead;
        }
        if (!head_judged && into.entries.size() >= kChunkEntries) {
            head_judged = true;
            if (pool_.shares_work() && listing_survives_removal(folder->fd)) {
                start_head(folder);
                head_started = true;
            }
        }
    }
    sort_by_inode(folder->listing);
    return head_started;
}

// The first entries of a big folder go to another thread while this one lists the rest, so that
// the listing no longer comes before all removal. Only the head is split off: the rest is still
// removed in one inode order.
void TreeWalk::start_head(Folder* folder) {
    folder->head = std::move(folder->listing);
    folder->listing = {};
    Listing& head = folder->head;
    sort_by_inode(head);
    folder->tasks_left.fetch_add(1);
    auto count = static_cast<std::uint32_t>(head.entries.size());
    // A head that no task list can hold is removed here, before the listing goes on.
    if (!pool_.try_push({Task::kEntries, folder, &head, 0, count}, true))
        remove_entries(folder, &head, 0, count);
}

void TreeWalk::remove_entries(Folder* folder, Listing* listing, std::uint32_t begin,
                              std::uint32_t end) {
    std::vector<Folder*> subfolders;
    for (std::uint32_t i = begin; i < end; ++i) {
        Folder* child = remove_entry(folder, *listing, listing->entries[i]);
        if (!child) continue;
        try {
            subfolders.push_back(child);
        } catch (const std::bad_alloc&) {
            start(child);  // now, out of order
        }
    }
    // Last first, so that they are taken in inode order (see list()).
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) start(*it);
    task_done(folder);
}

// Starts on an opened subfolder. One that no task list can hold stays unentered: it is
// reported, closed and finished as failed, and its parent stays with it.
void TreeWalk::start(Folder* child) {
    if (pool_.try_push({Task::kList, child})) return;
    report_errno(Operation::kList, child, nullptr, ENOMEM);
    child->failed = true;
    release(child);
}

// The end of one of the folder's tasks; the last one starts what waits and lets the folder go.
void TreeWalk::task_done(Folder* folder) {
    if (folder->tasks_left.fetch_sub(1) != 1) return;
    folder->head = {};
    folder->listing = {};
    {
        // With every subfolder waiting and none under way, none would ever finish to open the
        // next: one starts now.
        std::lock_guard lock(folder->fd_mutex);
        std::reverse(folder->waiting.begin(), folder->waiting.end());  // taken from the back
        open_waiting(folder, folder->fd, folder->under_way.load() == 0);
    }
    budget_.close_idle_folders();
    if (folder->pending.load() > 1) budget_.make_idle(folder);  // subfolders still to come back
    release(folder);
}

// Removes one entry; a subfolder is opened and returned, for the caller to start.
Folder* TreeWalk::remove_entry(Folder* folder, const Listing& listing, const Entry& entry) {
    const char* name = listing.names.c_str() + entry.name_offset;
    if (entry.type != DT_DIR) {
        if (unlinkat(folder->fd, name, 0) == 0) {
            count_removed();
            return nullptr;
        }
        int error = errno;
        if (error == ENOENT) return nullptr;
        // The listing said "not a folder" (or did not know); the name may be a folder after all.
        if (error != EISDIR) {
            if (folder_wide(folder, folder->fd, error))
                report_denied(folder, error);
            else
                report_errno(Operation::kRemove, folder, name, error);
            folder->failed = true;
            return nullptr;
        }
    }
    return add_subfolder(folder, name);
}

// Opens a subfolder found in `folder`; with many folders open already, it waits instead.
// Without the memory to keep it in mind, it stays unentered.
Folder* TreeWalk::add_subfolder(Folder* folder, const char* name) {
    folder->pending.fetch_add(1);
    if (!budget_.has_room()) {
        if (wait_for_room(folder, name)) return nullptr;
    } else if (Folder* child = new_subfolder(folder, name)) {
        if (open_child(folder, child, folder->fd) == 0) {
            folder->under_way.fetch_add(1);
            return child;
        }
        if (!child->gone) folder->failed = true;
        delete child;
        release(folder);
        return nullptr;
    }
    report_errno(Operation::kOpenFolder, folder, name, ENOMEM);
    folder->failed = true;
    release(folder);
    return nullptr;
}

// Puts a subfolder of `folder` on its waiting list; false when memory is too short for it.
bool TreeWalk::wait_for_room(Folder* folder, const char* name) {
    std::lock_guard lock(folder->fd_mutex);
    try {
        folder->waiting.emplace_back(name);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Opens waiting subfolders of `folder` through its descriptor `fd` (the caller holds its mutex
// and still counts in its `pending`): as many as the bound allows, and one at least if asked.
// One that memory is too short to start on stays unentered, and the next is tried in its place.
void TreeWalk::open_waiting(Folder* folder, int fd, bool at_least_one) {
    while (!folder->waiting.empty() && (at_least_one || budget_.has_room())) {
        Folder* child = new_subfolder(folder, std::move(folder->waiting.back()));
        if (!child)
            report_errno(Operation::kOpenFolder, folder, folder->waiting.back().c_str(), ENOMEM);
        folder->waiting.pop_back();
        if (child && open_child(folder, child, fd) == 0) {
            folder->under_way.fetch_add(1);
            if (pool_.try_push({Task::kList, child})) {
                at_least_one = false;
                continue;
            }
            // Not released like a folder: its finish would wait for the mutex held here.
            folder->under_way.fetch_sub(1);
            report_errno(Operation::kList, child, nullptr, ENOMEM);
            ::close(child->fd);
            budget_.closed();
        }
        if (!child || !child->gone) folder->failed = true;
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
    if (finished) budget_.close_idle_folders();
}

// Removes a folder whose entries and subfolders are all done, where it opens the next waiting
// subfolder of its parent in its place. Returns the parent, for the caller to release (nullptr
// after the top). Something already gone, removed by someone else, is no failure.
Folder* TreeWalk::finish(Folder* folder) {
    budget_.leave_idle(folder);
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
        auto [parent_fd, error] = budget_.parent_fd_for_finish(folder);
        if (parent_fd < 0 && error == ENOENT) {
            // The parent has vanished, and this folder with it.
            if (!folder->failed) removed = true;
            if (parent) drop_waiting(parent, true);
        } else if (parent_fd < 0) {
            report_lost(parent, error);
            if (parent) drop_waiting(parent, false);
        } else {
            if (!folder->gone && !folder->failed) {
                if (unlinkat(parent_fd, folder->name.c_str(), AT_REMOVEDIR) == 0) {
                    removed = true;
                    count_removed();
                } else if (int error = errno; error == ENOENT) {
                    removed = true;
                } else if (parent && folder_wide(parent, parent_fd, error)) {
                    report_denied(parent, error);
                } else {
                    report_errno(Operation::kRemove, folder, nullptr, error);
                }
            }
            if (parent) open_waiting(parent, parent_fd, true);
        }
    }
    if (lock) lock.unlock();
    // Closed here, on this thread, even though the filesystem frees a removed folder only now:
    // handing the close to another thread woke it for every level of a deep chain, and two
    // threads measured slower there than one.
    if (folder->fd >= 0) {
        ::close(folder->fd);
        budget_.closed();
    }
    return hand_to_parent(folder, removed, top_failed_, pool_);
}

// A folder we may not change fails every removal in it alike: one line says so for all of them.
void TreeWalk::report_denied(Folder* folder, int error) const {
    if (!folder->denied.exchange(true))
        report_errno(Operation::kRemoveInside, folder, nullptr, error);
}

void TreeWalk::report_lost(const Folder* folder, int error) const {
    if (error == 0)
        report_at(folder, nullptr, [](auto path) {
            report_refusal(path, "was moved during the deletion; the rest of it is left");
        });
    else
        report_errno(Operation::kOpenFolder, folder, nullptr, error);
}

void TreeWalk::report_errno(Operation operation, const Folder* folder, const char* name,
                            int error) const {
    report_at(folder, name,
              [&](auto path) { report_failure(operation, path, std::strerror(error)); });
}

// Writes a line about `folder`, or the entry `name` in it (in the top's parent when `folder` is
// nullptr), by `write(path)`. A path that memory is too short to build is shown as the name
// alone: the line is written all the same.
template <typename Write>
void TreeWalk::report_at(const Folder* folder, const char* name, Write write) const {
    std::string path;
    try {
        write_path(path, folder, name, true);
    } catch (const std::bad_alloc&) {
        std::lock_guard lock(spare_mutex_);
        if (write_path(spare_, folder, name, false))
            write(std::string_view(spare_));
        else
            write(name ? std::string_view(name) : std::string_view(folder->name));
        return;
    }
    write(std::string_view(path));
}

// The shown path of `folder`, or of the entry `name` in it (in the top's parent when `folder` is
// nullptr), into `into`. Without `may_grow`, false when it does not fit the room `into` has:
// then nothing is allocated.
bool TreeWalk::write_path(std::string& into, const Folder* folder, const char* name,
                          bool may_grow) const {
    std::size_t name_size = name ? std::strlen(name) : 0;
    std::size_t size = prefix_.size() + name_size + (name && folder ? 1 : 0);
    for (const Folder* f = folder; f; f = f->parent) size += f->name.size() + (f->parent ? 1 : 0);
    if (!may_grow && size > into.capacity()) return false;
    into.resize(size);
    // Filled from its end, up the chain of folders.
    char* end = into.data() + size;
    auto put = [&end](std::string_view piece) {
        end -= piece.size();
        std::memcpy(end, piece.data(), piece.size());
    };
    if (name) {
        put(std::string_view(name, name_size));
        if (folder) put("/");
    }
    for (const Folder* f = folder; f; f = f->parent) {
        put(f->name);
        if (f->parent) put("/");
    }
    put(prefix_);
    return true;
}

}  // namespace

bool remove_tree(int parent_fd, const FolderId& parent, UniqueFd top_fd, const FolderId& top,
                 const std::string& name, const std::string& shown_prefix,
                 const paths::ProtectedFolders& folders) {
    TreeWalk walk(parent_fd, shown_prefix, folders);
    return walk.run(std::move(top_fd), top, name, parent);
}

}  // namespace deltree
