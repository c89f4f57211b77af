// What deltree writes about its work: one line on standard error per path it leaves behind or
// will not touch, the question before a path, and on a terminal a progress line for a long
// deletion, cleared before any other line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

namespace deltree {

// What deltree was doing when something failed; each failure line names it.
enum class Operation {
    kRemove,        // "cannot remove 't/sub/f'"
    kOpenFolder,    // "cannot open folder 't/sub'"
    kList,          // "cannot list 't/sub'"
    kRemoveInside,  // "cannot remove anything in 't/sub'": the folder forbids it for all
    kCheck,         // "cannot check 't'": what it is could not be judged, so it is left
};

// "deltree: cannot remove 't/sub/f': Permission denied". Neither line allocates: it is written
// even when memory has run out.
void report_failure(Operation operation, std::string_view path, std::string_view reason);

// "deltree: '/' is the root of a drive or filesystem": a path it will not touch, and why.
void report_refusal(std::string_view path, std::string_view why);

// `Delete directory "t" and all its subdirectories? [yn] ` (or `Delete file "f"? [yn] `), on
// the question's stream. In these lines and the failure lines a name holding a control
// character is written as the shell would read it back ('a'$'\n''b'): it cannot forge a line
// or send the terminal an escape sequence.
void ask_before_deleting(std::string_view path, bool folder);

// The progress line of one named path. While it lives and standard error is a terminal, a line
// there says, after about half a second and then a few times a second, how many entries are
// gone, at what rate and for how long; it is cleared when the path is done. Nothing is ever
// counted ahead. Elsewhere it does nothing and nothing is counted.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    struct Reporter;
    std::unique_ptr<Reporter> reporter_;
};

// Counts one removed entry for the progress line. Each thread counts for itself and publishes
// in batches, so that the walk's threads never meet over one counter.
inline std::atomic<bool> g_counting{false};
inline std::atomic<std::uint64_t> g_removed{0};
inline void count_removed() {
    constexpr unsigned kBatch = 64;
    thread_local unsigned unpublished = 0;
    if (!g_counting.load(std::memory_order_relaxed)) return;
    if (++unpublished == kBatch) {
        g_removed.fetch_add(kBatch, std::memory_order_relaxed);
        unpublished = 0;
    }
}

}  // namespace deltree
