// Identities on POSIX: device and inode, taken through O_PATH descriptors, which need no read
// permission (a folder the user may only search is still judged) and follow no link by chance.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "os/unique_handle.h"
#include "paths/identity.h"

namespace paths {

using os::identity_of;

namespace {

constexpr char kDevice[] = "is a device, not a file or folder";

// A chain deeper than this is no tree this process could have been started in.
constexpr int kDeepestChain = 8192;

constexpr int kLookFlags = O_PATH | O_CLOEXEC;

// Not there, as the system resolves the path: a missing name, a file where a folder should be,
// a loop of links or a name too long all mean that nothing of this name can be removed.
bool is_missing(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

// The current folder and each folder above it, step by step through "..", which finds the real
// folders above whatever links the current folder was reached through. It ends at the root (or
// a chroot's root, whose ".." is itself), or at a current folder that has been removed: no folder
// holds that one any more.
struct Chain {
    std::vector<FileIdentity> ids;
    int error;
};

Chain current_chain() {
    Chain chain{{}, 0};
    os::UniqueFd here(open(".", kLookFlags | O_DIRECTORY));
    struct stat st {};
    if (!here.valid() || fstat(here.get(), &st) != 0) return {{}, errno};
    for (int depth = 0; depth < kDeepestChain; ++depth) {
        chain.ids.push_back(identity_of(st));
        os::UniqueFd up(openat(here.get(), "..", kLookFlags | O_DIRECTORY));
        if (!up.valid()) {
            if (errno == ENOENT && st.st_nlink == 0) return chain;
            return {{}, errno};
        }
        struct stat above {};
        if (fstat(up.get(), &above) != 0) return {{}, errno};
        if (identity_of(above) == identity_of(st)) return chain;
        here = std::move(up);
        st = above;
    }
    return {{}, ELOOP};
}

}  // namespace

ProtectedFolders ProtectedFolders::record() {
    try {
        struct stat root {};
        if (stat("/", &root) != 0) return of({}, {}, errno);
        Chain chain = current_chain();
        return of({identity_of(root)}, std::move(chain.ids), chain.error);
    } catch (const std::bad_alloc&) {
        return of({}, {}, ENOMEM);
    }
}

namespace {

// `folders()` gives the protected folders, asked only when a folder is judged.
template <typename Folders>
Judgement judge_as(const char* path, Folders folders) {
    std::size_t len = std::strlen(path);
    // "name/" resolves the last link as the system does; "name" is the link itself.
    bool follow = len > 0 && path[len - 1] == '/';
    os::UniqueFd fd(open(path, kLookFlags | (follow ? 0 : O_NOFOLLOW)));
    if (!fd.valid()) {
        int error = errno;
        if (is_missing(error)) return {Verdict::kMissing, nullptr, error};
        return {Verdict::kCannotJudge, kUnjudgeable, error};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return {Verdict::kCannotJudge, kUnjudgeable, errno};
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return {Verdict::kRefused, kDevice};
    if (!S_ISDIR(st.st_mode)) return {Verdict::kMayGo};
    return judge_folder(identity_of(st), folders());
}

}  // namespace

Judgement judge(const char* path, const ProtectedFolders& folders) {
    return judge_as(path, [&]() -> const ProtectedFolders& { return folders; });
}

Judgement judge(const char* path) { return judge_as(path, protected_folders); }

}  // namespace paths
