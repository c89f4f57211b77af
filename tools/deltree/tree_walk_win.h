// The removal of one folder tree on Windows, and of one item as itself.
#pragma once

#include <windows.h>

#include <string>

#include "files_win.h"

namespace deltree {

// Removes a file, or a link as itself (never what it points to), read-only or not, without
// changing the file for its other names; an item another program holds is tried again for a
// while. `attrs`: as the item was seen; it is deleted as it is found. False with the last error
// set.
bool remove_item(const std::wstring& path, DWORD attrs);

// Empties and removes the folder at `path` (extended form), shown in messages as `shown`, with
// up to `threads` threads. `judged`: the folder that was found fit to go; any other found at
// `path` now is left. What another program holds is tried again at the end, for as long as
// anyone makes progress with it. Every failure is reported; true when the folder is gone.
bool remove_tree(const std::wstring& path, const std::string& shown, DWORD attrs,
                 const FileIdentity& judged, unsigned threads);

}  // namespace deltree
