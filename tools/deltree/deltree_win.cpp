// Removal on Windows. Paths are wide and in the \\?\ form, so a tree may hold paths far longer
// than 260 characters. Reparse points (junctions, symbolic links, mount points) are removed as
// themselves and never entered, and each folder on the way down is held open without delete
// sharing, so that nobody can swap it for a junction while the walk is below it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "command/path_refusal.h"
#include "command_line.h"
#include "deltree.h"

namespace deltree {

namespace {

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept
        : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(std::exchange(other.h_, INVALID_HANDLE_VALUE));
        return *this;
    }
    ~UniqueHandle() { reset(); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = h;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

class UniqueFind {
public:
    explicit UniqueFind(HANDLE h) : h_(h) {}
    UniqueFind(const UniqueFind&) = delete;
    UniqueFind& operator=(const UniqueFind&) = delete;
    ~UniqueFind() {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

std::wstring widen(const std::string& s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

void report_error(const std::string& path, DWORD code) {
    char text[512];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    if (n == 0) n = static_cast<DWORD>(std::snprintf(text, sizeof text, "error %lu", code));
    text[n] = '\0';
    report_failure(path.c_str(), text);
}

// Failures that another program causes for a moment: a virus scanner or indexer holding the
// item, or an item already deleted but still open elsewhere ("delete pending"), which keeps its
// folder from being empty.
bool is_transient(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_ACCESS_DENIED || code == ERROR_DIR_NOT_EMPTY;
}

// Retries `op` with growing pauses (about 1.3 s per item). The whole run may sleep at most
// kRetryBudgetMs, so a tree full of items that stay locked still ends in bounded time.
constexpr DWORD kRetryBudgetMs = 5000;
DWORD g_retry_slept_ms = 0;

template <typename Op>
bool with_retry(Op op) {
    for (DWORD delay = 10;; delay *= 2) {
        if (op()) return true;
        DWORD code = GetLastError();
        if (!is_transient(code) || delay > 640 || g_retry_slept_ms + delay > kRetryBudgetMs) {
            SetLastError(code);
            return false;
        }
        Sleep(delay);
        g_retry_slept_ms += delay;
    }
}

// Read-only files and folders cannot be deleted as they are; hidden and system ones can.
void make_writable(const std::wstring& path, DWORD attrs) {
    if (attrs & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
}

// Removes a file, or a link as itself (a folder link with RemoveDirectory, which never
// follows it).
bool remove_item(const std::wstring& path, DWORD attrs) {
    make_writable(path, attrs);
    bool folder = attrs & FILE_ATTRIBUTE_DIRECTORY;
    return with_retry([&] {
        return folder ? RemoveDirectoryW(path.c_str()) != 0 : DeleteFileW(path.c_str()) != 0;
    });
}

struct Entry {
    std::wstring name;
    DWORD attrs;
};

struct Folder {
    UniqueHandle lock;
    std::size_t path_len = 0;
    DWORD attrs = 0;
    std::vector<Entry> entries;
    std::size_t next = 0;
    bool failed = false;
};

class TreeWalk {
public:
    // `path` is the tree's extended path, `shown` the user's name for it.
    TreeWalk(std::wstring path, std::string shown)
        : path_(std::move(path)), root_len_(path_.size()), shown_(std::move(shown)) {}

    bool run(DWORD attrs);

private:
    bool push_folder(const std::wstring& name, DWORD attrs);
    void read_entries(Folder& folder);
    void remove_entry(const Entry& entry);
    void finish_folder();
    std::wstring entry_path(const std::wstring& name) const {
        return path_.substr(0, stack_.back().path_len) + L"\\" + name;
    }
    std::string shown(const std::wstring& path) const {
        return shown_ + narrow(path.substr(root_len_));
    }

    std::wstring path_;  // the innermost folder's path
    std::size_t root_len_;
    std::string shown_;
    std::vector<Folder> stack_;
    bool top_failed_ = false;
};

bool TreeWalk::run(DWORD attrs) {
    if (!push_folder(L"", attrs)) return false;
    while (!stack_.empty()) {
        Folder& folder = stack_.back();
        if (folder.next < folder.entries.size())
            remove_entry(folder.entries[folder.next++]);
        else
            finish_folder();
    }
    return !top_failed_;
}

// Opens the folder `name` (the tree's top when empty) and reads its entries. False when it is
// no plain folder after all, or cannot be opened (reported).
bool TreeWalk::push_folder(const std::wstring& name, DWORD attrs) {
    std::wstring path = stack_.empty() ? path_ : entry_path(name);
    // No FILE_SHARE_DELETE: while we hold it, the folder cannot be renamed or replaced.
    UniqueHandle lock(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!lock.valid() || !GetFileInformationByHandle(lock.get(), &info)) {
        report_error(shown(path), GetLastError());
        if (!stack_.empty()) stack_.back().failed = true;
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // It changed into a link or a file since it was listed: remove it as itself.
        lock.reset();
        if (remove_item(path, info.dwFileAttributes)) return true;
        report_error(shown(path), GetLastError());
        if (!stack_.empty()) stack_.back().failed = true;
        return false;
    }
    Folder folder;
    folder.lock = std::move(lock);
    folder.attrs = attrs;
    path_ = std::move(path);
    folder.path_len = path_.size();
    stack_.push_back(std::move(folder));
    read_entries(stack_.back());
    return true;
}

void TreeWalk::read_entries(Folder& folder) {
    WIN32_FIND_DATAW data;
    std::wstring pattern = path_.substr(0, folder.path_len) + L"\\*";
    UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid()) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return;  // no entries at all
        report_error(shown(path_.substr(0, folder.path_len)), GetLastError());
        folder.failed = true;
        return;
    }
    do {
        const wchar_t* n = data.cFileName;
        if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'))) continue;
        folder.entries.push_back({n, data.dwFileAttributes});
    } while (FindNextFileW(find.get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        report_error(shown(path_.substr(0, folder.path_len)), GetLastError());
        folder.failed = true;
    }
}

void TreeWalk::remove_entry(const Entry& entry) {
    bool plain_folder =
        (entry.attrs & FILE_ATTRIBUTE_DIRECTORY) && !(entry.attrs & FILE_ATTRIBUTE_REPARSE_POINT);
    if (plain_folder) {
        push_folder(entry.name, entry.attrs);
        return;
    }
    std::wstring path = entry_path(entry.name);
    if (remove_item(path, entry.attrs) || GetLastError() == ERROR_FILE_NOT_FOUND) return;
    report_error(shown(path), GetLastError());
    stack_.back().failed = true;
}

// Removes the innermost folder, now empty, and goes back to its parent.
void TreeWalk::finish_folder() {
    Folder done = std::move(stack_.back());
    stack_.pop_back();
    done.lock.reset();
    std::wstring path = path_.substr(0, done.path_len);
    bool removed = !done.failed;
    if (removed && !remove_item(path, done.attrs)) {
        report_error(shown(path), GetLastError());
        removed = false;
    }
    if (stack_.empty()) {
        top_failed_ = !removed;
    } else {
        stack_.back().failed |= !removed;
        path_.resize(stack_.back().path_len);
    }
}

// The \\?\ form of `path`: absolute, with no 260-character limit and no further rewriting.
std::wstring extended_path(const char* path) {
    std::wstring wide = widen(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string without_trailing_separators(std::string s) {
    while (s.size() > 1 && (s.back() == '\\' || s.back() == '/')) s.pop_back();
    return s;
}

}  // namespace

void read_command_line(int, char**, ArgumentList& out) {
    split_raw_command_line(GetCommandLineA(), out);
}

bool is_folder(const char* path) {
    DWORD attrs = GetFileAttributesW(extended_path(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool remove_path(const char* path) {
    std::wstring full = extended_path(path);
    // The full form may reveal a root that the given form hid.
    bool unc = full.rfind(L"\\\\?\\UNC\\", 0) == 0;
    std::string plain = unc ? "\\\\" + narrow(full.substr(8)) : narrow(full.substr(4));
    if (const char* reason = refusal_reason(plain.c_str(), true)) {
        report_failure(path, reason);
        return false;
    }
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        report_error(path, GetLastError());
        return false;
    }
    bool plain_folder =
        (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!plain_folder) {
        if (remove_item(full, attrs)) return true;
        report_error(path, GetLastError());
        return false;
    }
    TreeWalk walk(full, without_trailing_separators(path));
    return walk.run(attrs);
}

}  // namespace deltree
