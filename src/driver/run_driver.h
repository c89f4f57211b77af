// The program's entry routine and the switch that turns on debug traces.
#pragma once

extern int g_debug_mode;  // 1 after a /D switch; set once, before anything reads it

// Scans the arguments after the program name for /D or /d and sets g_debug_mode.
void scan_switches(int argc, char** argv);

// Carries the whole run; returns the process exit status.
int run_driver(int argc, char** argv);
