// Splitting list bytes into lines: text-mode rules and lines that must never become paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/list_reader.h"

namespace {

struct Bytes {
    std::string data;
    std::size_t pos = 0;
    std::size_t step;   // bytes handed out per read: 1 puts every boundary between reads
    long fail_at = -1;  // read error once this offset is reached
};

long fill(void* source, char* buf, std::size_t size) {
    auto* b = static_cast<Bytes*>(source);
    if (b->fail_at >= 0 && b->pos >= static_cast<std::size_t>(b->fail_at)) return -1;
    std::size_t n = std::min({size, b->step, b->data.size() - b->pos});
    std::memcpy(buf, b->data.data() + b->pos, n);
    b->pos += n;
    return static_cast<long>(n);
}

struct Line {
    LineStatus status;
    std::string text;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* os) {
    *os << static_cast<int>(line.status) << ":\"" << line.text << "\"";
}

std::vector<Line> read_all(const std::string& data, std::size_t line_size = 16,
                           std::size_t step = 1 << 20, long fail_at = -1, bool text_mode = true) {
    Bytes bytes{data, 0, step, fail_at};
    ListReader reader;
    init_list_reader(reader, fill, &bytes, text_mode);
    std::vector<Line> lines;
    std::vector<char> buf(line_size);
    for (;;) {
        LineStatus s = read_list_line(reader, buf.data(), buf.size());
        if (s == LineStatus::kEnd) return lines;
        lines.push_back({s, buf.data()});
        if (s == LineStatus::kReadError) return lines;
    }
}

constexpr LineStatus P = LineStatus::kPath;
constexpr LineStatus U = LineStatus::kUnusable;

// Windows reads the list in text mode; POSIX ends a line at LF only, because its names may hold
// CR and Ctrl-Z: "shared/<Ctrl-Z>old" must never be read as "shared/", on either.
TEST(ListReader, LineRulesOfEachModeHoldAtEveryReadBoundary) {
    struct Case {
        const char* name;
        std::string data;
        std::vector<Line> text_mode;
        std::vector<Line> lf_only;
    } cases[] = {
        {"empty", "", {}, {}},
        {"lf", "a\nb\n", {{P, "a"}, {P, "b"}}, {{P, "a"}, {P, "b"}}},
        {"crlf", "a\r\nb\r\n", {{P, "a"}, {P, "b"}}, {{P, "a\r"}, {P, "b\r"}}},
        {"lone cr stays", "a\rb\n", {{P, "a\rb"}}, {{P, "a\rb"}}},
        {"cr cr lf", "a\r\r\n", {{P, "a\r"}}, {{P, "a\r\r"}}},
        {"cr at the end", "a\r", {{P, "a\r"}}, {{P, "a\r"}}},
        {"no final newline", "a\nb", {{P, "a"}, {P, "b"}}, {{P, "a"}, {P, "b"}}},
        {"blank lines", "\n\na\n", {{P, ""}, {P, ""}, {P, "a"}}, {{P, ""}, {P, ""}, {P, "a"}}},
        {"ctrl-z ends the list",
         "a\n\x1a"
         "b\n",
         {{P, "a"}},
         {{P, "a"},
          {P,
           "\x1a"
           "b"}}},
        // Inside a line, a Ctrl-Z with more after it would cut the line to its parent.
        {"ctrl-z in a name",
         "d/\x1aold\nb\n",
         {{U, "d/\x1aold"}, {P, "b"}},
         {{P, "d/\x1aold"}, {P, "b"}}},
        {"ctrl-z before a line end", "d\x1a\r\n", {{U, "d\x1a"}}, {{P, "d\x1a\r"}}},
        {"ctrl-z as the last byte", "a\nb\x1a", {{P, "a"}, {P, "b"}}, {{P, "a"}, {P, "b\x1a"}}},
        {"bytes above 0x7f", "\x95\x5c\n", {{P, "\x95\x5c"}}, {{P, "\x95\x5c"}}},
    };
    for (const Case& c : cases) {
        for (bool text : {true, false}) {
            const std::vector<Line>& want = text ? c.text_mode : c.lf_only;
            EXPECT_EQ(read_all(c.data, 16, 1 << 20, -1, text), want) << c.name << text;
            EXPECT_EQ(read_all(c.data, 16, 1, -1, text), want) << c.name << text << " bytewise";
        }
    }
}

TEST(ListReader, LineLongerThanTheLimitIsOneUnusableLine) {
    // 15 bytes fit a 16-byte buffer; 16 do not.
    std::string fits(15, 'a');
    std::string too_long(40, 'b');
    EXPECT_EQ(read_all(fits + "\n" + too_long + "\r\nc\n"),
              (std::vector<Line>{{P, fits}, {U, std::string(15, 'b')}, {P, "c"}}));
    EXPECT_EQ(read_all(too_long, 16, 3), (std::vector<Line>{{U, std::string(15, 'b')}}));
}

TEST(ListReader, LineWithNulIsUnusable) {
    EXPECT_EQ(read_all(std::string("a\0b\nc\n", 6)), (std::vector<Line>{{U, "a"}, {P, "c"}}));
}

// A path cut off by a failed read could name a parent of what was listed.
TEST(ListReader, ReadErrorDropsTheLineUnderWay) {
    EXPECT_EQ(read_all("/tmp/x\n/tmp/long/name\n", 64, 4, 12),
              (std::vector<Line>{{P, "/tmp/x"}, {LineStatus::kReadError, ""}}));
    EXPECT_EQ(read_all("a\r\n", 64, 2, 2), (std::vector<Line>{{LineStatus::kReadError, ""}}));
}

}  // namespace
