// Removal of a folder tree on Windows. Paths are wide and in the \\?\ form, so a tree may hold
// paths far longer than 260 characters. Reparse points (junctions, symbolic links, mount points)
// are removed as themselves and never entered, and each folder on the way down is held open
// without delete sharing, so that nobody can swap it for a junction while the walk is below it.
// Folders are worked on by a small pool of threads, one per core, as on POSIX.
//
// Another program may hold an item for longer than a moment: another deltree inside the same
// tree holds the folders it is in, just as we do. Such an item is left for later instead of
// failing; once the walk is done and holds nothing open, what was left is tried again in rounds
// for as long as anyone makes progress with it, so that two programs removing one tree never
// fail each other.
#include "tree_walk_win.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "deltree.h"
#include "work_pool.h"

namespace deltree {

namespace {

using paths::last_error;

// Items removed by someone else while we work: gone, which is what was asked.
bool is_gone(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Whether an item that failed with `code` is gone all the same: another program deleting the
// same tree holds it, or has it delete pending, until it vanishes.
bool gone_after_failure(const std::wstring& path, DWORD code) {
    return is_gone(code) ||
           (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && is_gone(GetLastError()));
}

// Failures that another program causes for a while: a virus scanner or indexer holding the
// item, another deltree inside a folder, an item already deleted but still open elsewhere,
// which keeps its folder from being empty. Access denied is a permission problem, which no
// waiting mends, so that a tree the user may not touch fails at once.
bool is_transient(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_DIR_NOT_EMPTY || code == ERROR_DELETE_PENDING;
}

// One attempt at deleting an item: 0 or the system's error; `elsewhere` when its path led to
// another item than the one at that place in the tree.
struct Deletion {
    DWORD error = 0;
    bool elsewhere = false;
};

DWORD error_of(DWORD code) { return code; }
DWORD error_of(const Deletion& deletion) { return deletion.elsewhere ? 0 : deletion.error; }

// An item a scanner holds for a moment, or one whose deletion by someone else is under way,
// goes after a few quick tries; what stays busy longer is left for the rounds at the end.
template <typename Attempt>
auto with_quick_retries(Attempt attempt) {
    auto result = attempt();
    for (DWORD pause : {2, 8, 32}) {
        if (!is_transient(error_of(result))) break;
        Sleep(pause);
        result = attempt();
    }
    return result;
}

// The pauses between rounds of tries: short while someone makes progress, growing while nobody
// does. Rounds are counted, not time, so that a busy machine, where everyone is slow, never
// turns waiting into failing; after kRounds in a row without progress, what is left stays.
class Patience {
public:
    // Waits before the next round; false when it is time to give up.
    bool next_round(bool progress) {
        idle_ = progress ? 0 : idle_ + 1;
        if (idle_ > kRounds) return false;
        Sleep(std::min(kFirstPauseMs << std::min(idle_, 5u), kLongestPauseMs));
        return true;
    }

private:
    static constexpr unsigned kRounds = 12;
    static constexpr DWORD kFirstPauseMs = 20;
    static constexpr DWORD kLongestPauseMs = 500;
    unsigned idle_ = 0;
};

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
    DWORD code = last_error();
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
            : last_error();
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
        DWORD code = last_error();
        if (!refuses_class(code)) return code;
        int seen = way;
        g_disposition.compare_exchange_strong(seen, way + 1);
    }
    return mark_plainly(item);
}

// Deletes the item at `path` as itself: a link goes, never what it points to. With
// `check_place`, only when the path still leads to it: then nothing above it is held open by
// the walk, so a folder on the way could have been swapped for a junction meanwhile, while the
// handle open now keeps every folder above it from being renamed.
Deletion delete_item(const std::wstring& path, bool check_place) {
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
    if (!item.valid()) return {last_error()};
    if (check_place) {
        // A system that cannot tell the final path cannot tell the top's either.
        if (std::wstring real = final_path(item.get()); !real.empty() && real != path)
            return {0, true};
    }
    return {mark_for_deletion(item.get())};
}

// What became of an item: gone (removed, by us or by someone else), busy (held by another
// program past the quick tries), or failed (reported).
enum class Outcome { kGone, kBusy, kFailed };

struct Removal {
    Outcome outcome;
    DWORD error = 0;
};

Removal remove_one(const std::wstring& path, const std::string& shown, bool check_place,
                   bool quick_retries) {
    auto attempt = [&] { return delete_item(path, check_place); };
    Deletion deletion = quick_retries ? with_quick_retries(attempt) : attempt();
    if (deletion.elsewhere) {
        report_refusal(shown, "leads elsewhere since the walk began; it is left");
        return {Outcome::kFailed};
    }
    if (deletion.error == 0) {
        count_removed();
        return {Outcome::kGone};
    }
    if (gone_after_failure(path, deletion.error)) return {Outcome::kGone};
    if (is_transient(deletion.error)) return {Outcome::kBusy, deletion.error};
    report_error(Operation::kRemove, shown, deletion.error);
    return {Outcome::kFailed, deletion.error};
}

}  // namespace

