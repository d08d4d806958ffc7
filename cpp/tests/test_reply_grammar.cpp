#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvak/reply_grammar.hpp"

namespace g = orvak::grammar;
using g::ReplyKind;

namespace {

TEST(ReplyGrammarLine, AddressPrefix) {
    const auto parsed = g::parse_line("I012 X Y");
    EXPECT_EQ(parsed.address, 12);
    EXPECT_EQ(parsed.text, "X Y");
    EXPECT_EQ(g::parse_line("I7\tOK").text, "OK");
    EXPECT_EQ(g::parse_line("I7\x1c  OK").text, "  OK");  // only one separator is eaten
    EXPECT_EQ(g::parse_line("I999 ").address, 999);
    EXPECT_EQ(g::parse_line("I999 ").text, "");

    for (const std::string_view line : {"I1234 OK", "I12", "I OK", "i12 OK", " I12 OK", "I12x"}) {
        const auto none = g::parse_line(line);
        EXPECT_EQ(none.address, 0) << line;
        EXPECT_EQ(none.text, line) << line;
    }
}

TEST(ReplyGrammarWords, PythonWordBoundaries) {
    EXPECT_TRUE(g::has_word("OK", "OK"));
    EXPECT_TRUE(g::has_word("OK, moved", "OK"));
    EXPECT_TRUE(g::has_word("OKAY OK", "OK"));  // a later occurrence can match
    EXPECT_FALSE(g::has_word("NOTOK", "OK"));
    EXPECT_FALSE(g::has_word("OK_1", "OK"));
    EXPECT_FALSE(g::has_word("XM102", "M102"));
    EXPECT_FALSE(g::has_word("M1023", "M102"));
    EXPECT_FALSE(g::has_word("\xc3\xa9OK", "OK"));
    EXPECT_FALSE(g::has_word("ok", "OK"));
}

TEST(ReplyGrammarWords, ClassifyInRoutingOrder) {
    EXPECT_EQ(g::classify("NOTOK DONE"), ReplyKind::notok);
    EXPECT_EQ(g::classify("M102 OK"), ReplyKind::notok);
    EXPECT_EQ(g::classify("XM102 OK"), ReplyKind::ok);
    EXPECT_EQ(g::classify("MOVE DONE OK"), ReplyKind::done);
    EXPECT_EQ(g::classify("BAD 0x10a"), ReplyKind::ok);
    EXPECT_EQ(g::classify("OK POS $$$"), ReplyKind::ok);
    EXPECT_EQ(g::classify("POS 1 2 $$$"), ReplyKind::position);
    EXPECT_EQ(g::classify("POS 1 2 $$"), ReplyKind::other);
    EXPECT_EQ(g::classify("BADGE"), ReplyKind::other);
    EXPECT_TRUE(g::is_refusal("x BAD"));
}

TEST(ReplyGrammarRefusal, CodeSearch) {
    EXPECT_EQ(g::refusal_code("BAD 0X10A"), "0x10a");
    EXPECT_EQ(g::refusal_code("NOTBAD\t\n0xFFg"), "0xff");
    EXPECT_EQ(g::refusal_code("BAD x BAD 0x1"), "0x1");  // first occurrence that matches
    EXPECT_EQ(g::refusal_code("BAD0x10a"), std::nullopt);
    EXPECT_EQ(g::refusal_code("BAD 0x"), std::nullopt);
    EXPECT_EQ(g::refusal_code("BAD 10a"), std::nullopt);
}

TEST(ReplyGrammarRefusal, LeadershipFault) {
    const std::string advice =
        " \u2014 move the USB cable to the FIRST instrument in the chain (the LEADER) and "
        "reconnect. Leadership is not reassignable over the wire: it moves only by re-cabling "
        "and connecting USB to the intended head.";
    EXPECT_EQ(g::leadership_fault("", "0X10C"),
              "this unit already holds a FOLLOWER address" + advice);
    // The code wins over the prose.
    EXPECT_EQ(g::leadership_fault("Unauthorized USB connection", "0x10d"),
              g::leadership_codes()[3].cause.data() + advice);
    EXPECT_EQ(g::leadership_fault("BAD: Unauthorized USB connection", std::nullopt),
              "this unit is not the LEADER" + advice);
    EXPECT_EQ(g::leadership_fault("x upstream neighbor on its IN port", "0x999"),
              "this unit is not the LEADER" + advice);
    EXPECT_EQ(g::leadership_fault("NOT THE LEADER", ""), std::nullopt);
    EXPECT_EQ(g::leadership_fault("BAD", "0x10e"), std::nullopt);

    ASSERT_EQ(g::leadership_codes().size(), 4U);
    EXPECT_EQ(g::leadership_codes().front().code, "0x10a");
}

TEST(ReplyGrammarData, FirstInteger) {
    EXPECT_EQ(g::first_integer("ID 42"), 42);
    EXPECT_EQ(g::first_integer("-1"), -1);
    EXPECT_EQ(g::first_integer("a-7b 9"), -7);
    EXPECT_EQ(g::first_integer("--3"), -3);
    EXPECT_EQ(g::first_integer("- 3"), 3);
    EXPECT_EQ(g::first_integer("x"), std::nullopt);
    EXPECT_EQ(g::first_integer("0009223372036854775807"), 9223372036854775807LL);
    EXPECT_EQ(g::first_integer("-9223372036854775808"), -9223372036854775807LL - 1);
    EXPECT_EQ(g::first_integer("9223372036854775808"), std::nullopt);
}

// Expected values are what re.search("[-+]?(?:\\d+\\.?\\d*|\\.\\d+)") finds.
TEST(ReplyGrammarData, FirstNumber) {
    const std::vector<std::pair<std::string_view, std::optional<std::string_view>>> cases{
        {"POS VALVES 2 $$$", "2"},
        {"V-1.50x", "-1.50"},
        {"a+.5", "+.5"},
        {"-.x 7.", "7."},
        {"+-3", "-3"},
        {"..4", ".4"},
        {"12.3.4", "12.3"},
        {"POS $$$", std::nullopt},
        {"", std::nullopt},
        {"-+.", std::nullopt},
    };
    for (const auto& [text, number] : cases) EXPECT_EQ(g::first_number(text), number) << text;
}

TEST(ReplyGrammarData, HomedFlags) {
    using Flags = std::vector<std::pair<char, bool>>;
    EXPECT_EQ(g::homed_flags("X HOMED:1 y homed: 0"), (Flags{{'X', true}, {'Y', false}}));
    EXPECT_EQ(g::homed_flags("XY HOMED:1"), (Flags{{'Y', true}}));
    EXPECT_EQ(g::homed_flags("Z\tHoMeD:\n1"), (Flags{{'Z', true}}));
    EXPECT_EQ(g::homed_flags("HHOMED:0"), (Flags{{'H', false}}));
    EXPECT_EQ(g::homed_flags("X HOMED:2 Y HOMED 1 1HOMED:1 Z HOMED:"), Flags{});
}

TEST(ReplyGrammarData, FirmwareVersion) {
    EXPECT_TRUE(g::has_version("fw v1.2.3"));
    EXPECT_TRUE(g::has_version("-v1.2.3"));
    EXPECT_TRUE(g::has_version("xv1.2.3 v4.5.6"));
    EXPECT_FALSE(g::has_version("xv1.2.3"));
    EXPECT_FALSE(g::has_version("V1.2.3"));
    EXPECT_FALSE(g::has_version("v1.2"));
    EXPECT_FALSE(g::has_version("v1..3"));
    EXPECT_FALSE(g::has_version("v1.2."));
}

}  // namespace
