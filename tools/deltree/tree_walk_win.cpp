// Removal of a folder tree on Windows. Paths are wide and in the \\?\ form, so a tree may hold
// paths far longer than 260 characters. Reparse points (junctions, symbolic links, mount points)
// are removed as themselves and never entered, and each folder on the way down is held open
// without delete sharing, so that nobody can swap it for a junction while the walk is below it.
// Folders are worked on by a small pool of threads, one per core, as on POSIX.
#include "tree_walk_win.h"

#include <atomic>
#include <utility>

#include "deltree.h"
#include "work_pool.h"

// ntdll: the status behind the last error, which tells a delete-pending item from a forbidden one.
extern "C" LONG NTAPI RtlGetLastNtStatus();

namespace deltree {

namespace {

// Items removed by someone else while we work: gone, which is what was asked.
bool is_gone(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Whether an item that failed with `code` is gone all the same: another program deleting the
// same tree holds it, or has it delete pending, until it vanishes.
bool gone_after_failure(const std::wstring& path, DWORD code) {
    return is_gone(code) ||
           (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && is_gone(GetLastError()));
}

// Failures that another program causes for a moment: a virus scanner or indexer holding the
// item, or an item already deleted but still open elsewhere ("delete pending"), which keeps its
// folder from being empty. Access denied is a permission problem, which no waiting mends,
// unless the status behind it says the item is delete pending: then it goes when the other
// program lets go, so that a tree the user may not touch fails at once, not after seconds.
bool is_transient(DWORD code) {
    constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
    if (code == ERROR_ACCESS_DENIED) return RtlGetLastNtStatus() == kStatusDeletePending;
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_DIR_NOT_EMPTY;
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

}  // namespace

bool remove_item(const std::wstring& path, DWORD attrs) {
    make_writable(path, attrs);
    bool folder = attrs & FILE_ATTRIBUTE_DIRECTORY;
    bool removed = with_retry([&] {
        return folder ? RemoveDirectoryW(path.c_str()) != 0 : DeleteFileW(path.c_str()) != 0;
    });
    if (removed) count_removed();
    return removed;
}

namespace {

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
    UniqueFileHandle lock;
    std::atomic<int> pending{1};      // our own entries (as one) and every unfinished subfolder
    std::atomic<bool> failed{false};  // something inside stays, so the folder stays (reported)
};

// The walk: one task per folder, on a small pool of threads; whoever finishes a folder's last
// piece of work removes it and reports to its parent, as on POSIX.
class TreeWalk {
public:
    // No descriptor bound here: as many threads as thread_count() gives.
    TreeWalk() : pool_(kAnyNumber, Runner{this}) {}

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

    static constexpr unsigned kAnyNumber = 256;
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
        report_refusal(shown, "was replaced while it was being checked; it is left");
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
            report_error(Operation::kOpenFolder, folder->shown, code);
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
            report_error(Operation::kRemove, folder->shown, code);
            folder->failed = true;
        }
    }
    return false;
}

void TreeWalk::list(Folder* folder) {
    WIN32_FIND_DATAW data;
    std::wstring pattern = folder->path + L"\\*";
    UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (find.valid()) {
        do {
            const wchar_t* n = data.cFileName;
            if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'))) continue;
            remove_entry(folder, data);
        } while (FindNextFileW(find.get(), &data));
    }
    DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES && !is_gone(code)) {
        report_error(Operation::kList, folder->shown, code);
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
    report_error(Operation::kRemove, shown, code);
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
            report_error(Operation::kRemove, folder->shown, code);
            removed = false;
        }
    }
    return hand_to_parent(folder, removed, top_failed_, pool_);
}

}  // namespace

bool remove_tree(const std::wstring& path, const std::string& shown, DWORD attrs,
                 const FileId& judged) {
    TreeWalk walk;
    return walk.run(path, shown, attrs, judged);
}

}  // namespace deltree
