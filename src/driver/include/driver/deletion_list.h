// The deletion list: its entries deleted one by one, then the list file itself.
#pragma once

#include "driver/run_outcome.h"

// Deletes each listed path until the first failure, then deletes the list file. Returns what
// happened: the failure, the last deletion command's status, whether the list stayed.
RunOutcome process_deletion_list(const char* list_path);

// What a listed path comes to before its command: handed over (kNone), or the failure it ends the
// list with and the message (with the path) that says so. Judged by its text first, then by
// whether it is there, then by what it is.
struct Screening {
    Failure failure;
    const char* message;
};
Screening screen_entry(const char* path);
