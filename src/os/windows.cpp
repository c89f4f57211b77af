// The Windows helpers: what a handle says of its file, and text conversions.
#include <windows.h>

#include "os/file_identity.h"
#include "os/process.h"
#include "os/text.h"

namespace os {

void ignore_lost_output() {}

std::optional<FileIdentity> identity_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return identity_of(info);
}

std::optional<std::wstring> widen_exactly(const char* text) {
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide.data(), n);
    wide.resize(n - 1);
    return wide;
}

Narrowed narrow(const std::wstring& wide, UINT code_page) {
    bool utf8 = code_page == CP_UTF8;  // which takes neither flag nor default character
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = utf8 ? nullptr : &used_default;
    int n = WideCharToMultiByte(code_page, flags, wide.c_str(), -1, nullptr, 0, nullptr, used);
    std::string text(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(code_page, flags, wide.c_str(), -1, text.data(), n, nullptr, used);
    return {text, used_default != FALSE};
}

}  // namespace os
