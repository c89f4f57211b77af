// What a path is, judged by identity rather than spelling: the one judgement zelk makes before
// it hands an entry to deltree, and deltree makes before it removes anything. The text rules of
// path_refusal.h come first, as a cheap filter; this judgement is the one that holds.
#pragma once

#include <vector>

#include "os/file_identity.h"

namespace paths {

using os::FileIdentity;

// The folders no deletion may remove, by identity: the root (on Windows the root of every drive
// that answers) and the current folder with every folder above it. Recorded once; a record that
// could not be completed protects everything, since a folder missing from it could be any of them.
class ProtectedFolders {
public:
    // Taken from the system as it is now (a descriptor or two at a time, no read permission
    // needed on the way up).
    static ProtectedFolders record();
    // A record made of the given identities, complete unless `error` is set.
    static ProtectedFolders of(std::vector<FileIdentity> roots, std::vector<FileIdentity> chain,
                               int error = 0);

    // Why the folder `id` must stay: the root, the current folder or one above it; when the
    // record is incomplete, that it cannot be told apart from them. nullptr when it may go.
    const char* reason(const FileIdentity& id) const;
    // 0, or the error that left the record incomplete.
    int error() const { return error_; }

private:
    std::vector<FileIdentity> roots_;
    std::vector<FileIdentity> chain_;  // the current folder first, then each folder above it
    int error_ = 0;
};

// The protected folders of this process, recorded at the first call: its current folder does not
// change while it runs.
const ProtectedFolders& protected_folders();

enum class Verdict {
    kMayGo,        // it may be handed over or removed
    kMissing,      // nothing is there
    kRefused,      // it is a root, a device, the current folder or a folder above it
    kCannotJudge,  // looking at it failed: refused all the same
};

struct Judgement {
    Verdict verdict;
    const char* reason = nullptr;  // kRefused and kCannotJudge: why, for a line of its own
    int error = 0;                 // kMissing and kCannotJudge: the system's error number
};

// Judges `path` (in the system's narrow encoding) as the system resolves it: the object the
// last name leads to, not followed when it is a link, except that a trailing separator on POSIX
// makes the system follow it ("rootlink/" is "/"). A device is refused; a folder is refused when
// `folders` protects it; any failure to look is kCannotJudge.
Judgement judge(const char* path, const ProtectedFolders& folders);
// The same with this process's protected folders, recorded only once a folder is judged: a run
// that deletes only files never looks at them.
Judgement judge(const char* path);

// The verdict on a folder once its identity is known: the same on every platform.
Judgement judge_folder(const FileIdentity& id, const ProtectedFolders& folders);

// The reason for a folder that cannot be told apart from a protected one.
inline constexpr char kUnjudgeable[] = "cannot be told apart from a root or the current folder";

}  // namespace paths
