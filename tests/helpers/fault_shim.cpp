// Preloaded into a dynamically linked deltree: makes the N-th unlinkat (FAULT_UNLINKAT_NTH) or
// the N-th directory listing call (FAULT_GETDENTS_NTH) fail with EIO, every thread start fail
// with EAGAIN as under a process limit (FAULT_PTHREAD_CREATE_FAILS), every unlinkat take
// FAULT_UNLINKAT_DELAY_US longer (a slow disk), and can force the thread count (FAULT_THREADS,
// passed on as DELTREE_THREADS), so that error paths and slow runs happen for real.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<long> g_unlinkat_calls{0};
std::atomic<long> g_getdents_calls{0};

bool fails_now(std::atomic<long>& calls, const char* variable) {
    const char* nth = getenv(variable);
    return nth && ++calls == strtol(nth, nullptr, 10);
}

template <typename F>
F next_definition(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void pass_thread_count() {
    if (const char* threads = getenv("FAULT_THREADS")) setenv("DELTREE_THREADS", threads, 1);
}

}  // namespace

extern "C" int unlinkat(int dirfd, const char* path, int flags) {
    static auto real = next_definition<int (*)(int, const char*, int)>("unlinkat");
    if (fails_now(g_unlinkat_calls, "FAULT_UNLINKAT_NTH")) {
        errno = EIO;
        return -1;
    }
    if (const char* delay = getenv("FAULT_UNLINKAT_DELAY_US")) usleep(strtoul(delay, nullptr, 10));
    return real(dirfd, path, flags);
}

extern "C" ssize_t getdents64(int fd, void* buf, size_t size) {
    static auto real = next_definition<ssize_t (*)(int, void*, size_t)>("getdents64");
    if (fails_now(g_getdents_calls, "FAULT_GETDENTS_NTH")) {
        errno = EIO;
        return -1;
    }
    return real(fd, buf, size);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    static auto real =
        next_definition<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>(
            "pthread_create");
    if (getenv("FAULT_PTHREAD_CREATE_FAILS")) return EAGAIN;
    return real(thread, attr, start, arg);
}
