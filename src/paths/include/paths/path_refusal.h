// Paths that no deletion may ever be run on, whatever asks for it. Shared by zelk, which never
// hands such an entry to deltree, and deltree, which never removes one, so that neither relies
// on the other.
#pragma once

// Whether paths follow Windows rules ('\' separators, drives, shares) or POSIX ones.
#ifdef _WIN32
inline constexpr bool kWindowsPaths = true;
#else
inline constexpr bool kWindowsPaths = false;
#endif

// Why `path` must never be deleted (a filesystem root, a path whose last name is "." or "..",
// or a device), or nullptr when it may be. `windows` adds the Windows forms and judges them as
// Win32 resolves them: '\' as a separator, drive roots ("C:\", and "C:", the drive's current
// folder), share roots ("\\server\share"), the device namespace ("\\?\", "\\.\"), and a last
// name made only of dots and spaces, which Win32 trims to "." or "..". The path must be in an
// encoding where a byte below 0x80 is always the character it looks like (UTF-8, or Linux's
// bytes): in code page 932 the second byte of a character may be '\'.
const char* refusal_reason(const char* path, bool windows);

// Whether `path` (UTF-8, or any encoding where a byte below 0x80 is the character it looks like)
// holds a character no Windows name can: '"', '<', '>', '|', '*', '?' or a control character,
// outside the prefix of the device namespace ("\\?\", "\\.\", "\??\"). Such text names no file,
// and a '"' handed on would close the quotes of a command line.
bool holds_characters_windows_names_cannot(const char* path);
