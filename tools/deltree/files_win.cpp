// Handles, file identities and texts on Windows.
#include "files_win.h"

#include <cstdio>

#include "deltree.h"

namespace deltree {

std::optional<FileId> id_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::wstring final_path(HANDLE h) {
    for (DWORD volume_name : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        std::wstring path(32768, L'\0');
        DWORD len = GetFinalPathNameByHandleW(h, path.data(), 32768, volume_name);
        if (len == 0 || len >= 32768) continue;
        path.resize(len);
        return path;
    }
    return {};
}

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

void report_error(Operation operation, const std::string& path, DWORD code) {
    // The system's text in the user's language first (a Japanese Windows may have no English
    // texts), then in English, then the bare number.
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
    report_failure(operation, path, text);
}

HANDLE open_to_look(const std::wstring& path, bool follow) {
    return CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

std::optional<FileId> file_id(const std::wstring& path, bool follow) {
    UniqueFileHandle h(open_to_look(path, follow));
    return h.valid() ? id_of(h.get()) : std::nullopt;
}

}  // namespace deltree
