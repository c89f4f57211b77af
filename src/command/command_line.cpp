// Composes the deletion command line so that the interpreter passes the path on unchanged.
#include "command/command_line.h"

#include <cstring>

namespace {

constexpr char kPrefix[] = "deltree /Y \"";
constexpr char kPercent[] = "%%cd:~,%";

bool append(char* out, std::size_t size, std::size_t& len, const char* text, std::size_t n) {
    if (len + n >= size) return false;
    std::memcpy(out + len, text, n);
    len += n;
    return true;
}

}  // namespace

int compose_delete_command(const char* path, char* out, std::size_t size) {
    std::size_t len = 0;
    bool fits = append(out, size, len, kPrefix, sizeof kPrefix - 1);
    for (const char* p = path; fits && *p != '\0'; ++p) {
        fits = *p == '%' ? append(out, size, len, kPercent, sizeof kPercent - 1)
                         : append(out, size, len, p, 1);
    }
    fits = fits && append(out, size, len, "\"", 1);
    if (!fits) return -1;
    out[len] = '\0';
    return 0;
}
