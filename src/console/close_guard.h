// Keeps the user from closing the console, and with it a deletion, while the run is under way.
#pragma once

// The first act of the run: closing is blocked from here.
void begin_close_guard();

// The last act of the run, on both outcome paths: closing is allowed again.
void end_close_guard();
