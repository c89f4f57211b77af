// The deletion list: its entries deleted one by one, then the list file itself.
#pragma once

// Deletes each listed path until the first failure, then deletes the list file, recording the
// outcome in `run_code`.
void process_deletion_list(const char* list_path, int& run_code);
