// An in-memory platform for unit tests of the run logic: files that exist, what each deletion
// command does, and what the run asked of the system.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct CommandOutcome {
    int status = 0;             // exit status, whatever its value
    int start_errno = 0;        // not 0: the command cannot be started, for this reason
    bool removes = true;        // whether the path is gone afterwards
    bool removes_list = false;  // the path held the list: it is gone too
    bool changes_list = false;  // meanwhile the front end writes to the list in place
    // ... or changes its bytes where nothing the platform watches sees it (a write through a
    // shared mapping moves neither the size, nor the change time, nor a watch)
    bool rewrites_list_unseen = false;
};

struct State {
    std::optional<std::string> exe_path = "/opt/app/zelk";  // nullopt: unavailable
    std::string list_path = "/opt/app/zelk.lst";            // the only path the list opens at
    std::optional<std::string> list;                        // nullopt: no list file
    bool list_removable = true;
    std::uint64_t list_id = 1;             // which file the list is; a new list is another
    std::optional<std::string> next_list;  // a new list put in place during the first command
    long list_read_error_at = -1;          // byte offset where reading the list fails, -1: never
    std::uint64_t list_writes = 0;         // writes in place to the list so far
    std::set<std::string> existing;
    std::set<std::string> refused;  // there, but judged a root, a device or the current folder
    std::map<std::string, platform::PresenceCheck> presence_before;  // overrides "existing"
    std::map<std::string, platform::PresenceCheck> presence_after;   // after its command
    std::map<std::string, CommandOutcome> outcomes;  // by path; default: exits 0, removes
    std::optional<std::string> cwd = "/home/user";   // nullopt: cannot be had
    std::optional<std::string> path_variable;        // PATH; nullopt: unset
    bool path_copy_fails = false;                    // no memory for the copy of PATH
    std::set<std::string> no_short_form;             // existing entries whose short form fails
    std::set<std::string> not_runnable;              // existing files that cannot be started

    // What the run asked of the system, in order: "command <path>", "sleep <ms>", "foreground",
    // "close grey", "close enable".
    std::vector<std::string> calls;
    std::vector<std::string> commands;  // paths the deletion command was run on
    std::vector<std::string> tools;     // the program file each command was started from
    std::vector<std::string> removed_files;
    unsigned slept_ms = 0;
};

// The state the fake platform works on; reset before each test.
State& state();
void reset();

}  // namespace fake
