// Failure lines and the progress line, both on standard error.
#include "report.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "deltree.h"

namespace deltree {

namespace {

const char* verb(Operation operation) {
    switch (operation) {
    case Operation::kRemove: return "cannot remove";
    case Operation::kOpenFolder: return "cannot open folder";
    case Operation::kList: return "cannot list";
    case Operation::kRemoveInside: return "cannot remove anything in";
    case Operation::kCheck: return "cannot check";
    }
    return "cannot remove";
}

}  // namespace

void report_failure(Operation operation, std::string_view path, std::string_view reason) {
    std::fprintf(stderr, "deltree: %s '%.*s': %.*s\n", verb(operation),
                 static_cast<int>(path.size()), path.data(), static_cast<int>(reason.size()),
                 reason.data());
}

void report_refusal(std::string_view path, std::string_view why) {
    std::fprintf(stderr, "deltree: '%.*s' %.*s\n", static_cast<int>(path.size()), path.data(),
                 static_cast<int>(why.size()), why.data());
}

// The thread that keeps the progress line up to date, woken a few times a second.
struct ProgressLine::Reporter {
    using Clock = std::chrono::steady_clock;
    static constexpr auto kFirst = std::chrono::milliseconds(500);
    static constexpr auto kEvery = std::chrono::milliseconds(250);

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::size_t shown = 0;  // the length of the line on screen, to clear it
    const Clock::time_point start = Clock::now();
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        if (wake.wait_for(lock, kFirst, [this] { return done; })) return;
        do {
            double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            auto removed = static_cast<unsigned long long>(g_removed.load());
            char line[96];
            int n = std::snprintf(line, sizeof line, "deltree: %llu removed, %.0f a second, %.1f s",
                                  removed, removed / seconds, seconds);
            // Padded to the longest line so far, so that a shorter one leaves nothing behind.
            shown = std::max(shown, n > 0 ? static_cast<std::size_t>(n) : 0);
            std::fprintf(stderr, "\r%-*s", static_cast<int>(shown), line);
            std::fflush(stderr);
        } while (!wake.wait_for(lock, kEvery, [this] { return done; }));
    }
};

ProgressLine::ProgressLine() {
    if (!stderr_is_terminal()) return;
    g_removed = 0;
    g_counting = true;
    try {
        reporter_ = std::make_unique<Reporter>();
        reporter_->thread = std::thread([r = reporter_.get()] { r->run(); });
    } catch (const std::exception&) {  // no memory or thread to spare: the deletion goes on alone
        reporter_.reset();
        g_counting = false;
    }
}

ProgressLine::~ProgressLine() {
    if (!reporter_) return;
    {
        std::lock_guard lock(reporter_->mutex);
        reporter_->done = true;
    }
    reporter_->wake.notify_one();
    reporter_->thread.join();
    g_counting = false;
    if (reporter_->shown > 0)
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(reporter_->shown), "");
}

}  // namespace deltree
