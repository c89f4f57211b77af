// The run's outcome folded into its exit status.
#include "driver/run_outcome.h"

Exit exit_of(const RunOutcome& outcome) {
    int failures =
        static_cast<int>(outcome.failure) + (outcome.list_unremoved ? kListUnremoved : 0);
    int run_code = failures != 0 ? -failures : outcome.last_status;
    // A command's own negative status may be INT_MIN (0x80000000 on Windows): negated in unsigned
    // arithmetic it gives the same 32 bits back rather than overflowing.
    if (run_code < 0)
        return {true, run_code, static_cast<int>(0u - static_cast<unsigned>(run_code))};
    return {false, run_code, run_code};
}