bool remove_item(const std::wstring& path, DWORD) {
    Patience patience;
    for (;;) {
        DWORD code = with_quick_retries([&] { return delete_item(path, false).error; });
        if (code == 0) {
            count_removed();
            return true;
        }
        if (!is_transient(code) || !patience.next_round(false)) {
            SetLastError(code);
            return false;
        }
    }
}

namespace {

// An item left for later, or a folder that waits for such items inside it.
struct Deferred {
    enum class Kind {
        kItem,      // removed as itself: a file, a link, a folder whose entries were all seen
        kUnopened,  // a folder that could not be opened yet, to be walked
    };
    Kind kind;
    std::wstring path;
    std::string shown;
    unsigned depth;              // below the top, so that children are tried before parents
    Deferred* parent = nullptr;  // the folder it keeps; nullptr for the top
    unsigned waiting = 0;        // items inside it not yet settled
    bool failed = false;         // something inside stays, so it stays (reported)
    bool settled = false;        // gone, or failed
    DWORD error = 0;             // the last reason it stayed, for the report if it never goes
};

// A folder being emptied. Held open without delete sharing from its opening to its removal, so
// that while the walk is inside it, nobody can rename it or swap it for a junction. Owned by
// the walk, in its `folders_` from its opening until its finish, which erases it; its parent
// outlives it, since a folder finishes only after all its subfolders.
struct Folder {
    Folder(Folder* parent_folder, std::wstring folder_path, std::string shown_path, unsigned d)
        : parent(parent_folder),
          path(std::move(folder_path)),
          shown(std::move(shown_path)),
          depth(d) {}

    Folder* const parent;     // nullptr for the top of a walk
    std::wstring path;        // the top's becomes its final path once it is open
    const std::string shown;  // for messages: the user's name for the tree and the way down
    const unsigned depth;
    std::list<Folder>::iterator self;  // its place in the walk's folders_
    UniqueFileHandle lock;
    std::atomic<int> pending{1};      // our own entries (as one) and every unfinished subfolder
    std::atomic<bool> failed{false};  // something inside stays, so the folder stays (reported)
    Deferred* deferred = nullptr;     // its record, once it or something inside is left for later
};

// What opening a folder for the walk came to.
enum class Opened { kFolder, kOther, kGone, kBusy, kFailed };

struct Opening {
    Opened what;
    DWORD error = 0;
};

// The walk: one task per folder, on a small pool of threads; whoever finishes a folder's last
// piece of work removes it and reports to its parent, as on POSIX. Then the rounds of what was
// left for later.
class TreeWalk {
public:
    // `judged`: the folder that was found fit to go; any other found at the top's path is left.
    TreeWalk(const FileIdentity& judged, unsigned threads) : judged_(judged), threads_(threads) {}

    // Empties and removes the tree at `path` (extended form), shown as `shown`. True when gone.
    bool run(const std::wstring& path, const std::string& shown);

private:
    struct Runner {
        TreeWalk* walk;
        void operator()(Folder* folder) const { walk->list(folder); }
    };
    using Pool = WorkPool<Folder*, Runner>;

