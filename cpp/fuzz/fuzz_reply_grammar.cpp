// The address parse and the routing classification against regular
// expressions of the wire grammar ("^I(\d{1,3})\s", "\bM102\b", "\bOK\b",
// "\bBAD\b", "BAD\s+(0[xX][0-9a-fA-F]+)"), evaluated by std::regex.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>

#include "fuzz_check.hpp"
#include "orvak/reply_grammar.hpp"

namespace {

namespace g = orvak::grammar;
using orvak::fuzz::space_class;

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool search(const std::string& text, const std::regex& pattern) {
    return std::regex_search(text, pattern);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::regex address(std::string("^I([0-9]{1,3})") + space_class);
    static const std::regex m102(R"(\bM102\b)");
    static const std::regex ok(R"(\bOK\b)");
    static const std::regex bad(R"(\bBAD\b)");
    static const std::regex code(std::string("BAD") + space_class + "+(0[xX][0-9a-fA-F]+)");
    using orvak::fuzz::require;

    const std::string line = orvak::fuzz::ascii_text(data, size, 256);

    const g::ParsedLine parsed = g::parse_line(line);
    std::smatch m;
    if (std::regex_search(line, m, address)) {
        require(parsed.address == std::stoi(m[1].str()), "address digits", line);
        require(parsed.text == line.substr(static_cast<std::size_t>(m.length(0))),
                "text after one separator", line);
    } else {
        require(parsed.address == 0 && parsed.text == line, "no prefix: address 0, whole line",
                line);
    }

    const std::string text(parsed.text);
    g::ReplyKind expected = g::ReplyKind::other;
    if (contains(text, "NOTOK") || search(text, m102)) {
        expected = g::ReplyKind::notok;
    } else if (contains(text, "DONE")) {
        expected = g::ReplyKind::done;
    } else if (search(text, ok) || search(text, bad)) {
        expected = g::ReplyKind::ok;
    } else if (contains(text, "POS") && contains(text, "$$$")) {
        expected = g::ReplyKind::position;
    }
    require(g::classify(text) == expected, "classification in routing order", line);
    require(g::is_acknowledgement(text) == search(text, ok), "\\bOK\\b", line);
    require(g::is_refusal(text) == search(text, bad), "\\bBAD\\b", line);

    std::optional<std::string> expected_code;
    if (std::regex_search(line, m, code)) {
        expected_code = m[1].str();
        for (char& c : *expected_code) c = static_cast<char>(std::tolower(c));
    }
    require(g::refusal_code(line) == expected_code, "refusal code", line);
    // A refusal carrying a leadership code always has an operator message.
    if (expected_code && (*expected_code == "0x10a" || *expected_code == "0x10d")) {
        require(g::leadership_fault(line, *expected_code).has_value(), "leadership code", line);
    }
    return 0;
}
