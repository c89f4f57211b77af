// The platform operations on Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "os/unique_handle.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr char kToolName[] = "deltree";
constexpr char kQuietSwitch[] = "/Y";
constexpr char kEndOfSwitches[] = "--";  // so that a listed "--" is a path like any other

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

std::optional<std::string> path_beside_executable(const char* name) {
    // The kernel's link names the real file, so a start through a symlink still finds the list
    // beside the real executable. It is absolute: its folder runs up to the last '/'.
    char exe[kPathLimit];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof exe) return std::nullopt;
    std::string path(exe, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

ListAccess list_access(const char* path) {
    // A listed symlink is there while the link is, whatever its target does, as on Windows.
    return {faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) != 0,
            faccessat(AT_FDCWD, path, R_OK, 0) != 0};
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
                    const_cast<char*>(kEndOfSwitches), const_cast<char*>(path), nullptr};
    // vfork, because the start of deltree is most of the cost of an entry: the child borrows
    // this process's memory until it execs, so no page tables are copied and no signal handlers
    // are reset one by one (posix_spawn was measured slower by up to a tenth of a start). The
    // child does nothing but exec, or write why it could not into a pipe that the exec closes,
    // and _exit: it changes nothing of this process. Where vfork is a fork (ThreadSanitizer)
    // the same holds. zelk installs no signal handler, only SIG_IGN and SIG_DFL, which the exec
    // keeps.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {false, 0, errno};
    os::UniqueFd report(pipe_fds[0]);
    os::UniqueFd report_end(pipe_fds[1]);
    pid_t pid = vfork();
    if (pid == 0) {
        execv(tool, argv);
        (void)!write(pipe_fds[1], &errno, sizeof errno);  // errno: written by the failed exec
        _exit(127);
    }
    if (pid < 0) return {false, 0, errno};
    report_end.reset();
    int exec_error = 0;
    ssize_t got;
    while ((got = read(report.get(), &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
    CommandRun run = finished(wait_for_exit(pid));
    if (got == sizeof exec_error) return {false, 0, exec_error};
    return run;
}

std::unique_ptr<char[]> path_variable() {
    const char* value = getenv("PATH");
    std::size_t len = value ? std::strlen(value) : 0;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[len + 1]);
    if (copy) std::memcpy(copy.get(), value ? value : "", len + 1);
    return copy;
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

Removal remove_file_if_same(const char* path, os::FileIdentity id) {
    // The list was opened through any link at its name, so it is compared the same way. POSIX
    // has no unlink by identity: a new list renamed into place in the microseconds between the
    // check and the unlink is still lost, where before it was lost over the whole run.
    struct stat st {};
    if (stat(path, &st) != 0) return is_missing(errno) ? Removal::kAlreadyGone : Removal::kFailed;
    if (os::identity_of(st) != id) return Removal::kReplaced;
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
    // Watched from here on: a write that leaves size and change time as they were (the kernel's
    // change time ticks every few milliseconds, or seconds on FAT) is still seen. A watch that
    // cannot be set leaves every state "changed": the list is then never taken as unchanged.
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_ >= 0 && inotify_add_watch(watch_, self.c_str(), IN_MODIFY) < 0) {
        ::close(watch_);
        watch_ = kClosed;
    }
    id_ = os::identity_of(st);
    size_ = static_cast<std::uint64_t>(st.st_size);
    changed_ = change_stamp(st);
    return 0;
}

ListFile::State ListFile::state_since_open() const {
    struct stat st {};
    if (fstat(handle_, &st) != 0) return State::kChanged;
    if (st.st_nlink == 0) return State::kGone;
    int pending = 0;
    if (watch_ < 0 || ioctl(watch_, FIONREAD, &pending) != 0 || pending != 0)
        return State::kChanged;
    bool same = static_cast<std::uint64_t>(st.st_size) == size_ && change_stamp(st) == changed_;
    return same ? State::kUnchanged : State::kChanged;
}

int ListFile::rewind() { return lseek(handle_, 0, SEEK_SET) < 0 ? -1 : 0; }

long ListFile::read(char* buf, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(handle_, buf, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

void ListFile::close() {
    if (handle_ != kClosed) ::close(handle_);
    if (watch_ != kClosed) ::close(watch_);
    handle_ = watch_ = kClosed;
}

}  // namespace platform
