// Race-safe, parallel removal of a folder tree. Every step is taken relative to an open folder
// descriptor and no symbolic link is ever followed, so a folder swapped for a link while the walk
// is under way cannot send the deletion outside the tree (the attack behind CVE-2022-21658).
//
// Each folder is a task: opened relative to its parent, listed, its entries removed in inode
// order and judged by the type the listing gives, without a stat per entry. Subfolders become
// tasks of their own; the last to finish removes its parent (see Folder).
#include "tree_walk_posix.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "report.h"
#include "work_pool.h"

namespace deltree {

namespace {

// What a folder's descriptor is besides an open one.
constexpr int kClosed = -1;    // closed to stay within the bound: opened again when needed
constexpr int kLost = -2;      // cannot be had again (said once): the rest of it is left
constexpr int kVanished = -3;  // (only as an answer) removed by someone else, with what it held

// A folder of the walk, from the moment its name is listed until it is finished.
//
// Owner: the walk, which keeps it in `idle_` while it is open and unused, in `folders_`
// otherwise, and erases it when it is finished. `pending` counts its own task and its subfolders
// not finished yet; whoever brings it to zero finishes the folder: removes it (unless `failed`:
// something in it stays, said where it failed), then releases its parent. So a parent is removed
// only after all its subfolders, and outlives them.
//
// Descriptor: `fd` and `users`, guarded by the walk's mutex. Opened by the folder's own task and
// closed at its finish; meanwhile closed only while nobody uses it (`users`: its own task, a
// subfolder being opened or removed through it), the longest unused first, when more folders are
// open than the bound allows. Opened again when needed: through ".." from a subfolder, or by name
// down from the nearest open ancestor, each step checked against the device and inode it had, so
// that a tree moved meanwhile is never taken for it (it is lost then, and the rest of it is left).
//
// `verdict`: whether it refuses every removal in it, judged at the first refused one, said once.
struct Folder {
    Folder(Folder* parent_folder, std::string folder_name, const FolderId& parent_id)
        : parent(parent_folder), name(std::move(folder_name)), id(parent_id) {}

    Folder* const parent;  // nullptr for the top
    const std::string name;
    // The parent's device and mount (no other mount is entered); its own inode once open.
    FolderId id;
    std::list<Folder>::iterator self;  // its place in the walk's lists
    int fd = kClosed;
    int users = 0;
    bool gone = false;  // never entered: it vanished, or was no folder and was removed as such
    std::atomic<int> pending{1};
    std::atomic<bool> failed{false};
    enum Verdict : std::uint8_t { kUnjudged, kRefuses, kAllows };
    std::atomic<Verdict> verdict{kUnjudged};
};

// Entries as the folder's listing gave them, and their names, each ended by '\0'.
struct Entry {
    ino_t ino;
    std::uint32_t name_offset;
    unsigned char type;  // as the listing says; DT_UNKNOWN on some filesystems
};
struct Listing {
    std::string names;
    std::vector<Entry> entries;
};

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

// How many folders to keep open: a quarter of the descriptors this process may have.
unsigned open_folder_bound() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
    if (limit.rlim_cur == RLIM_INFINITY) return 4096;
    long quarter = (static_cast<long>(limit.rlim_cur) - 16) / 4;
    return static_cast<unsigned>(std::clamp(quarter, 2L, 4096L));
}

class TreeWalk {
public:
    TreeWalk(int top_parent_fd, const std::string& shown_prefix,
             const paths::ProtectedFolders& folders, unsigned threads)
        : prefix_(shown_prefix),
          protected_(folders),
          top_parent_fd_(top_parent_fd),
          bound_(open_folder_bound()),
          // Every running task holds a folder or two open: few descriptors allow few threads.
          pool_(std::min(threads, std::max(1u, bound_ / 2u)), Runner{this}) {
        try {
            line_.reserve(32 * 1024);
        } catch (const std::bad_alloc&) {  // then such a line names the entry alone
        }
    }

    bool run(UniqueFd top_fd, const FolderId& top_id, const std::string& name,
             const FolderId& parent) {
        // Memory too short for the top throws to deltree's entry, which reports the path as named.
        auto top = folders_.emplace(folders_.end(), nullptr, name, parent);
        top->self = top;
        if (accept(*top, top_fd.release(), top_id) < 0) {
            folders_.erase(top);
            return false;
        }
        if (!pool_.try_push(&*top)) enter(*top);
        pool_.run();
        return !top_failed_;
    }

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(Folder* folder) const { walk->enter(*folder); }
    };

