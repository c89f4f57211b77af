// deltree's Windows side of its entry: its own reading of the raw command line, and the refusal
// rules judged in UTF-8.
#include <windows.h>

#include <thread>

#include "arguments.h"
#include "deltree.h"
#include "files_win.h"
#include "paths/path_refusal.h"

namespace deltree {

std::vector<std::string> command_line_arguments(int, char**) {
    return split_windows_command_line(GetCommandLineA());
}

// Windows ends no process for a write that fails.
void keep_running_without_output() {}

bool stderr_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

unsigned processors_available() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

const char* refusal_reason_of(const char* path) {
    // Text that is not valid in the code page would reach the system as some other name.
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0) <= 0)
        return "is not valid text in the system's code page";
    // Judged in UTF-8: in code page 932 the second byte of a character may be '\'.
    return refusal_reason(narrow(widen(path), CP_UTF8).c_str(), kWindowsPaths);
}

}  // namespace deltree
