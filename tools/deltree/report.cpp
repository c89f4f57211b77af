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

// Every line deltree writes while it works goes out under this lock, the walk's threads and the
// progress line alike, so that no line is cut into another and the progress line is cleared
// before any other line is written.
std::mutex g_output;
std::size_t g_progress_shown = 0;  // the progress line's length on screen; 0 when there is none

// Clears the progress line, if one is on screen, so that the next line starts at its margin.
void clear_progress_line() {
    if (g_progress_shown == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(g_progress_shown), "");
    g_progress_shown = 0;
}

// One line of output, gathered on the stack and written in as few pieces as its length allows:
// it needs no memory, so a failure is told even when memory has run out.
class Line {
public:
    explicit Line(std::FILE* stream) : stream_(stream) {}
    ~Line() { flush(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Line& operator<<(std::string_view text) {
        for (char c : text) put(c);
        return *this;
    }
    Line& operator<<(char c) {
        put(c);
        return *this;
    }

    void flush() {
        std::fwrite(buffer_, 1, used_, stream_);
        std::fflush(stream_);
        used_ = 0;
    }

private:
    void put(char c) {
        if (used_ == sizeof buffer_) flush();
        buffer_[used_++] = c;
    }

    std::FILE* stream_;
    char buffer_[1024];
    std::size_t used_ = 0;
};

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A name as the shell would read it back, and never a terminal's command: one without control
// characters between `quote`s as it stands; one with them the way coreutils writes it, plain
// runs in '...', each ' as \', control characters in $'...' ('a'$'\n''b'), so that a name can
// neither forge a line nor send an escape sequence.
void write_name(Line& line, std::string_view name, char quote) {
    if (std::none_of(name.begin(), name.end(), [](char c) { return is_control(c); })) {
        line << quote << name << quote;
        return;
    }
    enum { kOutside, kPlain, kEscaped } state = kOutside;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        bool control = is_control(byte);
        if (state == kPlain && (control || c == '\'')) line << '\'';
        if (state == kEscaped && !control) line << '\'';
        if (c == '\'') {
            line << "\\'";
            state = kOutside;
            continue;
        }
        if (!control) {
            if (state != kPlain) line << '\'';
            line << c;
            state = kPlain;
            continue;
        }
        if (state != kEscaped) line << "$'";
        state = kEscaped;
        static constexpr char kNamed[] = "abtnvfr";  // \a is 7, \r is 13
        if (byte >= 7 && byte <= 13) {
            line << '\\' << kNamed[byte - 7];
        } else {
            char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                            static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
            line << std::string_view(octal, sizeof octal);
        }
    }
    if (state != kOutside) line << '\'';
}

}  // namespace

void report_failure(Operation operation, std::string_view path, std::string_view reason) {
    std::lock_guard lock(g_output);
    clear_progress_line();
    Line line(stderr);
    line << "deltree: " << verb(operation) << ' ';
    write_name(line, path, '\'');
    line << ": " << reason << '\n';
}

void report_refusal(std::string_view path, std::string_view why) {
    std::lock_guard lock(g_output);
    clear_progress_line();
    Line line(stderr);
    line << "deltree: ";
    write_name(line, path, '\'');
    line << ' ' << why << '\n';
}

void ask_before_deleting(std::string_view path, bool folder) {
    std::lock_guard lock(g_output);
    clear_progress_line();
    Line line(question_stream());
    line << (folder ? "Delete directory " : "Delete file ");
    write_name(line, path, '"');
    line << (folder ? " and all its subdirectories? [yn] " : "? [yn] ");
}

// The thread that keeps the progress line up to date, woken a few times a second.
struct ProgressLine::Reporter {
    using Clock = std::chrono::steady_clock;
    static constexpr auto kFirst = std::chrono::milliseconds(500);
    static constexpr auto kEvery = std::chrono::milliseconds(250);

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::size_t longest = 0;  // the longest line so far, to pad a shorter one over it
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
            longest = std::max(longest, n > 0 ? static_cast<std::size_t>(n) : 0);
            std::lock_guard output(g_output);
            std::fprintf(stderr, "\r%-*s", static_cast<int>(longest), line);
            std::fflush(stderr);
            g_progress_shown = longest;
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
    std::lock_guard output(g_output);
    clear_progress_line();
}

}  // namespace deltree
