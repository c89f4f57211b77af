// Forms the deletion list's path from the drive and folder of the executable's own path.
#include "driver/list_path.h"

#include "platform/platform.h"

std::optional<std::string> form_list_path(const char* exe_path) {
    char drive[platform::kDriveLimit];
    char dir[platform::kPathLimit];
    if (platform::split_drive_dir(exe_path, drive, sizeof drive, dir, sizeof dir) != 0)
        return std::nullopt;
    return std::string(drive) + dir + kListName;
}
