// The platform operations on Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
#define ZELK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZELK_THREAD_SANITIZER 1
#endif
#endif
#ifndef ZELK_THREAD_SANITIZER
#define ZELK_THREAD_SANITIZER 0
#endif

namespace platform {

namespace {

constexpr char kToolName[] = "deltree";
constexpr char kQuietSwitch[] = "/Y";

// The child's wait status, or -1 with errno when it cannot be waited for.
int wait_for_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// A command that was started, by its wait status; one that cannot be waited for (an inherited
// "ignore SIGCHLD" that slipped through) cannot be told to have run.
CommandRun finished(int wait_status) {
    if (wait_status == -1) return {false, 0, errno};
    if (WIFSIGNALED(wait_status)) return {true, 128 + WTERMSIG(wait_status), 0};
    return {true, WEXITSTATUS(wait_status), 0};
}

// When the file last changed (its data or its name's count), in nanoseconds: any write moves it.
std::uint64_t change_stamp(const struct stat& st) {
    return static_cast<std::uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(st.st_ctim.tv_nsec);
}

// Not there, as Windows would say of each: the path, or a folder on its way, is missing, or the
// name cannot be one.
bool is_missing(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

}  // namespace

int own_executable_path(char* buf, std::size_t size) {
    // The kernel's link names the real file, so a start through a symlink still finds the list
    // beside the real executable.
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0) return -1;
    if (static_cast<std::size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[n] = '\0';
    return 0;
}

int path_access(const char* path, int mode) {
    // A listed symlink is gone when the link is gone, whatever its target does, as on Windows,
    // where the attribute check does not follow links either.
    int rc = mode == kAccessRead ? faccessat(AT_FDCWD, path, R_OK, 0)
                                 : faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW);
    if (rc == 0) return 0;
    // Windows reports each of these as "not found"; the list messages rely on that.
    if (is_missing(errno)) errno = ENOENT;
    return -1;
}

PresenceCheck presence_of(const char* path) {
    if (faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0) return {Presence::kThere, 0};
    if (is_missing(errno)) return {Presence::kGone, ENOENT};
    // EACCES here is a folder on the way that may not be searched: what is below it is unknown.
    return {Presence::kCannotTell, errno};
}

std::optional<std::string> current_directory() {
    // No limit of its own here: the buffer grows with the path.
    std::string buf(256, '\0');
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

CommandRun run_deletion_command(const char* tool, const char* path) {
    // An inherited "ignore SIGCHLD" would make the wait fail after the command has done its work.
    static const bool sigchld_default = signal(SIGCHLD, SIG_DFL) != SIG_ERR;
    (void)sigchld_default;
    // No shell: the path is one argument, and nothing in it can be taken for shell syntax.
    char* argv[] = {const_cast<char*>(kToolName), const_cast<char*>(kQuietSwitch),
                    const_cast<char*>(path), nullptr};
#if ZELK_THREAD_SANITIZER
    // ThreadSanitizer turns vfork into fork, where the child's report of a failed exec would
    // never reach this process: a spawn reports it itself.
    pid_t pid = 0;
    if (int err = posix_spawn(&pid, tool, nullptr, nullptr, argv, environ); err != 0)
        return {false, 0, err};
    return finished(wait_for_exit(pid));
#else
    // vfork, because the start of deltree is most of the cost of an entry: the child borrows
    // this process's memory until it execs, so no page tables are copied, and nothing resets
    // signal handlers one by one as posix_spawn must (measured: 0.15 ms of each start). It is
    // safe because zelk is single-threaded and never installs a signal handler (only SIG_IGN
    // and SIG_DFL, which the exec keeps), and the child does nothing but exec or _exit. A failed
    // exec is reported through the shared memory, which the parent reads after the child ends.
    volatile int exec_error = 0;
    pid_t pid = vfork();
    if (pid == 0) {
        execv(tool, argv);
        exec_error = errno;
        _exit(127);
    }
    if (pid < 0) return {false, 0, errno};
    CommandRun run = finished(wait_for_exit(pid));
    if (exec_error != 0) return {false, 0, exec_error};
    return run;
#endif
}

std::size_t environment_variable(const char* name, char* buf, std::size_t size) {
    const char* value = getenv(name);
    if (!value) return 0;
    std::size_t len = std::strlen(value);
    if (len >= size) return len + 1;
    std::memcpy(buf, value, len + 1);
    return len;
}

std::optional<std::string> search_folder(const char* entry) {
    // No short names here: an existing absolute entry is its own short form.
    if (entry[0] != '/' || std::strlen(entry) >= kPathLimit) return std::nullopt;
    if (faccessat(AT_FDCWD, entry, F_OK, 0) != 0) return std::nullopt;
    return entry;
}

bool is_runnable_file(const char* path) {
    // What execv will run: the file a link leads to, which must be a plain file and executable.
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && faccessat(AT_FDCWD, path, X_OK, 0) == 0;
}

std::vector<std::string> spellings_to_judge(const char* path) { return {path}; }

void ignore_lost_output() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

Removal remove_file_if_same(const char* path, FileId id) {
    // The list was opened through any link at its name, so it is compared the same way. POSIX
    // has no unlink by identity: a new list renamed into place in the microseconds between the
    // check and the unlink is still lost, where before it was lost over the whole run.
    struct stat st {};
    if (stat(path, &st) != 0) return is_missing(errno) ? Removal::kAlreadyGone : Removal::kFailed;
    if (FileId{st.st_dev, st.st_ino} != id) return Removal::kReplaced;
    if (unlink(path) == 0) return Removal::kRemoved;
    return errno == ENOENT ? Removal::kAlreadyGone : Removal::kFailed;
}

void sleep_ms(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

Window foreground_window() { return nullptr; }

void set_close_command(Window, bool enabled) {
    // Closing a terminal hangs up its programs; ignored, SIGHUP no longer cuts a deletion short,
    // and the deletion commands inherit the ignoring.
    static struct sigaction saved;
    static bool ignoring = false;
    if (!enabled && !ignoring) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ignoring = sigaction(SIGHUP, &ignore, &saved) == 0;
    } else if (enabled && ignoring) {
        sigaction(SIGHUP, &saved, nullptr);
        ignoring = false;
    }
}

ListFile::~ListFile() { close(); }

int ListFile::open(const char* path) {
    close();
    // Non-blocking, so that a FIFO under the list's name cannot hang the run.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    int error = fstat(fd, &st) != 0    ? errno
                : S_ISDIR(st.st_mode)  ? EISDIR
                : !S_ISREG(st.st_mode) ? EINVAL
                                       : 0;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    handle_ = fd;
    id_ = {st.st_dev, st.st_ino};
    size_ = static_cast<std::uint64_t>(st.st_size);
    changed_ = change_stamp(st);
    return 0;
}

ListFile::State ListFile::state_since_open() const {
    struct stat st {};
    if (fstat(handle_, &st) != 0) return State::kChanged;
    if (st.st_nlink == 0) return State::kGone;
    bool same = static_cast<std::uint64_t>(st.st_size) == size_ && change_stamp(st) == changed_;
    return same ? State::kUnchanged : State::kChanged;
}

long ListFile::read(char* buf, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(handle_, buf, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

void ListFile::close() {
    if (handle_ != kClosed) ::close(handle_);
    handle_ = kClosed;
}

}  // namespace platform
