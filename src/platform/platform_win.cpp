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
#include <optional>

#include "paths/identity.h"
#include "paths/windows_files.h"
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

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

bool is_open(const UniqueHandle& h) { return h.get() != INVALID_HANDLE_VALUE; }

// `wide` in `code_page`. Never in a best-fit spelling ("Café" as "Cafe", another folder): a
// character the code page cannot hold becomes '?', which no file name holds.
struct Converted {
    std::string text;
    bool lossy;  // a character had to be replaced
};
Converted to_code_page(const std::wstring& wide, UINT code_page) {
    bool utf8 = code_page == CP_UTF8;  // which takes neither flag nor default character
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = utf8 ? nullptr : &used_default;
    int n = WideCharToMultiByte(code_page, flags, wide.c_str(), -1, nullptr, 0, nullptr, used);
    std::string text(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(code_page, flags, wide.c_str(), -1, text.data(), n, nullptr, used);
    return {text, used_default != FALSE};
}

int copy_part(const char* part, char* out, std::size_t size) {
    std::size_t len = std::strlen(part);
    if (len >= size) return -1;
    std::memcpy(out, part, len + 1);
    return 0;
}

}  // namespace

int own_executable_path(char* buf, std::size_t size) {
    // A path that does not fit comes back cut off, and the ANSI call gives a name the code page
    // cannot hold in a best-fit spelling ("Café" as "Cafe"): either would name some other
    // folder's list. So the path is asked for in UTF-16, and one the code page cannot spell
    // exactly is no path.
    std::wstring wide(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (n == 0 || n >= wide.size()) return -1;
    wide.resize(n);
    Converted ansi = to_code_page(wide, CP_ACP);
    return ansi.lossy ? -1 : copy_part(ansi.text.c_str(), buf, size);
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

PresenceCheck presence_of(const char* path) {
    if (_access(path, kAccessExists) == 0) return {Presence::kThere, 0};
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
    std::optional<std::wstring> written = paths::widen_exactly(path);
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
    return {to_code_page(wide, CP_UTF8).text, to_code_page(full, CP_UTF8).text};
}

void ignore_lost_output() {}

std::size_t environment_variable(const char* name, char* buf, std::size_t size) {
    // Read in UTF-16 and converted without best fit: a folder the code page cannot spell keeps a
    // '?' rather than turning into the name of another folder.
    std::wstring wide_name = paths::widen_exactly(name).value_or(L"");
    DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (n == 0) return 0;
    std::wstring value(n, L'\0');
    value.resize(GetEnvironmentVariableW(wide_name.c_str(), value.data(), n));
    std::string ansi = to_code_page(value, CP_ACP).text;
    if (ansi.size() >= size) return ansi.size() + 1;
    std::memcpy(buf, ansi.c_str(), ansi.size() + 1);
    return ansi.size();
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

Removal remove_file_if_same(const char* path, FileId id) {
    // A list whose identity could not be read when it was opened cannot be told from a new one.
    if (id == FileId{}) {
        errno = EACCES;
        return Removal::kFailed;
    }
    // The name itself (a link too), to be deleted through this very handle, so that no other file
    // can take the name between the check and the deletion; then what the name leads to now,
    // looked at the way the list was opened: through any link. Opened in that order, a list put
    // in place between the two shows as another file, and nothing is deleted.
    UniqueHandle self(CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!is_open(self)) {
        errno = errno_of(GetLastError());
        return errno == ENOENT ? Removal::kAlreadyGone : Removal::kFailed;
    }
    UniqueHandle target(
        CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!is_open(target)) return Removal::kReplaced;  // the name leads nowhere the list could be
    std::optional<FileId> now = paths::identity_of(target.get());
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
    id_ = paths::identity_of(h).value_or(FileId{});
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

long ListFile::read(char* buf, std::size_t size) {
    return _read(handle_, buf, static_cast<unsigned>(size));
}

void ListFile::close() {
    if (handle_ != kClosed) _close(handle_);
    handle_ = kClosed;
}

}  // namespace platform
