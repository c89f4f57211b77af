// Any bytes, handed over in pieces of any size, must split into the lines a plain reading of the
// rules gives, in text mode and at line feeds only; no line may ever be cut into pieces.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/list_reader.h"

namespace {

struct Source {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
    std::size_t step;
};

long fill(void* p, char* buf, std::size_t size) {
    auto* s = static_cast<Source*>(p);
    std::size_t n = std::min({size, s->step, s->size - s->pos});
    std::memcpy(buf, s->data + s->pos, n);
    s->pos += n;
    return static_cast<long>(n);
}

struct Line {
    LineStatus status;
    std::string text;
};

// The rules, read the plain way: the whole text at once. In text mode a Ctrl-Z at the start of
// a line, or as the last byte, ends the list; one inside a line with more after it makes that
// line unusable.
std::vector<Line> expected_lines(const std::string& text, std::size_t limit, bool text_mode) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        bool ended = lf != std::string::npos;
        std::string line = text.substr(start, (ended ? lf : text.size()) - start);
        start = ended ? lf + 1 : text.size();
        bool cut = false;
        if (text_mode) {
            std::size_t z = line.find('\x1a');
            if (z == 0) break;
            if (z != std::string::npos && z + 1 == line.size() && !ended) {
                line.pop_back();  // the file's last byte: it ends the list after this line
            } else if (z != std::string::npos) {
                cut = true;
            }
            if (ended && !line.empty() && line.back() == '\r') line.pop_back();
        }
        bool unusable = cut || line.size() > limit - 1 || line.find('\0') != std::string::npos;
        std::string shown = line.substr(0, std::min(line.find('\0'), limit - 1));
        lines.push_back({unusable ? LineStatus::kUnusable : LineStatus::kPath, shown});
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the piece size, the line limit and the mode; the rest is the
    // list.
    Source source{data + 2, size - 2, 0, static_cast<std::size_t>(data[0] % 64) + 1};
    std::size_t limit = static_cast<std::size_t>(data[1] % 32) + 2;
    bool text_mode = (data[1] & 0x20) == 0;
    std::string all(reinterpret_cast<const char*>(data + 2), size - 2);
    // A CR that ends the bytes has no LF after it and stays: the plain reading agrees.
    std::vector<Line> want = expected_lines(all, limit, text_mode);

    ListReader reader;
    init_list_reader(reader, fill, &source, text_mode);
    std::vector<char> line(limit);
    std::size_t i = 0;
    for (;;) {
        LineStatus status = read_list_line(reader, line.data(), line.size());
        if (status == LineStatus::kEnd) break;
        if (i >= want.size() || status != want[i].status || line.data() != want[i].text) abort();
        ++i;
    }
    if (i != want.size()) abort();
    return 0;
}