    // Opens the folder relative to its parent. Its descriptor, or -1 when it is not entered: it
    // vanished, it is no folder any more (a link or a file took its place since it was listed,
    // removed as it is: O_NOFOLLOW refused to follow it), or it failed (said, or its parent was).
    int open(Folder& folder) {
        Folder& parent = *folder.parent;
        int parent_fd = take(parent, nullptr);
        if (parent_fd < 0) {
            folder.gone = parent_fd == kVanished;  // and this folder with it
            folder.failed = !folder.gone;
            return -1;
        }
        UniqueFd fd(openat(parent_fd, folder.name.c_str(), kFolderOpenFlags));
        std::optional<FolderId> id = fd.valid() ? identify(fd.get()) : std::nullopt;
        int error = errno;
        int opened = id ? accept(folder, fd.release(), *id) : -1;
        if (!id && (error == ENOTDIR || error == ELOOP) &&
            unlinkat(parent_fd, folder.name.c_str(), 0) == 0) {
            folder.gone = true;
            count_removed();
        } else if (!id && error == ENOENT) {
            folder.gone = true;
        } else if (!id) {
            report_errno(Operation::kOpenFolder, &parent, folder.name.c_str(), error);
            folder.failed = true;
        }
        put(parent);
        return opened;
    }

    // Takes the open folder `fd` (which is `id`) for its task, unless it lies on another mount or
    // is a folder no deletion may remove: the current folder or one above it, reached through a
    // bind mount inside the tree, is the same folder by device and inode. Its descriptor, or -1
    // when it is refused (said, and closed).
    int accept(Folder& folder, int fd, const FolderId& id) {
        const char* protection = protected_.reason({id.dev, id.ino});
        bool elsewhere = id.dev != folder.id.dev || id.mount != folder.id.mount;
        if (!elsewhere && !protection) {
            std::lock_guard lock(mutex_);
            folder.fd = fd;
            folder.id.ino = id.ino;
            folder.users = 1;
            ++open_;
            close_unused();
            return fd;
        }
        ::close(fd);
        folder.failed = true;
        char why[96];  // no memory needed for the line
        std::snprintf(why, sizeof why, "%s; not entered",
                      elsewhere ? "is a mount point" : protection);
        report_at(folder.parent, folder.name.c_str(),
                  [&](auto path) { report_refusal(path, why); });
        return -1;
    }

