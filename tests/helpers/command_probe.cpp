// Runs the deletion command exactly as zelk does, on a path read from a file (so that no
// launcher's argument rules touch it), and prints the command's status. With the recording
// stand-in on PATH this shows what deltree receives for any path, existing or not.
#include <cstdio>
#include <optional>

#include "command/delete_command.h"
#include "platform/platform.h"
#include "search/tool_search.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    char path[platform::kPathLimit];
    std::size_t n = std::fread(path, 1, sizeof path - 1, f);
    std::fclose(f);
    path[n] = '\0';
    std::optional<int> status = run_delete_command(locate_tool_on_path(), path);
    if (status)
        std::printf("%d\n", *status);
    else
        std::printf("not started\n");
    return 0;
}
