// The protected folders, the same on every platform once their identities are known.
#include <algorithm>
#include <utility>

#include "paths/identity.h"

namespace paths {

namespace {

constexpr char kRootReason[] = "is the root of a drive or filesystem";
constexpr char kCurrentReason[] = "is the current folder or a folder above it";

bool holds(const std::vector<FileIdentity>& ids, const FileIdentity& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

ProtectedFolders ProtectedFolders::of(std::vector<FileIdentity> roots,
                                      std::vector<FileIdentity> chain, int error) {
    ProtectedFolders p;
    p.roots_ = std::move(roots);
    p.chain_ = std::move(chain);
    p.error_ = error;
    return p;
}

const char* ProtectedFolders::reason(const FileIdentity& id) const {
    if (holds(roots_, id)) return kRootReason;
    if (holds(chain_, id)) return kCurrentReason;
    return error_ != 0 ? kUnjudgeable : nullptr;
}

Judgement judge_folder(const FileIdentity& id, const ProtectedFolders& folders) {
    const char* why = folders.reason(id);
    if (!why) return {Verdict::kMayGo};
    if (why == kUnjudgeable) return {Verdict::kCannotJudge, why, folders.error()};
    return {Verdict::kRefused, why};
}

const ProtectedFolders& protected_folders() {
    static const ProtectedFolders recorded = ProtectedFolders::record();
    return recorded;
}

}  // namespace paths
