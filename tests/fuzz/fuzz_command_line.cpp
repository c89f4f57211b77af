// Whatever the path, the command line must carry it to deltree unchanged: after cmd.exe has
// stripped its outer quotes and expanded the line, deltree's own reading of it must give back
// "/Y" and the path itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "platform/interpreter_line.h"

namespace {

// What cmd.exe makes of each escaped '%': a literal '%' and an empty piece of %cd%.
std::string as_expanded(std::string line) {
    const std::string escaped = "%%cd:~,%";
    for (std::size_t at = 0; (at = line.find(escaped, at)) != std::string::npos; ++at)
        line.replace(at, escaped.size(), "%");
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    path = path.substr(0, path.find('\0'));
    std::string composed = compose_delete_command("C:\\Z\\deltree.exe", path.c_str());
    if (composed.rfind("\"\"C:\\Z\\deltree.exe\" /Y \"", 0) != 0 || composed.back() != '"') abort();
    // No '%' may be left for cmd.exe to start a variable name with, outside the escapes.
    std::string rest = composed;
    for (std::size_t at; (at = rest.find("%%cd:~,%")) != std::string::npos;) rest.erase(at, 8);
    if (rest.find('%') != std::string::npos) abort();
    // A path with '"' is never a Windows path (the list finds no such file): it is not run.
    if (path.find('"') != std::string::npos) return 0;
    // cmd.exe /c drops the first and the last quote of a line with more than two.
    std::vector<std::string> got = deltree::split_windows_command_line(
        as_expanded(composed.substr(1, composed.size() - 2)).c_str());
    if (got.size() != 2 || got[0] != "/Y" || got[1] != path) abort();
    return 0;
}
