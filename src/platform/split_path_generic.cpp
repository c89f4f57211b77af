// Drive and folder of a path for platforms whose runtime has no `_splitpath`; every byte is a
// character here, as in UTF-8 no byte of a multi-byte character can be '\' or '/'.
#include <cstring>

#include "platform/platform.h"

namespace platform {

int split_drive_dir(const char* path, char* drive, std::size_t drive_size, char* dir,
                    std::size_t dir_size) {
    std::size_t drive_len = path[0] != '\0' && path[1] == ':' ? 2 : 0;
    const char* rest = path + drive_len;
    std::size_t dir_len = 0;
    for (std::size_t i = 0; rest[i] != '\0'; ++i) {
        if (rest[i] == '\\' || rest[i] == '/') dir_len = i + 1;
    }
    if (drive_len >= drive_size || dir_len >= dir_size) return -1;
    std::memcpy(drive, path, drive_len);
    drive[drive_len] = '\0';
    std::memcpy(dir, rest, dir_len);
    dir[dir_len] = '\0';
    return 0;
}

}  // namespace platform
