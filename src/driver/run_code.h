// The run code: what the run has come to, turned into the exit status at its end.
#pragma once

// What a run can fail at. A failed run exits with the sum of the failures it recorded: the
// list loop stops at its first failure, so that is one of the first five, and perhaps the
// list's removal on top (8 + 64 = 72).
inline constexpr int RUN_NO_MODULE_PATH = 2;   // the executable's own path is unavailable
inline constexpr int RUN_LIST_UNOPENED = 4;    // the list cannot be opened or read
inline constexpr int RUN_ENTRY_MISSING = 8;    // a listed path does not exist
inline constexpr int RUN_COMMAND_FAILED = 17;  // the deletion command cannot be started
inline constexpr int RUN_ENTRY_REMAINS = 32;   // a listed path survives its command
inline constexpr int RUN_LIST_UNREMOVED = 64;  // the list file cannot be deleted

// The run code of a run that recorded `failures` (their sum, 0 for none) after a last deletion
// command that exited with `last_status`. A recorded failure is never mixed with a command's
// status: a command that exits 10 or 0xC0000005 must not turn a later missing entry into
// something other than 8, or into a success. Without failures the last status is the run
// code, whatever its sign.
inline int run_code_of(int failures, int last_status) {
    return failures != 0 ? -failures : last_status;
}
