// The judgement of an entry by identity, the same on every real platform: the shared one that
// deltree makes too.
#include "paths/identity.h"
#include "platform/platform.h"

namespace platform {

EntryVerdict judge_entry(const char* path) {
    switch (paths::judge(path).verdict) {
    case paths::Verdict::kMayGo: return EntryVerdict::kMayGo;
    case paths::Verdict::kMissing: return EntryVerdict::kMissing;
    case paths::Verdict::kRefused:
    case paths::Verdict::kCannotJudge: break;
    }
    return EntryVerdict::kRefused;
}

}  // namespace platform
