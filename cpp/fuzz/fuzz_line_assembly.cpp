// Line assembly of the write/read loop, fed the same byte stream in three
// chunkings (a pseudo-random one drawn from the first byte, byte by byte,
// all at once). Every chunking must give exactly the lines of a plain
// reading of the split rule, and the same incomplete tail.
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
    std::string pending;
    bool operator==(const Result&) const = default;
};

// Split at every "\n", skip empty pieces, keep the last piece; bytes of 0x80
// and above never reach a line.
Result reference(std::string_view stream) {
    Result out;
    for (const char c : stream) {
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        if (c != '\n') {
            out.pending.push_back(c);
        } else if (!out.pending.empty()) {
            out.lines.push_back(out.pending);
            out.pending.clear();
        }
    }
    return out;
}

Result assemble(std::string_view stream, const std::vector<std::size_t>& sizes) {
    orvak::LineAssembler assembler;
    Result out;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t size = sizes.empty() ? stream.size() : sizes[i % sizes.size()];
        const std::string chunk(stream.substr(at, size));
        at += size;
        assembler.feed(orvak::ascii_only(chunk),
                       [&](std::string line) { out.lines.push_back(std::move(line)); });
    }
    out.pending = assembler.pending();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::size_t> random_sizes;
    std::uint32_t state = data[0] | 1U;
    for (int i = 0; i < 16; ++i) {
        state = state * 1103515245U + 12345U;
        random_sizes.push_back(1 + (state >> 16) % 9);
    }

    const Result expected = reference(stream);
    using orvak::fuzz::require;
    require(assemble(stream, random_sizes) == expected, "random chunking gives the split lines",
            stream);
    require(assemble(stream, {1}) == expected, "byte-by-byte gives the split lines", stream);
    require(assemble(stream, {}) == expected, "one chunk gives the split lines", stream);

    // Nothing lost, nothing invented: every ASCII byte is in a line, in the
    // tail or is a line feed; no line is empty or holds a line feed.
    std::size_t kept = expected.pending.size();
    for (const auto& line : expected.lines) {
        require(!line.empty() && line.find('\n') == std::string::npos, "lines are whole", stream);
        kept += line.size();
    }
    std::size_t ascii = 0;
    std::size_t feeds = 0;
    for (const char c : stream) {
        if (static_cast<unsigned char>(c) < 0x80) ++(c == '\n' ? feeds : ascii);
    }
    require(kept == ascii, "every byte is accounted for", stream);
    require(expected.lines.size() <= feeds, "no more lines than line feeds", stream);
    return 0;
}
