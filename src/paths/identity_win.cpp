// Identities on Windows: volume serial and file index, taken from handles opened only to look
// (no read permission needed), each item as itself unless a link is to be followed on purpose.
#include <windows.h>

#include <new>

#include "os/file_identity.h"
#include "os/text.h"
#include "os/unique_handle.h"
#include "paths/identity.h"
#include "paths/windows_files.h"

// ntdll: the status behind the last error, which tells a delete-pending item from a forbidden one.
extern "C" LONG NTAPI RtlGetLastNtStatus();

namespace paths {

using os::identity_of;
using os::widen_exactly;

namespace {

constexpr char kDevice[] = "is a device, not a file or folder";
constexpr char kRoot[] = "is the root of a drive or filesystem";

using LookHandle = os::UniqueFileHandle;

// Not there, as Win32 resolves the path: a missing item, folder, drive or share, or a name the
// system will not take; or an item whose deletion is under way (another deltree on the same
// tree): it is gone as soon as its last holder lets go.
bool is_missing(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
    case ERROR_DELETE_PENDING: return true;
    default: return false;
    }
}

// Whether the folder `h` is the root of its volume (its name within the volume is "\"), however
// the path to it was spelled: a volume has more names under \\?\GLOBALROOT than any rule on
// spellings can know. Unknown counts as a root.
bool is_volume_root(HANDLE h) {
    alignas(FILE_NAME_INFO) char buf[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH];
    if (!GetFileInformationByHandleEx(h, FileNameInfo, buf, sizeof buf))
        return GetLastError() != ERROR_MORE_DATA;  // a long name is no root
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buf);
    std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return name.find_first_not_of(L'\\') == std::wstring::npos;
}

// How much of an extended path is its root: "\\?\C:\", "\\?\UNC\server\share\",
// "\\?\Volume{...}\". Nothing above it can be a folder.
std::size_t root_length(const std::wstring& path) {
    std::size_t start = 4;  // after "\\?\"
    int names = 1;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
        names = 2;
    }
    std::size_t at = start;
    for (int i = 0; i < names; ++i) {
        at = path.find(L'\\', at);
        if (at == std::wstring::npos) return path.size();
        ++at;
    }
    return at;
}

// Every folder on the way from the root of `path` down to `path`, each both as itself and
// through the link it may be; any folder that cannot be looked at leaves the chain incomplete.
DWORD add_chain(const std::wstring& path, std::vector<FileIdentity>& ids) {
    std::wstring folder = path;
    std::size_t root = root_length(folder);
    for (;;) {
        bool at_root = folder.size() <= root;
        if (at_root) folder = path.substr(0, root);
        for (bool follow : {false, true}) {
            LookHandle h(open_to_look(folder, follow));
            std::optional<FileIdentity> id = h.valid() ? identity_of(h.get()) : std::nullopt;
            if (!id) return GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
            ids.push_back(*id);
        }
        if (at_root) return 0;
        folder.resize(folder.rfind(L'\\'));
    }
}

}  // namespace

DWORD last_error() {
    constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == kStatusDeletePending)
        return ERROR_DELETE_PENDING;
    return code;
}

std::wstring extended_path(const std::wstring& wide) {
    if (wide.rfind(L"\\\\?\\", 0) == 0) {
        std::wstring exact = wide;
        while (exact.size() > 7 && exact.back() == L'\\') exact.pop_back();
        return exact;
    }
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = n ? GetFullPathNameW(wide.c_str(), n, full.data(), nullptr) : 0;
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.rfind(L"\\\\.\\", 0) == 0) full[2] = L'?';
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE open_to_look(const std::wstring& path, bool follow) {
    return CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

std::wstring final_path(HANDLE h) {
    for (DWORD volume_name : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        std::wstring path(32768, L'\0');
        DWORD len = GetFinalPathNameByHandleW(h, path.data(), 32768, volume_name);
        if (len == 0 || len >= 32768) continue;
        path.resize(len);
        return path;
    }
    return {};
}

ProtectedFolders ProtectedFolders::record() {
    try {
        // The root of every drive that answers: another letter may lead to the same folder (a
        // substituted drive, Wine's drive mappings), and a drive with no disk in it holds no
        // folder anyone could name.
        std::vector<FileIdentity> roots;
        DWORD drives = GetLogicalDrives();
        for (int i = 0; i < 26; ++i) {
            if (!(drives & (1u << i))) continue;
            std::wstring root = L"\\\\?\\A:\\";
            root[4] = static_cast<wchar_t>(L'A' + i);
            // A disc drive is read-only, and an empty one can hold the start up: not looked at.
            UINT type = GetDriveTypeW(root.c_str() + 4);
            if (type == DRIVE_CDROM || type == DRIVE_NO_ROOT_DIR) continue;
            LookHandle h(open_to_look(root, true));
            if (std::optional<FileIdentity> id = h.valid() ? identity_of(h.get()) : std::nullopt)
                roots.push_back(*id);
        }
        // The current folder as this process knows it, and as the system resolves it with
        // every link and substituted drive: the folders above it differ between the two.
        DWORD n = GetCurrentDirectoryW(0, nullptr);
        std::wstring cwd(n, L'\0');
        cwd.resize(n ? GetCurrentDirectoryW(n, cwd.data()) : 0);
        if (cwd.empty()) return of(std::move(roots), {}, static_cast<int>(GetLastError()));
        std::wstring known = extended_path(cwd);
        std::vector<FileIdentity> chain;
        DWORD error = add_chain(known, chain);
        LookHandle here(open_to_look(known, true));
        std::wstring real = here.valid() ? final_path(here.get()) : L"";
        if (error == 0 && real.empty())
            error = GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
        if (error == 0) error = add_chain(real, chain);
        return of(std::move(roots), std::move(chain), static_cast<int>(error));
    } catch (const std::bad_alloc&) {
        return of({}, {}, ERROR_NOT_ENOUGH_MEMORY);
    }
}

Judgement judge_handle(HANDLE h, const ProtectedFolders& folders) {
    if (GetFileType(h) != FILE_TYPE_DISK) return {Verdict::kRefused, kDevice};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return {Verdict::kCannotJudge, kUnjudgeable, static_cast<int>(GetLastError())};
    // A link or junction is removed as itself: it is no folder of anyone's.
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {Verdict::kMayGo};
    if (is_volume_root(h)) return {Verdict::kRefused, kRoot};
    return judge_folder(identity_of(info), folders);
}

namespace {

// `folders()` gives the protected folders, asked only when a folder is judged.
template <typename Folders>
Judgement judge_as(const char* path, Folders folders) {
    std::optional<std::wstring> wide = widen_exactly(path);
    if (!wide) return {Verdict::kCannotJudge, kUnjudgeable, ERROR_NO_UNICODE_TRANSLATION};
    LookHandle h(open_to_look(extended_path(*wide), false));
    if (!h.valid()) {
        DWORD code = last_error();
        if (is_missing(code)) return {Verdict::kMissing, nullptr, static_cast<int>(code)};
        return {Verdict::kCannotJudge, kUnjudgeable, static_cast<int>(code)};
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool folder = GetFileInformationByHandle(h.get(), &info) &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    static const ProtectedFolders kNone = ProtectedFolders::of({}, {});
    return judge_handle(h.get(), folder ? folders() : kNone);
}

}  // namespace

Judgement judge(const char* path, const ProtectedFolders& folders) {
    return judge_as(path, [&]() -> const ProtectedFolders& { return folders; });
}

Judgement judge(const char* path) { return judge_as(path, protected_folders); }

}  // namespace paths
