// The platform layer of unit tests: everything happens in fake::state().
#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace fake {

State& state() {
    static State s;
    return s;
}

void reset() { state() = State{}; }

}  // namespace fake

namespace platform {

namespace {

int copy_out(const std::string& value, char* buf, std::size_t size) {
    if (value.size() >= size) {
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buf, value.c_str(), value.size() + 1);
    return 0;
}

}  // namespace

int own_executable_path(char* buf, std::size_t size) {
    if (!fake::state().exe_path) return -1;
    return copy_out(*fake::state().exe_path, buf, size);
}

int path_access(const char* path, int mode) {
    fake::State& s = fake::state();
    (void)mode;
    if ((s.list && path == s.list_path) || s.existing.count(path)) return 0;
    bool after_command = !s.commands.empty() && s.commands.back() == path;
    auto error = s.check_error_after.find(path);
    errno = after_command && error != s.check_error_after.end() ? error->second : ENOENT;
    return -1;
}

int current_directory(char* buf, std::size_t size) {
    return copy_out(fake::state().cwd, buf, size);
}

int run_deletion_command(const char* tool, const char* path) {
    fake::State& s = fake::state();
    s.tools.push_back(tool);
    s.commands.push_back(path);
    s.calls.push_back(std::string("command ") + path);
    fake::CommandOutcome outcome;
    if (auto it = s.outcomes.find(path); it != s.outcomes.end()) outcome = it->second;
    if (outcome.status == -1) {
        if (outcome.start_errno != 0) errno = outcome.start_errno;
        return -1;
    }
    if (outcome.removes) s.existing.erase(path);
    if (s.next_list) {
        // The front end puts the next job in place while this one runs.
        s.list = std::exchange(s.next_list, std::nullopt);
        ++s.list_id;
    }
    return outcome.status;
}

std::vector<std::string> spellings_to_judge(const char* path) { return {path}; }

void ignore_lost_output() {}

int remove_file(const char* path) {
    fake::State& s = fake::state();
    if (!s.list || !s.list_removable || path != s.list_path) {
        errno = ENOENT;
        return -1;
    }
    s.removed_files.push_back(path);
    s.list.reset();
    return 0;
}

Removal remove_file_if_same(const char* path, FileId id) {
    fake::State& s = fake::state();
    if (s.list && path == s.list_path && FileId{1, s.list_id} != id) return Removal::kReplaced;
    return remove_file(path) == 0 ? Removal::kRemoved : Removal::kFailed;
}

void sleep_ms(unsigned ms) {
    fake::state().slept_ms += ms;
    fake::state().calls.push_back("sleep " + std::to_string(ms));
}

std::size_t environment_variable(const char* name, char* buf, std::size_t size) {
    const fake::State& s = fake::state();
    if (std::string(name) != "PATH" || !s.path_variable) return 0;
    if (s.path_variable_size != 0) return s.path_variable_size;
    if (s.path_variable->size() >= size) return s.path_variable->size() + 1;
    std::memcpy(buf, s.path_variable->c_str(), s.path_variable->size() + 1);
    return s.path_variable->size();
}

int short_path(const char* path, char* buf, std::size_t size) {
    const fake::State& s = fake::state();
    if (!s.existing.count(path) || s.no_short_form.count(path)) return -1;
    return copy_out(path, buf, size);
}

Window foreground_window() {
    fake::state().calls.push_back("foreground");
    return &fake::state();
}

void set_close_command(Window window, bool enabled) {
    if (window == &fake::state())
        fake::state().calls.push_back(enabled ? "close enable" : "close grey");
}

// The handle is the read position in the fake list.
ListFile::~ListFile() { close(); }

int ListFile::open(const char* path) {
    if (!fake::state().list || path != fake::state().list_path) {
        errno = ENOENT;
        return -1;
    }
    handle_ = 0;
    id_ = {1, fake::state().list_id};
    return 0;
}

long ListFile::read(char* buf, std::size_t size) {
    const fake::State& s = fake::state();
    // A list replaced meanwhile is another file; the one open here was small and read whole.
    if (s.list_id != id_.index) return 0;
    long end = static_cast<long>(s.list->size());
    if (s.list_read_error_at >= 0 && handle_ >= s.list_read_error_at) {
        errno = EIO;
        return -1;
    }
    if (s.list_read_error_at >= 0) end = std::min(end, s.list_read_error_at);
    long n = std::min(static_cast<long>(size), end - handle_);
    std::memcpy(buf, s.list->data() + handle_, static_cast<std::size_t>(n));
    handle_ += static_cast<int>(n);
    return n;
}

void ListFile::close() { handle_ = kClosed; }

}  // namespace platform
