// The close guard: the window taken at the start is the one released at the end, whatever is in
// the foreground by then. None of its calls is checked: without a window, the run goes on
// unguarded.
#include "console/close_guard.h"

namespace {

platform::Window g_guarded_window = nullptr;

}  // namespace

void set_close_enabled(platform::Window window, bool enabled) {
    platform::set_close_command(window, enabled);
}

void begin_close_guard() {
    g_guarded_window = platform::foreground_window();
    set_close_enabled(g_guarded_window, false);
}

void end_close_guard() { set_close_enabled(g_guarded_window, true); }
