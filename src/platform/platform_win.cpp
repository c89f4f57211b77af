// The platform operations on Windows: the Win32 calls and C runtime functions the program has
// always used, so that COMSPEC, code page 932 paths and the runtime's error numbers behave as
// users know them.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command/command_line.h"
#include "platform/platform.h"

namespace platform {

namespace {

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

int run_deletion_command(const char* path) {
    char line[kCommandLineLimit];
    if (compose_delete_command(path, line, sizeof line) != 0) {
        errno = E2BIG;
        return -1;
    }
    return std::system(line);
}

std::size_t environment_variable(const char* name, char* buf, std::size_t size) {
    return GetEnvironmentVariableA(name, buf, static_cast<DWORD>(size));
}

int short_path(const char* path, char* buf, std::size_t size) {
    // A short form that does not fit comes back as the size it needs.
    DWORD n = GetShortPathNameA(path, buf, static_cast<DWORD>(size));
    return n == 0 || n >= size ? -1 : 0;
}

int remove_file(const char* path) { return std::remove(path); }

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
