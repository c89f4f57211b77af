// The operations zelk needs from its operating system; one implementation file per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "paths/identity.h"

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

// Room for a drive part such as "C:", terminator included.
inline constexpr std::size_t kDriveLimit = 3;

// Access modes of `path_access`: the path exists; the path can be read.
inline constexpr int kAccessExists = 0;
inline constexpr int kAccessRead = 4;

// Full path of the running executable (the real file, links resolved). Returns 0, or -1 when the
// path is unavailable or would not fit `size` bytes: a cut-off path is no path.
int own_executable_path(char* buf, std::size_t size);

// Splits an executable's full path into its drive ("C:" when the second character is ':', else
// empty) and its folder (up to and including the last '\' or '/'). 0, or -1 when a part does not
// fit its buffer.
int split_drive_dir(const char* path, char* drive, std::size_t drive_size, char* dir,
                    std::size_t dir_size);

// 0 when `path` passes the check, else -1 with errno: ENOENT whenever the path does not exist
// (also a missing folder on the way or a name too long), EACCES when it cannot be looked at.
// A symbolic link is judged itself, not its target. For the messages about the list.
int path_access(const char* path, int mode);

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

// The current directory, or nothing when it cannot be had. Windows gives it the 256 bytes its
// runtime's `_getcwd` was given, so a longer one cannot be had there.
std::optional<std::string> current_directory();

// How a deletion command went: `started` false when it could not be started (then `error` is
// the errno that says why), else its exit status (128+N when a signal N ended it), whatever its
// value: a command may itself end with -1.
struct CommandRun {
    bool started;
    int status;
    int error;
};

// Runs the deletion command, the program file `tool` with the arguments /Y and `path`, and waits
// for it. Windows runs it through the command interpreter (COMSPEC), as `"tool" /Y "path"`.
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

// Keeps a closed or full output from ending the process: on POSIX, SIGPIPE and SIGXFSZ are
// ignored (deletion commands inherit that), so a lost reader gets failed writes, not a deletion
// cut short. Windows ends no process for a failed write.
void ignore_lost_output();

// Reads environment variable `name` the way GetEnvironmentVariableA does: when the value fits
// `size` bytes with its terminator it is copied and its length returned; otherwise the room it
// needs, terminator included, is returned. 0 when the variable is not set.
std::size_t environment_variable(const char* name, char* buf, std::size_t size);

// The folder a PATH entry names, as the system's own search reads it (Windows: quotes taken
// away) and in its short (8.3) form where the platform has one; nothing when the entry does not
// exist, has no short form that fits `kPathLimit`, or is not absolute: a relative entry would
// name a folder below wherever zelk happens to be started.
std::optional<std::string> search_folder(const char* entry);

// Whether `path` is a file this platform can start: a regular file (links followed) with
// execute permission on POSIX, a file that is no folder on Windows.
bool is_runnable_file(const char* path);

// Which file an open file is: device and inode on POSIX, volume and file index on Windows.
using FileId = paths::FileIdentity;

enum class Removal {
    kRemoved,      // the file was removed
    kAlreadyGone,  // nothing has the name any more (removed by one of the listed entries)
    kReplaced,     // another file has taken the name since: it is left as it is
    kFailed,       // errno says why
};

// Removes the file at `path` if it is still the file `id`, which was opened through any link at
// the name (a link goes as the link); another file under that name is left alone, and so is a
// file whose identity is unknown.
Removal remove_file_if_same(const char* path, FileId id);

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
    void close();
    bool is_open() const { return handle_ != kClosed; }
    // The file that was opened, and its size, taken when it was opened.
    FileId id() const { return id_; }
    std::uint64_t size() const { return size_; }
    // What has become of the open file since it was opened: written to, cut or grown (its size
    // or its change time moved), or gone (no name leads to it any more: removed, or another
    // file renamed over it). Unknown counts as changed.
    enum class State { kUnchanged, kChanged, kGone };
    State state_since_open() const;

private:
    static constexpr int kClosed = -1;
    int handle_ = kClosed;  // a runtime file descriptor on both platforms
    FileId id_;
    std::uint64_t size_ = 0;
    std::uint64_t changed_ = 0;  // the platform's stamp of the last change, at the opening
};

}  // namespace platform
