// The reply-line grammar of the chain: addresses, reply kinds, refusal codes
// and the small data formats the base commands answer with. Pure functions,
// no allocation beyond the returned values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvak/export.hpp"

namespace orvak::grammar {

// "^I(\d{1,3})\s": address and the text after the single white-space
// character; address 0 and the whole line when the line has no prefix.
struct ParsedLine {
    int address = 0;
    std::string_view text;
};
ORVAK_EXPORT ParsedLine parse_line(std::string_view line);

// Which reply slot a reply text belongs to, tested in routing order.
enum class ReplyKind { notok, done, ok, position, other };
ORVAK_EXPORT ReplyKind classify(std::string_view text);

// "\bWORD\b" with Python's word characters (letters, digits, underscore).
ORVAK_EXPORT bool has_word(std::string_view text, std::string_view word);
ORVAK_EXPORT bool is_word_char(char c);

ORVAK_EXPORT bool is_refusal(std::string_view text);          // \bBAD\b
ORVAK_EXPORT bool is_acknowledgement(std::string_view text);  // \bOK\b
ORVAK_EXPORT bool is_position_report(std::string_view text);  // "POS" and "$$$"

// "BAD\s+(0[xX][0-9a-fA-F]+)" searched anywhere; the code in lower case.
ORVAK_EXPORT std::optional<std::string> refusal_code(std::string_view reply);

// Operator-facing reason when a refusal means the USB port is not on the
// chain's leader: the coded form first, then the phrases of older firmware.
ORVAK_EXPORT std::optional<std::string> leadership_fault(std::string_view reply,
                                                         std::optional<std::string_view> code);

struct LeadershipCode {
    std::string_view code;
    std::string_view cause;
};
ORVAK_EXPORT const std::vector<LeadershipCode>& leadership_codes();
ORVAK_EXPORT const std::vector<std::string_view>& leadership_prose();

// "-?\d+": the first integer in the text, if any (and if it fits 64 bits).
ORVAK_EXPORT std::optional<long long> first_integer(std::string_view text);

// "([A-Z])\s*HOMED:\s*([01])", case-insensitive: (upper-case axis, flag) per match.
ORVAK_EXPORT std::vector<std::pair<char, bool>> homed_flags(std::string_view text);

// "\bv\d+\.\d+\.\d+": a firmware version is present.
ORVAK_EXPORT bool has_version(std::string_view text);

// "{axis}\s*([-+]?(?:\d+\.?\d*|\.\d+))" searched anywhere, its number read as
// float() reads it: the value after the axis letter in a position reply. An
// exponent that runs on from the number ("X1e-3") is part of it, and a
// number that is not finite ("X1e999") is no reading: the first match decides,
// so such a reply is unparseable rather than read as its mantissa.
ORVAK_EXPORT std::optional<double> axis_value(std::string_view reply, std::string_view axis);
// The pattern axis_value searches (before the exponent), as a template whose
// "{}" takes the escaped axis.
inline constexpr std::string_view axis_value_template = R"({}\s*([-+]?(?:\d+\.?\d*|\.\d+)))";

// "[-+]?(?:\d+\.?\d*|\.\d+)" searched anywhere: the first number in the text,
// as written there.
ORVAK_EXPORT std::optional<std::string_view> first_number(std::string_view text);
inline constexpr std::string_view first_number_pattern = R"([-+]?(?:\d+\.?\d*|\.\d+))";

// "-?\d+": every integer in the text, in order, exactly as written (a leading
// zero stays).
ORVAK_EXPORT std::vector<std::string_view> integer_texts(std::string_view text);

// "([<letters>]):\s*(-?[\w.]+)": (letter, field) per match, in order; the
// measurement fields of a data line such as "C1 X: 250 Y: 2431".
ORVAK_EXPORT std::vector<std::pair<char, std::string_view>> letter_fields(std::string_view text,
                                                                          std::string_view letters);

// The token of "<label>\s*<prefix>(<token>)" searched anywhere: "code:\s*(\d+)"
// is labelled_token(text, "code:", "", Token::digits).
enum class Token { digits, hex_digits, non_space };
ORVAK_EXPORT std::optional<std::string_view> labelled_token(std::string_view text,
                                                            std::string_view label,
                                                            std::string_view prefix, Token token);

// int() of a decimal text: an optional sign, then digits with single
// underscores between them. Empty when int() would refuse the text, or when
// the value does not fit 64 bits.
ORVAK_EXPORT std::optional<long long> decimal_integer(std::string_view text);

}  // namespace orvak::grammar
