// Handles, file identities and texts on Windows.
#include "files_win.h"

#include <cstdio>

#include "deltree.h"

namespace deltree {

std::wstring widen(const std::string& s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w, UINT code_page) {
    int n = WideCharToMultiByte(code_page, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(code_page, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

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
