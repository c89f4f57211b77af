// deltree's Windows side of its entry: its own reading of the raw command line, and the refusal
// rules judged in UTF-8.
#include <windows.h>

#include <optional>
#include <thread>

#include "arguments.h"
#include "deltree.h"
#include "files_win.h"
#include "os/process.h"
#include "os/text.h"
#include "paths/path_refusal.h"
#include "paths/windows_files.h"

namespace deltree {

std::vector<std::string> command_line_arguments(int, char**) {
    return split_windows_command_line(GetCommandLineA());
}

// Windows has no limit on open handles to raise.
void prepare_process() { os::ignore_lost_output(); }

bool stderr_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::FILE* question_stream() { return stdout; }

unsigned terminal_width() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

unsigned processors_available() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

namespace {

// Why the text of `path` must never be deleted, or nullptr. Judged in UTF-8, as written and as
// Win32 resolves it to a full path, which may reveal a root the given form hid: in code page 932
// the second byte of a character may be '\'.
const char* text_refusal(const char* path) {
    std::optional<std::wstring> wide = os::widen_exactly(path);
    // Text that is not valid in the code page would reach the system as some other name.
    if (!wide) return "is not valid text in the system's code page";
    std::string utf8 = os::narrow(*wide, CP_UTF8).text;
    if (holds_characters_windows_names_cannot(utf8.c_str()))
        return "is not a name Windows can hold";
    if (const char* reason = refusal_reason(utf8.c_str(), kWindowsPaths)) return reason;
    return refusal_reason(os::narrow(paths::extended_path(*wide), CP_UTF8).text.c_str(),
                          kWindowsPaths);
}

}  // namespace

paths::Judgement judge_named(const char* path) {
    if (const char* reason = text_refusal(path)) return {paths::Verdict::kRefused, reason};
    return paths::judge(path);
}

}  // namespace deltree
