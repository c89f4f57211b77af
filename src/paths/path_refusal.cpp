// Paths refused whatever the list or the command line says: a root, the current or parent
// folder, or a device, whose deletion would take far more than anyone could have meant to name.
// An empty folder name written by a front end is the usual way to get one. Each rule judges the
// path the way the platform will resolve it, not the way it looks.
#include "paths/path_refusal.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

using Parts = std::vector<std::string_view>;

constexpr char kRoot[] = "is the root of a drive or filesystem";
constexpr char kShareRoot[] = "is the root of a network share";
constexpr char kDotFolder[] = "names the current or parent folder";
constexpr char kDevice[] = "is a device, not a file or folder";
constexpr char kObjectNamespace[] = "names the system's object namespace, not a file or folder";
constexpr char kTrimmedName[] = "has a name ending in a dot or a space, which Windows drops";

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

// How Win32 reads the names of a path. A plain path has trailing dots and spaces dropped from
// its names, and a last name like "NUL" or "COM1.txt" taken for a device; a path in the device
// namespace names no devices that way. Windows keeps trailing dots and spaces in a "\\?\" path,
// but Wine drops them there too, so they count as dropped everywhere.
struct Reading {
    bool trims;
    bool maps_devices;
};
constexpr Reading kPosix{false, false};
constexpr Reading kWin32{true, true};
constexpr Reading kDeviceNamespace{true, false};

// Whether a last name resolves to the folder it lies in or the one above. Win32 drops trailing
// dots and spaces from a last name and reads everything from a ':' on as a stream of it, so on
// Windows ". ", "...", " ..", "..::$INDEX_ALLOCATION" and "" all are dot folders.
bool is_dot_name(std::string_view name, bool windows) {
    if (!windows) return name == "." || name == "..";
    name = name.substr(0, name.find(':'));
    return name.find_first_not_of(". ") == std::string_view::npos;
}

// "foo " and "foo." both name "foo" to Win32, though NTFS can hold all three: such a name
// could delete something else than what it spells.
bool has_trimmed_end(std::string_view name) {
    name = name.substr(0, name.find(':'));
    return !name.empty() && name != "." && name != ".." &&
           (name.back() == '.' || name.back() == ' ');
}

// Names Win32 takes for devices as the last name of a path, whatever their extension.
bool is_device_name(std::string_view name) {
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (same_text(name, device)) return true;
    std::string_view stem = name.substr(0, 3);
    std::string_view digit = name.substr(std::min<std::size_t>(3, name.size()));
    // COM0 to COM9, and COM¹ to COM³ (UTF-8), likewise LPT.
    return (same_text(stem, "COM") || same_text(stem, "LPT")) &&
           ((digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\u00b9" ||
            digit == "\u00b2" || digit == "\u00b3");
}

const char* names_reason(const Parts& parts, bool windows, Reading reading) {
    if (parts.empty()) return nullptr;
    if (is_dot_name(parts.back(), windows)) return kDotFolder;
    if (reading.trims) {
        for (std::string_view name : parts)
            if (has_trimmed_end(name)) return kTrimmedName;
    }
    if (reading.maps_devices && is_device_name(parts.back())) return kDevice;
    return nullptr;
}

// "\\server\share" and what follows, `parts` beginning at the server.
const char* share_reason(const Parts& parts, Reading reading) {
    return parts.size() <= 2 ? kShareRoot : names_reason(parts, true, reading);
}

// `parts` with "." and ".." taken out the way a normalising reader takes them: a device path
// spells "\\.\X\..\C:\" for the root of C:.
Parts without_dot_names(const Parts& parts) {
    Parts out;
    for (std::string_view name : parts) {
        if (name == "..") {
            if (!out.empty()) out.pop_back();
        } else if (name != ".") {
            out.push_back(name);
        }
    }
    return out;
}

// A path in the device namespace ("\\?\", "\\.\", "\??\"), `parts` beginning after the prefix.
// Only the forms that name a file or folder are let through: a drive, a share (UNC) or a volume
// by its GUID, each with something below its root; "Global\" is the same namespace again. The
// object namespace (GLOBALROOT) has more names for volumes, shares and devices than any rule can
// know, and everything else there is a device ("\\.\NUL", "\\.\PhysicalDrive0").
const char* device_path_reason(const Parts& given, Reading reading) {
    if (!given.empty() && is_dot_name(given.back(), true)) return kDotFolder;
    Parts parts = without_dot_names(given);
    while (!parts.empty() && same_text(parts[0], "Global")) parts.erase(parts.begin());
    if (parts.empty()) return kRoot;
    if (same_text(parts[0], "GLOBALROOT")) return kObjectNamespace;
    if (same_text(parts[0], "UNC"))
        return share_reason(Parts(parts.begin() + 1, parts.end()), reading);
    if (is_drive(parts[0]) || same_text(parts[0].substr(0, 7), "Volume{"))
        return parts.size() == 1 ? kRoot : names_reason(parts, true, reading);
    return kDevice;
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
    if (windows && has_device_prefix(p))
        return device_path_reason(split(p.substr(4), true), kDeviceNamespace);
    Reading reading = windows ? kWin32 : kPosix;
    bool unc = windows && p.size() >= 2 && is_separator(p[0], true) && is_separator(p[1], true);
    if (unc) return share_reason(split(p, true), reading);
    std::string_view body = windows && is_drive(p.substr(0, 2)) ? p.substr(2) : p;
    Parts parts = split(body, windows);
    if (parts.empty()) return kRoot;  // "/", "\", "C:", "C:\"
    return names_reason(parts, windows, reading);
}

bool holds_characters_windows_names_cannot(const char* path) {
    std::string_view p = path;
    if (has_device_prefix(p)) p.remove_prefix(4);
    constexpr std::string_view kNeverInNames = "\"<>|*?";
    for (char c : p) {
        bool control = static_cast<unsigned char>(c) < 0x20;
        if (control || kNeverInNames.find(c) != std::string_view::npos) return true;
    }
    return false;
}
