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
// it needs no memory, so a failure is told even when memory has run out. It holds the output
// from its start, when the progress line is cleared, to its end.
class Line {
public:
    explicit Line(std::FILE* stream) : lock_(g_output), stream_(stream) { clear_progress_line(); }
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

    std::lock_guard<std::mutex> lock_;
    std::FILE* stream_;
    char buffer_[1024];
    std::size_t used_ = 0;
};

#ifdef _WIN32
constexpr bool kNamesInUtf8 = false;  // the ANSI code page: 0x80 to 0x9F lead its characters
#else
constexpr bool kNamesInUtf8 = true;
#endif

// How many bytes at `at` make one character that a terminal shows as itself, or 0 for a byte
// to be written escaped: a control character (C0 or DEL), and where names are UTF-8 also a C1
// control (U+0080 to U+009F: CSI and NEL are an escape and a line end to terminals) and any
// byte of no valid character (a lone 0x9B is CSI to an 8-bit terminal).
std::size_t shown_as_itself(std::string_view name, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x20 || lead == 0x7f) return 0;
    if (lead < 0x80 || !kNamesInUtf8) return 1;
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    char32_t lowest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0xa0;  // C1 escaped too
    if (lead < 0xc2 || lead > 0xf4 || at + length > name.size()) return 0;
    char32_t code = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = code << 6 | (byte(at + i) & 0x3f);
    }
    if (code < lowest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

bool shown_as_is(std::string_view name) {
    for (std::size_t at = 0, n; at < name.size(); at += n)
        if ((n = shown_as_itself(name, at)) == 0) return false;
    return true;
}

// A name as the shell would read it back, and never a terminal's command: one that a terminal
// shows as itself between `quote`s as it stands; any other the way coreutils writes it, plain
// runs in '...', each ' as \', the other bytes in $'...' ('a'$'\n''b'), so that a name can
// neither forge a line nor send an escape sequence.
void write_name(Line& line, std::string_view name, char quote) {
    if (shown_as_is(name)) {
        line << quote << name << quote;
        return;
    }
    enum { kOutside, kPlain, kEscaped } state = kOutside;
    for (std::size_t at = 0, n; at < name.size(); at += n ? n : 1) {
        n = shown_as_itself(name, at);
        bool apostrophe = name[at] == '\'';
        if (state == kPlain && (n == 0 || apostrophe)) line << '\'';
        if (state == kEscaped && n != 0) line << '\'';
        if (apostrophe) {
            line << "\\'";
            state = kOutside;
        } else if (n != 0) {
            if (state != kPlain) line << '\'';
            line << name.substr(at, n);
            state = kPlain;
        } else {
            if (state != kEscaped) line << "$'";
            state = kEscaped;
            auto byte = static_cast<unsigned char>(name[at]);
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
    }
    if (state != kOutside) line << '\'';
}

}  // namespace

void report_failure(Operation operation, std::string_view path, std::string_view reason) {
    Line line(stderr);
    line << "deltree: " << verb(operation) << ' ';
    write_name(line, path, '\'');
    line << ": " << reason << '\n';
}

void report_refusal(std::string_view path, std::string_view why) {
    Line line(stderr);
    line << "deltree: ";
    write_name(line, path, '\'');
    line << ' ' << why << '\n';
}

void ask_before_deleting(std::string_view path, bool folder) {
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
            // Within one row of the terminal, asked each time since it may be resized: a line
            // that wrapped would leave a row behind at each update, and its clearing too.
            std::size_t width = terminal_width();
            std::size_t limit = width > 1 ? width - 1 : sizeof line;
            std::size_t length = std::min(n > 0 ? static_cast<std::size_t>(n) : 0, limit);
            // Padded to the longest line so far, so that a shorter one leaves nothing behind.
            longest = std::min(std::max(longest, length), limit);
            std::lock_guard output(g_output);
            std::fprintf(stderr, "\r%-*.*s", static_cast<int>(longest), static_cast<int>(length),
                         line);
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
