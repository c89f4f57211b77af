// What a run came to, and the exit status that tells the front end: the one place where the
// outcome becomes a number.
#pragma once

// The failure that ended a run, if any; each one's value is the exit status it gives. The list
// loop stops at its first failure, so a run has one at most (and the list's removal on top).
enum class Failure : int {
    kNone = 0,
    kNoModulePath = 2,    // the executable's own path is unavailable; the list is not touched
    kListUnopened = 4,    // the list cannot be opened, or reading it failed part way
    kEntryMissing = 8,    // a listed path does not exist, or the line cannot be a path
    kCommandFailed = 17,  // the deletion command cannot be started
    kEntryRemains = 32,   // a listed path is still there, or it may never be handed over
};

inline constexpr int kListUnremoved = 64;  // added when the list file cannot be deleted

struct RunOutcome {
    Failure failure = Failure::kNone;
    int last_status = 0;  // the last deletion command's exit status (0 before the first)
    bool list_unremoved = false;
};

struct Exit {
    bool failed;   // a failed run shows the diagnosis and pauses before it ends
    int run_code;  // negative when the run failed: shown in debug mode
    int status;    // the process exit status
};

// The exit status, row for row as the README's table gives it: the failures summed, or else the
// last command's own status. A command's status, whatever its sign or size, never changes a
// recorded failure's status; a negative last status alone also makes the run a failed one.
Exit exit_of(const RunOutcome& outcome);
