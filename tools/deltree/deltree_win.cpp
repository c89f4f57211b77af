// Removal on Windows. Paths are wide and in the \\?\ form, so a tree may hold paths far longer
// than 260 characters. Reparse points (junctions, symbolic links, mount points) are removed as
// themselves and never entered, and each folder on the way down is held open without delete
// sharing, so that nobody can swap it for a junction while the walk is below it. Folders are
// worked on by a small pool of threads, one per core, as on POSIX.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// Which file a handle is: the volume and the file index.
struct FileId {
    DWORD volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> id_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// The path of the open item `h` with every link and substituted drive resolved, in the
// extended (\\?\) form; "" when the system cannot tell it.
std::wstring final_path(HANDLE h) {
    for (DWORD volume_name : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        std::wstring path(32768, L'\0');
        DWORD len = GetFinalPathNameByHandleW(h, path.data(), 32768, volume_name);
        if (len == 0 || len >= 32768) continue;
        path.resize(len);
        return path;
    }
    return {};
}

std::wstring widen(const std::string& s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w, UINT code_page = CP_ACP) {
    int n = WideCharToMultiByte(code_page, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(code_page, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

// Items removed by someone else while we work: gone, which is what was asked.
bool is_gone(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Whether an item that failed with `code` is gone all the same: another program deleting the
// same tree holds it, or has it delete pending, until it vanishes.
bool gone_after_failure(const std::wstring& path, DWORD code) {
    return is_gone(code) ||
           (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && is_gone(GetLastError()));
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

    Folder* const parent;     // nullptr for the top
    std::wstring path;        // the top's becomes its final path once it is open
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
    // `judged`: the folder that was found fit to go; any other found at `path` now is left.
    bool run(const std::wstring& path, const std::string& shown, DWORD attrs, const FileId& judged);

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(Folder* folder) const { walk->list(folder); }
    };

    bool open_folder(Folder* folder);
    void list(Folder* folder);
    void remove_entry(Folder* folder, const WIN32_FIND_DATAW& entry);
    void release(Folder* folder);
    Folder* finish(Folder* folder);

    std::atomic<bool> top_failed_{false};
    WorkPool<Folder*, Runner> pool_;
};

bool TreeWalk::run(const std::wstring& path, const std::string& shown, DWORD attrs,
                   const FileId& judged) {
    auto* top = new Folder(nullptr, path, shown, attrs);
    if (!open_folder(top)) {
        bool gone = !top->failed;  // removed as it is, or by someone else
        delete top;
        return gone;
    }
    // A folder on the way swapped for a junction since the judgement would lead elsewhere.
    if (id_of(top->lock.get()) != judged) {
        report_failure(shown.c_str(), "was replaced while it was being checked; it is left");
        delete top;
        return false;
    }
    // From here on everything is named from the top's final path: a link or junction above the
    // top, which someone could point elsewhere meanwhile, is never followed again, and the real
    // folders above cannot be renamed while the top is open.
    if (std::wstring real = final_path(top->lock.get()); !real.empty()) top->path = real;
    pool_.push(top);
    pool_.run();
    return !top_failed_;
}

// Opens the folder for the walk. False when it is no plain folder after all (then removed as
// it is: a link or a file that took its place), has vanished, or cannot be opened (reported,
// and `failed`).
bool TreeWalk::open_folder(Folder* folder) {
    // Held for a moment by another program (one deleting it too, say): tried again.
    bool opened = with_retry([&] {
        folder->lock.reset(
            CreateFileW(folder->path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return folder->lock.valid();
    });
    BY_HANDLE_FILE_INFORMATION info;
    if (!opened || !GetFileInformationByHandle(folder->lock.get(), &info)) {
        DWORD code = GetLastError();
        if (!gone_after_failure(folder->path, code)) {
            report_error(folder->shown, code);
            folder->failed = true;
        }
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    folder->lock.reset();
    if (!remove_item(folder->path, info.dwFileAttributes)) {
        DWORD code = GetLastError();
        if (!gone_after_failure(folder->path, code)) {
            report_error(folder->shown, code);
            folder->failed = true;
        }
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
    if (code != ERROR_NO_MORE_FILES && !is_gone(code)) {
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
    if (remove_item(path, attrs)) return;
    DWORD code = GetLastError();
    if (gone_after_failure(path, code)) return;
    report_error(shown, code);
    folder->failed = true;
}

// The way up is a loop, not a recursion: each finished folder hands back its parent, so that
// no depth of tree can run out of stack.
void TreeWalk::release(Folder* folder) {
    while (folder && folder->pending.fetch_sub(1) == 1) folder = finish(folder);
}

// Removes a folder whose entries and subfolders are all done. Returns its parent, for the
// caller to release (nullptr after the top).
Folder* TreeWalk::finish(Folder* folder) {
    folder->lock.reset();
    bool removed = !folder->failed;
    if (removed && !remove_item(folder->path, folder->attrs)) {
        DWORD code = GetLastError();
        if (!gone_after_failure(folder->path, code)) {
            report_error(folder->shown, code);
            removed = false;
        }
    }
    Folder* parent = folder->parent;
    delete folder;
    if (!parent) {
        top_failed_ = !removed;
        pool_.stop();
        return nullptr;
    }
    if (!removed) parent->failed = true;
    return parent;
}

// The \\?\ form of `wide`: absolute, with no 260-character limit and no further rewriting.
std::wstring extended_path(const std::wstring& wide) {
    // A "\\?\" path is taken exactly as written: "\\?\C:\dir\foo " is the file "foo ", which
    // GetFullPathNameW would trim to "foo", another file.
    if (wide.rfind(L"\\\\?\\", 0) == 0) {
        std::wstring exact = wide;
        while (exact.size() > 7 && exact.back() == L'\\') exact.pop_back();
        return exact;
    }
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    // "\\.\" is the device namespace as "\\?\" is, once GetFullPathNameW has normalised it.
    if (full.rfind(L"\\\\.\\", 0) == 0) full[2] = L'?';
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring extended_path(const char* path) { return extended_path(widen(path)); }

// Taken off in UTF-16: in code page 932 the second byte of a character may be '\\'.
std::string without_trailing_separators(const char* path) {
    std::wstring w = widen(path);
    while (w.size() > 1 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
    return narrow(w);
}

// The item at `path` (extended form), opened to be looked at: as itself or, with `follow`,
// through the link it is.
HANDLE open_to_look(const std::wstring& path, bool follow) {
    return CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

std::optional<FileId> file_id(const std::wstring& path, bool follow) {
    UniqueHandle h(open_to_look(path, follow));
    return h.valid() ? id_of(h.get()) : std::nullopt;
}

// Whether the folder `h` is the root of its volume (its name within the volume is "\"),
// however the path to it was spelled: a volume has more names under \\?\GLOBALROOT than any
// rule on spellings can know.
bool is_volume_root(HANDLE h) {
    alignas(FILE_NAME_INFO) char buf[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH];
    if (!GetFileInformationByHandleEx(h, FileNameInfo, buf, sizeof buf))
        return GetLastError() != ERROR_MORE_DATA;  // a long name is no root; unknown counts as one
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buf);
    std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return name.find_first_not_of(L'\\') == std::wstring::npos;
}

// Whether the folder `target` is the current folder of this process or a folder above it, by
// identity: no spelling (short names, case, trailing dots, the \\?\ forms) hides it. The folders
// above are taken along the current folder's path as this process knows it and along its final
// path, with links and substituted drives resolved, each folder both as itself and through the
// link it may be.
bool holds_current_folder(const FileId& target) {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring cwd(n, L'\0');
    cwd.resize(GetCurrentDirectoryW(n, cwd.data()));
    std::vector<std::wstring> chains{extended_path(cwd)};
    UniqueHandle here(open_to_look(chains[0], true));
    if (std::wstring real = here.valid() ? final_path(here.get()) : L""; !real.empty())
        chains.push_back(real);
    for (std::wstring folder : chains) {
        for (;;) {
            if (file_id(folder, false) == target || file_id(folder, true) == target) return true;
            std::size_t cut = folder.rfind(L'\\');
            // Down to the root, which is refused on its own account.
            if (cut == std::wstring::npos || cut <= 6) break;
            folder.resize(cut);
        }
    }
    return false;
}

// A plain folder judged for removal: why it must stay, judged on what it is rather than how it
// is spelled (nullptr when it may go), and which folder was judged.
struct Judged {
    const char* refusal;
    FileId id;
};

Judged judge_folder(const std::wstring& full) {
    UniqueHandle h(open_to_look(full, false));
    std::optional<FileId> id = h.valid() ? id_of(h.get()) : std::nullopt;
    if (!id) return {"cannot be told apart from a root or the current folder", {}};
    if (is_volume_root(h.get())) return {"is the root of a drive or filesystem", *id};
    if (holds_current_folder(*id)) return {"is the current folder or a folder above it", *id};
    return {nullptr, *id};
}

}  // namespace

void read_command_line(int, char**, ArgumentList& out) {
    split_raw_command_line(GetCommandLineA(), out);
}

void keep_running_without_output() {}

const char* refusal_reason_of(const char* path) {
    // Text that is not valid in the code page would reach the system as some other name.
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0) <= 0)
        return "is not valid text in the system's code page";
    // Judged in UTF-8: in code page 932 the second byte of a character may be '\'.
    return refusal_reason(narrow(widen(path), CP_UTF8).c_str(), true);
}

bool is_folder(const char* path) {
    DWORD attrs = GetFileAttributesW(extended_path(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool remove_path(const char* path) {
    std::wstring full = extended_path(path);
    // The full form, as Win32 resolved it, may reveal a root that the given form hid.
    if (const char* reason = refusal_reason(narrow(full, CP_UTF8).c_str(), true)) {
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
    Judged judged = judge_folder(full);
    if (judged.refusal) {
        report_failure(path, judged.refusal);
        return false;
    }
    TreeWalk walk(thread_count());
    return walk.run(full, without_trailing_separators(path), attrs, judged.id);
}

}  // namespace deltree
