#include "orvak/registry.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <sstream>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak::registry {

namespace {

using kinds::Kind;

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

// The row of a driver class; for the piston pump, the one of that volume.
constexpr const Kind* row_of(std::string_view class_name,
                             std::optional<double> pump_volume = std::nullopt) {
    for (const auto& kind : kinds::table) {
        if (kind.class_name == class_name && kind.model.pump_volume == pump_volume) return &kind;
    }
    return nullptr;
}

// The row a name selects, by the first rule that matches.
const Kind* row_for_name(std::string_view name) {
    const std::string t = text::lower(name);
    if ((contains(t, "rotary") || contains(t, "multi")) && contains(t, "val")) {
        if (contains(t, "0.096")) return row_of("OrvakRotaryValve096");
        if (contains(t, "0.052") || contains(t, "xl")) return row_of("OrvakRotaryValve052");
        return row_of("OrvakRotaryValve032");
    }
    if (contains(t, "xl")) {
        if (contains(t, "peri") || contains(t, "pump")) return row_of("OrvakPeriPumpXL");
        if (contains(t, "sol") && contains(t, "val")) return row_of("OrvakSolValXL");
    }
    if (contains(t, "peri")) {
        const auto words = words_of(t);
        if (has_word(words, "t")) {
            if (contains(t, "3-roller") || contains(t, "3 roller")) {
                return row_of("OrvakPeriT3Roller");
            }
            return row_of("OrvakPeriT");
        }
        if (has_word(words, "p")) return row_of("OrvakPeriP");
        return row_of("OrvakPeriS");
    }
    if (contains(t, "sol") && contains(t, "val")) return row_of("OrvakSolVal");
    if (contains(t, "piston")) {
        const auto words = words_of(replace_all(replace_all(t, "\xC2\xB5l", " "), "ul", " "));
        if (has_word(words, "100")) return row_of("OrvakPistonPump", 100.0);
        if (contains(t, "5")) return row_of("OrvakPistonPump", 5000.0);
        return row_of("OrvakPistonPump", 1000.0);
    }
    if (contains(t, "gantry")) return row_of("OrvakGantry");
    if (contains(t, "z") && contains(t, "stage")) return row_of("OrvakZStage");
    if (contains(t, "process")) return row_of("OrvakProcess");
    if (contains(t, "ventrix") || contains(t, "mfc") || contains(t, "mass flow")) {
        return row_of("OrvakVentrix");
    }
    return nullptr;
}

// Every class the rules name has its row. (Compared by name, not by
// pointer: GCC's sanitizer builds cannot compare pointers into the table at
// compile time.)
constexpr bool has_row(std::string_view class_name,
                       std::optional<double> pump_volume = std::nullopt) {
    return std::any_of(kinds::table.begin(), kinds::table.end(), [&](const Kind& kind) {
        return kind.class_name == class_name && kind.model.pump_volume == pump_volume;
    });
}
static_assert(has_row("OrvakRotaryValve096") && has_row("OrvakRotaryValve052") &&
                  has_row("OrvakRotaryValve032") && has_row("OrvakPeriPumpXL") &&
                  has_row("OrvakSolValXL") && has_row("OrvakPeriT3Roller") &&
                  has_row("OrvakPeriT") && has_row("OrvakPeriP") && has_row("OrvakPeriS") &&
                  has_row("OrvakSolVal") && has_row("OrvakPistonPump", 100.0) &&
                  has_row("OrvakPistonPump", 5000.0) && has_row("OrvakPistonPump", 1000.0) &&
                  has_row("OrvakGantry") && has_row("OrvakZStage") && has_row("OrvakProcess") &&
                  has_row("OrvakVentrix"),
              "a name rule selects a class the kinds table does not have");

// A kind the rules above do not know by name (a later kind) is named by its
// row: its display name or label, whole, in any case.
const Kind* row_named(std::string_view name) {
    const std::string t = text::lower(text::strip(name));
    for (const auto& kind : kinds::table) {
        if (t == text::lower(kind.display_name) || t == text::lower(kind.label)) return &kind;
    }
    return nullptr;
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
    if (const auto* row = row_for_name(name)) return *row;
    if (const auto* row = row_named(name)) return *row;
    throw ValueError(text::fill("Unrecognised instrument name: {!r}", {name}));
}

const DriverRow& resolve(const Identifier& identifier) {
    if (const auto* code = std::get_if<long long>(&identifier)) return resolve_code(*code);
    return resolve_name(std::get<std::string>(identifier));
}

}  // namespace orvak::registry
