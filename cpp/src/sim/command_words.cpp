#include "command_words.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "orvak/pytext.hpp"

namespace orvak::sim::detail {

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text::is_space(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !text::is_space(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::optional<double> parse_number(std::string_view word) {
    if (word.empty()) return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<Arg> parse_arg(std::string_view word) {
    if (word.empty() || !is_letter(word.front())) return std::nullopt;
    Arg arg{upper(word.front()), std::nullopt};
    const std::string_view number = word.substr(1);
    if (number.empty()) return arg;
    arg.value = parse_number(number);
    if (!arg.value) return std::nullopt;
    return arg;
}

std::optional<double> detail_number(const DetailValue& value) {
    if (const auto* real = std::get_if<double>(&value)) return *real;
    if (const auto* whole = std::get_if<long long>(&value)) return static_cast<double>(*whole);
    return std::nullopt;
}

std::optional<long long> detail_integer(const DetailValue& value) {
    if (const auto* whole = std::get_if<long long>(&value)) return *whole;
    return std::nullopt;
}

std::optional<std::vector<double>> detail_numbers(const DetailValue& value) {
    if (const auto* reals = std::get_if<std::vector<double>>(&value)) return *reals;
    if (const auto* wholes = std::get_if<std::vector<long long>>(&value)) {
        return std::vector<double>(wholes->begin(), wholes->end());
    }
    return std::nullopt;
}

}  // namespace orvak::sim::detail
