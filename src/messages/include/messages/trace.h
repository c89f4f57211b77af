// The debug traces that `/D` turns on: a leaf that the run and the tool search both write through.
#pragma once

extern int g_debug_mode;  // 1 after a /D switch; set once, before anything reads it

// Writes `format`, filled as printf does, to standard output in debug mode; nothing otherwise.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
