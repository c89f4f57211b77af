// Judges paths the way zelk and deltree do before anything is removed, and, on Windows, as an
// oracle that asks Win32 what each path resolves to. Reads one path per line (bytes, LF) from a
// file; writes one line per path: "<zelk> <deltree> <oracle>".
//   zelk:    "go" when the entry would be handed to deltree, else the status it would end with
//   deltree: "go", "missing", "refused" or "unjudged"
//   oracle:  "root", "protected" (the current folder or one above it), "device", "missing",
//            "ok" (anything else); "-" where there is no oracle (POSIX)
// Nothing is ever removed.
#include <cstdio>
#include <string>
#include <vector>

#include "deltree.h"
#include "driver/deletion_list.h"
#include "paths/identity.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

namespace {

struct Id {
    DWORD volume;
    DWORD high;
    DWORD low;
    bool operator==(const Id&) const = default;
};

// What Win32 makes of `path`, looked at as itself (a link is not followed).
HANDLE look(const std::wstring& path, bool follow) {
    return CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

bool id_of(HANDLE h, Id& id, DWORD& attrs) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    attrs = info.dwFileAttributes;
    return true;
}

std::wstring full_path(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    full.resize(n ? GetFullPathNameW(path.c_str(), n, full.data(), nullptr) : 0);
    return full;
}

// Each folder from `path` up to its drive's root, by cutting the text at each '\'.
void add_folders_above(std::wstring path, std::vector<Id>& ids) {
    for (;;) {
        for (bool follow : {false, true}) {
            HANDLE h = look(path, follow);
            Id id;
            DWORD attrs;
            if (h != INVALID_HANDLE_VALUE && id_of(h, id, attrs)) ids.push_back(id);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        std::size_t cut = path.find_last_of(L'\\', path.size() - 2);
        if (cut == std::wstring::npos || path.size() <= 3) return;
        path.resize(cut + (cut == 2 ? 1 : 0));  // "C:\" keeps its separator
    }
}

struct Oracle {
    std::vector<Id> roots;
    std::vector<Id> protected_ids;

    Oracle() {
        for (wchar_t d = L'A'; d <= L'Z'; ++d) {
            std::wstring root = std::wstring(1, d) + L":\\";
            HANDLE h = look(root, true);
            Id id;
            DWORD attrs;
            if (h != INVALID_HANDLE_VALUE && id_of(h, id, attrs)) roots.push_back(id);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        std::wstring cwd = full_path(L".");
        add_folders_above(cwd, protected_ids);
        HANDLE h = look(cwd, true);
        if (h != INVALID_HANDLE_VALUE) {
            std::wstring real(32768, L'\0');
            DWORD n = GetFinalPathNameByHandleW(h, real.data(), 32768, VOLUME_NAME_DOS);
            CloseHandle(h);
            if (n > 0 && n < 32768) {
                real.resize(n);
                if (real.rfind(L"\\\\?\\", 0) == 0) real.erase(0, 4);
                add_folders_above(real, protected_ids);
            }
        }
    }

    const char* verdict(const char* ansi) const {
        int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, nullptr, 0);
        if (n <= 0) return "missing";
        std::wstring wide(n, L'\0');
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, wide.data(), n);
        wide.resize(n - 1);
        if (wide.empty()) return "missing";
        std::wstring full = full_path(wide);
        if (full.empty()) return "missing";
        HANDLE h = look(full, false);
        if (h == INVALID_HANDLE_VALUE) return "missing";
        Id id;
        DWORD attrs = 0;
        bool known = id_of(h, id, attrs);
        bool device = GetFileType(h) != FILE_TYPE_DISK;
        CloseHandle(h);
        if (device) return "device";
        if (!known) return "ok";
        bool folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
        if (!folder) return "ok";
        if (std::find(roots.begin(), roots.end(), id) != roots.end()) return "root";
        if (std::find(protected_ids.begin(), protected_ids.end(), id) != protected_ids.end())
            return "protected";
        return "ok";
    }
};

}  // namespace
#endif

namespace {

const char* deltree_verdict(paths::Verdict v) {
    switch (v) {
    case paths::Verdict::kMayGo: return "go";
    case paths::Verdict::kMissing: return "missing";
    case paths::Verdict::kRefused: return "refused";
    case paths::Verdict::kCannotJudge: return "unjudged";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    std::vector<std::string> lines(1);
    for (int c; (c = std::fgetc(f)) != EOF;) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back() += static_cast<char>(c);
    }
    std::fclose(f);
    if (lines.back().empty()) lines.pop_back();
#ifdef _WIN32
    Oracle oracle;
#endif
    for (const std::string& line : lines) {
        Screening zelk = screen_entry(line.c_str());
        paths::Judgement deltree = deltree::judge_named(line.c_str());
        if (zelk.failure == Failure::kNone)
            std::printf("go ");
        else
            std::printf("%d ", static_cast<int>(zelk.failure));
#ifdef _WIN32
        std::printf("%s %s\n", deltree_verdict(deltree.verdict), oracle.verdict(line.c_str()));
#else
        std::printf("%s -\n", deltree_verdict(deltree.verdict));
#endif
    }
    return 0;
}
