// Preloaded into a dynamically linked deltree: makes the N-th unlinkat (FAULT_UNLINKAT_NTH) or
// the N-th directory listing call (FAULT_GETDENTS_NTH) fail with EIO, every thread start fail
// with EAGAIN as under a process limit (FAULT_PTHREAD_CREATE_FAILS), every unlinkat take
// FAULT_UNLINKAT_DELAY_US longer (a slow disk), and can force the thread count (FAULT_THREADS,
// passed on as DELTREE_THREADS), so that error paths and slow runs happen for real. Another
// program moves a folder away mid-walk: at the first unlinkat of an entry named FAULT_MOVE_AT,
// the folder of FAULT_MOVE_OUT_OF that holds it is first renamed to FAULT_MOVE_TO.
//
// Memory runs out once the walk has begun (at the first listing call, after everything that
// starting the program allocates): every allocation of more than FAULT_MALLOC_ABOVE bytes
// fails, or every one from the walk's FAULT_MALLOC_FROM-th on. operator new comes here through
// malloc. Built only with FAULT_ALLOCATIONS: a sanitizer's runtime fails to start under a malloc
// preloaded before it.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <cstddef>

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

#ifdef FAULT_ALLOCATIONS
std::atomic<bool> g_walking{false};
std::atomic<long> g_malloc_above{-1};
std::atomic<long> g_malloc_from{0};
std::atomic<long> g_allocations{0};

long number_in(const char* variable, long otherwise) {
    const char* value = getenv(variable);
    return value ? strtol(value, nullptr, 10) : otherwise;
}

bool allocation_fails(size_t size) {
    if (!g_walking.load()) return false;
    long above = g_malloc_above.load();
    if (above >= 0 && size > static_cast<size_t>(above)) return true;
    long from = g_malloc_from.load();
    return from > 0 && ++g_allocations >= from;
}

// The allocator after this one (the C library's, or a sanitizer's). The first allocation asks
// for it; should the lookup itself allocate, that allocation fails rather than recurse.
template <typename F>
F next_allocator(std::atomic<F>& slot, const char* name) {
    static std::atomic<bool> looking{false};
    F f = slot.load();
    if (f || looking.exchange(true)) return f;
    f = next_definition<F>(name);
    slot.store(f);
    looking = false;
    return f;
}

std::atomic<void* (*)(size_t)> g_malloc{nullptr};
std::atomic<void* (*)(size_t, size_t)> g_calloc{nullptr};
std::atomic<void* (*)(void*, size_t)> g_realloc{nullptr};

void walk_begins() {
    if (g_walking.load()) return;
    g_malloc_above = number_in("FAULT_MALLOC_ABOVE", -1);
    g_malloc_from = number_in("FAULT_MALLOC_FROM", 0);
    g_walking = true;
}
#else
void walk_begins() {}
#endif

void move_away(int dirfd, const char* path) {
    static std::atomic<bool> moved{false};
    const char* at = getenv("FAULT_MOVE_AT");
    const char* out_of = getenv("FAULT_MOVE_OUT_OF");
    const char* to = getenv("FAULT_MOVE_TO");
    if (!at || !out_of || !to || strcmp(path, at) != 0 || moved.exchange(true)) return;
    char fd_link[64];
    char where[4096];
    snprintf(fd_link, sizeof fd_link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(fd_link, where, sizeof where - 1);
    size_t len = strlen(out_of);
    if (n <= 0) return;
    where[n] = '\0';
    if (strncmp(where, out_of, len) != 0 || where[len] != '/') return;
    if (char* below = strchr(where + len + 1, '/')) *below = '\0';
    rename(where, to);
}

__attribute__((constructor)) void pass_thread_count() {
    if (const char* threads = getenv("FAULT_THREADS")) setenv("DELTREE_THREADS", threads, 1);
}

}  // namespace

extern "C" int unlinkat(int dirfd, const char* path, int flags) {
    static auto real = next_definition<int (*)(int, const char*, int)>("unlinkat");
    move_away(dirfd, path);
    if (fails_now(g_unlinkat_calls, "FAULT_UNLINKAT_NTH")) {
        errno = EIO;
        return -1;
    }
    if (const char* delay = getenv("FAULT_UNLINKAT_DELAY_US")) usleep(strtoul(delay, nullptr, 10));
    return real(dirfd, path, flags);
}

extern "C" ssize_t getdents64(int fd, void* buf, size_t size) {
    static auto real = next_definition<ssize_t (*)(int, void*, size_t)>("getdents64");
    walk_begins();
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

#ifdef FAULT_ALLOCATIONS
extern "C" void* malloc(size_t size) {
    auto real = next_allocator(g_malloc, "malloc");
    if (!real || allocation_fails(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    auto real = next_allocator(g_calloc, "calloc");
    if (!real || allocation_fails(count * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(count, size);
}

extern "C" void* realloc(void* old, size_t size) {
    auto real = next_allocator(g_realloc, "realloc");
    if (!real || allocation_fails(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(old, size);
}
#endif
