// Paths refused whatever the list or the command line says: a root, the current or parent
// folder, or a device, whose deletion would take far more than anyone could have meant to name.
// An empty folder name written by a front end is the usual way to get one. Each rule judges the
// path the way the platform will resolve it, not the way it looks.
#include "command/path_refusal.h"

#include <string_view>
#include <vector>

namespace {

using Parts = std::vector<std::string_view>;

constexpr char kRoot[] = "is the root of a drive or filesystem";
constexpr char kShareRoot[] = "is the root of a network share";
constexpr char kDotFolder[] = "names the current or parent folder";
constexpr char kDevice[] = "is a device, not a file or folder";

bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

bool is_drive(std::string_view s) {
    return s.size() == 2 && s[1] == ':' &&
           ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

// The names between separators; runs of separators and trailing ones name nothing more.
Parts split(std::string_view s, bool windows) {
    Parts parts;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_separator(s[i], windows)) ++i;
        std::size_t start = i;
        while (i < s.size() && !is_separator(s[i], windows)) ++i;
        if (i > start) parts.push_back(s.substr(start, i - start));
    }
    return parts;
}

// Whether a last name resolves to the folder it lies in or the one above. Win32 drops trailing
// dots and spaces from a last name and reads everything from a ':' on as a stream of it, so on
// Windows ". ", "...", " ..", "..::$INDEX_ALLOCATION" and "" all are dot folders.
bool is_dot_name(std::string_view name, bool windows) {
    if (!windows) return name == "." || name == "..";
    name = name.substr(0, name.find(':'));
    return name.find_first_not_of(". ") == std::string_view::npos;
}

const char* last_name_reason(const Parts& parts, bool windows) {
    return !parts.empty() && is_dot_name(parts.back(), windows) ? kDotFolder : nullptr;
}

// "\\server\share" and what follows, `parts` beginning at the server.
const char* share_reason(const Parts& parts) {
    return parts.size() <= 2 ? kShareRoot : last_name_reason(parts, true);
}

// A path in the device namespace ("\\?\", "\\.\", "\??\"), `parts` beginning after the prefix.
// Volumes have many names there; the ones a front end could come by are refused as roots, and a
// name with nothing after it is a volume or a device ("\\.\C:", "\\.\NUL", "\\.\PhysicalDrive0").
const char* device_path_reason(Parts parts) {
    while (!parts.empty() && same_text(parts[0], "GLOBALROOT")) {
        // The object namespace: its drive-letter folders lead back to the forms below, the
        // network redirectors to a share, and any short path to a volume.
        parts.erase(parts.begin());
        if (!parts.empty() && (same_text(parts[0], "??") || same_text(parts[0], "GLOBAL??") ||
                               same_text(parts[0], "DosDevices"))) {
            parts.erase(parts.begin());
            continue;
        }
        if (parts.size() >= 2 && same_text(parts[0], "Device") &&
            (same_text(parts[1], "Mup") || same_text(parts[1], "LanmanRedirector")))
            return share_reason(Parts(parts.begin() + 2, parts.end()));
        return parts.size() <= 3 ? kRoot : last_name_reason(parts, true);
    }
    if (parts.empty()) return kRoot;
    if (same_text(parts[0], "UNC")) return share_reason(Parts(parts.begin() + 1, parts.end()));
    if (is_drive(parts[0]) || same_text(parts[0].substr(0, 7), "Volume{"))
        return parts.size() == 1 ? kRoot : last_name_reason(parts, true);
    return parts.size() == 1 ? kDevice : last_name_reason(parts, true);
}

bool has_device_prefix(std::string_view p) {
    return p.size() >= 4 && is_separator(p[0], true) && is_separator(p[3], true) &&
           ((is_separator(p[1], true) && (p[2] == '?' || p[2] == '.')) ||
            (p[1] == '?' && p[2] == '?'));
}

}  // namespace

const char* refusal_reason(const char* path, bool windows) {
    std::string_view p = path;
    if (p.empty()) return nullptr;  // names nothing at all: not found, never a root
    if (windows && has_device_prefix(p)) return device_path_reason(split(p.substr(4), true));
    bool unc = windows && p.size() >= 2 && is_separator(p[0], true) && is_separator(p[1], true);
    if (unc) return share_reason(split(p, true));
    std::string_view body = windows && is_drive(p.substr(0, 2)) ? p.substr(2) : p;
    Parts parts = split(body, windows);
    if (parts.empty()) return kRoot;  // "/", "\", "C:", "C:\"
    return last_name_reason(parts, windows);
}
