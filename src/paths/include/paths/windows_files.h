// The Windows pieces of the judgement that deltree uses for its own work too: paths in their
// extended form, handles opened only to look, and what a handle says about its file.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <optional>
#include <string>

#include "paths/identity.h"

namespace paths {

// The last error, with an item whose deletion is under way (which Win32 calls access denied)
// told apart from a forbidden one: ERROR_DELETE_PENDING.
DWORD last_error();

// The \\?\ form of `wide`: absolute, without the 260-character limit and without further
// rewriting by the system. A "\\?\" path is kept as written ("\\?\C:\dir\foo " is the file
// "foo ", which GetFullPathNameW would trim to "foo", another file); "\\.\" becomes "\\?\".
std::wstring extended_path(const std::wstring& wide);

// The item at `path` (extended form), opened only to look at it: as itself, or with `follow`
// through the link it is. INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE open_to_look(const std::wstring& path, bool follow);

// The path of the open item `h` with every link and substituted drive resolved, in the
// extended form; "" when the system cannot tell it.
std::wstring final_path(HANDLE h);

// Judges the open item `h` (opened as itself): a device, a volume root, a protected folder.
Judgement judge_handle(HANDLE h, const ProtectedFolders& folders);

}  // namespace paths

#endif
