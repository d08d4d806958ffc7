// Turns the byte stream from the chain into reply lines. The stream arrives in
// arbitrary pieces (whatever the port had waiting); a line is complete at its
// "\n", empty lines are skipped, and nothing is trimmed, so a "\r" before the
// "\n" stays on the line. Bytes that are not ASCII are dropped on decoding.
#pragma once

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
    // Appends decoded text and hands each line it completes to `emit`
    // (called as emit(std::string)), oldest first. The incomplete tail never
    // holds a "\n", so only the new text is searched: a long line arriving in
    // many pieces costs time linear in its length.
    template <class Emit>
    void feed(std::string_view text, Emit&& emit) {
        for (auto end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
            tail_.append(text.substr(0, end));
            if (!tail_.empty()) emit(std::exchange(tail_, std::string()));
            text.remove_prefix(end + 1);
        }
        tail_.append(text);
    }

    // The incomplete last line: everything after the last "\n" so far.
    [[nodiscard]] const std::string& pending() const noexcept { return tail_; }

  private:
    std::string tail_;
};

}  // namespace orvak
