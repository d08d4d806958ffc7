// Text formatting that matches what Python prints, so that command lines and
// messages read the same as the language our users script in.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "orvak/export.hpp"

namespace orvak::text {

// repr(float): the shortest text that reads back as the same double, at least
// one digit after the point, exponent form below 1e-4 and from 1e16 up
// ("0.25", "500.0", "1e-05", "1e+16", "inf", "nan", "-0.0").
ORVAK_EXPORT std::string number(double value);

// str(int).
ORVAK_EXPORT std::string integer(long long value);

// format(value, ".Nf") and format(value, ".Ng").
ORVAK_EXPORT std::string fixed(double value, int precision);
ORVAK_EXPORT std::string general(double value, int precision);

// round(value, ndigits): to the nearest multiple of 10**-ndigits, computed from
// the exact binary value with ties to even, as Python rounds. Throws
// std::overflow_error when the result is too large for a double.
ORVAK_EXPORT double round_to(double value, int ndigits);

// repr(str) of UTF-8 text: quotes chosen and characters escaped as Python does.
ORVAK_EXPORT std::string repr(std::string_view utf8);

// The wait flag of a motion command: W1 or W0 carry "1" or "0".
inline std::string_view wait_flag(bool wait) { return wait ? "1" : "0"; }

// str.strip() for the white space a wire line can hold.
ORVAK_EXPORT std::string_view strip(std::string_view text);
ORVAK_EXPORT bool is_space(char c);

// str.lower() for ASCII letters; other bytes unchanged.
ORVAK_EXPORT std::string lower(std::string_view text);

// str.upper() for ASCII letters; other bytes unchanged.
inline std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// Fills "{}" placeholders in order, and "{!r}" with repr() of the argument.
// Missing arguments leave the placeholder empty; extra arguments are ignored.
ORVAK_EXPORT std::string fill(std::string_view pattern,
                              std::initializer_list<std::string_view> args);

}  // namespace orvak::text
