// A front end's part, as docs/integration.md describes it, for Windows: writes the deletion list
// in the ANSI code page under a temporary name and renames it into place, puts zelk's folder
// first on the child's PATH, starts zelk.exe in a console of its own from a working folder of its
// own, waits for it, and says what its exit status means.
//
// launcher.exe [--no-path] ZELK_FOLDER WORK_FOLDER PATH...
//   --no-path  leaves PATH as it is (to show why zelk's folder goes first on PATH)
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Closes a handle once it is no longer needed, whatever way the function is left.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The list's bytes: each path in the ANSI code page, ended by CR LF. A path the code page cannot
// spell exactly cannot be listed.
bool encode_list(const std::vector<std::wstring>& paths, std::string& list) {
    for (const std::wstring& path : paths) {
        BOOL lossy = FALSE;
        int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0,
                                    nullptr, &lossy);
        if (n <= 1 || lossy) {
            std::fwprintf(stderr, L"cannot be listed in this code page: %ls\n", path.c_str());
            return false;
        }
        std::string bytes(n - 1, '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, bytes.data(), n,
                            nullptr, nullptr);
        list += bytes + "\r\n";
    }
    return true;
}

// Written whole under a temporary name, then renamed into place, so that zelk never reads half
// a list. A rename refused while a running zelk holds the old list is tried again.
bool write_list(const std::wstring& zelk_folder, const std::string& list) {
    std::wstring temporary = zelk_folder + L"\\zelk.lst.tmp";
    std::wstring final_name = zelk_folder + L"\\zelk.lst";
    bool ok = false;
    {
        // Closed before the rename: an open file could not take the list's name.
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return false;
        DWORD written = 0;
        ok = WriteFile(file.get(), list.data(), static_cast<DWORD>(list.size()), &written,
                       nullptr) &&
             written == list.size() && FlushFileBuffers(file.get());
    }
    for (int attempt = 0; ok && attempt < 50; ++attempt) {
        if (MoveFileExW(temporary.c_str(), final_name.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        Sleep(100);
    }
    return false;
}

// The child's environment, with zelk's folder first on its PATH. Our own is unchanged.
std::vector<wchar_t> child_environment(const std::wstring& zelk_folder, bool set_path) {
    std::vector<wchar_t> block;
    std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> env(GetEnvironmentStringsW(),
                                                                     FreeEnvironmentStringsW);
    bool path_seen = false;
    for (const wchar_t* var = env.get(); var && *var; var += wcslen(var) + 1) {
        std::wstring entry = var;
        if (set_path && _wcsnicmp(var, L"PATH=", 5) == 0) {
            entry = L"PATH=" + zelk_folder + L";" + (var + 5);
            path_seen = true;
        }
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    if (set_path && !path_seen) {
        std::wstring entry = L"PATH=" + zelk_folder;
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// A Windows crash code (0xC0000005 and the like) is a negative status. One that ended the last
// deltree makes the run a failed one, and zelk exits with it negated: from 0x10000 to
// 0x40000000, far above any status a deltree ends with of its own accord.
bool is_negated_crash_code(DWORD status) { return status >= 0x10000 && status <= 0x40000000; }

// What to tell the user.
const wchar_t* meaning(DWORD status) {
    if (is_negated_crash_code(status))
        return L"deltree crashed on the last path; the run failed: check what is left";
    switch (status) {
    case 0: return L"everything listed was deleted";
    case 2: return L"zelk could not find its own folder; nothing was touched";
    case 4: case 68: return L"the list could not be read";
    case 8: case 72: return L"a listed path did not exist; check what is left";
    case 17: case 81: return L"deltree could not be started: is zelk's folder on PATH?";
    case 32: case 96: return L"a listed path could not be deleted; check what is left";
    case 64: return L"the list could not be deleted; remove it before the next run";
    default: return L"the last deltree ended with this status; check what is left";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    bool set_path = true;
    if (argc > 1 && std::wstring(argv[1]) == L"--no-path") {
        set_path = false;
        first = 2;
    }
    if (argc - first < 3) {
        std::fputws(L"usage: launcher [--no-path] ZELK_FOLDER WORK_FOLDER PATH...\n", stderr);
        return 2;
    }
    std::wstring zelk_folder = argv[first];
    std::wstring work_folder = argv[first + 1];
    std::string list;
    if (!encode_list(std::vector<std::wstring>(argv + first + 2, argv + argc), list) ||
        !write_list(zelk_folder, list)) {
        std::fputws(L"the list could not be written\n", stderr);
        return 2;
    }

    // Started in a console of its own, so that the Close command zelk greys for the run is that
    // console's and not ours, with its own working folder and environment; waited for without a
    // short time-out (a failed run pauses five seconds).
    std::wstring exe = zelk_folder + L"\\zelk.exe";
    std::wstring command_line = L"\"" + exe + L"\"";
    std::vector<wchar_t> environment = child_environment(zelk_folder, set_path);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                        work_folder.c_str(), &startup, &process)) {
        std::fwprintf(stderr, L"zelk could not be started (error %lu)\n", GetLastError());
        return 2;
    }
    Handle thread(process.hThread);
    Handle zelk(process.hProcess);
    WaitForSingleObject(zelk.get(), INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(zelk.get(), &status);
    std::fwprintf(stdout, L"zelk: %lu: %ls\n", status, meaning(status));
    return static_cast<int>(status);
}