    // Opens the folder (the top is open already), lists it, removes its entries, and starts on its
    // subfolders. In inode order the filesystem's inode table is visited once, front to back. A
    // listing that fails leaves the rest unlisted: what is listed goes, the rest stays.
    void enter(Folder& folder) {
        int fd = folder.parent ? open(folder) : folder.fd;
        if (fd < 0) {
            release(&folder);
            return;
        }
        alignas(struct dirent64) char answer[32 * 1024];  // one listing call
        Listing listing;
        for (;;) {
            ssize_t n = getdents64(fd, answer, sizeof answer);
            int error = n < 0 ? errno : 0;
            if (n > 0 && !add_entries(listing, answer, n)) error = ENOMEM;
            // ENOENT: removed by someone else meanwhile, so there is nothing left to list.
            if (error != 0 && error != ENOENT) {
                report_errno(Operation::kList, &folder, nullptr, error);
                folder.failed = true;
            }
            if (error != 0 || n == 0) break;
        }
        std::sort(listing.entries.begin(), listing.entries.end(),
                  [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
        for (Entry& entry : listing.entries)
            entry.type =
                remove_entry(folder, fd, listing.names.c_str() + entry.name_offset, entry.type)
                    ? DT_DIR
                    : DT_REG;
        // Pushed last first, so that they are taken in inode order: measured, going through a
        // folder backwards costs a third more time in the filesystem.
        for (auto it = listing.entries.rbegin(); it != listing.entries.rend(); ++it)
            if (it->type == DT_DIR) start(folder, listing.names.c_str() + it->name_offset);
        put(folder);
        release(&folder);
    }

    // Removes one entry, unless it is a subfolder: true then, for the caller to start it.
    bool remove_entry(Folder& folder, int fd, const char* name, unsigned char type) {
        if (type == DT_DIR) return true;
        if (unlinkat(fd, name, 0) == 0) {
            count_removed();
            return false;
        }
        int error = errno;
        // The listing said "not a folder" (or did not know); the name may be a folder after all.
        if (error == ENOENT || error == EISDIR) return error == EISDIR;
        if (!refused_by_folder(folder, fd, error))
            report_errno(Operation::kRemove, &folder, name, error);
        folder.failed = true;
        return false;
    }

    // Starts on the subfolder `name` of `parent`. Without memory to keep it in mind it stays
    // unentered; one that no task list can hold is finished as failed.
    void start(Folder& parent, const char* name) {
        Folder* child = nullptr;
        try {
            std::lock_guard lock(mutex_);
            auto it = folders_.emplace(folders_.end(), &parent, name, parent.id);
            it->self = it;
            child = &*it;
        } catch (const std::bad_alloc&) {
            report_errno(Operation::kOpenFolder, &parent, name, ENOMEM);
            parent.failed = true;
            return;
        }
        parent.pending.fetch_add(1);
        if (pool_.try_push(child)) return;
        report_errno(Operation::kList, child, nullptr, ENOMEM);
        child->failed = true;
        release(child);
    }

    // Whether `error`, from a removal in `folder` (open as `fd`), is the folder's doing, not the
    // entry's: a read-only filesystem, or a folder that refuses every removal in it. Then every
    // entry of it fails alike, and one line says so for all of them.
    bool refused_by_folder(Folder& folder, int fd, int error) {
        if (error != EROFS && error != EACCES && error != EPERM) return false;
        Folder::Verdict seen = folder.verdict.load();
        if (error != EROFS && seen != Folder::kRefuses &&
            (seen == Folder::kAllows || !refuses_removal(fd))) {
            folder.verdict.compare_exchange_strong(seen, Folder::kAllows);
            return false;
        }
        if (folder.verdict.exchange(Folder::kRefuses) != Folder::kRefuses)
            report_errno(Operation::kRemoveInside, &folder, nullptr, error);
        return true;
    }

    // The folder's descriptor, held until put(): open, or opened again (through ".." from `child`
    // when it is open). kVanished when the folder is gone, kLost when it cannot be had (said once).
    int take(Folder& folder, const Folder* child) {
        std::lock_guard lock(mutex_);
        if (folder.fd >= 0 && folder.users == 0)
            folders_.splice(folders_.end(), idle_, folder.self);
        if (folder.fd == kClosed) {
            auto [fd, error] = reopen(folder, child);
            if (fd < 0 && error == ENOENT) return kVanished;
            if (fd < 0) {
                folder.fd = kLost;
                folder.failed = true;
                if (error != 0)
                    report_errno(Operation::kOpenFolder, &folder, nullptr, error);
                else
                    report_at(&folder, nullptr, [](auto path) {
                        report_refusal(path,
                                       "was moved during the deletion; the rest of it is left");
                    });
            } else {
                folder.fd = fd;
                ++open_;
            }
        }
        if (folder.fd < 0) return kLost;
        ++folder.users;
        close_unused();
        return folder.fd;
    }

    // A new descriptor of the closed folder, and 0, or -1 and errno (0 when a folder on the way is
    // not the one it was): through ".." from `child`, which was opened from it, so that the same
    // device and inode prove that nobody moved the child in between; else step by step down from
    // its nearest open ancestor, each step checked. Called with the mutex held.
    std::pair<int, int> reopen(const Folder& folder, const Folder* child) const {
        if (child && child->fd >= 0) {
            UniqueFd up(openat(child->fd, "..", kFolderOpenFlags));
            if (up.valid() && same_folder(up.get(), folder.id)) return {up.release(), 0};
            // A folder that someone removed has no ".." any more; its parent may still be there.
            if (up.valid() || errno != ENOENT) return {-1, up.valid() ? 0 : errno};
        }
        std::vector<const Folder*> chain;  // the closed folders, from this one up
        const Folder* base = &folder;
        try {
            for (; base && base->fd == kClosed; base = base->parent) chain.push_back(base);
        } catch (const std::bad_alloc&) {
            return {-1, ENOMEM};
        }
        if (base && base->fd == kLost) return {-1, 0};
        UniqueFd at;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            int from = at.valid() ? at.get() : base ? base->fd : top_parent_fd_;
            UniqueFd next(openat(from, (*it)->name.c_str(), kFolderOpenFlags));
            if (!next.valid()) return {-1, errno};
            if (!same_folder(next.get(), (*it)->id)) return {-1, 0};
            at = std::move(next);
        }
        return {at.release(), 0};
    }

    void put(Folder& folder) {
        std::lock_guard lock(mutex_);
        if (--folder.users == 0 && folder.fd >= 0) idle_.splice(idle_.end(), folders_, folder.self);
        close_unused();
    }

    // Called with the mutex held.
    void close_unused() {
        while (open_ > bound_ && !idle_.empty()) {
            Folder& folder = idle_.front();
            ::close(folder.fd);
            folder.fd = kClosed;
            --open_;
            folders_.splice(folders_.end(), idle_, folder.self);
        }
    }

    // The way up is a loop, not a recursion: each finished folder hands back its parent, so that
    // no depth of tree can run out of stack.
    void release(Folder* folder) {
        while (folder && folder->pending.fetch_sub(1) == 1) folder = finish(*folder);
    }

    // Removes a folder whose entries and subfolders are all done, and lets it go. Returns its
    // parent, for the caller to release (nullptr after the top). Something already gone, removed by
    // someone else, is no failure.
    Folder* finish(Folder& folder) {
        Folder* parent = folder.parent;
        bool removed = folder.gone;
        if (!folder.gone && !folder.failed) {
            int parent_fd = parent ? take(*parent, &folder) : top_parent_fd_;
            removed = parent_fd == kVanished;  // the parent has vanished, and this folder with it
            if (parent_fd >= 0) {
                if (unlinkat(parent_fd, folder.name.c_str(), AT_REMOVEDIR) == 0) {
                    removed = true;
                    count_removed();
                } else if (int error = errno; error == ENOENT) {
                    removed = true;
                } else if (!parent || !refused_by_folder(*parent, parent_fd, error)) {
                    report_errno(Operation::kRemove, &folder, nullptr, error);
                }
                if (parent) put(*parent);
            }
        }
        int fd;
        {
            std::lock_guard lock(mutex_);
            fd = folder.fd;
            if (fd >= 0) --open_;
            (fd >= 0 && folder.users == 0 ? idle_ : folders_).erase(folder.self);
        }
        // Closed here, on this thread, even though the filesystem frees a removed folder only now:
        // handing the close to another thread woke it for every level of a deep chain, and two
        // threads measured slower there than one.
        if (fd >= 0) ::close(fd);
        if (!parent) {
            top_failed_ = !removed;
            pool_.stop();
            return nullptr;
        }
        if (!removed) parent->failed = true;
        return parent;
    }

    void report_errno(Operation operation, const Folder* folder, const char* name,
                      int error) const {
        report_at(folder, name,
                  [&](auto path) { report_failure(operation, path, std::strerror(error)); });
    }

    // Writes a line about `folder`, or the entry `name` in it (in the top's parent when `folder` is
    // nullptr), by `write(path)`. The path is built in room taken at the start, so that a line
    // written while memory runs short still names the whole path where it fits, and the name alone
    // where it does not.
    template <typename Write>
    void report_at(const Folder* folder, const char* name, Write write) const {
        std::size_t name_size = name ? std::strlen(name) : 0;
        std::size_t size = prefix_.size() + name_size + (name && folder ? 1 : 0);
        for (const Folder* f = folder; f; f = f->parent)
            size += f->name.size() + (f->parent ? 1 : 0);
        std::lock_guard lock(line_mutex_);
        try {
            line_.resize(size);
        } catch (const std::bad_alloc&) {
            write(name ? std::string_view(name) : std::string_view(folder->name));
            return;
        }
        // Filled from its end, up the chain of folders.
        char* end = line_.data() + size;
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
        write(std::string_view(line_));
    }

    const std::string prefix_;
    mutable std::mutex line_mutex_;
    mutable std::string line_;  // the path of the line being written
    const paths::ProtectedFolders& protected_;
    const int top_parent_fd_;  // never closed
    const unsigned bound_;     // how many folders may be open at once
    std::mutex mutex_;         // guards the lists, every folder's fd and users, and open_
    std::list<Folder> folders_;
    std::list<Folder> idle_;  // open and unused, the longest unused first
    unsigned open_ = 0;
    std::atomic<bool> top_failed_{false};
    WorkPool<Folder*, Runner> pool_;
};

}  // namespace

bool remove_tree(int parent_fd, const FolderId& parent, UniqueFd top_fd, const FolderId& top,
                 const std::string& name, const std::string& shown_prefix,
                 const paths::ProtectedFolders& folders, unsigned threads) {
    TreeWalk walk(parent_fd, shown_prefix, folders, threads);
    return walk.run(std::move(top_fd), top, name, parent);
}

}  // namespace deltree
