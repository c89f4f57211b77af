// Whether the deletion command can be found on PATH: a diagnosis for failed runs.
#pragma once

// After a failed run: says whether the deletion command was found.
void print_failure_diagnosis();

// After a successful run in debug mode: reports the search's result.
void print_search_report();
