// Composes the deletion command line so that the interpreter passes the tool and the path on
// unchanged.
#include "platform/interpreter_line.h"

namespace {

void append_escaped(std::string& line, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '%')
            line += "%%cd:~,%";
        else
            line += *p;
    }
}

}  // namespace

std::string compose_delete_command(const char* tool, const char* path) {
    std::string line = "\"\"";
    append_escaped(line, tool);
    line += "\" /Y \"";
    append_escaped(line, path);
    line += "\"\"";
    return line;
}
