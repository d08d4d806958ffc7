// The JSON Lines reader of wire recordings (files from users' bug reports),
// fed any bytes. It either reads records, each of which is written and read
// back unchanged, or throws ValueError naming the recording, a line of it and
// a character on that line; any other exception or a crash is a failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "orvak/errors.hpp"
#include "orvak/wire_recording.hpp"

namespace {

using orvak::fuzz::require;

constexpr std::string_view name = "bug.jsonl";

// The number that follows `label` in `text`, or 0.
std::size_t number_after(std::string_view text, std::string_view label) {
    const auto at = text.find(label);
    if (at == std::string_view::npos) return 0;
    std::size_t value = 0;
    for (auto i = at + label.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<orvak::WireRecord> records;
    try {
        records = orvak::parse_recording(text, std::string(name));
    } catch (const orvak::ValueError& error) {
        const std::string_view message = error.what();
        require(message.starts_with(std::string(name) + ", line ") &&
                    message.find(": not a wire record: ") != std::string_view::npos &&
                    message.ends_with(")"),
                "an error names the file, the line and the character", text);
        const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        const std::size_t line = number_after(message, ", line ");
        require(line >= 1 && line <= lines, "the line named exists", text);
        const std::size_t character = number_after(message, "(at character ");
        require(character >= 1 && character <= text.size() + 1, "the character named exists", text);
        return 0;
    }
    for (const auto& record : records) {
        const std::string json = orvak::to_json_line(record);
        require(json.find('\n') == std::string::npos, "a record is written as one line", text);
        const orvak::WireRecord back = orvak::parse_json_line(json);
        require(back.t == record.t && back.kind == record.kind && back.line == record.line,
                "a record read back is unchanged", text);
    }
    return 0;
}
