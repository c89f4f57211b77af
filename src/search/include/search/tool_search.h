// Whether the deletion command can be found on PATH: a diagnosis for failed runs, and a report
// (with a trace of every folder tried) in debug mode.
#pragma once

#include <string>

// 1: the tool was found; 0: it was not; -1: no memory for the working copy of PATH.
using ToolSearchResult = int;
inline constexpr ToolSearchResult kToolFound = 1;
inline constexpr ToolSearchResult kToolNotFound = 0;
inline constexpr ToolSearchResult kToolSearchNoMemory = -1;

// Looks for the deletion command in each PATH entry, in order, stopping at the first hit.
ToolSearchResult search_tool_on_path();

// The same search, without traces: the path of the deletion command it finds (the entry's short
// form and the file name), or "" when it finds none. This is the file that is run, so that what
// runs is what a failed run's diagnosis speaks of, and nothing outside PATH (such as a program
// left in the current folder) ever runs in its place.
std::string locate_tool_on_path();

// After a failed run: says whether the deletion command was found.
void print_failure_diagnosis();

// After a successful run in debug mode: reports the search's result.
void print_search_report();

// The number of PATH separators in `s`.
int count_separators(const char* s);

// Ends the first entry of `s` at its separator and returns the text after it (the empty tail of
// `s` when there is no separator).
char* split_at_separator(char* s);
