// The order of the whole run, from the close guard's first act to its last.
#include "driver/run_driver.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#include "console/close_guard.h"
#include "driver/deletion_list.h"
#include "driver/list_path.h"
#include "driver/run_outcome.h"
#include "messages/messages.h"
#include "messages/trace.h"
#include "os/process.h"
#include "platform/platform.h"
#include "search/tool_search.h"

namespace {

constexpr unsigned kFailurePauseMs = 5000;  // lets the user read a failure before the window goes

bool is_debug_switch(const char* arg) {
    return arg[0] == '/' && arg[1] != '\0' && arg[2] == '\0' &&
           std::toupper(static_cast<unsigned char>(arg[1])) == 'D';
}

RunOutcome run_list() {
    std::optional<std::string> list = list_path();
    if (list) return process_deletion_list(list->c_str());
    std::fputs(kMsgNoModulePath, stdout);
    return {Failure::kNoModulePath};
}

}  // namespace

void scan_switches(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (is_debug_switch(argv[i])) g_debug_mode = 1;
    }
}

int run_driver(int argc, char** argv) {
    CloseGuard guard;  // Close is enabled again only once this returns, after any pause
    // A reader that goes away must not cut the deletions short: they run to the end of the list.
    os::ignore_lost_output();
    scan_switches(argc, argv);
    if (g_debug_mode) std::fputs(kMsgDebugBanner, stderr);

    Exit exit = exit_of(run_list());
    if (!exit.failed) {
        if (g_debug_mode) print_search_report();
        return exit.status;
    }
    print_failure_diagnosis();
    trace(kMsgReturnCode, exit.run_code);
    std::fflush(stdout);
    platform::sleep_ms(kFailurePauseMs);
    return exit.status;
}
