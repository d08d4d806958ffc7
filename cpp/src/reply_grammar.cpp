#include "orvak/reply_grammar.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace orvak::grammar {
namespace {

constexpr std::string_view kMoveCable =
    " \u2014 move the USB cable to the FIRST instrument in the chain (the LEADER) and "
    "reconnect. Leadership is not reassignable over the wire: it moves only by re-cabling "
    "and connecting USB to the intended head.";

// Python's \s on ASCII: the C white space plus the four information separators.
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// \b at `pos`: word-ness differs on the two sides, outside the text counting
// as non-word.
bool at_boundary(std::string_view text, std::size_t pos) {
    const bool before = pos > 0 && is_word_char(text[pos - 1]);
    const bool after = pos < text.size() && is_word_char(text[pos]);
    return before != after;
}

std::size_t skip_spaces(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_space(text[pos])) ++pos;
    return pos;
}

std::size_t skip_digits(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    return pos;
}

bool starts_with_nocase(std::string_view text, std::size_t pos, std::string_view upper) {
    if (text.size() - pos < upper.size()) return false;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        if (to_upper(text[pos + i]) != upper[i]) return false;
    }
    return true;
}

}  // namespace

// Backtracking to fewer digits never helps: the character after them would be
// a digit, not white space, so only the longest run of up to three is tried.
ParsedLine parse_line(std::string_view line) {
    if (line.empty() || line.front() != 'I') return {0, line};
    std::size_t end = 1;
    while (end < line.size() && end < 4 && is_digit(line[end])) ++end;
    if (end == 1 || end >= line.size() || !is_space(line[end])) return {0, line};
    int address = 0;
    for (std::size_t i = 1; i < end; ++i) address = address * 10 + (line[i] - '0');
    return {address, line.substr(end + 1)};
}

ReplyKind classify(std::string_view text) {
    if (contains(text, "NOTOK") || has_word(text, "M102")) return ReplyKind::notok;
    if (contains(text, "DONE")) return ReplyKind::done;
    if (is_acknowledgement(text) || is_refusal(text)) return ReplyKind::ok;
    if (is_position_report(text)) return ReplyKind::position;
    return ReplyKind::other;
}

// Bytes of multi-byte UTF-8 count as word characters, which is right for the
// letters that appear in replies (Python treats é as a word character) though
// not for non-ASCII punctuation.
bool is_word_char(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || c == '_' || is_digit(c) || (c >= 'a' && c <= 'z') ||
           (c >= 'A' && c <= 'Z');
}

bool has_word(std::string_view text, std::string_view word) {
    for (std::size_t pos = text.find(word); pos != std::string_view::npos;
         pos = text.find(word, pos + 1)) {
        if (at_boundary(text, pos) && at_boundary(text, pos + word.size())) return true;
    }
    return false;
}

bool is_refusal(std::string_view text) { return has_word(text, "BAD"); }

bool is_acknowledgement(std::string_view text) { return has_word(text, "OK"); }

bool is_position_report(std::string_view text) {
    return contains(text, "POS") && contains(text, "$$$");
}

std::optional<std::string> refusal_code(std::string_view reply) {
    for (std::size_t pos = reply.find("BAD"); pos != std::string_view::npos;
         pos = reply.find("BAD", pos + 1)) {
        const std::size_t code = skip_spaces(reply, pos + 3);
        if (code == pos + 3 || reply.size() - code < 3) continue;
        if (reply[code] != '0' || to_lower(reply[code + 1]) != 'x' ||
            !is_hex_digit(reply[code + 2]))
            continue;
        std::size_t end = code + 2;
        while (end < reply.size() && is_hex_digit(reply[end])) ++end;
        std::string out(reply.substr(code, end - code));
        for (char& c : out) c = to_lower(c);
        return out;
    }
    return std::nullopt;
}

std::optional<std::string> leadership_fault(std::string_view reply,
                                            std::optional<std::string_view> code) {
    std::string_view cause;
    if (code && !code->empty()) {
        std::string wanted(*code);
        for (char& c : wanted) c = to_lower(c);
        for (const LeadershipCode& entry : leadership_codes()) {
            if (entry.code == wanted) {
                cause = entry.cause;
                break;
            }
        }
    }
    if (cause.empty() && !reply.empty()) {
        for (const std::string_view phrase : leadership_prose()) {
            if (contains(reply, phrase)) {
                cause = "this unit is not the LEADER";
                break;
            }
        }
    }
    if (cause.empty()) return std::nullopt;
    std::string out(cause);
    out += kMoveCable;
    return out;
}

