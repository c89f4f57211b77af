// Windows handles and what they tell: one owner for each kind of handle, the identity of the
// file behind one, its final path; and the texts that cross between UTF-16 and the code page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "paths/windows_files.h"
#include "report.h"
#include "unique_handle.h"

namespace deltree {

struct FileHandleTraits {
    using Handle = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

// Which file a handle is, and the rest of what the judgement knows of handles: shared with zelk.
using FileId = paths::FileIdentity;
inline std::optional<FileId> id_of(HANDLE h) { return paths::identity_of(h); }
using paths::final_path;

// Text in the ANSI code page (the command line's, the console's) and in UTF-16 (the system's).
std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& w, UINT code_page = CP_ACP);

// Writes one failure line with the system's text for `code`.
void report_error(Operation operation, const std::string& path, DWORD code);

}  // namespace deltree
