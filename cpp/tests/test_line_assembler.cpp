#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/line_assembler.hpp"

namespace orvak {
namespace {

struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    std::string pending;
};

class Assembly : public ::testing::TestWithParam<Case> {};

// Fed whole, byte by byte and in the given pieces, the same lines come out.
TEST_P(Assembly, SameLinesInAnyChunking) {
    const Case& c = GetParam();
    std::string whole;
    for (const auto& chunk : c.chunks) whole += chunk;
    std::vector<std::vector<std::string>> chunkings{c.chunks, {whole}, {}};
    for (const char byte : whole) chunkings.back().emplace_back(1, byte);
    for (const auto& chunking : chunkings) {
        LineAssembler assembler;
        std::vector<std::string> lines;
        for (const auto& chunk : chunking) {
            assembler.feed(ascii_only(chunk), [&](std::string line) { lines.push_back(line); });
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(assembler.pending(), c.pending);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Assembly,
    ::testing::Values(
        Case{{"I1 OK\nI2 DO", "NE\n"}, {"I1 OK", "I2 DONE"}, ""},
        Case{{"\n\n", "I1 OK\r\n\n", "I2"}, {"I1 OK\r"}, "I2"},
        Case{{"I3 O\xff", "K\n\x80"}, {"I3 OK"}, ""}, Case{{"", "no end yet"}, {}, "no end yet"},
        // A stray NUL, "\n\r" line ends: dropped at a line's start only; a space stays.
        Case{{std::string("\0I1 OK\n\rI1 DO", 13), "NE\n\r"}, {"I1 OK", "I1 DONE"}, ""},
        Case{{" I1 OK\n\r\r\n", "I1 A\rB"}, {" I1 OK"}, "I1 A\rB"}));

// Beyond the cap a line is dropped up to its line feed, with one report.
TEST(Assembly, DropsAnOverlongLineAndKeepsTheNext) {
    LineAssembler assembler;
    std::vector<std::string> lines;
    std::vector<std::size_t> discarded;
    const auto feed = [&](std::string_view text) {
        assembler.feed(
            text, [&](std::string line) { lines.push_back(line); },
            [&](std::string_view head) { discarded.push_back(head.size()); });
    };
    feed(std::string(LineAssembler::default_max_line, 'x'));
    EXPECT_TRUE(discarded.empty());
    for (int i = 0; i < 3; ++i) feed(std::string(1000, 'y'));
    EXPECT_TRUE(assembler.pending().empty());
    feed("yyy\nI1 OK\n");
    EXPECT_EQ(lines, std::vector<std::string>{"I1 OK"});
    EXPECT_EQ(discarded, std::vector<std::size_t>{LineAssembler::default_max_line});
}

}  // namespace
}  // namespace orvak
