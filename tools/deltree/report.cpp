// One line on standard error per failure, so that every path left behind is accounted for.
#include <cstdio>

#include "deltree.h"

namespace deltree {

void report_failure(const char* path, const char* reason) {
    std::fprintf(stderr, "deltree: %s: %s\n", path, reason);
}

}  // namespace deltree
