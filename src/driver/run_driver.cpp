// The order of the whole run, and the run code turned into the exit status.
#include "driver/run_driver.h"

#include <cctype>
#include <cstdio>

#include "console/close_guard.h"
#include "driver/deletion_list.h"
#include "driver/list_path.h"
#include "driver/run_code.h"
#include "messages/messages.h"
#include "platform/platform.h"
#include "search/tool_search.h"

int g_debug_mode = 0;

namespace {

constexpr unsigned kFailurePauseMs = 5000;  // lets the user read a failure before the window goes

bool is_debug_switch(const char* arg) {
    return arg[0] == '/' && arg[1] != '\0' && arg[2] == '\0' &&
           std::toupper(static_cast<unsigned char>(arg[1])) == 'D';
}

// Returns the exit status of a run that ended with `run_code` >= 0.
int finish_success(int run_code) {
    if (g_debug_mode) print_search_report();
    end_close_guard();
    return run_code;
}

int finish_failure(int run_code) {
    print_failure_diagnosis();
    if (g_debug_mode) std::printf(kMsgReturnCode, run_code);
    std::fflush(stdout);
    platform::sleep_ms(kFailurePauseMs);
    end_close_guard();
    // A deletion command's own negative status, with its path gone, may be INT_MIN (a Windows
    // status of 0x80000000): negated in unsigned arithmetic it gives the same 32 bits back.
    return static_cast<int>(0u - static_cast<unsigned>(run_code));
}

}  // namespace

void scan_switches(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (is_debug_switch(argv[i])) g_debug_mode = 1;
    }
}

int run_driver(int argc, char** argv) {
    begin_close_guard();
    // A reader that goes away must not cut the deletions short: they run to the end of the list.
    platform::ignore_lost_output();
    scan_switches(argc, argv);
    if (g_debug_mode) std::fputs(kMsgDebugBanner, stderr);

    int run_code = 0;
    char exe_path[platform::kPathLimit];
    // The list's path can be longer than the executable's: it needs room of its own.
    char list_path[platform::kPathLimit + sizeof kListName];
    if (platform::own_executable_path(exe_path, sizeof exe_path) != 0 ||
        form_list_path(exe_path, list_path, sizeof list_path) != 0) {
        std::fputs(kMsgNoModulePath, stdout);
        run_code = run_code_of(RUN_NO_MODULE_PATH, 0);
    } else {
        run_code = process_deletion_list(list_path);
    }
    return run_code >= 0 ? finish_success(run_code) : finish_failure(run_code);
}
