// A small pool of threads sharing one stack of tasks. The calling thread works too; the others
// are started only once two or more tasks wait, so that a small job never pays for a thread.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace deltree {

template <typename Task, typename Runner>
class WorkPool {
public:
    // At most `threads` threads, counting the calling thread; `runner(task)` does one task and
    // may push more.
    WorkPool(unsigned threads, Runner runner)
        : max_helpers_(threads > 1 ? threads - 1 : 0), runner_(runner) {}
    ~WorkPool() {
        stop();
        for (std::thread& t : helpers_) t.join();
    }

    // False when memory is too short to hold one more task: the caller still has it.
    bool try_push(const Task& task) {
        std::unique_lock lock(mutex_);
        try {
            tasks_.push_back(task);
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (tasks_.size() >= 2 && helpers_.size() < max_helpers_) {
            // A thread that cannot start (a process or thread limit, a tight address space)
            // leaves the work to those there are; the standard library says so only by throwing.
            try {
                helpers_.emplace_back([this] { run(); });
            } catch (const std::exception&) {
                max_helpers_ = static_cast<unsigned>(helpers_.size());
            }
        }
        lock.unlock();
        wake_.notify_one();
        return true;
    }

    // Works on the tasks until stop() is called, once the last task has finished the job.
    void run() {
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

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
    }

private:
    unsigned max_helpers_;  // lowered when a thread cannot start
    Runner runner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Task> tasks_;
    std::vector<std::thread> helpers_;
    bool stopped_ = false;
};

}  // namespace deltree