const std::vector<LeadershipCode>& leadership_codes() {
    static const std::vector<LeadershipCode> codes{
        {"0x10a", "a command for the LEADER arrived on a FOLLOWER's USB port"},
        {"0x10b", "a forward-to-follower was requested on a FOLLOWER's USB port"},
        {"0x10c", "this unit already holds a FOLLOWER address"},
        {"0x10d", "this unit has a live upstream neighbour, so it is not the head of the chain"},
    };
    return codes;
}

const std::vector<std::string_view>& leadership_prose() {
    static const std::vector<std::string_view> phrases{
        "not the LEADER",
        "Unauthorized USB connection",
        "already assigned a FOLLOWER role",
        "upstream neighbor on its IN port",
    };
    return phrases;
}

// The leftmost match starts at the first digit, or at the '-' just before it.
// A value beyond the 64-bit range gives nullopt rather than a clipped number.
std::optional<long long> first_integer(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && !is_digit(text[start])) ++start;
    if (start == text.size()) return std::nullopt;
    const std::size_t end = skip_digits(text, start);
    if (start > 0 && text[start - 1] == '-') --start;
    long long value = 0;
    const auto [ptr, error] = std::from_chars(text.data() + start, text.data() + end, value);
    if (error != std::errc{} || ptr != text.data() + end) return std::nullopt;
    return value;
}

// Matches cannot overlap or be empty, so after a match the scan resumes at its
// end and after a failure at the next character, as re.finditer does.
std::vector<std::pair<char, bool>> homed_flags(std::string_view text) {
    std::vector<std::pair<char, bool>> flags;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char axis = to_upper(text[pos]);
        if (axis >= 'A' && axis <= 'Z') {
            std::size_t at = skip_spaces(text, pos + 1);
            if (starts_with_nocase(text, at, "HOMED:")) {
                at = skip_spaces(text, at + 6);
                if (at < text.size() && (text[at] == '0' || text[at] == '1')) {
                    flags.emplace_back(axis, text[at] == '1');
                    pos = at + 1;
                    continue;
                }
            }
        }
        ++pos;
    }
    return flags;
}

bool has_version(std::string_view text) {
    for (std::size_t pos = text.find('v'); pos != std::string_view::npos;
         pos = text.find('v', pos + 1)) {
        if (pos > 0 && is_word_char(text[pos - 1])) continue;
        // Three digit runs separated by single dots.
        std::size_t at = pos + 1;
        bool ok = true;
        for (int part = 0; part < 3 && ok; ++part) {
            if (part > 0) {
                ok = at < text.size() && text[at] == '.';
                ++at;
            }
            const std::size_t end = skip_digits(text, at);
            ok = ok && end > at;
            at = end;
        }
        if (ok) return true;
    }
    return false;
}

namespace {

constexpr std::size_t npos = std::string_view::npos;

// The end of "[-+]?(?:\d+\.?\d*|\.\d+)" matched at `pos`, or npos. Every part
// is greedy and a failed part cannot be rescued by giving characters back, so
// the first successful reading is the one the regular expression finds.
std::size_t number_end(std::string_view text, std::size_t pos) {
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
    if (pos < text.size() && is_digit(text[pos])) {
        pos = skip_digits(text, pos);
        if (pos < text.size() && text[pos] == '.') pos = skip_digits(text, pos + 1);
        return pos;
    }
    if (pos + 1 < text.size() && text[pos] == '.' && is_digit(text[pos + 1])) {
        return skip_digits(text, pos + 1);
    }
    return npos;
}

// The end of an exponent ("e-3", "E+12") at `pos`, or `pos` when none is there.
std::size_t exponent_end(std::string_view text, std::size_t pos) {
    if (pos >= text.size() || (text[pos] != 'e' && text[pos] != 'E')) return pos;
    std::size_t at = pos + 1;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    const std::size_t end = skip_digits(text, at);
    return end > at ? end : pos;
}

// Whether an unsigned number text beyond the double range is too large (not
// too small): its decimal order, the place of its first significant digit
// plus its exponent, is then positive.
bool beyond_large(std::string_view text) {
    const std::size_t e = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, e);
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_not_of("0.");
    if (first == npos) return false;
    long long order = first < point ? static_cast<long long>(point - first)
                                    : -static_cast<long long>(first - point - 1);
    if (e != npos) {
        std::string_view digits = text.substr(e + 1);
        const bool negative = digits.front() == '-';
        if (digits.front() == '-' || digits.front() == '+') digits.remove_prefix(1);
        long long exponent = 0;
        // Far beyond any double's order, the exact exponent no longer matters.
        for (const char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000LL);
        order += negative ? -exponent : exponent;
    }
    return order > 0;
}

