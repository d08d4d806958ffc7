// The readers of numbers in reply texts against regular expressions of the
// same patterns, evaluated by std::regex, with values read as Python reads
// them: "-?\d+" (first_integer), "([A-Z])\s*HOMED:\s*([01])" ignoring case
// (homed_flags), "\bv\d+\.\d+\.\d+" (has_version) and
// "{axis}\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)" read by float(), no
// reading when that is not finite (axis_value).
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "orvak/reply_grammar.hpp"

namespace {

namespace g = orvak::grammar;
using orvak::fuzz::require;
using orvak::fuzz::space_class;

std::optional<long long> expected_integer(const std::string& text) {
    static const std::regex pattern("-?[0-9]+");
    std::smatch m;
    if (!std::regex_search(text, m, pattern)) return std::nullopt;
    errno = 0;
    const long long value = std::strtoll(m.str().c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;  // Python would give a big int
    return value;
}

std::vector<std::pair<char, bool>> expected_flags(const std::string& text) {
    static const std::regex pattern(
        std::string("([A-Z])") + space_class + "*HOMED:" + space_class + "*([01])",
        std::regex::icase);
    std::vector<std::pair<char, bool>> flags;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
        const char axis = (*it)[1].str()[0];
        flags.emplace_back(static_cast<char>(std::toupper(axis)), (*it)[2].str() == "1");
    }
    return flags;
}

// float() of the matched text; strtod rounds as Python does, to infinity
// above the range and to zero (or a subnormal) below it.
std::optional<double> expected_axis_value(const std::string& text, char axis) {
    static const std::vector<std::regex> patterns = [] {
        std::vector<std::regex> all;
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            all.emplace_back(std::string(1, letter) + space_class +
                             "*([-+]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][-+]?[0-9]+)?)");
        }
        return all;
    }();
    std::smatch m;
    if (!std::regex_search(text, m, patterns[static_cast<std::size_t>(axis - 'A')])) {
        return std::nullopt;
    }
    const double value = std::strtod(m[1].str().c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

bool same_double(std::optional<double> a, std::optional<double> b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::regex version(R"(\bv[0-9]+\.[0-9]+\.[0-9]+)");
    if (size == 0) return 0;
    const char axis = static_cast<char>('A' + data[0] % 26);
    const std::string text = orvak::fuzz::ascii_text(data + 1, size - 1, 256);

    require(g::first_integer(text) == expected_integer(text), "first integer", text);
    require(g::homed_flags(text) == expected_flags(text), "homed flags", text);
    require(g::has_version(text) == std::regex_search(text, version), "firmware version", text);
    require(same_double(g::axis_value(text, std::string(1, axis)), expected_axis_value(text, axis)),
            "axis value", text);
    return 0;
}
