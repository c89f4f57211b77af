// The search for the deletion command along PATH. It only looks: it never changes PATH, and its
// result never changes the run's exit status.
#include "search/tool_search.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "messages/messages.h"
#include "messages/trace.h"
#include "platform/platform.h"

namespace {

// The tool's path in one PATH entry, or "" when the entry does not hold one that can run. The
// entry is read as the system's own search reads it (not trimmed, unexpanded; on Windows without
// its quotes); one that is not absolute is skipped, as one with no short form is. `traced`: the
// debug traces of every step (in debug mode).
std::string tool_in_entry(const char* entry, bool traced) {
    std::optional<std::string> folder = platform::search_folder(entry);
    if (!folder) {
        if (traced) {
            bool missing = platform::presence_of(entry).presence != platform::Presence::kThere;
            trace(kMsgSearchError, entry);
            trace("%s", missing ? kMsgPathNotFound : kMsgCantGetPath);
        }
        return {};
    }
    std::string candidate = *folder;
    candidate += platform::kDirSeparator;
    candidate += platform::kToolFileName;
    if (traced) trace(kMsgSearching, candidate.c_str());
    // A folder, a file without execute permission or a broken link of that name cannot run.
    if (!platform::is_runnable_file(candidate.c_str())) return {};
    if (traced) trace(kMsgToolFound, platform::kToolFileName);
    return candidate;
}

struct Search {
    ToolSearchResult result;
    std::string tool;  // the path of the first hit
};

Search walk_path(bool traced) {
    // An unset PATH is one empty entry.
    std::unique_ptr<char[]> copy = platform::path_variable();
    if (!copy) return {kToolSearchNoMemory, {}};
    int entries = count_separators(copy.get()) + 1;
    char* entry = copy.get();
    for (int i = 0; i < entries; ++i) {
        char* rest = split_at_separator(entry);
        std::string tool = tool_in_entry(entry, traced);
        if (!tool.empty()) return {kToolFound, tool};
        entry = rest;
    }
    return {kToolNotFound, {}};
}

}  // namespace

int count_separators(const char* s) {
    int n = 0;
    for (; *s != '\0'; ++s) n += *s == platform::kPathListSeparator;
    return n;
}

char* split_at_separator(char* s) {
    char* sep = std::strchr(s, platform::kPathListSeparator);
    if (!sep) return s + std::strlen(s);
    *sep = '\0';
    return sep + 1;
}

ToolSearchResult search_tool_on_path() { return walk_path(true).result; }

std::string locate_tool_on_path() { return walk_path(false).tool; }

void print_failure_diagnosis() {
    switch (search_tool_on_path()) {
    case kToolNotFound: std::printf(kMsgToolNotOnPath, platform::kToolFileName); break;
    case kToolSearchNoMemory: std::fputs(kMsgSearchNoMemory, stdout); break;
    default: std::fputs(kMsgToolFoundAfterFailure, stdout); break;
    }
}

void print_search_report() { std::printf(kMsgCommandSearch, search_tool_on_path()); }
