#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvak/instruments/probe_catalogue.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {
namespace {

using probes::Catalogue;
using probes::CatalogueRow;

TEST(ProbeCatalogue, RowsThatGiveOneArticleTwoFamiliesMakeNoCatalogue) {
    const std::array<CatalogueRow, 3> rows{{
        {"243590-1111", "COND", std::nullopt, 120},
        {"243061", "ORP", std::nullopt, 225},
        {"243590-2222", "pH", std::nullopt, 120},
    }};
    try {
        const Catalogue catalogue(rows);
        FAIL() << "a catalogue was built";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "article 243590 maps to >1 sensor (COND and pH)");
    }
    // The same family twice is consistent.
    const std::array<CatalogueRow, 2> good{{rows[0], {"243590-3", "COND", std::nullopt, 30}}};
    const Catalogue catalogue(good);
    ASSERT_EQ(catalogue.articles().size(), 1U);
    EXPECT_EQ(catalogue.articles()[0].article, "243590");
}

TEST(ProbeCatalogue, LongestPrefixThenFamily) {
    const std::array<CatalogueRow, 4> rows{{
        {"1-2", "pH", probes::Variant{"glass", "H"}, 120},
        {"1-23", "pH", probes::Variant{"glass", "HB"}, 225},
        {"1-24", "pH", std::nullopt, 325},
        {"1-2", "pH", std::nullopt, 999},  // as long as the first: the first stays
    }};
    const Catalogue catalogue(rows);
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"1-2399", "pH Probe, HB glass, 225 mm long"},
        {"1-2099", "pH Probe, H glass, 120 mm long"},
        {"1-3", "pH Probe"},  // family only
        {"1", "pH Probe"},
        {"2-2", "Unknown probe or no connection"},
        {"", "Unknown probe or no connection"},
    };
    for (const auto& [identity, description] : cases) {
        EXPECT_EQ(catalogue.describe(identity), description) << identity;
    }
    const auto family = catalogue.lookup("1-9");
    ASSERT_TRUE(family);
    EXPECT_TRUE(family->by_article());
    EXPECT_EQ(family->ref, "1");
    EXPECT_EQ(catalogue.sensor_name("7-1"), "--");
}

TEST(MeasurementGrammar, FieldsAndIntegersAsTheBoardsWriteThem) {
    using grammar::decimal_integer;
    const auto fields =
        grammar::letter_fields("C1 X: 250 Y:-2431 Z: 25.0 W: ERR X:9 Q: 1 Y: -", "XYZW");
    const std::vector<std::pair<char, std::string_view>> expected{
        {'X', "250"}, {'Y', "-2431"}, {'Z', "25.0"}, {'W', "ERR"}, {'X', "9"}};
    EXPECT_EQ(fields, expected);

    const std::vector<std::string_view> integers{"242428", "0211", "-42842", "-7"};
    EXPECT_EQ(grammar::integer_texts("POS ID:242428 HI:0211 LO:-42842 $$$ --7"), integers);

    EXPECT_EQ(decimal_integer("-250"), -250);
    EXPECT_EQ(decimal_integer("+7"), 7);
    EXPECT_EQ(decimal_integer("1_000"), 1000);
    for (const std::string_view bad :
         {"12.5", "ERR", "", "-", "1__0", "_1", "1_", "99999999999999999999"}) {
        EXPECT_FALSE(decimal_integer(bad)) << bad;
    }
    EXPECT_EQ(
        grammar::labelled_token("STATUS: 0x2F FAULT", "STATUS:", "0x", grammar::Token::hex_digits),
        "2F");
    EXPECT_EQ(grammar::labelled_token("code: x code:  785", "code:", "", grammar::Token::digits),
              "785");
    EXPECT_FALSE(grammar::labelled_token("SERIAL:   ", "SERIAL:", "", grammar::Token::non_space));
}

}  // namespace
}  // namespace orvak
