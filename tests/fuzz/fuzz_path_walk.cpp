// The PATH walk over any PATH value and any set of existing folders: it finds the tool exactly
// when one of the absolute entries, taken as written, holds it, and never reads past its
// working copy.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "messages/trace.h"
#include "search/tool_search.h"

namespace {

std::vector<std::string> split_entries(const std::string& path) {
    std::vector<std::string> entries(1);
    for (char c : path) {
        if (c == ':')
            entries.emplace_back();
        else
            entries.back() += c;
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    if (size < 1) return 0;
    fake::reset();
    g_debug_mode = data[0] & 1;
    std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    path = path.substr(0, path.find('\0'));
    fake::state().path_variable = path;
    // Every other entry exists; of those, every third holds the tool: decided by the entry's
    // position and its first byte, so the fuzzer can steer it.
    std::vector<std::string> entries = split_entries(path);
    std::set<std::string>& existing = fake::state().existing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        unsigned char key = entries[i].empty() ? 0 : static_cast<unsigned char>(entries[i][0]);
        if ((key + i) % 2 == 0) continue;
        existing.insert(entries[i]);
        if ((key + i) % 3 == 0) existing.insert(entries[i] + "/deltree");
    }
    // Entries may name each other's tool ("" and "/deltree"): judged on the final set. Only
    // absolute entries count.
    bool want = false;
    for (const std::string& e : entries)
        want = want || (e.size() < 4096 && !e.empty() && e[0] == '/' && existing.count(e) &&
                        existing.count(e + "/deltree"));
    if (search_tool_on_path() != (want ? kToolFound : kToolNotFound)) abort();
    return 0;
}
