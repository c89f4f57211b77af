// Paths that no deletion may ever be run on, whatever asks for it.
#pragma once

// Why `path` must never be deleted (a filesystem root, a path whose last name is "." or "..",
// or a device), or nullptr when it may be. `windows` adds the Windows forms and judges them as
// Win32 resolves them: '\' as a separator, drive roots ("C:\", and "C:", the drive's current
// folder), share roots ("\\server\share"), the device namespace ("\\?\", "\\.\"), and a last
// name made only of dots and spaces, which Win32 trims to "." or "..". The path must be in an
// encoding where a byte below 0x80 is always the character it looks like (UTF-8, or Linux's
// bytes): in code page 932 the second byte of a character may be '\'.
const char* refusal_reason(const char* path, bool windows);
