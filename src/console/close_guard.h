// Keeps the user from closing the console, and with it a deletion, while the run is under way.
#pragma once

#include "platform/platform.h"

// Greys (false) or enables (true) the Close command of `window`'s system menu.
void set_close_enabled(platform::Window window, bool enabled);

// The first act of the run: takes the foreground window as the console and greys its Close.
void begin_close_guard();

// The last act of the run, on both outcome paths: the kept window's Close is enabled again.
void end_close_guard();
