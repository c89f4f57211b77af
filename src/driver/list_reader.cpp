// Deletion-list line splitting, independent of files so that any byte sequence can be tried on it.
#include "driver/list_reader.h"

namespace {

constexpr int kNoByte = -1;
constexpr char kCtrlZ = 0x1A;

// Makes the next byte available; false at the end or on a read error.
bool fill_chunk(ListReader& r) {
    if (r.pos < r.len) return true;
    if (r.at_end) return false;
    long got = r.fill(r.source, r.chunk, sizeof r.chunk);
    if (got <= 0) {
        r.at_end = true;
        r.read_failed = got < 0;
        return false;
    }
    r.pos = 0;
    r.len = static_cast<std::size_t>(got);
    return true;
}

int peek_byte(ListReader& r) {
    if (!fill_chunk(r)) return kNoByte;
    return static_cast<unsigned char>(r.chunk[r.pos]);
}

// The next byte, in text mode after its translation: CR LF becomes LF.
int take_byte(ListReader& r) {
    int c = peek_byte(r);
    if (c == kNoByte) return c;
    ++r.pos;
    if (r.text_mode && c == '\r' && peek_byte(r) == '\n') {
        ++r.pos;
        return '\n';
    }
    return c;
}

// Nothing more is read: what follows a Ctrl-Z that ends the list.
void stop_reading(ListReader& r) {
    r.at_end = true;
    r.len = r.pos;
}

}  // namespace

void init_list_reader(ListReader& reader, ByteFill fill, void* source, bool text_mode) {
    reader.fill = fill;
    reader.source = source;
    reader.text_mode = text_mode;
    reader.pos = reader.len = 0;
    reader.at_end = reader.read_failed = false;
}

LineStatus read_list_line(ListReader& reader, char* line, std::size_t size) {
    std::size_t count = 0;
    std::size_t kept = 0;
    bool has_nul = false;
    bool cut_by_ctrl_z = false;
    bool ended_by_newline = false;
    for (int c; (c = take_byte(reader)) != kNoByte;) {
        if (c == '\n') {
            ended_by_newline = true;
            break;
        }
        // In text mode a Ctrl-Z ends the list: at the start of a line, or as the file's last
        // byte after a line. Inside a line with more after it, ending the list there would turn
        // "a<Ctrl-Z>\sub" into "a", the parent of what was listed: the line is no path.
        if (reader.text_mode && c == kCtrlZ && !cut_by_ctrl_z) {
            if (count == 0 || peek_byte(reader) == kNoByte) {
                if (!reader.read_failed) stop_reading(reader);
                break;
            }
            cut_by_ctrl_z = true;
        }
        has_nul |= c == 0;
        if (kept + 1 < size) line[kept++] = static_cast<char>(c);
        ++count;
    }
    // A read error leaves the line under way unfinished: a cut-off path could name its parent.
    if (reader.read_failed) kept = 0;
    line[kept] = '\0';
    if (reader.read_failed) return LineStatus::kReadError;
    if (count == 0 && !ended_by_newline) return LineStatus::kEnd;
    if (count > kept || has_nul || cut_by_ctrl_z) return LineStatus::kUnusable;
    return LineStatus::kPath;
}
