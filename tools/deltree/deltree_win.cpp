// Removal on Windows. Paths are wide and in the \\?\ form, so a tree may hold paths far longer
// than 260 characters. Reparse points (junctions, symbolic links, mount points) are removed as
// themselves and never entered, and each folder on the way down is held open without delete
// sharing, so that nobody can swap it for a junction while the walk is below it. Folders are
// worked on by a small pool of threads, one per core, as on POSIX.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "command/path_refusal.h"
#include "command_line.h"
#include "deltree.h"
#include "work_pool.h"

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
std::atomic<DWORD> g_retry_slept_ms{0};

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

// A folder being emptied. Held open without delete sharing from its opening to its removal, so
// that while the walk is inside it, nobody can rename it or swap it for a junction.
struct Folder {
    Folder(Folder* parent_folder, std::wstring folder_path, std::string shown_path, DWORD a)
        : parent(parent_folder),
          path(std::move(folder_path)),
          shown(std::move(shown_path)),
          attrs(a) {}

    Folder* const parent;  // nullptr for the top
    const std::wstring path;
    const std::string shown;  // for messages: the user's name for the tree and the way down
    const DWORD attrs;
    UniqueHandle lock;
    std::atomic<int> pending{1};      // our own entries (as one) and every unfinished subfolder
    std::atomic<bool> failed{false};  // something inside stays, so the folder stays (reported)
};

// The walk: one task per folder, on a small pool of threads; whoever finishes a folder's last
// piece of work removes it and reports to its parent, as on POSIX.
class TreeWalk {
public:
    explicit TreeWalk(unsigned threads) : pool_(threads, Runner{this}) {}

    // Empties and removes the tree at `path` (extended form), shown as `shown`. True when gone.
    bool run(const std::wstring& path, const std::string& shown, DWORD attrs);

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(Folder* folder) const { walk->list(folder); }
    };

    bool open_folder(Folder* folder);
    void list(Folder* folder);
    void remove_entry(Folder* folder, const WIN32_FIND_DATAW& entry);
    void release(Folder* folder);
    void finish(Folder* folder);

    std::atomic<bool> top_failed_{false};
    WorkPool<Folder*, Runner> pool_;
};

bool TreeWalk::run(const std::wstring& path, const std::string& shown, DWORD attrs) {
    auto* top = new Folder(nullptr, path, shown, attrs);
    if (!open_folder(top)) {
        bool gone = !top->failed;
        delete top;
        return gone;
    }
    pool_.push(top);
    pool_.run();
    return !top_failed_;
}

// Opens the folder for the walk. False when it is no plain folder after all (then removed as
// it is: a link or a file that took its place) or cannot be opened (reported, and `failed`).
bool TreeWalk::open_folder(Folder* folder) {
    folder->lock.reset(CreateFileW(folder->path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder->lock.valid() || !GetFileInformationByHandle(folder->lock.get(), &info)) {
        report_error(folder->shown, GetLastError());
        folder->failed = true;
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    folder->lock.reset();
    if (!remove_item(folder->path, info.dwFileAttributes)) {
        report_error(folder->shown, GetLastError());
        folder->failed = true;
    }
    return false;
}

void TreeWalk::list(Folder* folder) {
    WIN32_FIND_DATAW data;
    std::wstring pattern = folder->path + L"\\*";
    UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (find.valid()) {
        do {
            const wchar_t* n = data.cFileName;
            if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'))) continue;
            remove_entry(folder, data);
        } while (FindNextFileW(find.get(), &data));
    }
    DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES && code != ERROR_FILE_NOT_FOUND) {
        report_error(folder->shown, code);
        folder->failed = true;
    }
    release(folder);
}

void TreeWalk::remove_entry(Folder* folder, const WIN32_FIND_DATAW& entry) {
    std::wstring path = folder->path + L"\\" + entry.cFileName;
    std::string shown = folder->shown + "\\" + narrow(entry.cFileName);
    DWORD attrs = entry.dwFileAttributes;
    // A junction, folder link or mount point is a reparse point: removed as itself, never
    // entered.
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        auto* child = new Folder(folder, std::move(path), std::move(shown), attrs);
        if (open_folder(child)) {
            folder->pending.fetch_add(1);
            pool_.push(child);
            return;
        }
        if (child->failed) folder->failed = true;
        delete child;
        return;
    }
    if (remove_item(path, attrs) || GetLastError() == ERROR_FILE_NOT_FOUND) return;
    report_error(shown, GetLastError());
    folder->failed = true;
}

void TreeWalk::release(Folder* folder) {
    if (folder->pending.fetch_sub(1) == 1) finish(folder);
}

// Removes a folder whose entries and subfolders are all done, and goes on with its parent.
void TreeWalk::finish(Folder* folder) {
    folder->lock.reset();
    bool removed = !folder->failed;
    if (removed && !remove_item(folder->path, folder->attrs)) {
        report_error(folder->shown, GetLastError());
        removed = false;
    }
    Folder* parent = folder->parent;
    delete folder;
    if (!parent) {
        top_failed_ = !removed;
        pool_.stop();
        return;
    }
    if (!removed) parent->failed = true;
    release(parent);
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
    TreeWalk walk(thread_count());
    return walk.run(full, without_trailing_separators(path), attrs);
}

}  // namespace deltree
