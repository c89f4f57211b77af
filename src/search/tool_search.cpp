// The tool search and failure diagnosis. Not built yet: the run calls these at their places.
#include "search/tool_search.h"

void print_failure_diagnosis() {}

void print_search_report() {}
