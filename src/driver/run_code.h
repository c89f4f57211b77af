// The run code: what the run has come to, turned into the exit status at its end.
#pragma once

inline constexpr int RUN_NO_MODULE_PATH = -2;   // set: the executable's own path is unavailable
inline constexpr int RUN_LIST_UNOPENED = -4;    // set: the list cannot be opened or read
inline constexpr int RUN_ENTRY_MISSING = 8;     // reduced by: a listed path does not exist
inline constexpr int RUN_COMMAND_FAILED = -17;  // set: the deletion command cannot be started
inline constexpr int RUN_ENTRY_REMAINS = 32;    // reduced by: a listed path survives its command
inline constexpr int RUN_LIST_UNREMOVED = 64;   // reduced by: the list file cannot be deleted

// Records a failure on top of what the run code holds. A positive code is a deletion command's
// own status, not a failure, and counts as 0 here: otherwise a command that exits 10 would turn
// a later missing entry (10 - 8 = 2) into a successful run.
inline void reduce_run_code(int& run_code, int amount) {
    if (run_code > 0) run_code = 0;
    run_code -= amount;
}
