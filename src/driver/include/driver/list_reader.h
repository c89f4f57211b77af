// Splits the bytes of a deletion list into lines: on Windows with its runtime's text-mode rules,
// elsewhere at line feeds only.
#pragma once

#include <cstddef>

enum class LineStatus {
    kPath,       // a line that may name a path; its line feed is removed
    kUnusable,   // longer than the path limit, or holding a NUL byte: no path can match it
    kEnd,        // no more lines: end of the bytes, or in text mode a Ctrl-Z byte
    kReadError,  // the bytes could not be read; the line under way is dropped
};

// Where the bytes come from: `fill` returns a count, 0 at the end, or -1 on a read error.
using ByteFill = long (*)(void* source, char* buf, std::size_t size);

struct ListReader {
    ByteFill fill = nullptr;
    void* source = nullptr;
    char chunk[16384];
    std::size_t pos = 0;
    std::size_t len = 0;
    bool text_mode = false;
    bool at_end = false;  // the end, a Ctrl-Z or a read error was met; nothing more is read
    bool read_failed = false;
};

// `text_mode`: the Windows runtime's rules, where a CR LF pair counts as one line feed (a lone CR
// stays) and a Ctrl-Z byte ends the list; Windows names cannot hold either byte. Otherwise a
// line ends only at a line feed and every other byte belongs to the path: Linux names may hold
// CR and Ctrl-Z, and text-mode rules would turn such a name into a shorter one, its parent
// folder included.
void init_list_reader(ListReader& reader, ByteFill fill, void* source, bool text_mode);

// Reads the next line into `line`, which has room for `size` bytes with the terminator. A last
// line without a line feed counts whole. A line of more than size-1 bytes is consumed to its end
// and reported kUnusable with its first size-1 bytes in `line`, so no fragment of it is ever taken
// for a path of its own; a line with a NUL byte is kUnusable too.
LineStatus read_list_line(ListReader& reader, char* line, std::size_t size);
