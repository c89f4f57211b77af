// Which file an open file is, the same type in both programs: device and inode on POSIX, volume
// serial and file index on Windows.
#pragma once

#include <cstdint>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace os {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

#ifdef _WIN32
inline FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}
// Nothing when the system will not say.
std::optional<FileIdentity> identity_of(HANDLE h);
#else
inline FileIdentity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}
#endif

}  // namespace os
