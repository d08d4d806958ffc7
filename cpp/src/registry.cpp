#include "orvak/registry.hpp"

#include <algorithm>
#include <array>
#include <sstream>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak::registry {

namespace {

constexpr std::array<ReservedCode, 2> reserved{{
    {0,
     "Instrument ID 0 is reserved and never assigned \xE2\x80\x94 a board reporting it failed "
     "to parse its own ID, or a leader could not read it"},
    {65535,
     "Instrument ID 65535 means unconfigured / safe mode \xE2\x80\x94 the unit enumerates but "
     "refuses motion until it is provisioned, so this is a commissioning problem, not an "
     "unsupported instrument"},
}};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text) {
        if (text::is_space(c)) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

bool has_word(const std::vector<std::string>& words, std::string_view word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t start = 0;
    for (auto at = text.find(from); at != std::string_view::npos; at = text.find(from, start)) {
        out.append(text.substr(start, at - start)).append(to);
        start = at + from.size();
    }
    return out.append(text.substr(start));
}

// The type code a name selects, by the first rule that matches.
std::optional<int> code_for_name(std::string_view name) {
    const std::string t = text::lower(name);
    if ((contains(t, "rotary") || contains(t, "multi")) && contains(t, "val")) {
        if (contains(t, "0.096")) return 17;
        if (contains(t, "0.052") || contains(t, "xl")) return 6;
        return 2;
    }
    if (contains(t, "xl")) {
        if (contains(t, "peri") || contains(t, "pump")) return 5;
        if (contains(t, "sol") && contains(t, "val")) return 7;
    }
    if (contains(t, "peri")) {
        const auto words = words_of(t);
        if (has_word(words, "t")) {
            if (contains(t, "3-roller") || contains(t, "3 roller")) {
                return 15;
            }
            return 10;
        }
        if (has_word(words, "p")) return 11;
        return 1;
    }
    if (contains(t, "sol") && contains(t, "val")) return 3;
    if (contains(t, "piston")) {
        const auto words = words_of(replace_all(replace_all(t, "\xC2\xB5l", " "), "ul", " "));
        if (has_word(words, "100")) return 16;
        if (contains(t, "5")) return 12;
        return 4;
    }
    if (contains(t, "gantry")) return 8;
    if (contains(t, "z") && contains(t, "stage")) return 9;
    if (contains(t, "process")) return 13;
    if (contains(t, "ventrix") || contains(t, "mfc") || contains(t, "mass flow")) {
        return 14;
    }
    return std::nullopt;
}

}  // namespace

std::span<const DriverRow> rows() { return kinds::rows(); }

std::span<const ReservedCode> reserved_codes() { return reserved; }

const DriverRow& resolve_code(long long code) {
    if (const auto* row = kinds::find(code)) return *row;
    for (const auto& entry : reserved) {
        if (entry.code == code) throw ValueError(std::string(entry.message));
    }
    throw ValueError(text::fill("Unknown instrument type code: {}", {text::integer(code)}));
}

const DriverRow& resolve_name(std::string_view name) {
    if (const auto code = code_for_name(name)) return resolve_code(*code);
    throw ValueError(text::fill("Unrecognised instrument name: {!r}", {name}));
}

const DriverRow& resolve(const Identifier& identifier) {
    if (const auto* code = std::get_if<long long>(&identifier)) return resolve_code(*code);
    return resolve_name(std::get<std::string>(identifier));
}

}  // namespace orvak::registry
