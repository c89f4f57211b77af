// One owner for every kind of OS handle both programs hold: a descriptor, a Windows handle, a
// find handle. `Traits` gives the handle type, its "none" value and how it is closed.
#pragma once

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace os {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    explicit UniqueHandle(Handle h = Traits::none()) : h_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, Traits::none())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(std::exchange(other.h_, Traits::none()));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    void reset(Handle h = Traits::none()) {
        if (h_ != Traits::none()) Traits::close(h_);
        h_ = h;
    }
    Handle get() const { return h_; }
    Handle release() { return std::exchange(h_, Traits::none()); }
    bool valid() const { return h_ != Traits::none(); }

private:
    Handle h_;
};

#ifdef _WIN32
struct FileHandleTraits {
    using Handle = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
#else
struct FdTraits {
    using Handle = int;
    static int none() { return -1; }
    static void close(int fd) { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;
#endif

}  // namespace os
