// One owner for every kind of OS handle the walks hold: a descriptor, a Windows handle, a find
// handle. `Traits` gives the handle type, its "none" value and how it is closed.
#pragma once

#include <utility>

namespace deltree {

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

}  // namespace deltree
