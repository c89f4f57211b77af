// The operations zelk needs from its operating system; one implementation file per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/file_identity.h"

namespace platform {

// Longest path the platform handles, terminator included. Buffers for paths and list lines are
// sized from it, so a longer list line can be recognised as one that no path could match.
#ifdef _WIN32
inline constexpr std::size_t kPathLimit = 260;
#else
inline constexpr std::size_t kPathLimit = 4096;
#endif

// Whether the deletion list is read with the Windows runtime's text-mode rules (CR LF, Ctrl-Z)
// or split at line feeds only, as POSIX names may hold any other byte.
#ifdef _WIN32
inline constexpr bool kListTextMode = true;
#else
inline constexpr bool kListTextMode = false;
#endif

// The deletion command's file as the tool search looks for it, the separator of PATH entries,
// and the separator that joins an entry and the file name.
#ifdef _WIN32
inline constexpr char kToolFileName[] = "deltree.exe";
inline constexpr char kPathListSeparator = ';';
inline constexpr char kDirSeparator = '\\';
#else
inline constexpr char kToolFileName[] = "deltree";
inline constexpr char kPathListSeparator = ':';
inline constexpr char kDirSeparator = '/';
#endif

// The path of the file `name` beside the running executable (the real file, links resolved),
// whatever the current folder; nothing when the executable's own path cannot be had whole (one
// cut off, or spelled in a best fit, would name some other folder's file).
std::optional<std::string> path_beside_executable(const char* name);

// What can be told of a list that would not open: nothing is there under its name (a link
// counts as there), and it cannot be read. Windows passes both for any existing file, so a
// locked list is neither.
struct ListAccess {
    bool missing;
    bool unreadable;
};
ListAccess list_access(const char* path);

// Whether a listed path is there, the link itself when it is one. `error` says more of kGone
// and kCannotTell: ENOENT, or EACCES, which Windows gives for an item that is delete pending
// (as good as gone) and Linux for a path it may not look at (it may well be there).
enum class Presence { kThere, kGone, kCannotTell };
struct PresenceCheck {
    Presence presence;
    int error;
};
PresenceCheck presence_of(const char* path);

// What a listed path that is there is, judged by identity (see paths/identity.h): it may be
// handed to the deletion command, it vanished meanwhile, or it is refused (a root, a device, the
// current folder or one above it, or a path that could not be judged).
enum class EntryVerdict { kMayGo, kMissing, kRefused };
EntryVerdict judge_entry(const char* path);

// The current directory, or nothing when it cannot be had (on Windows, one longer than the
// runtime's own limit).
std::optional<std::string> current_directory();

// How a deletion command went: `started` false when it could not be started (then `error` is
// the errno that says why), else its exit status (128+N when a signal N ended it), whatever its
// value: a command may itself end with -1.
struct CommandRun {
    bool started;
    int status;
    int error;
};

// Runs the deletion command, the program file `tool` with the arguments /Y, -- and `path`, and
// waits for it. Windows runs it through the command interpreter (COMSPEC), as
// `"tool" /Y "path"`.
CommandRun run_deletion_command(const char* tool, const char* path);

// The spellings of `path` that the refusal rules judge, each in an encoding where every byte
// below 0x80 is the character it looks like (in code page 932 the second byte of a character
// may be '\'): on Windows the path as written and the full path Win32 resolves it to, in
// UTF-8; on POSIX the bytes as they are. Empty when the path cannot be judged: on Windows, text
// that is not valid in the ANSI code page (the system would read it as some other name), and,
// while the current folder is a network path (where cmd.exe cannot stay: it moves to the
// Windows folder), a path not fully qualified or one that spells the current folder or a
// folder above it.
std::vector<std::string> spellings_to_judge(const char* path);

// A copy of PATH, as the system's own search reads it, for the search to cut into entries:
// empty when PATH is unset; a null pointer when there is no memory for the copy.
std::unique_ptr<char[]> path_variable();

// The folder a PATH entry names, as the system's own search reads it (Windows: quotes taken
// away) and in its short (8.3) form where the platform has one; nothing when the entry does not
// exist, has no short form that fits `kPathLimit`, or is not absolute: a relative entry would
// name a folder below wherever zelk happens to be started.
std::optional<std::string> search_folder(const char* entry);

// Whether `path` is a file this platform can start: a regular file (links followed) with
// execute permission on POSIX, a file that is no folder on Windows.
bool is_runnable_file(const char* path);

enum class Removal {
    kRemoved,      // the file was removed
    kAlreadyGone,  // nothing has the name any more (removed by one of the listed entries)
    kReplaced,     // another file has taken the name since: it is left as it is
    kFailed,       // errno says why
};

// Removes the file at `path` if it is still the file `id`, which was opened through any link at
// the name (a link goes as the link); another file under that name is left alone, and so is a
// file whose identity is unknown.
Removal remove_file_if_same(const char* path, os::FileIdentity id);

void sleep_ms(unsigned ms);

// The window whose Close command the run guards: the foreground window at the start. POSIX has
// no such window (nullptr); there, closing the terminal sends SIGHUP.
using Window = void*;
Window foreground_window();

// Greys or enables the Close command of `window`. On POSIX, greying ignores SIGHUP (deletion
// commands inherit that) and enabling restores what SIGHUP did before.
void set_close_command(Window window, bool enabled);

// An open deletion list, read as raw bytes; closed by its destructor.
class ListFile {
public:
    ListFile() = default;
    ~ListFile();
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    // Opens a regular file for reading while other programs may keep reading and writing it.
    // 0, or -1 with errno (a folder or other non-file gives -1).
    int open(const char* path);
    // Up to `size` bytes into `buf`: the count, 0 at the end, -1 with errno on a read error.
    long read(char* buf, std::size_t size);
    // Reads from the start again: 0, or -1 with errno.
    int rewind();
    void close();
    bool is_open() const { return handle_ != kClosed; }
    // The file that was opened, and its size, taken when it was opened.
    os::FileIdentity id() const { return id_; }
    std::uint64_t size() const { return size_; }
    // What has become of the open file since it was opened: written to, cut or grown (its size
    // or its change time moved, or on Linux any write seen by a watch, since a change time ticks
    // too coarsely to tell a write of the same size in the same tick), or gone (no name leads to it
    // any more: removed, or another file renamed over it). Unknown counts as changed.
    enum class State { kUnchanged, kChanged, kGone };
    State state_since_open() const;

private:
    static constexpr int kClosed = -1;
    int handle_ = kClosed;  // a runtime file descriptor on both platforms
    os::FileIdentity id_;
    std::uint64_t size_ = 0;
    std::uint64_t changed_ = 0;  // the platform's stamp of the last change, at the opening
    int watch_ = kClosed;        // Linux: an inotify descriptor told of every write to the file
};

}  // namespace platform
