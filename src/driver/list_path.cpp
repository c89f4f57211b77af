// The deletion list's path, from the executable's own.
#include "driver/list_path.h"

#include "platform/platform.h"

std::optional<std::string> list_path() { return platform::path_beside_executable(kListName); }
