// The debug flag and the traces written under it.
#include "messages/trace.h"

#include <cstdarg>
#include <cstdio>

int g_debug_mode = 0;

void trace(const char* format, ...) {
    if (!g_debug_mode) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
