// The search for the deletion command along PATH. It only looks: it never changes PATH, and its
// result never changes the run's exit status.
#include "search/tool_search.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/run_driver.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace {

using HeapText = std::unique_ptr<char, decltype(&std::free)>;

// Whether the tool lies in one PATH entry, used as written: not trimmed, unquoted, unexpanded.
bool entry_holds_tool(const char* entry) {
    char short_form[platform::kPathLimit];
    if (platform::short_path(entry, short_form, sizeof short_form) != 0) {
        if (g_debug_mode) {
            std::printf(kMsgSearchError, entry);
            bool missing = platform::path_access(entry, platform::kAccessExists) != 0;
            std::fputs(missing ? kMsgPathNotFound : kMsgCantGetPath, stdout);
        }
        return false;
    }
    char candidate[platform::kPathLimit + sizeof platform::kToolFileName + 1];
    std::snprintf(candidate, sizeof candidate, "%s%c%s", short_form, platform::kDirSeparator,
                  platform::kToolFileName);
    if (g_debug_mode) std::printf(kMsgSearching, candidate);
    if (platform::path_access(candidate, platform::kAccessExists) != 0) return false;
    if (g_debug_mode) std::printf(kMsgToolFound, platform::kToolFileName);
    return true;
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

ToolSearchResult search_tool_on_path() {
    std::size_t size = platform::environment_variable("PATH", nullptr, 0);
    HeapText copy(static_cast<char*>(std::malloc(size + 1)), &std::free);
    if (!copy) return kToolSearchNoMemory;
    // An unset PATH, or one that changed size meanwhile, leaves the copy empty: one empty entry.
    if (size == 0 || platform::environment_variable("PATH", copy.get(), size + 1) > size)
        copy.get()[0] = '\0';
    int entries = count_separators(copy.get()) + 1;
    char* entry = copy.get();
    for (int i = 0; i < entries; ++i) {
        char* rest = split_at_separator(entry);
        if (entry_holds_tool(entry)) return kToolFound;
        entry = rest;
    }
    return kToolNotFound;
}

void print_failure_diagnosis() {
    switch (search_tool_on_path()) {
    case kToolNotFound: std::printf(kMsgToolNotOnPath, platform::kToolFileName); break;
    case kToolSearchNoMemory: std::fputs(kMsgSearchNoMemory, stdout); break;
    default: std::fputs(kMsgToolFoundAfterFailure, stdout); break;
    }
}

void print_search_report() { std::printf(kMsgCommandSearch, search_tool_on_path()); }