// float() of a matched number. Beyond the double range a large number reads
// as infinity and a tiny one as zero, as Python reads them.
double decimal_value(std::string_view text) {
    const bool negative = text.front() == '-';
    if (text.front() == '-' || text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
        value = beyond_large(text) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

}  // namespace

std::optional<double> axis_value(std::string_view reply, std::string_view axis) {
    for (auto at = reply.find(axis); at != npos; at = reply.find(axis, at + 1)) {
        const std::size_t start = skip_spaces(reply, at + axis.size());
        const std::size_t end = number_end(reply, start);
        if (end == npos) continue;
        const double value = decimal_value(reply.substr(start, exponent_end(reply, end) - start));
        if (!std::isfinite(value)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

// The leftmost position where the number matches, as re.search finds it.
std::optional<std::string_view> first_number(std::string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::size_t end = number_end(text, at);
        if (end != npos) return text.substr(at, end - at);
    }
    return std::nullopt;
}

std::vector<std::string_view> integer_texts(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const bool sign = text[pos] == '-' && pos + 1 < text.size() && is_digit(text[pos + 1]);
        if (!sign && !is_digit(text[pos])) {
            ++pos;
            continue;
        }
        const std::size_t end = skip_digits(text, sign ? pos + 1 : pos);
        found.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return found;
}

std::vector<std::pair<char, std::string_view>> letter_fields(std::string_view text,
                                                             std::string_view letters) {
    const auto field_char = [](char c) { return c == '.' || is_word_char(c); };
    std::vector<std::pair<char, std::string_view>> fields;
    std::size_t pos = 0;
    while (pos + 1 < text.size()) {
        if (letters.find(text[pos]) == npos || text[pos + 1] != ':') {
            ++pos;
            continue;
        }
        const std::size_t start = skip_spaces(text, pos + 2);
        std::size_t end = start;
        if (end + 1 < text.size() && text[end] == '-' && field_char(text[end + 1])) ++end;
        while (end < text.size() && field_char(text[end])) ++end;
        if (end == start) {
            ++pos;
            continue;
        }
        fields.emplace_back(text[pos], text.substr(start, end - start));
        pos = end;
    }
    return fields;
}

std::optional<std::string_view> labelled_token(std::string_view text, std::string_view label,
                                               std::string_view prefix, Token token) {
    const auto wanted = [token](char c) {
        switch (token) {
            case Token::digits:
                return is_digit(c);
            case Token::hex_digits:
                return is_hex_digit(c);
            case Token::non_space:
                return !is_space(c);
        }
        return false;
    };
    for (auto at = text.find(label); at != npos; at = text.find(label, at + 1)) {
        const std::size_t start = skip_spaces(text, at + label.size());
        if (text.substr(start, prefix.size()) != prefix) continue;
        const std::size_t from = start + prefix.size();
        std::size_t end = from;
        while (end < text.size() && wanted(text[end])) ++end;
        if (end > from) return text.substr(from, end - from);
    }
    return std::nullopt;
}

std::optional<long long> decimal_integer(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_digit(text[i])) {
            digits += text[i];
        } else if (text[i] != '_' || i == 0 || i + 1 == text.size() || !is_digit(text[i - 1]) ||
                   !is_digit(text[i + 1])) {
            return std::nullopt;
        }
    }
    if (digits.empty()) return std::nullopt;
    if (negative) digits.insert(digits.begin(), '-');
    long long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace orvak::grammar
