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

std::optional<std::string> path_beside_executable(const char* name) {
    const std::optional<std::string>& exe = fake::state().exe_path;
    if (!exe) return std::nullopt;
    return exe->substr(0, exe->find_last_of("\\/") + 1) + name;
}

ListAccess list_access(const char* path) {
    fake::State& s = fake::state();
    bool there = (s.list && path == s.list_path) || s.existing.count(path);
    return {!there, !there};
}

PresenceCheck presence_of(const char* path) {
    fake::State& s = fake::state();
    bool after_command = !s.commands.empty() && s.commands.back() == path;
    auto& overrides = after_command ? s.presence_after : s.presence_before;
    if (auto it = overrides.find(path); it != overrides.end()) return it->second;
    if (s.existing.count(path)) return {Presence::kThere, 0};
    return {Presence::kGone, ENOENT};
}

EntryVerdict judge_entry(const char* path) {
    fake::State& s = fake::state();
    if (s.refused.count(path)) return EntryVerdict::kRefused;
    return s.existing.count(path) ? EntryVerdict::kMayGo : EntryVerdict::kMissing;
}

std::optional<std::string> current_directory() { return fake::state().cwd; }

CommandRun run_deletion_command(const char* tool, const char* path) {
    fake::State& s = fake::state();
    s.tools.push_back(tool);
    s.commands.push_back(path);
    s.calls.push_back(std::string("command ") + path);
    fake::CommandOutcome outcome;
    if (auto it = s.outcomes.find(path); it != s.outcomes.end()) outcome = it->second;
    if (outcome.start_errno != 0) return {false, 0, outcome.start_errno};
    if (outcome.removes) s.existing.erase(path);
    if (outcome.changes_list && s.list) ++s.list_writes;
    if (outcome.rewrites_list_unseen && s.list && !s.list->empty()) (*s.list)[0] ^= 1;
    if (outcome.removes_list) {
        s.list.reset();
        ++s.list_id;
    }
    if (s.next_list) {
        // The front end puts the next job in place while this one runs.
        s.list = std::exchange(s.next_list, std::nullopt);
        ++s.list_id;
    }
    return {true, outcome.status, 0};
}

std::vector<std::string> spellings_to_judge(const char* path) { return {path}; }

Removal remove_file_if_same(const char* path, os::FileIdentity id) {
    fake::State& s = fake::state();
    if (!s.list || path != s.list_path) return Removal::kAlreadyGone;
    if (os::FileIdentity{1, s.list_id} != id) return Removal::kReplaced;
    if (!s.list_removable) {
        errno = EACCES;
        return Removal::kFailed;
    }
    s.removed_files.push_back(path);
    s.list.reset();
    return Removal::kRemoved;
}

void sleep_ms(unsigned ms) {
    fake::state().slept_ms += ms;
    fake::state().calls.push_back("sleep " + std::to_string(ms));
}

std::unique_ptr<char[]> path_variable() {
    const fake::State& s = fake::state();
    if (s.path_copy_fails) return nullptr;
    std::string value = s.path_variable.value_or("");
    std::unique_ptr<char[]> copy(new char[value.size() + 1]);
    std::memcpy(copy.get(), value.c_str(), value.size() + 1);
    return copy;
}

std::optional<std::string> search_folder(const char* entry) {
    const fake::State& s = fake::state();
    if (entry[0] != '/' || !s.existing.count(entry) || s.no_short_form.count(entry))
        return std::nullopt;
    return entry;
}

bool is_runnable_file(const char* path) {
    const fake::State& s = fake::state();
    return s.existing.count(path) && !s.not_runnable.count(path);
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
    size_ = fake::state().list->size();
    changed_ = fake::state().list_writes;
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

int ListFile::rewind() {
    handle_ = 0;
    return 0;
}

ListFile::State ListFile::state_since_open() const {
    const fake::State& s = fake::state();
    if (!s.list || s.list_id != id_.index) return State::kGone;
    return s.list_writes != changed_ || s.list->size() != size_ ? State::kChanged
                                                                : State::kUnchanged;
}

void ListFile::close() { handle_ = watch_ = kClosed; }

}  // namespace platform
