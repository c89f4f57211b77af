// Runs the deletion command for one listed path.
#pragma once

// Runs `deltree /Y` on `path` and waits for it. Returns its exit status, or -1 when it could not
// be started, after writing why.
int run_delete_command(const char* path);