    bool round();
    void walk(Deferred* record);
    void try_item(Deferred* record, bool check_place);
    Opening open_folder(Folder* folder);
    void list(Folder* folder);
    void remove_entry(Folder* folder, const WIN32_FIND_DATAW& entry);
    void remove_other(Folder* folder, std::wstring path, std::string shown);
    Folder* add(Folder* parent, std::wstring path, std::string shown, unsigned depth);
    void drop(Folder* folder);
    void release(Folder* folder);
    Folder* finish(Folder* folder);
    Deferred* record_of(Folder* folder);
    void defer(Folder* folder, Deferred::Kind kind, std::wstring path, std::string shown,
               DWORD error);
    void settle(Deferred* record, bool gone);
    void report_left();

    const FileIdentity judged_;
    const unsigned threads_;
    std::mutex mutex_;               // guards the records, the folders and their `deferred`
    std::deque<Deferred> deferred_;  // the top first; a deque keeps their addresses
    std::list<Folder> folders_;      // the folders opened and not finished
    Pool* pool_ = nullptr;           // the pool of the walk under way
    std::atomic<bool> top_failed_{false};
};

// How many entries are left under `folder`, at every depth, not through links: fewer from one
// round to the next tells that someone is removing them.
std::uint64_t entries_under(const std::wstring& folder) {
    std::uint64_t count = 0;
    std::vector<std::wstring> folders{folder};
    while (!folders.empty()) {
        std::wstring path = std::move(folders.back());
        folders.pop_back();
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH));
        if (!find.valid()) continue;
        do {
            const wchar_t* n = data.cFileName;
            if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'))) continue;
            ++count;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                folders.push_back(path + L"\\" + n);
        } while (FindNextFileW(find.get(), &data));
    }
    return count;
}

bool TreeWalk::run(const std::wstring& path, const std::string& shown) {
    Deferred* top = &deferred_.emplace_back(
        Deferred{.kind = Deferred::Kind::kUnopened, .path = path, .shown = shown, .depth = 0});
    // The first round is the walk itself. Progress is fewer entries left than ever before, not
    // merely fewer than a round ago: a program that keeps making and removing a file beside
    // a held one would otherwise count as progress for ever.
    Patience patience;
    std::uint64_t fewest = UINT64_MAX;
    for (;;) {
        bool progress = round();
        if (top->settled) return !top->failed;
        std::uint64_t entries = entries_under(top->path);
        progress = progress || entries < fewest;
        fewest = std::min(fewest, entries);
        if (!patience.next_round(progress)) break;
    }
    report_left();
    return false;
}

// Tries every item left that waits for nothing inside it, children before parents. True when
// one of them went.
bool TreeWalk::round() {
    std::vector<Deferred*> left;
    for (Deferred& record : deferred_)
        if (!record.settled) left.push_back(&record);
    std::stable_sort(left.begin(), left.end(),
                     [](const Deferred* a, const Deferred* b) { return a->depth > b->depth; });
    bool progress = false;
    for (Deferred* record : left) {
        if (record->waiting > 0) continue;
        if (record->failed) {
            settle(record, false);
            continue;
        }
        if (record->kind == Deferred::Kind::kUnopened)
            walk(record);
        else
            try_item(record, true);
        progress = progress || (record->settled && !record->failed);
    }
    return progress;
}

