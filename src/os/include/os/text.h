// Text between the ANSI code page (the command line's, the console's, the list's) and UTF-16
// (the system's own), on Windows.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <optional>
#include <string>

namespace os {

// `text` in the ANSI code page as UTF-16, or nothing when it is not valid there: the system
// would read such bytes as some other name.
std::optional<std::wstring> widen_exactly(const char* text);

// `wide` in `code_page`. Never in a best-fit spelling ("Café" as "Cafe", another file): a
// character the code page cannot hold becomes '?', which no file name holds, and `lossy` says so.
struct Narrowed {
    std::string text;
    bool lossy;
};
Narrowed narrow(const std::wstring& wide, UINT code_page = CP_ACP);

}  // namespace os

#endif
