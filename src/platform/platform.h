// The operations zelk needs from its operating system; one implementation file per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Room for the current directory, as the Windows runtime's `_getcwd` was given.
inline constexpr std::size_t kCurrentDirLimit = 256;

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
// A symbolic link is judged itself, not its target.
int path_access(const char* path, int mode);

// The current directory into `buf`; 0, or -1 with errno (ERANGE when it does not fit).
int current_directory(char* buf, std::size_t size);

// Runs the deletion command, the program file `tool` with the arguments /Y and `path`, and waits
// for it. Windows runs it through the command interpreter (COMSPEC), as `"tool" /Y "path"`.
// Returns its exit status (128+N when a signal N ended it), or -1 with errno when it could not
// be started.
int run_deletion_command(const char* tool, const char* path);

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

// The short (8.3) form of an existing path into `buf` (on POSIX, the path itself). 0, or -1 when
// the path has none or it does not fit `size` bytes.
int short_path(const char* path, char* buf, std::size_t size);

// Removes a file (never a folder). 0, or -1 with errno.
int remove_file(const char* path);

// Which file an open file is: device and inode on POSIX, volume and file index on Windows.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};

enum class Removal {
    kRemoved,   // the file was removed
    kReplaced,  // another file has taken the name since: it is left as it is
    kFailed,    // errno says why
};

// Removes the file at `path` if it is still the file `id` (a link to it goes as the link, as
// with remove_file); another file under that name is left alone.
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
    // The file that was opened, taken when it was opened.
    FileId id() const { return id_; }

private:
    static constexpr int kClosed = -1;
    int handle_ = kClosed;  // a runtime file descriptor on both platforms
    FileId id_;
};

}  // namespace platform
