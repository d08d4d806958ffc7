// Expected values are what CPython 3.11 prints for the same input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "orvak/pytext.hpp"

namespace t = orvak::text;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

TEST(PyTextNumber, FixedRangeKeepsAPointAndShortestDigits) {
    EXPECT_EQ(t::number(0.25), "0.25");
    EXPECT_EQ(t::number(500.0), "500.0");
    EXPECT_EQ(t::number(0.0001), "0.0001");
    EXPECT_EQ(t::number(123456789012345.0), "123456789012345.0");
    EXPECT_EQ(t::number(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(t::number(1.0 / 12), "0.08333333333333333");
    EXPECT_EQ(t::number(5.0 / 12), "0.4166666666666667");
    EXPECT_EQ(t::number(5 * (1.0 / 12)), "0.41666666666666663");
    EXPECT_EQ(t::number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(t::number(-123.456), "-123.456");
}

TEST(PyTextNumber, ExponentFormOutsideTheFixedRange) {
    EXPECT_EQ(t::number(1e-5), "1e-05");
    EXPECT_EQ(t::number(0.00009999), "9.999e-05");
    EXPECT_EQ(t::number(1.5e-7), "1.5e-07");
    EXPECT_EQ(t::number(1e16), "1e+16");
    EXPECT_EQ(t::number(-1.2345e20), "-1.2345e+20");
    EXPECT_EQ(t::number(5e-324), "5e-324");
    EXPECT_EQ(t::number(1.7976931348623157e308), "1.7976931348623157e+308");
}

TEST(PyTextNumber, ZerosAndNonFinite) {
    EXPECT_EQ(t::number(0.0), "0.0");
    EXPECT_EQ(t::number(-0.0), "-0.0");
    EXPECT_EQ(t::number(kInf), "inf");
    EXPECT_EQ(t::number(-kInf), "-inf");
    EXPECT_EQ(t::number(kNaN), "nan");
    EXPECT_EQ(t::number(-kNaN), "nan");
    EXPECT_EQ(t::integer(-9223372036854775807LL - 1), "-9223372036854775808");
}

TEST(PyTextFormat, FixedRoundsTheBinaryValueHalfEven) {
    EXPECT_EQ(t::fixed(2.5, 0), "2");
    EXPECT_EQ(t::fixed(3.5, 0), "4");
    EXPECT_EQ(t::fixed(0.125, 2), "0.12");
    EXPECT_EQ(t::fixed(2.675, 2), "2.67");  // 2.675 is stored just below
    EXPECT_EQ(t::fixed(-0.04, 1), "-0.0");
    EXPECT_EQ(t::fixed(-0.0, 0), "-0");
    EXPECT_EQ(t::fixed(0.1, 30), "0.100000000000000005551115123126");
    EXPECT_EQ(t::fixed(-kInf, 2), "-inf");
    EXPECT_EQ(t::fixed(-kNaN, 2), "nan");
}

TEST(PyTextFormat, GeneralSwitchesNotationLikePython) {
    EXPECT_EQ(t::general(1234.5, 3), "1.23e+03");
    EXPECT_EQ(t::general(0.0001, 3), "0.0001");
    EXPECT_EQ(t::general(1e-5, 3), "1e-05");
    EXPECT_EQ(t::general(100.0, 3), "100");
    EXPECT_EQ(t::general(99.95, 3), "100");
    EXPECT_EQ(t::general(123456789.0, 3), "1.23e+08");
    EXPECT_EQ(t::general(1e16, 17), "10000000000000000");
    EXPECT_EQ(t::general(25.0, 0), "2e+01");
    EXPECT_EQ(t::general(-0.0, 3), "-0");
}

TEST(PyTextRepr, ChoosesQuotesAndEscapesAscii) {
    EXPECT_EQ(t::repr(""), "''");
    EXPECT_EQ(t::repr("it's"), "\"it's\"");
    EXPECT_EQ(t::repr("both ' \""), "'both \\' \"'");
    EXPECT_EQ(t::repr("say \"hi\""), "'say \"hi\"'");
    EXPECT_EQ(t::repr("a\\b\n\r\t"), "'a\\\\b\\n\\r\\t'");
    EXPECT_EQ(t::repr(std::string_view("\0\x1b\x7f", 3)), "'\\x00\\x1b\\x7f'");
}

TEST(PyTextRepr, EscapesNonPrintableCodePointsOnly) {
    EXPECT_EQ(t::repr("\u00e9\u4e2d\U0001F600"), "'\u00e9\u4e2d\U0001F600'");
    EXPECT_EQ(t::repr("\u0085\u00a0\u00ad"), "'\\x85\\xa0\\xad'");
    EXPECT_EQ(t::repr("\u200b\u2028\u3000\ufeff"), "'\\u200b\\u2028\\u3000\\ufeff'");
    EXPECT_EQ(t::repr("\U000e0001\U00100000"), "'\\U000e0001\\U00100000'");
}

TEST(PyTextRepr, InvalidUtf8BytesAreShownOneByOne) {
    EXPECT_EQ(t::repr("a\xff"), "'a\\xff'");
    EXPECT_EQ(t::repr("\xc3"), "'\\xc3'");                    // truncated sequence
    EXPECT_EQ(t::repr("\xc0\xaf"), "'\\xc0\\xaf'");           // overlong '/'
    EXPECT_EQ(t::repr("\xed\xa0\x80"), "'\\xed\\xa0\\x80'");  // surrogate
    EXPECT_EQ(t::repr("\xe4\xb8!"), "'\\xe4\\xb8!'");
}

TEST(PyTextStrings, StripLowerAndSpaceSet) {
    EXPECT_EQ(t::strip(" \t\n\v\f\r\x1c\x1f ok go \x1d\x1e"), "ok go");
    EXPECT_EQ(t::strip(" \t "), "");
    EXPECT_EQ(t::strip("\x1b x"), "\x1b x");
    EXPECT_FALSE(t::is_space('\x1b'));
    EXPECT_EQ(t::lower("AbZ-\xc3\x89@["), "abz-\xc3\x89@[");
}

TEST(PyTextFill, PlaceholdersBracesAndMissingArguments) {
    EXPECT_EQ(t::fill("{} of {!r}", {"port", "it's"}), "port of \"it's\"");
    EXPECT_EQ(t::fill("{{}} {} }}{{", {"x"}), "{} x }{");
    EXPECT_EQ(t::fill("[{}|{!r}|{}]", {"a"}), "[a||]");
    EXPECT_EQ(t::fill("{}", {"a", "b"}), "a");
    EXPECT_EQ(t::fill("{x} {", {"a"}), "{x} {");
}

}  // namespace
