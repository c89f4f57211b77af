// A named path removed on Windows: judged as written, as Win32 resolves it, and as the folder it
// is; then removed as itself when it is a file or a link, as a tree when it is a folder.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "deltree.h"
#include "files_win.h"
#include "paths/path_refusal.h"
#include "tree_walk_win.h"

namespace deltree {

namespace {

// The \\?\ form of `wide`: absolute, with no 260-character limit and no further rewriting.
std::wstring extended_path(const std::wstring& wide) {
    // A "\\?\" path is taken exactly as written: "\\?\C:\dir\foo " is the file "foo ", which
    // GetFullPathNameW would trim to "foo", another file.
    if (wide.rfind(L"\\\\?\\", 0) == 0) {
        std::wstring exact = wide;
        while (exact.size() > 7 && exact.back() == L'\\') exact.pop_back();
        return exact;
    }
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    // "\\.\" is the device namespace as "\\?\" is, once GetFullPathNameW has normalised it.
    if (full.rfind(L"\\\\.\\", 0) == 0) full[2] = L'?';
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring extended_path(const char* path) { return extended_path(widen(path)); }

// Taken off in UTF-16: in code page 932 the second byte of a character may be '\'.
std::string without_trailing_separators(const char* path) {
    std::wstring w = widen(path);
    while (w.size() > 1 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
    return narrow(w);
}

// Whether the folder `h` is the root of its volume (its name within the volume is "\"),
// however the path to it was spelled: a volume has more names under \\?\GLOBALROOT than any
// rule on spellings can know.
bool is_volume_root(HANDLE h) {
    alignas(FILE_NAME_INFO) char buf[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH];
    if (!GetFileInformationByHandleEx(h, FileNameInfo, buf, sizeof buf))
        return GetLastError() != ERROR_MORE_DATA;  // a long name is no root; unknown counts as one
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buf);
    std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return name.find_first_not_of(L'\\') == std::wstring::npos;
}

// Whether the folder `target` is the current folder of this process or a folder above it, by
// identity: no spelling (short names, case, trailing dots, the \\?\ forms) hides it. The folders
// above are taken along the current folder's path as this process knows it and along its final
// path, with links and substituted drives resolved, each folder both as itself and through the
// link it may be.
bool holds_current_folder(const FileId& target) {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring cwd(n, L'\0');
    cwd.resize(GetCurrentDirectoryW(n, cwd.data()));
    std::vector<std::wstring> chains{extended_path(cwd)};
    UniqueFileHandle here(open_to_look(chains[0], true));
    if (std::wstring real = here.valid() ? final_path(here.get()) : L""; !real.empty())
        chains.push_back(real);
    for (std::wstring folder : chains) {
        for (;;) {
            if (file_id(folder, false) == target || file_id(folder, true) == target) return true;
            std::size_t cut = folder.rfind(L'\\');
            // Down to the root, which is refused on its own account.
            if (cut == std::wstring::npos || cut <= 6) break;
            folder.resize(cut);
        }
    }
    return false;
}

// A plain folder judged for removal: why it must stay, judged on what it is rather than how it
// is spelled (nullptr when it may go), and which folder was judged.
struct Judged {
    const char* refusal;
    FileId id;
};

Judged judge_folder(const std::wstring& full) {
    UniqueFileHandle h(open_to_look(full, false));
    std::optional<FileId> id = h.valid() ? id_of(h.get()) : std::nullopt;
    if (!id) return {"cannot be told apart from a root or the current folder", {}};
    if (is_volume_root(h.get())) return {"is the root of a drive or filesystem", *id};
    if (holds_current_folder(*id)) return {"is the current folder or a folder above it", *id};
    return {nullptr, *id};
}

}  // namespace

Kind kind_of(const char* path) {
    DWORD attrs = GetFileAttributesW(extended_path(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return Kind::kMissing;
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? Kind::kFolder : Kind::kFile;
}

bool remove_path(const char* path) {
    std::wstring full = extended_path(path);
    // The full form, as Win32 resolved it, may reveal a root that the given form hid.
    if (const char* reason = refusal_reason(narrow(full, CP_UTF8).c_str(), kWindowsPaths)) {
        report_refusal(path, reason);
        return false;
    }
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        report_error(Operation::kRemove, path, GetLastError());
        return false;
    }
    bool plain_folder =
        (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!plain_folder) {
        if (remove_item(full, attrs)) return true;
        report_error(Operation::kRemove, path, GetLastError());
        return false;
    }
    Judged judged = judge_folder(full);
    if (judged.refusal) {
        report_refusal(path, judged.refusal);
        return false;
    }
    return remove_tree(full, without_trailing_separators(path), attrs, judged.id);
}

}  // namespace deltree
