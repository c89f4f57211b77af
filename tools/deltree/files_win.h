// Windows handles and what they tell: one owner for each kind of handle, the identity of the
// file behind one, its final path; and the texts that cross between UTF-16 and the code page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

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

// Which file a handle is: the volume and the file index.
struct FileId {
    DWORD volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> id_of(HANDLE h);

// The item at `path` (extended form), opened to be looked at: as itself or, with `follow`,
// through the link it is.
HANDLE open_to_look(const std::wstring& path, bool follow);

std::optional<FileId> file_id(const std::wstring& path, bool follow);

// The path of the open item `h` with every link and substituted drive resolved, in the
// extended (\\?\) form; "" when the system cannot tell it.
std::wstring final_path(HANDLE h);

// Text in the ANSI code page (the command line's, the console's) and in UTF-16 (the system's).
std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& w, UINT code_page = CP_ACP);

// Writes one failure line with the system's text for `code`.
void report_error(Operation operation, const std::string& path, DWORD code);

}  // namespace deltree
