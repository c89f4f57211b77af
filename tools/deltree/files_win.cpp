// The system's texts for deltree's failure lines on Windows.
#include "files_win.h"

#include <cstdio>

#include "deltree.h"

namespace deltree {

std::string error_text(int error) {
    // The system's text in the user's language first (a Japanese Windows may have no English
    // texts), then in English, then the bare number.
    auto code = static_cast<DWORD>(error);
    char text[512];
    DWORD n = 0;
    for (DWORD language : {0ul, static_cast<DWORD>(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))}) {
        n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, language, text, sizeof text, nullptr);
        if (n > 0) break;
    }
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    if (n == 0) n = static_cast<DWORD>(std::snprintf(text, sizeof text, "error %lu", code));
    text[n] = '\0';
    return text;
}

void report_error(Operation operation, const std::string& path, DWORD code) {
    report_failure(operation, path, error_text(static_cast<int>(code)));
}

}  // namespace deltree
