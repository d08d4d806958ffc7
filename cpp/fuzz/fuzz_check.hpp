// What the fuzz targets share: a property check that fails loudly (libFuzzer
// treats the abort as a crash and keeps the input), and an input cut to a
// size the regular-expression oracles handle without deep recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace orvak::fuzz {

inline void require(bool holds, const char* property, std::string_view input) {
    if (holds) return;
    std::fprintf(stderr, "property violated: %s\ninput (%zu bytes): ", property, input.size());
    for (const char c : input) std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    std::fprintf(stderr, "\n");
    std::abort();
}

// The input as 7-bit text of at most `limit` bytes: reply texts reach the
// grammar ASCII-decoded, and the oracles speak ASCII.
inline std::string ascii_text(const std::uint8_t* data, std::size_t size, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        text.push_back(static_cast<char>(data[i] & 0x7f));
    }
    return text;
}

// Python's \s for ASCII text, as a character class for std::regex.
inline constexpr const char* space_class = "[ \\t\\n\\v\\f\\r\\x1c-\\x1f]";

}  // namespace orvak::fuzz
