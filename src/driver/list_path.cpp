// Forms the deletion list's path from the drive and folder of the executable's own path.
#include "driver/list_path.h"

#include <cstdio>

#include "platform/platform.h"

int form_list_path(const char* exe_path, char* list_path, std::size_t size) {
    char drive[platform::kDriveLimit];
    char dir[platform::kPathLimit];
    if (platform::split_drive_dir(exe_path, drive, sizeof drive, dir, sizeof dir) != 0) return -1;
    int n = std::snprintf(list_path, size, "%s%s%s", drive, dir, kListName);
    return n >= 0 && static_cast<std::size_t>(n) < size ? 0 : -1;
}
