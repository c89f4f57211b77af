// The platform operations on Windows: Win32 calls and the C runtime, so that COMSPEC, code page
// 932 paths and the runtime's error numbers behave as users know them.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "os/file_identity.h"
#include "os/text.h"
#include "os/unique_handle.h"
#include "platform/interpreter_line.h"
#include "platform/platform.h"

namespace platform {

namespace {

// When the open file last changed (any write moves its change time; the write time stands in
// where a filesystem keeps none); 0 when unknown.
std::uint64_t change_stamp(HANDLE h) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return 0;
    LARGE_INTEGER stamp = basic.ChangeTime.QuadPart != 0 ? basic.ChangeTime : basic.LastWriteTime;
    return static_cast<std::uint64_t>(stamp.QuadPart);
}

// Room for the current directory, as the runtime's `_getcwd` was given.
constexpr std::size_t kCurrentDirLimit = 256;

// The runtime's error number for what a file could not be opened for: not there, or not now.
int errno_of(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::optional<std::string> path_beside_executable(const char* name) {
    // A path that does not fit comes back cut off, and the ANSI call gives a name the code page
    // cannot hold in a best-fit spelling ("Café" as "Cafe"): either would name some other
    // folder's file. So the path is asked for in UTF-16, and one the code page cannot spell
    // exactly, or that does not fit the runtime's limit, is no path.
    std::wstring wide(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (n == 0 || n >= wide.size()) return std::nullopt;
    wide.resize(n);
    os::Narrowed exe = os::narrow(wide, CP_ACP);
    if (exe.lossy || exe.text.size() >= kPathLimit) return std::nullopt;
    // The runtime's own split knows double-byte characters: the second byte of "表" is 0x5C,
    // the same byte as '\', and must not be taken for a separator.
    char drive[_MAX_DRIVE], folder[_MAX_DIR], base[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath(exe.text.c_str(), drive, folder, base, ext);
    // The runtime cuts overlong parts silently; a cut part would point elsewhere.
    if (std::strlen(drive) + std::strlen(folder) + std::strlen(base) + std::strlen(ext) !=
        exe.text.size())
        return std::nullopt;
    return std::string(drive) + folder + name;
}

ListAccess list_access(const char* path) { return {_access(path, 0) != 0, _access(path, 4) != 0}; }

PresenceCheck presence_of(const char* path) {
    if (_access(path, 0) == 0) return {Presence::kThere, 0};
    // The runtime's EACCES covers an item that is delete pending: it goes once its last holder
    // lets go, so it counts as gone. Other numbers (a network folder gone away) tell nothing.
    if (errno == ENOENT || errno == EACCES) return {Presence::kGone, errno};
    return {Presence::kCannotTell, errno};
}

std::optional<std::string> current_directory() {
    // The 256 bytes the runtime's `_getcwd` was always given: a longer folder cannot be shown.
    char buf[kCurrentDirLimit];
    if (!_getcwd(buf, static_cast<int>(sizeof buf))) return std::nullopt;
    return std::string(buf);
}

CommandRun run_deletion_command(const char* tool, const char* path) {
    // The tool's full path, never its bare name: cmd.exe would look for a bare name in the
    // current folder before PATH (Wine's cmd.exe ignores NoDefaultCurrentDirectoryInExePath).
    std::string line = compose_delete_command(tool, path);
    // The runtime's system(), with the start and the wait apart: system() answers -1 both when
    // no interpreter starts and when the interpreter ends with -1, and sets errno even after a
    // run that went well, so the two could not be told apart.
    const char* comspec = std::getenv("COMSPEC");
    // /D: no AutoRun command from the registry runs first (one that changes folder would move
    // every relative path); /V:OFF: a registry default of delayed expansion would take '!' out
    // of paths; /S: the outer quotes are the ones taken away, whatever the line holds.
    const char* args[] = {comspec, "/D", "/V:OFF", "/S", "/C", line.c_str(), nullptr};
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
    if (process == -1) return {false, 0, errno};
    int status = 0;
    if (_cwait(&status, process, _WAIT_CHILD) == -1) return {false, 0, errno};
    // Whatever its value, -1 included: the command ran and ended so.
    return {true, status, 0};
}

std::vector<std::string> spellings_to_judge(const char* path) {
    std::optional<std::wstring> written = os::widen_exactly(path);
    if (!written) return {};
    const std::wstring& wide = *written;
    auto is_sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    bool qualified = (wide.size() >= 2 && is_sep(wide[0]) && is_sep(wide[1])) ||
                     (wide.size() >= 3 && wide[1] == L':' && is_sep(wide[2]));
    std::wstring cwd(GetCurrentDirectoryW(0, nullptr), L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    bool network_cwd = cwd.size() >= 2 && is_sep(cwd[0]) && is_sep(cwd[1]);
    if (!qualified && network_cwd) return {};
    DWORD full_len = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(full_len, L'\0');
    full.resize(full_len ? GetFullPathNameW(wide.c_str(), full_len, full.data(), nullptr) : 0);
    while (full.size() > 3 && is_sep(full.back())) full.pop_back();
    // deltree.exe never removes its current folder or one above it, but from a network folder
    // cmd.exe has moved it to the Windows folder: zelk's own current folder is guarded here.
    if (network_cwd && !full.empty() && full.size() <= cwd.size() &&
        CompareStringOrdinal(full.c_str(), static_cast<int>(full.size()), cwd.c_str(),
                             static_cast<int>(full.size()), TRUE) == CSTR_EQUAL &&
        (full.size() == cwd.size() || is_sep(cwd[full.size()])))
        return {};
    return {os::narrow(wide, CP_UTF8).text, os::narrow(full, CP_UTF8).text};
}

std::unique_ptr<char[]> path_variable() {
    // Read in UTF-16 and converted without best fit: a folder the code page cannot spell keeps a
    // '?' rather than turning into the name of another folder.
    DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring value(n, L'\0');
    value.resize(n ? GetEnvironmentVariableW(L"PATH", value.data(), n) : 0);
    std::string ansi = os::narrow(value, CP_ACP).text;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[ansi.size() + 1]);
    if (copy) std::memcpy(copy.get(), ansi.c_str(), ansi.size() + 1);
    return copy;
}

std::optional<std::string> search_folder(const char* entry) {
    // Windows' own search takes the quotes out of an entry ("C:\Program Files\x"); a name
    // cannot hold one.
    std::string folder;
    for (const char* p = entry; *p; ++p)
        if (*p != '"') folder += *p;
    auto is_sep = [](char c) { return c == '\\' || c == '/'; };
    bool absolute = (folder.size() >= 3 && folder[1] == ':' && is_sep(folder[2])) ||
                    (folder.size() >= 2 && is_sep(folder[0]) && is_sep(folder[1]));
    if (!absolute) return std::nullopt;
    // A short form that does not fit comes back as the size it needs.
    char buf[kPathLimit];
    DWORD n = GetShortPathNameA(folder.c_str(), buf, static_cast<DWORD>(sizeof buf));
    if (n == 0 || n >= sizeof buf) return std::nullopt;
    return std::string(buf, n);
}

bool is_runnable_file(const char* path) {
    DWORD attrs = GetFileAttributesA(path);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

Removal remove_file_if_same(const char* path, os::FileIdentity id) {
    // A list whose identity could not be read when it was opened cannot be told from a new one.
    if (id == os::FileIdentity{}) {
        errno = EACCES;
        return Removal::kFailed;
    }
    // The name itself (a link too), to be deleted through this very handle, so that no other file
    // can take the name between the check and the deletion; then what the name leads to now,
    // looked at the way the list was opened: through any link. Opened in that order, a list put
    // in place between the two shows as another file, and nothing is deleted.
    os::UniqueFileHandle self(CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!self.valid()) {
        errno = errno_of(GetLastError());
        return errno == ENOENT ? Removal::kAlreadyGone : Removal::kFailed;
    }
    os::UniqueFileHandle target(
        CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!target.valid()) return Removal::kReplaced;  // the name leads nowhere the list could be
    std::optional<os::FileIdentity> now = os::identity_of(target.get());
    if (!now) {
        errno = EACCES;
        return Removal::kFailed;
    }
    if (*now != id) return Removal::kReplaced;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(self.get(), FileDispositionInfo, &disposition,
                                   sizeof disposition))
        return Removal::kRemoved;
    errno = EACCES;
    return Removal::kFailed;
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
    // Shared for reading and writing, as fopen did, and for deleting: a front end may rename
    // its next list over this one while the run goes on. A folder fails here.
    HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return -1;
    }
    id_ = os::identity_of(h).value_or(os::FileIdentity{});
    LARGE_INTEGER size{};
    size_ = GetFileSizeEx(h, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    changed_ = change_stamp(h);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return -1;
    }
    handle_ = fd;
    return 0;
}

ListFile::State ListFile::state_since_open() const {
    auto h = reinterpret_cast<HANDLE>(_get_osfhandle(handle_));
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return State::kChanged;
    // Removed, or a new list renamed over it: it goes when this handle is closed.
    if (standard.DeletePending || standard.NumberOfLinks == 0) return State::kGone;
    bool same = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart) == size_ &&
                change_stamp(h) == changed_ && changed_ != 0;
    return same ? State::kUnchanged : State::kChanged;
}

int ListFile::rewind() { return _lseeki64(handle_, 0, SEEK_SET) < 0 ? -1 : 0; }

long ListFile::read(char* buf, std::size_t size) {
    return _read(handle_, buf, static_cast<unsigned>(size));
}

void ListFile::close() {
    if (handle_ != kClosed) _close(handle_);
    handle_ = kClosed;
}

}  // namespace platform
