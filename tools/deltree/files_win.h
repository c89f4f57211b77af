// What deltree's Windows side takes from the shared helpers: the handle owners, the identity of
// the file behind a handle, its final path, and the texts between UTF-16 and the code page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "os/file_identity.h"
#include "os/text.h"
#include "os/unique_handle.h"
#include "paths/windows_files.h"
#include "report.h"

namespace deltree {

using os::FileIdentity;
using os::identity_of;
using os::UniqueFileHandle;
using os::UniqueFindHandle;
using paths::final_path;

// A path from the command line in UTF-16; it was judged valid in the code page before.
inline std::wstring widen(const std::string& s) {
    return os::widen_exactly(s.c_str()).value_or(L"");
}
// A name as the console shows it, never in a best-fit spelling of another name.
inline std::string narrow(const std::wstring& w) { return os::narrow(w).text; }

// Writes one failure line with the system's text for `code`.
void report_error(Operation operation, const std::string& path, DWORD code);

}  // namespace deltree
