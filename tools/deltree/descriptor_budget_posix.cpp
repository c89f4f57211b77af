// The bound on open folders, the idle folders that make room, and the way back to a closed one.
#include "descriptor_budget_posix.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

namespace deltree {

namespace {

// How many folders to keep open: a quarter of the descriptors this process may have (after
// prepare_process raised the limit), so that a deep or wide tree never runs out of them.
int open_folder_bound() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
    if (limit.rlim_cur == RLIM_INFINITY) return 4096;
    long quarter = (static_cast<long>(limit.rlim_cur) - 16) / 4;
    return static_cast<int>(std::clamp(quarter, 2L, 4096L));
}

}  // namespace

DescriptorBudget::DescriptorBudget(int top_parent_fd)
    : top_parent_fd_(top_parent_fd), bound_(open_folder_bound()) {}

void DescriptorBudget::make_idle(Folder* folder) {
    std::lock_guard lock(idle_mutex_);
    if (folder->idle) return;
    folder->idle = true;
    folder->idle_prev = idle_tail_;
    folder->idle_next = nullptr;
    (idle_tail_ ? idle_tail_->idle_next : idle_head_) = folder;
    idle_tail_ = folder;
}

void DescriptorBudget::leave_idle(Folder* folder) {
    std::lock_guard lock(idle_mutex_);
    unlink_idle(folder);
}

void DescriptorBudget::unlink_idle(Folder* folder) {
    if (!folder->idle) return;
    (folder->idle_prev ? folder->idle_prev->idle_next : idle_head_) = folder->idle_next;
    (folder->idle_next ? folder->idle_next->idle_prev : idle_tail_) = folder->idle_prev;
    folder->idle = false;
}

void DescriptorBudget::close_idle_folders() {
    if (open_count_.load() <= bound_) return;
    std::lock_guard lock(idle_mutex_);
    for (Folder* f = idle_head_; f && open_count_.load() > bound_;) {
        Folder* next = f->idle_next;
        // A folder in use is passed over: its holder may be waiting for the idle list.
        if (f->fd_mutex.try_lock()) {
            unlink_idle(f);
            if (f->fd >= 0) {
                ::close(f->fd);
                f->fd = -1;
                closed();
            }
            f->fd_mutex.unlock();
        }
        f = next;
    }
}

// A closed parent is opened again through "..": the folder was opened from the parent, so the
// same device and inode prove that nobody moved the chain in between.
DescriptorBudget::Reopened DescriptorBudget::parent_fd_for_finish(Folder* folder) {
    Folder* parent = folder->parent;
    if (!parent) return {top_parent_fd_, 0};
    if (parent->fd >= 0) return {parent->fd, 0};
    Reopened got{-1, 0};
    if (folder->fd >= 0) {
        got.fd = openat(folder->fd, "..", kFolderOpenFlags);
        got.error = got.fd < 0 ? errno : 0;
        if (got.fd >= 0 && !same_folder(got.fd, parent)) {
            ::close(got.fd);
            got.fd = -1;
        }
    }
    // A folder that someone else removed has no ".." any more; its parent may still be there.
    if (folder->fd < 0 || (got.fd < 0 && got.error == ENOENT)) got = open_again(parent);
    if (got.fd < 0) return got;
    parent->fd = got.fd;
    opened();
    // Others still to come back to the parent may find it closed again; if this is its last
    // subfolder, the parent finishes next and needs the descriptor for its own "..".
    if (parent->pending.load() > 1) make_idle(parent);
    return got;
}

// A new descriptor of a closed folder (the caller keeps or closes it): opened step by step down
// from its nearest open ancestor, each step relative to the one before, so that two descriptors
// at most are open at a time.
DescriptorBudget::Reopened DescriptorBudget::open_again(Folder* folder) {
    std::vector<Folder*> chain;  // the closed folders, from `folder` up
    int fd = -1;
    for (Folder* f = folder;; f = f->parent) {
        try {
            chain.push_back(f);
        } catch (const std::bad_alloc&) {
            return {-1, ENOMEM};
        }
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
    int error = 0;
    for (auto it = chain.rbegin();; ++it) {
        error = fd < 0 ? errno : 0;
        if (fd < 0 || !same_folder(fd, *it)) break;
        if (*it == folder) return {fd, 0};
        int next = openat(fd, (*(it + 1))->name.c_str(), kFolderOpenFlags);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) ::close(fd);
    return {-1, error};
}

}  // namespace deltree
