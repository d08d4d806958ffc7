#include <gtest/gtest.h>

#include <string>
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

INSTANTIATE_TEST_SUITE_P(Lines, Assembly,
                         ::testing::Values(Case{{"I1 OK\nI2 DO", "NE\n"}, {"I1 OK", "I2 DONE"}, ""},
                                           Case{{"\n\n", "I1 OK\r\n\n", "I2"}, {"I1 OK\r"}, "I2"},
                                           Case{{"I3 O\xff", "K\n\x80"}, {"I3 OK"}, ""},
                                           Case{{"", "no end yet"}, {}, "no end yet"}));

}  // namespace
}  // namespace orvak
