// The deletion list: its entries deleted one by one, then the list file itself.
#pragma once

// Deletes each listed path until the first failure, then deletes the list file. Returns the run
// code: the failures recorded, negated, or else the last deletion command's status.
int process_deletion_list(const char* list_path);
