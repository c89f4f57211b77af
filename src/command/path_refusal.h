// Paths that no deletion may ever be run on, whatever asks for it.
#pragma once

// Why `path` must never be deleted (a filesystem root, or a path ending in "." or ".."), or
// nullptr when it may be. `windows` adds the Windows forms: '\' as a separator, drive roots
// ("C:\", and "C:", the drive's current folder) and share roots ("\\server\share").
const char* refusal_reason(const char* path, bool windows);
