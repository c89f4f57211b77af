// The deletion list: its entries deleted one by one, then the list file itself.
#pragma once

#include "driver/run_outcome.h"

// Deletes each listed path until the first failure, then deletes the list file. Returns what
// happened: the failure, the last deletion command's status, whether the list stayed.
RunOutcome process_deletion_list(const char* list_path);
