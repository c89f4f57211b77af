// A small pool of threads sharing one stack of tasks. The calling thread works too; the others
// are started only once two or more tasks wait (or one that its pusher cannot take), so that a
// small job never pays for a thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "deltree.h"

namespace deltree {

// Threads for the walk: one per processor, or DELTREE_THREADS (the benchmark's one-thread runs).
inline unsigned thread_count() {
    if (const char* forced = std::getenv("DELTREE_THREADS")) {
        long n = std::strtol(forced, nullptr, 10);
        if (n >= 1 && n <= 256) return static_cast<unsigned>(n);
    }
    return processors_available();
}

// The end of a folder's finish, the same in both walks: the folder is freed, and its parent
// learns whether it went (a folder that stays keeps its parent too); after the top, the walk's
// answer is set and the pool stops. Returns the parent, for the caller to release next
// (nullptr after the top).
template <typename Folder, typename Pool>
Folder* hand_to_parent(Folder* folder, bool removed, std::atomic<bool>& top_failed, Pool& pool) {
    Folder* parent = folder->parent;
    delete folder;
    if (!parent) {
        top_failed = !removed;
        pool.stop();
        return nullptr;
    }
    if (!removed) parent->failed = true;
    return parent;
}

template <typename Task, typename Runner>
class WorkPool {
public:
    // At most `thread_limit` threads, counting the calling thread, and no more than
    // thread_count(); `runner(task)` does one task and may push more.
    WorkPool(unsigned thread_limit, Runner runner) : thread_limit_(thread_limit), runner_(runner) {}
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    ~WorkPool() {
        stop();
        for (std::thread& t : helpers_) t.join();
    }

    // `for_another`: the pushing thread stays busy with other work, so one waiting task is
    // enough to start a helper. False when memory is too short to hold one more task: the task
    // was not taken, and the caller still has it to do or to give up.
    bool try_push(const Task& task, bool for_another = false) {
        std::unique_lock lock(mutex_);
        try {
            tasks_.push_back(task);
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (tasks_.size() >= (for_another ? 1u : 2u) && helpers_.size() < max_helpers())
            start_helper();
        lock.unlock();
        wake_.notify_one();
        return true;
    }

    // For a walk that has nothing else to do with a task no list can hold: it throws bad_alloc.
    void push(const Task& task, bool for_another = false) {
        if (!try_push(task, for_another)) throw std::bad_alloc();
    }

    // Whether more than one thread may work on the tasks.
    bool shares_work() {
        std::lock_guard lock(mutex_);
        return max_helpers() > 0;
    }

    // Works on the tasks until stop() is called.
    void run() { work(); }

    // Ends the work: called once the last task has finished the job.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
    }

private:
    // Counted the first time a helper could start, so that a job too small for one never pays
    // for the question.
    unsigned max_helpers() {
        if (!max_helpers_) max_helpers_ = std::max(1u, std::min(thread_limit_, thread_count())) - 1;
        return *max_helpers_;
    }

    // A thread that cannot start (a process or thread limit, a tight address space) leaves the
    // work to the threads there are: the calling thread always works. The standard library
    // reports it only by throwing, so it is caught here, where it is thrown.
    void start_helper() {
        try {
            helpers_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            max_helpers_ = static_cast<unsigned>(helpers_.size());
        }
    }

    void work() {
        for (;;) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopped_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            // Last in, first out: the newest folder is the deepest, which keeps the walk close
            // to depth first and the number of folders half done small.
            Task task = tasks_.back();
            tasks_.pop_back();
            lock.unlock();
            runner_(task);
        }
    }

    const unsigned thread_limit_;
    std::optional<unsigned> max_helpers_;  // lowered when a thread cannot start
    Runner runner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Task> tasks_;
    std::vector<std::thread> helpers_;
    bool stopped_ = false;
};

}  // namespace deltree
