// Holds a file or folder open the way another program would (a virus scanner, an editor):
// without any sharing ("none") or sharing everything including deletion ("delete"), for a
// number of milliseconds. Creates READY once it is held.
// usage: hold_file PATH MS none|delete READY
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    DWORD share = std::strcmp(argv[3], "delete") == 0
                      ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                      : 0;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileA(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(ready);
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    CloseHandle(held);
    return 0;
}
