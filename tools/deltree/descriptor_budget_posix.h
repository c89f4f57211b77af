// How many folder descriptors the POSIX walk keeps open, and how a folder it closed is had again.
//
// Folders that only wait for their subfolders ("idle") are closed, oldest first, when more than
// the bound are open, and opened again when needed: through ".." from a subfolder, or step by
// step down from the nearest open ancestor, each step checked against the device and inode the
// folder had, so that a tree moved meanwhile is never mistaken for the one being deleted.
//
// Lock order: a folder's fd_mutex before its ancestors' (finishing a folder holds its parent's
// while the chain above is opened again), and any fd_mutex before the idle list's mutex. Closing
// idle folders goes the other way, so it only tries each folder's mutex and passes over a busy
// one.
#pragma once

#include <atomic>
#include <mutex>

#include "folder_posix.h"

namespace deltree {

class DescriptorBudget {
public:
    // `top_parent_fd`: the open folder that holds the top of the tree, which is never closed.
    explicit DescriptorBudget(int top_parent_fd);

    // How many folders may be open at once.
    int bound() const { return bound_; }
    bool has_room() const { return open_count_.load() < bound_; }
    void opened() { open_count_.fetch_add(1); }
    void closed() { open_count_.fetch_sub(1); }

    // A folder whose own entries are done but whose subfolders are not: it may be closed.
    void make_idle(Folder* folder);
    // A folder that finishes is no longer one to close.
    void leave_idle(Folder* folder);
    // Closes idle folders, oldest first, until the bound holds again. The caller holds no
    // folder's mutex.
    void close_idle_folders();

    // The parent's descriptor for removing `folder` from it (the caller holds the parent's
    // mutex): the open one, or one opened again, which the parent keeps for its other subfolders
    // and its own finish. `fd` is -1 when it cannot be had: `error` is the errno of the step that
    // failed, or 0 when a folder on the way is not the one it was (the tree was moved).
    struct Reopened {
        int fd;
        int error;
    };
    Reopened parent_fd_for_finish(Folder* folder);

private:
    Reopened open_again(Folder* folder);
    void unlink_idle(Folder* folder);

    const int top_parent_fd_;
    const int bound_;
    std::atomic<int> open_count_{0};
    std::mutex idle_mutex_;  // guards the list of idle folders, oldest first
    Folder* idle_head_ = nullptr;
    Folder* idle_tail_ = nullptr;
};

}  // namespace deltree
