// A named path removed on Windows: judged as written, as Win32 resolves it, and as the folder it
// is; then removed as itself when it is a file or a link, as a tree when it is a folder.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "deltree.h"
#include "files_win.h"
#include "paths/windows_files.h"
#include "tree_walk_win.h"

namespace deltree {

namespace {

std::wstring extended_path(const char* path) { return paths::extended_path(widen(path)); }

// Taken off in UTF-16: in code page 932 the second byte of a character may be '\'.
std::string without_trailing_separators(const char* path) {
    std::wstring w = widen(path);
    while (w.size() > 1 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
    return narrow(w);
}

}  // namespace

Kind kind_of(const char* path) {
    DWORD attrs = GetFileAttributesW(extended_path(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return Kind::kMissing;
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? Kind::kFolder : Kind::kFile;
}

bool remove_path(const char* path) {
    std::wstring full = extended_path(path);
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        // Removed meanwhile by someone else (another run on the same tree): what was asked.
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
        report_error(Operation::kRemove, path, code);
        return false;
    }
    bool plain_folder =
        (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!plain_folder) {
        if (remove_item(full, attrs)) return true;
        report_error(Operation::kRemove, path, GetLastError());
        return false;
    }
    // Judged again, by identity, as it is now; the walk then checks that the folder it opens
    // is this one.
    UniqueFileHandle h(paths::open_to_look(full, false));
    std::optional<FileIdentity> id = h.valid() ? identity_of(h.get()) : std::nullopt;
    if (!id) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
        report_error(Operation::kCheck, path, code);
        return false;
    }
    paths::Judgement judged = paths::judge_handle(h.get(), paths::protected_folders());
    if (judged.verdict != paths::Verdict::kMayGo) {
        report_refusal(path, judged.reason);
        return false;
    }
    return remove_tree(full, without_trailing_separators(path), attrs, *id, walk_threads());
}

}  // namespace deltree
