#include "orvak/pytext.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace orvak::text {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

// Python spells non-finite values the same in repr() and format(); glibc would
// print "-nan" for a NaN with the sign bit set.
std::optional<std::string> non_finite(double value) {
    if (std::isnan(value)) return std::string("nan");
    if (std::isinf(value)) return std::string(value < 0 ? "-inf" : "inf");
    return std::nullopt;
}

// printf into a string sized by a first measuring call, so any precision works.
std::string printf_double(const char* format, int precision, double value) {
    const int size = std::snprintf(nullptr, 0, format, precision, value);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, precision, value);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

// Code points str.isprintable() rejects besides the unassigned ones: controls,
// format characters, separators other than ' ' and private use (Unicode 14,
// as in CPython 3.11). Unassigned code points are kept as they are.
struct CodeRange {
    char32_t first;
    char32_t last;
};
constexpr std::array<CodeRange, 27> kNonPrintable{{
    {0x80, 0xa0},       {0xad, 0xad},       {0x600, 0x605},       {0x61c, 0x61c},
    {0x6dd, 0x6dd},     {0x70f, 0x70f},     {0x890, 0x891},       {0x8e2, 0x8e2},
    {0x1680, 0x1680},   {0x180e, 0x180e},   {0x2000, 0x200f},     {0x2028, 0x202f},
    {0x205f, 0x2064},   {0x2066, 0x206f},   {0x3000, 0x3000},     {0xe000, 0xf8ff},
    {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd},   {0x110cd, 0x110cd},
    {0x13430, 0x13438}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},   {0xe0001, 0xe0001},
    {0xe0020, 0xe007f}, {0xf0000, 0xffffd}, {0x100000, 0x10fffd},
}};

bool is_printable(char32_t cp) {
    if (cp < 0x20 || cp == 0x7f) return false;
    for (const CodeRange& r : kNonPrintable) {
        if (cp < r.first) return true;
        if (cp <= r.last) return false;
    }
    return true;
}

// Python's escape: \xNN below 0x100, \uNNNN in the BMP, \UNNNNNNNN above.
void append_escape(std::string& out, char32_t cp) {
    int digits = 8;
    if (cp < 0x100) {
        out += "\\x";
        digits = 2;
    } else if (cp < 0x10000) {
        out += "\\u";
        digits = 4;
    } else {
        out += "\\U";
    }
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kHexDigits[(cp >> shift) & 0xf];
    }
}

// Length of the well-formed UTF-8 sequence at the start of `s` (rejecting
// overlong forms, surrogates and values above U+10FFFF), or 0 if there is none.
std::size_t utf8_sequence(std::string_view s, char32_t& cp) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        cp = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        cp = lead & 0x0f;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(i);
        // Only the second byte has a narrowed range; the rest are plain continuations.
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xbf)) return 0;
        cp = (cp << 6) | (b & 0x3f);
    }
    return length;
}

}  // namespace

std::string number(double value) {
    if (auto special = non_finite(value)) return *special;

    // Shortest round-trip digits, as "[-]d[.ddd]e±XX".
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::scientific);
    const std::string_view sci(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));

    const bool negative = sci.front() == '-';
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (const char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    // from_chars does not take a leading '+'.
    const std::size_t skip = exp_text.front() == '+' ? 1 : 0;
    std::from_chars(exp_text.data() + skip, exp_text.data() + exp_text.size(), exponent);

    std::string out = negative ? "-" : "";
    const int ndigits = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out += digits;
        } else if (point >= ndigits) {
            out += digits;
            out.append(static_cast<std::size_t>(point - ndigits), '0');
            out += ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(point));
            out += '.';
            out += digits.substr(static_cast<std::size_t>(point));
        }
        return out;
    }
    out += digits.front();
    if (ndigits > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
    return out;
}

std::string integer(long long value) { return std::to_string(value); }

// glibc rounds the exact binary value half-even and prints "-0.0" for negative
// zero, as Python's formatter does; only the non-finite spellings differ.
// A negative precision is taken as 0.
std::string fixed(double value, int precision) {
    if (auto special = non_finite(value)) return *special;
    return printf_double("%.*f", precision < 0 ? 0 : precision, value);
}

