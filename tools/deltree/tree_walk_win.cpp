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

// FileDispositionInfoEx, which mingw-w64 declares only for newer targets than ours.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// How far down the ways of marking an item for deletion this system goes, learnt from its first
// refusal and kept for the run: 0, POSIX semantics ignoring the read-only attribute (the name
// goes at once, even while others hold the item open); 1, the same without POSIX semantics
// (a filesystem without them); 2, the plain disposition, which read-only items refuse (Windows
// before 10 1809, and Wine).
constexpr int kPlainDisposition = 2;
std::atomic<int> g_disposition{0};

bool refuses_class(DWORD code) {
    return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED;
}

// The plain disposition. A read-only item refuses it, so the attribute is cleared through this
// handle for as long as the deletion needs it and set again when the deletion fails or the file
// keeps other names (hard links): it belongs to the file, not to this name.
DWORD mark_plainly(HANDLE item) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(item, FileDispositionInfo, &disposition, sizeof disposition))
        return 0;
    DWORD code = GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (code != ERROR_ACCESS_DENIED || !GetFileInformationByHandle(item, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        return code;
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    FILE_BASIC_INFO basic{};  // zero times: left as they are
    basic.FileAttributes = info.dwFileAttributes & kSettable;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(item, FileBasicInfo, &basic, sizeof basic)) return code;
    DWORD result =
        SetFileInformationByHandle(item, FileDispositionInfo, &disposition, sizeof disposition)
            ? 0
            : GetLastError();
    if (result != 0 || info.nNumberOfLinks > 1) {
        basic.FileAttributes = (info.dwFileAttributes & kSettable) | FILE_ATTRIBUTE_READONLY;
        SetFileInformationByHandle(item, FileBasicInfo, &basic, sizeof basic);
    }
    return result;
}

// Marks the open item for deletion, read-only or not, without changing the file for its other
// names: 0 or the error. The item goes when the handle is closed.
DWORD mark_for_deletion(HANDLE item) {
    for (int way = g_disposition; way < kPlainDisposition; ++way) {
        FILE_DISPOSITION_INFO_EX disposition{FILE_DISPOSITION_FLAG_DELETE |
                                             FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
        if (way == 0) disposition.Flags |= FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
        if (SetFileInformationByHandle(item, kFileDispositionInfoEx, &disposition,
                                       sizeof disposition))
            return 0;
        DWORD code = GetLastError();
        if (!refuses_class(code)) return code;
        int seen = way;
        g_disposition.compare_exchange_strong(seen, way + 1);
    }
    return mark_plainly(item);
}

// Deletes the item at `path` as itself: a link goes, never what it points to. 0 or the error.
DWORD delete_item(const std::wstring& path) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD kAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    // Writing attributes is asked for only because a read-only item's plain disposition needs
    // it: where it is forbidden, deleting alone may still be allowed.
    UniqueFileHandle item(CreateFileW(path.c_str(),
                                      DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                      kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr));
    if (!item.valid() && GetLastError() == ERROR_ACCESS_DENIED)
        item.reset(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, kAsItself, nullptr));
    if (!item.valid()) return GetLastError();
    return mark_for_deletion(item.get());
}

}  // namespace

bool remove_item(const std::wstring& path, DWORD) {
    bool removed = with_retry([&] {
        DWORD code = delete_item(path);
        SetLastError(code);
        return code == 0;
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
