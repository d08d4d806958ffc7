// Line assembly of the write/read loop, fed the same byte stream in three
// chunkings (a pseudo-random one drawn from the first byte, byte by byte,
// all at once) with a line cap drawn from the second byte, so that discarding
// overlong lines is exercised too. Every chunking must give exactly the lines
// of a plain byte-by-byte reading of the rules, the same discards and the same
// incomplete tail.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "orvak/line_assembler.hpp"

namespace {

struct Result {
    std::vector<std::string> lines;
    std::vector<std::string> discarded;  // the start of each overlong line
    std::string pending;
    bool operator==(const Result&) const = default;
};

// Split at every "\n", skip empty pieces, keep the last piece; bytes of 0x80
// and above never reach a line, NUL and "\r" at a line's start are dropped,
// and a line that would grow beyond `cap` is dropped up to its "\n".
Result reference(std::string_view stream, std::size_t cap) {
    Result out;
    bool discarding = false;
    for (const char c : stream) {
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        if (c == '\n') {
            if (!discarding && !out.pending.empty()) out.lines.push_back(out.pending);
            out.pending.clear();
            discarding = false;
        } else if (discarding || (out.pending.empty() && (c == '\0' || c == '\r'))) {
            continue;
        } else if (out.pending.size() == cap) {
            out.discarded.push_back(out.pending);
            out.pending.clear();
            discarding = true;
        } else {
            out.pending.push_back(c);
        }
    }
    return out;
}

Result assemble(std::string_view stream, std::size_t cap, const std::vector<std::size_t>& sizes) {
    orvak::LineAssembler assembler(cap);
    Result out;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t size = sizes.empty() ? stream.size() : sizes[i % sizes.size()];
        const std::string chunk(stream.substr(at, size));
        at += size;
        assembler.feed(
            orvak::ascii_only(chunk),
            [&](std::string line) { out.lines.push_back(std::move(line)); },
            [&](std::string_view head) { out.discarded.emplace_back(head); });
    }
    out.pending = assembler.pending();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t cap = 1 + data[1] % 64;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::vector<std::size_t> random_sizes;
    std::uint32_t state = data[0] | 1U;
    for (int i = 0; i < 16; ++i) {
        state = state * 1103515245U + 12345U;
        random_sizes.push_back(1 + (state >> 16) % 9);
    }

    const Result expected = reference(stream, cap);
    using orvak::fuzz::require;
    require(assemble(stream, cap, random_sizes) == expected,
            "random chunking gives the split lines", stream);
    require(assemble(stream, cap, {1}) == expected, "byte-by-byte gives the split lines", stream);
    require(assemble(stream, cap, {}) == expected, "one chunk gives the split lines", stream);

    // Nothing invented: every line is whole, within the cap and starts with a
    // byte routing can read; no more lines than line feeds.
    std::size_t kept = expected.pending.size();
    for (const auto& line : expected.lines) {
        require(!line.empty() && line.size() <= cap && line.find('\n') == std::string::npos,
                "lines are whole and capped", stream);
        require(line.front() != '\0' && line.front() != '\r', "no junk at a line's start", stream);
        kept += line.size();
    }
    std::size_t ascii = 0;
    std::size_t feeds = 0;
    for (const char c : stream) {
        if (static_cast<unsigned char>(c) < 0x80) ++(c == '\n' ? feeds : ascii);
    }
    require(kept <= ascii, "no byte is invented", stream);
    require(expected.lines.size() <= feeds, "no more lines than line feeds", stream);
    require(expected.discarded.size() <= feeds + 1, "one discard per overlong line", stream);
    return 0;
}