// C's %g and Python's 'g' share the rules: precision 0 means 1, fixed notation
// when -4 <= exponent < precision, trailing zeros dropped, two-digit exponents.
std::string general(double value, int precision) {
    if (auto special = non_finite(value)) return *special;
    return printf_double("%.*g", precision < 1 ? 1 : precision, value);
}

double round_to(double value, int ndigits) {
    if (!std::isfinite(value) || value == 0.0) return value;
    // Beyond these a double's digits end (Python answers the same way).
    if (ndigits > 323) return value;
    if (ndigits < -308) return std::copysign(0.0, value);
    if (ndigits >= 0) return std::strtod(fixed(value, ndigits).c_str(), nullptr);
    // Rounding left of the point: take the exact decimal expansion (a double
    // has at most 1074 fraction digits) and round its integer digits by hand.
    const std::string exact = printf_double("%.*f", 1074, std::fabs(value));
    const std::size_t point = exact.find('.');
    const std::string whole = exact.substr(0, point);
    const auto keep = static_cast<std::ptrdiff_t>(whole.size()) + ndigits;
    if (keep < 0) return std::copysign(0.0, value);
    std::string digits = "0" + whole.substr(0, static_cast<std::size_t>(keep));
    const std::string dropped = whole.substr(static_cast<std::size_t>(keep));
    const bool fraction_zero = exact.find_first_not_of('0', point + 1) == std::string::npos;
    const bool above_half =
        !dropped.empty() &&
        (dropped[0] > '5' ||
         (dropped[0] == '5' &&
          (dropped.find_first_not_of('0', 1) != std::string::npos || !fraction_zero)));
    const bool tie = !dropped.empty() && dropped[0] == '5' &&
                     dropped.find_first_not_of('0', 1) == std::string::npos && fraction_zero;
    const bool odd = (digits.back() - '0') % 2 == 1;
    if (above_half || (tie && odd)) {
        auto at = digits.size();
        while (at-- > 0) {
            if (digits[at] == '9') {
                digits[at] = '0';
            } else {
                ++digits[at];
                break;
            }
        }
    }
    digits.append(static_cast<std::size_t>(-ndigits), '0');
    const double result = std::strtod(digits.c_str(), nullptr);
    if (std::isinf(result)) throw std::overflow_error("rounded value too large to represent");
    return std::copysign(result, value);
}

std::string repr(std::string_view utf8) {
    const bool has_single = utf8.find('\'') != std::string_view::npos;
    const bool has_double = utf8.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';

    std::string out;
    out.reserve(utf8.size() + 2);
    out += quote;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const char c = utf8[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            if (c == quote || c == '\\') {
                out += '\\';
                out += c;
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c == '\t') {
                out += "\\t";
            } else if (byte < 0x20 || byte == 0x7f) {
                append_escape(out, byte);
            } else {
                out += c;
            }
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t length = utf8_sequence(utf8.substr(i), cp);
        if (length == 0) {
            // Not decodable: show the raw byte rather than dropping it.
            append_escape(out, byte);
            ++i;
        } else {
            if (is_printable(cp)) {
                out.append(utf8.substr(i, length));
            } else {
                append_escape(out, cp);
            }
            i += length;
        }
    }
    out += quote;
    return out;
}

bool is_space(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case '\x1c':
        case '\x1d':
        case '\x1e':
        case '\x1f':
            return true;
        default:
            return false;
    }
}

std::string_view strip(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(pattern.size());
    auto next = args.begin();
    const auto take = [&]() -> std::string_view {
        return next == args.end() ? std::string_view{} : *next++;
    };
    std::size_t i = 0;
    while (i < pattern.size()) {
        const std::string_view rest = pattern.substr(i);
        if (rest.starts_with("{{") || rest.starts_with("}}")) {
            out += rest.front();
            i += 2;
        } else if (rest.starts_with("{}")) {
            out += take();
            i += 2;
        } else if (rest.starts_with("{!r}")) {
            // A missing argument stays empty, not "''".
            const bool present = next != args.end();
            const std::string_view arg = take();
            if (present) out += repr(arg);
            i += 4;
        } else {
            out += rest.front();
            ++i;
        }
    }
    return out;
}

}  // namespace orvak::text
