// The platform operations on Windows: the Win32 calls and C runtime functions the program has
// always used, so that COMSPEC, code page 932 paths and the runtime's error numbers behave as
// users know them.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command/command_line.h"
#include "platform/platform.h"

namespace platform {

namespace {

FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

int copy_part(const char* part, char* out, std::size_t size) {
    std::size_t len = std::strlen(part);
    if (len >= size) return -1;
    std::memcpy(out, part, len + 1);
    return 0;
}

}  // namespace

int own_executable_path(char* buf, std::size_t size) {
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
    // A path that does not fit comes back cut off, and would name some other folder's list.
    return n == 0 || n >= size ? -1 : 0;
}

int split_drive_dir(const char* path, char* drive, std::size_t drive_size, char* dir,
                    std::size_t dir_size) {
    // The runtime's own split knows double-byte characters: the second byte of "表" is 0x5C,
    // the same byte as '\', and must not be taken for a separator.
    char d[_MAX_DRIVE], folder[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath(path, d, folder, name, ext);
    // The runtime cuts overlong parts silently; a cut part would point elsewhere.
    if (std::strlen(d) + std::strlen(folder) + std::strlen(name) + std::strlen(ext) !=
        std::strlen(path))
        return -1;
    return copy_part(d, drive, drive_size) == 0 && copy_part(folder, dir, dir_size) == 0 ? 0 : -1;
}

int path_access(const char* path, int mode) { return _access(path, mode); }

int current_directory(char* buf, std::size_t size) {
    return _getcwd(buf, static_cast<int>(size)) ? 0 : -1;
}

int run_deletion_command(const char* tool, const char* path) {
    // The tool's full path, never its bare name: cmd.exe would look for a bare name in the
    // current folder before PATH (Wine's cmd.exe ignores NoDefaultCurrentDirectoryInExePath).
    std::string line = compose_delete_command(tool, path);
    // The runtime's system(), with the start and the wait apart: system() answers -1 both when
    // no interpreter starts and when the interpreter ends with -1, and sets errno even after a
    // run that went well, so the two could not be told apart.
    const char* comspec = std::getenv("COMSPEC");
    const char* args[] = {comspec, "/c", line.c_str(), nullptr};
    intptr_t process = -1;
    if (comspec && *comspec) process = _spawnve(_P_NOWAIT, comspec, args, nullptr);
    if (process == -1 && (!comspec || !*comspec || errno == ENOENT || errno == EACCES)) {
        // The system's own interpreter, never a cmd.exe that lies in the current folder.
        char dir[MAX_PATH];
        UINT n = GetSystemDirectoryA(dir, sizeof dir);
        std::string cmd = (n > 0 && n < sizeof dir ? std::string(dir, n) : "") + "\\cmd.exe";
        args[0] = cmd.c_str();
        process = _spawnve(_P_NOWAIT, cmd.c_str(), args, nullptr);
    }
    if (process == -1) return -1;
    int status = 0;
    if (_cwait(&status, process, _WAIT_CHILD) == -1) return -1;
    errno = 0;  // a status of -1 is the command's own: no start failure to explain
    return status;
}

std::string path_as_utf8(const char* path) {
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n);
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(m > 0 ? m : 1, '\0');
    if (m > 0) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), m, nullptr, nullptr);
    utf8.resize(std::strlen(utf8.c_str()));
    return utf8;
}

void ignore_lost_output() {}

std::size_t environment_variable(const char* name, char* buf, std::size_t size) {
    return GetEnvironmentVariableA(name, buf, static_cast<DWORD>(size));
}

int short_path(const char* path, char* buf, std::size_t size) {
    // A short form that does not fit comes back as the size it needs.
    DWORD n = GetShortPathNameA(path, buf, static_cast<DWORD>(size));
    return n == 0 || n >= size ? -1 : 0;
}

int remove_file(const char* path) { return std::remove(path); }

Removal remove_file_if_same(const char* path, FileId id) {
    // A list whose identity could not be read when it was opened can only go by its name.
    if (id == FileId{}) return std::remove(path) == 0 ? Removal::kRemoved : Removal::kFailed;
    // Opened as itself (a link too), and deleted through this very handle: no other file can
    // take the name between the check and the deletion.
    HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                    ? ENOENT
                    : EACCES;
        return Removal::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(h, &info) != 0;
    FileId here = known ? id_of(info) : FileId{};
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link at the list's name: the list was read through it, so its target is compared.
        here = FileId{};
        HANDLE target = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION target_info;
        if (target != INVALID_HANDLE_VALUE) {
            if (GetFileInformationByHandle(target, &target_info)) here = id_of(target_info);
            CloseHandle(target);
        }
    }
    Removal result = Removal::kReplaced;
    if (!known) {
        errno = EACCES;
        result = Removal::kFailed;
    } else if (here == id) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        bool gone = SetFileInformationByHandle(h, FileDispositionInfo, &disposition,
                                               sizeof disposition) != 0;
        if (!gone) errno = EACCES;
        result = gone ? Removal::kRemoved : Removal::kFailed;
    }
    CloseHandle(h);
    return result;
}

void sleep_ms(unsigned ms) { Sleep(ms); }

Window foreground_window() { return GetForegroundWindow(); }

void set_close_command(Window window, bool enabled) {
    HMENU menu = GetSystemMenu(static_cast<HWND>(window), FALSE);
    EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

ListFile::~ListFile() { close(); }

int ListFile::open(const char* path) {
    close();
    // The runtime shares the file for reading and writing, as fopen did; a folder fails here.
    int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return -1;
    handle_ = fd;
    BY_HANDLE_FILE_INFORMATION info;
    auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    id_ = GetFileInformationByHandle(h, &info) ? id_of(info) : FileId{};
    return 0;
}

long ListFile::read(char* buf, std::size_t size) {
    return _read(handle_, buf, static_cast<unsigned>(size));
}

void ListFile::close() {
    if (handle_ != kClosed) _close(handle_);
    handle_ = kClosed;
}

}  // namespace platform