// Walks a folder that was never opened (the top, at first): opened, emptied by the pool, and
// removed; what stays busy meanwhile is recorded under it.
void TreeWalk::walk(Deferred* record) {
    bool is_top = record->parent == nullptr;
    Folder* top = add(nullptr, record->path, record->shown, record->depth);
    Opening opening = open_folder(top);
    if (opening.what != Opened::kFolder) {
        drop(top);
        switch (opening.what) {
        case Opened::kGone: settle(record, true); break;
        case Opened::kFailed: settle(record, false); break;
        case Opened::kBusy: record->error = opening.error; break;
        default:  // a link or a file took its place: removed as itself
            record->kind = Deferred::Kind::kItem;
            try_item(record, !is_top);
        }
        return;
    }
    // A folder on the way swapped for a junction since the judgement, or since the walk named
    // this folder, would lead elsewhere.
    std::wstring real = final_path(top->lock.get());
    if (is_top ? identity_of(top->lock.get()) != judged_ : !real.empty() && real != top->path) {
        report_refusal(record->shown, is_top ? "was replaced while it was being checked; it is left"
                                             : "leads elsewhere since the walk began; it is left");
        drop(top);
        settle(record, false);
        return;
    }
    // From here on everything is named from the top's final path: a link or junction above the
    // top, which someone could point elsewhere meanwhile, is never followed again, and the real
    // folders above cannot be renamed while the top is open.
    if (!real.empty()) top->path = record->path = real;
    record->kind = Deferred::Kind::kItem;
    top->deferred = record;
    Pool pool(threads_, Runner{this});
    pool_ = &pool;
    if (!pool.try_push(top)) list(top);
    pool.run();
    pool_ = nullptr;
    // Something inside failed: the folder stays, once what was left inside is settled.
    if (top_failed_) {
        if (record->waiting == 0)
            settle(record, false);
        else
            record->failed = true;
    }
}

// Removes a recorded item as itself, once.
void TreeWalk::try_item(Deferred* record, bool check_place) {
    Removal removal = remove_one(record->path, record->shown, check_place, false);
    if (removal.outcome == Outcome::kBusy)
        record->error = removal.error;
    else
        settle(record, removal.outcome == Outcome::kGone);
}

