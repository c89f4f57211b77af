// The floor of the "tree" shape: removes the benchmark's tree TOP of OUTER x INNER folders of
// FILES files each, knowing every name in advance (no listing, no checks), with THREADS threads
// (default 2) on disjoint shares of the outer folders. What is left between this and `rm -rf` is
// what the filesystem charges per entry; deltree's distance to it is what deltree adds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

bool remove_outer(int top, int outer, int inner, int files) {
    char name[32];
    std::snprintf(name, sizeof name, "d%03d", outer);
    int d = openat(top, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (d < 0) return false;
    bool ok = true;
    for (int j = 0; j < inner; ++j) {
        char sub[16];
        std::snprintf(sub, sizeof sub, "s%02d", j);
        int s = openat(d, sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (s < 0) return false;
        for (int k = 0; k < files; ++k) {
            char file[16];
            std::snprintf(file, sizeof file, "f%06d", k);
            ok = unlinkat(s, file, 0) == 0 && ok;
        }
        close(s);
        ok = unlinkat(d, sub, AT_REMOVEDIR) == 0 && ok;
    }
    close(d);
    return unlinkat(top, name, AT_REMOVEDIR) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("usage: floor_remove TOP OUTER INNER FILES [THREADS]\n", stderr);
        return 2;
    }
    int outer = std::atoi(argv[2]), inner = std::atoi(argv[3]), files = std::atoi(argv[4]);
    int threads = argc > 5 ? std::atoi(argv[5]) : 2;
    int top = open(argv[1], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0 || threads < 1) return 1;
    std::vector<char> ok(static_cast<std::size_t>(threads), 1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t * outer / threads; i < (t + 1) * outer / threads; ++i)
                ok[static_cast<std::size_t>(t)] &= remove_outer(top, i, inner, files);
        });
    for (std::thread& w : workers) w.join();
    close(top);
    bool all = unlinkat(AT_FDCWD, argv[1], AT_REMOVEDIR) == 0;
    for (char o : ok) all = all && o;
    return all ? 0 : 1;
}
