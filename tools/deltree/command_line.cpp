// Splitting of a raw Windows command line; plain code, so it is tested on every platform.
#include "command_line.h"

namespace deltree {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads one argument starting at `p`; returns where it ended.
const char* next_argument(const char* p, std::string& arg) {
    bool quoted = false;
    for (; *p != '\0' && (quoted || !is_blank(*p)); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            arg.push_back(*p);
    }
    return p;
}

}  // namespace

void split_raw_command_line(const char* line, ArgumentList& out) {
    bool program_name = true;
    for (const char* p = line;;) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') return;
        std::string arg;
        p = next_argument(p, arg);
        if (!program_name) out.add(std::move(arg));
        program_name = false;
    }
}

}  // namespace deltree
