// Paths refused whatever the list or the command line says: a root, and the current or parent
// folder, whose deletion would take far more than anyone could have meant to name. An empty
// folder name written by a front end is the usual way to get one.
#include "command/path_refusal.h"

#include <cstddef>
#include <cstring>

namespace {

bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "\\server\share" with nothing after the share but separators.
bool is_share_root(const char* path, std::size_t len) {
    if (len < 2 || !is_separator(path[0], true) || !is_separator(path[1], true)) return false;
    std::size_t i = 2;
    int parts = 0;
    while (i < len) {
        while (i < len && is_separator(path[i], true)) ++i;
        if (i == len) break;
        while (i < len && !is_separator(path[i], true)) ++i;
        ++parts;
    }
    return parts <= 2;
}

}  // namespace

const char* refusal_reason(const char* path, bool windows) {
    std::size_t len = std::strlen(path);
    const char* body = path;
    if (windows && len >= 2 && is_drive_letter(path[0]) && path[1] == ':') body = path + 2;
    std::size_t body_len = len - static_cast<std::size_t>(body - path);
    // Trailing separators name the same object; they do not make a root anything else.
    while (body_len > 0 && is_separator(body[body_len - 1], windows)) --body_len;
    if (body_len == 0 && len > 0) return "is the root of a drive or filesystem";
    if (windows && is_share_root(path, len)) return "is the root of a network share";
    std::size_t start = body_len;
    while (start > 0 && !is_separator(body[start - 1], windows)) --start;
    std::size_t last_len = body_len - start;
    if ((last_len == 1 && body[start] == '.') ||
        (last_len == 2 && body[start] == '.' && body[start + 1] == '.'))
        return "names the current or parent folder";
    return nullptr;
}
