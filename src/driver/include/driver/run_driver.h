// The program's entry routine and the switch that turns on debug traces.
#pragma once

// Scans the arguments after the program name for /D or /d and sets g_debug_mode.
void scan_switches(int argc, char** argv);

// Carries the whole run; returns the process exit status.
int run_driver(int argc, char** argv);
