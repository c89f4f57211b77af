// Keeps the user from closing the console, and with it a deletion, while the run is under way.
#pragma once

#include "platform/platform.h"

// Greys (false) or enables (true) the Close command of `window`'s system menu.
void set_close_enabled(platform::Window window, bool enabled);

// Greys the Close command of the window in the foreground, taken as the console, for as long as
// it lives: made as the run's first act, and gone as its last, after a failed run's pause. The
// window taken at the start is the one released, whatever is in the foreground by then. None of
// its calls is checked: without a window, the run goes on unguarded.
class CloseGuard {
public:
    CloseGuard() : window_(platform::foreground_window()) { set_close_enabled(window_, false); }
    ~CloseGuard() { set_close_enabled(window_, true); }
    CloseGuard(const CloseGuard&) = delete;
    CloseGuard& operator=(const CloseGuard&) = delete;

private:
    platform::Window window_;
};
