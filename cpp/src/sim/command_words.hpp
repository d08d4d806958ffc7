// Reading command lines the way module firmware does: words split on white
// space, and argument words made of a letter and an optional number.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/sim/codes.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim::detail {

std::vector<std::string_view> words_of(std::string_view text);

bool is_letter(char c);
char upper(char c);

// An argument word: a letter, optionally followed by a finite number.
struct Arg {
    char letter;
    std::optional<double> value;
};
std::optional<Arg> parse_arg(std::string_view word);

// A finite number written alone ("12.5", "-3"), as firmware reads one.
std::optional<double> parse_number(std::string_view word);

inline std::string refusal(std::string_view code) { return "BAD " + std::string(code); }

// A settable detail's value as a number (an int or a float), or as a whole
// number (an int); empty for a value of another kind.
std::optional<double> detail_number(const DetailValue& value);
std::optional<long long> detail_integer(const DetailValue& value);
// A list of numbers (ints, floats or both).
std::optional<std::vector<double>> detail_numbers(const DetailValue& value);

}  // namespace orvak::sim::detail
