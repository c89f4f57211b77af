// The Close command of the guarded window, through the platform.
#include "console/close_guard.h"

void set_close_enabled(platform::Window window, bool enabled) {
    platform::set_close_command(window, enabled);
}