// Opens the folder for the walk: a plain folder, something else (a link or a file that took
// its place), gone, busy (held by another program), or failed (reported).
Opening TreeWalk::open_folder(Folder* folder) {
    DWORD error = with_quick_retries([&] {
        folder->lock.reset(
            CreateFileW(folder->path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return folder->lock.valid() ? DWORD{0} : last_error();
    });
    BY_HANDLE_FILE_INFORMATION info;
    if (error == 0 && !GetFileInformationByHandle(folder->lock.get(), &info)) error = last_error();
    if (error != 0) {
        folder->lock.reset();
        if (gone_after_failure(folder->path, error)) return {Opened::kGone};
        if (is_transient(error)) return {Opened::kBusy, error};
        report_error(Operation::kOpenFolder, folder->shown, error);
        return {Opened::kFailed, error};
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        folder->lock.reset();
        return {Opened::kOther};
    }
    // The current folder or one above it, reached inside the tree another way (a folder mounted
    // in it, a substituted drive): the same folder by its file id, never entered.
    std::optional<FileIdentity> id = identity_of(folder->lock.get());
    const char* protection = id ? paths::protected_folders().reason(*id) : paths::kUnjudgeable;
    if (protection) {
        folder->lock.reset();
        report_refusal(folder->shown, std::string(protection) + "; not entered");
        return {Opened::kFailed};
    }
    return {Opened::kFolder};
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
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_other(folder, std::move(path), std::move(shown));
        return;
    }
    Folder* child = add(folder, std::move(path), std::move(shown), folder->depth + 1);
    Opening opening = open_folder(child);
    if (opening.what == Opened::kFolder) {
        folder->pending.fetch_add(1);
        if (!pool_->try_push(child)) list(child);  // now, on this thread
        return;
    }
    if (opening.what == Opened::kOther)
        remove_other(folder, child->path, child->shown);
    else if (opening.what == Opened::kBusy)
        defer(folder, Deferred::Kind::kUnopened, child->path, child->shown, opening.error);
    else if (opening.what == Opened::kFailed)
        folder->failed = true;
    drop(child);
}

// Removes an entry that is no plain folder: a file or a link.
void TreeWalk::remove_other(Folder* folder, std::wstring path, std::string shown) {
    Removal removal = remove_one(path, shown, false, true);
    if (removal.outcome == Outcome::kBusy)
        defer(folder, Deferred::Kind::kItem, std::move(path), std::move(shown), removal.error);
    else if (removal.outcome == Outcome::kFailed)
        folder->failed = true;
}

// A new folder of the walk.
Folder* TreeWalk::add(Folder* parent, std::wstring path, std::string shown, unsigned depth) {
    std::lock_guard lock(mutex_);
    auto it = folders_.emplace(folders_.end(), parent, std::move(path), std::move(shown), depth);
    it->self = it;
    return &*it;
}

void TreeWalk::drop(Folder* folder) {
    std::lock_guard lock(mutex_);
    folders_.erase(folder->self);
}

// The way up is a loop, not a recursion: each finished folder hands back its parent, so that
// no depth of tree can run out of stack.
void TreeWalk::release(Folder* folder) {
    while (folder && folder->pending.fetch_sub(1) == 1) folder = finish(folder);
}

// Removes a folder whose entries and subfolders are all done, unless something inside was left
// for later: then the folder waits for it too. Returns its parent, for the caller to release
// (nullptr after the top of the walk).
Folder* TreeWalk::finish(Folder* folder) {
    folder->lock.reset();
    bool is_top = folder->parent == nullptr;
    Deferred* record;
    bool waits;
    {
        std::lock_guard lock(mutex_);
        record = folder->deferred;
        waits = record && record->waiting > 0;
    }
    if (!folder->failed && !waits) {
        // Nothing above the top of a walk is held open by it.
        Removal removal = remove_one(folder->path, folder->shown, is_top, true);
        if (removal.outcome == Outcome::kFailed) folder->failed = true;
        if (removal.outcome == Outcome::kGone && is_top) settle(record, true);
        if (removal.outcome == Outcome::kBusy) {
            std::lock_guard lock(mutex_);
            record = record_of(folder);
            record->error = removal.error;
        }
    }
    // A folder left for later keeps its parent waiting, not failing.
    if (record && !record->settled && !is_top) {
        std::lock_guard lock(mutex_);
        Deferred* up = record_of(folder->parent);
        record->parent = up;
        record->failed = folder->failed;
        ++up->waiting;
    }
    Folder* parent = folder->parent;
    bool failed = folder->failed;
    drop(folder);
    if (!parent) {
        top_failed_ = failed;
        pool_->stop();
    } else if (failed) {
        parent->failed = true;
    }
    return parent;
}

// The record of a folder that waits, made when it first does. Called with the mutex held.
Deferred* TreeWalk::record_of(Folder* folder) {
    if (!folder->deferred)
        folder->deferred = &deferred_.emplace_back(Deferred{.kind = Deferred::Kind::kItem,
                                                            .path = folder->path,
                                                            .shown = folder->shown,
                                                            .depth = folder->depth});
    return folder->deferred;
}

void TreeWalk::defer(Folder* folder, Deferred::Kind kind, std::wstring path, std::string shown,
                     DWORD error) {
    std::lock_guard lock(mutex_);
    Deferred* up = record_of(folder);
    deferred_.emplace_back(Deferred{.kind = kind,
                                    .path = std::move(path),
                                    .shown = std::move(shown),
                                    .depth = folder->depth + 1,
                                    .parent = up,
                                    .error = error});
    ++up->waiting;
}

void TreeWalk::settle(Deferred* record, bool gone) {
    std::lock_guard lock(mutex_);
    record->settled = true;
    record->failed = !gone;
    if (Deferred* up = record->parent) {
        --up->waiting;
        if (!gone) up->failed = true;
    }
}

// What never went although nobody made progress with it: each item that waited for nothing
// else, with the reason it last stayed. The folders above it stay without a word, as they do
// for any failure inside.
void TreeWalk::report_left() {
    for (const Deferred& record : deferred_) {
        if (record.settled || record.waiting > 0) continue;
        if (record.failed) continue;  // its cause is reported
        report_error(
            record.kind == Deferred::Kind::kUnopened ? Operation::kOpenFolder : Operation::kRemove,
            record.shown, record.error);
    }
}

}  // namespace

bool remove_tree(const std::wstring& path, const std::string& shown, DWORD, const FileIdentity& judged,
                 unsigned threads) {
    TreeWalk walk(judged, threads);
    return walk.run(path, shown);
}

}  // namespace deltree
