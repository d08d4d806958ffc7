// Turns the byte stream from the chain into reply lines. The stream arrives in
// arbitrary pieces (whatever the port had waiting); a line is complete at its
// "\n", and empty lines are skipped. Bytes that are not ASCII are dropped on
// decoding.
//
// NUL bytes and carriage returns at the start of a line are dropped: a power-up
// glitch, or a module that ends its lines with "\n\r", leaves one there, and it
// would hide the line's address from routing. Nothing else is trimmed, so a
// "\r" before the "\n" stays on the line and a line that begins with a space
// stays unroutable.
//
// An unfinished line is capped (64 KiB by default): a chain that sends bytes
// without a line feed would otherwise grow it without limit. Beyond the cap
// the line is discarded, up to and including its "\n", and the lines after it
// come as usual.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace orvak {

// The ASCII bytes of what a port delivered; others are dropped.
[[nodiscard]] inline std::string ascii_only(std::string bytes) {
    std::erase_if(bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return bytes;
}

class LineAssembler {
  public:
    static constexpr std::size_t default_max_line = 64 * 1024;

    // The callback feed() calls by default when it discards an overlong line.
    struct IgnoreDiscard {
        void operator()(std::string_view /*head*/) const noexcept {}
    };

    explicit LineAssembler(std::size_t max_line = default_max_line) : max_line_(max_line) {}

    // Appends decoded text and hands each line it completes to `emit`
    // (called as emit(std::string)), oldest first. An unfinished line that
    // grows beyond the cap goes to `discard` instead (called once per such
    // line, as discard(std::string_view) with its first bytes up to the cap). The
    // incomplete tail never holds a "\n", so only the new text is searched: a
    // long line arriving in many pieces costs time linear in its length.
    template <class Emit, class Discard = IgnoreDiscard>
    void feed(std::string_view text, Emit&& emit, Discard&& discard = {}) {
        constexpr std::string_view leading_junk("\0\r", 2);
        for (;;) {
            const auto end = text.find('\n');
            if (!discarding_) {
                std::string_view piece = text.substr(0, end);
                if (tail_.empty()) {
                    piece.remove_prefix(
                        std::min(piece.find_first_not_of(leading_junk), piece.size()));
                }
                if (piece.size() > max_line_ - tail_.size()) {
                    tail_.append(piece.substr(0, max_line_ - tail_.size()));
                    discard(std::string_view(tail_));
                    tail_ = std::string();  // gives the memory back
                    discarding_ = true;
                } else {
                    tail_.append(piece);
                }
            }
            if (end == std::string_view::npos) return;
            if (!discarding_ && !tail_.empty()) emit(std::exchange(tail_, std::string()));
            discarding_ = false;
            text.remove_prefix(end + 1);
        }
    }

    // The incomplete last line: everything kept after the last "\n" so far.
    [[nodiscard]] const std::string& pending() const noexcept { return tail_; }

  private:
    std::size_t max_line_;
    std::string tail_;
    bool discarding_ = false;  // the rest of an overlong line is still arriving
};

}  // namespace orvak
