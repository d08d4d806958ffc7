#include "orvak/registry.hpp"

#include <algorithm>
#include <array>
#include <sstream>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak::registry {

namespace {

// One row per buildable module kind. A driver module adds its rows here when
// it is built; the name rules below then start selecting its classes.
constexpr std::array<DriverRow, 17> driver_rows{{
    {1, "peridrive", "OrvakPeriS", std::nullopt, "Orvak Peri S (peristaltic pump)"},
    {2, "rotaryport", "OrvakRotaryValve032", std::nullopt, "Orvak Rotary Valve"},
    {3, "solenoidbank", "OrvakSolVal", std::nullopt, "Orvak Sol Val (solenoid valves)"},
    {4, "pistondrive", "OrvakPistonPump", 1000.0, "Orvak Piston 1 ml"},
    {5, "peridrive", "OrvakPeriPumpXL", std::nullopt, "Orvak Peri Pump XL"},
    {6, "rotaryport", "OrvakRotaryValve052", std::nullopt, "Orvak Rotary Valve XL"},
    {7, "solenoidbank", "OrvakSolValXL", std::nullopt, "Orvak Sol Val XL"},
    {8, "gantry", "OrvakGantry", std::nullopt, "Orvak Gantry (XY)"},
    {9, "zaxis", "OrvakZStage", std::nullopt, "Orvak Z Stage"},
    {10, "peridrive", "OrvakPeriT", std::nullopt, "Orvak Peri T"},
    {11, "peridrive", "OrvakPeriP", std::nullopt, "Orvak Peri P"},
    {12, "pistondrive", "OrvakPistonPump", 5000.0, "Orvak Piston 5 ml"},
    {13, "process", "OrvakProcess", std::nullopt, "Orvak Process (pH / sensor)"},
    {14, "ventrix", "OrvakVentrix", std::nullopt, "Orvak Mass Flow Controller"},
    {15, "peridrive", "OrvakPeriT3Roller", std::nullopt, ""},
    {16, "pistondrive", "OrvakPistonPump", 100.0, ""},
    {17, "rotaryport", "OrvakRotaryValve096", std::nullopt, ""},
}};

constexpr std::array<ReservedCode, 2> reserved{{
    {0,
     "Instrument ID 0 is reserved and never assigned \xE2\x80\x94 a board reporting it failed "
     "to parse its own ID, or a leader could not read it"},
    {65535,
     "Instrument ID 65535 means unconfigured / safe mode \xE2\x80\x94 the unit enumerates but "
     "refuses motion until it is provisioned, so this is a commissioning problem, not an "
     "unsupported instrument"},
}};

// The class (and pump volume) a name selects, before checking it is built.
struct NamedClass {
    std::string_view class_name;
    std::optional<double> pump_volume;
};

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

std::optional<NamedClass> class_for_name(std::string_view name) {
    const std::string t = text::lower(name);
    if ((contains(t, "rotary") || contains(t, "multi")) && contains(t, "val")) {
        if (contains(t, "0.096")) return NamedClass{"OrvakRotaryValve096", {}};
        if (contains(t, "0.052") || contains(t, "xl")) return NamedClass{"OrvakRotaryValve052", {}};
        return NamedClass{"OrvakRotaryValve032", {}};
    }
    if (contains(t, "xl")) {
        if (contains(t, "peri") || contains(t, "pump")) return NamedClass{"OrvakPeriPumpXL", {}};
        if (contains(t, "sol") && contains(t, "val")) return NamedClass{"OrvakSolValXL", {}};
    }
    if (contains(t, "peri")) {
        const auto words = words_of(t);
        if (has_word(words, "t")) {
            if (contains(t, "3-roller") || contains(t, "3 roller")) {
                return NamedClass{"OrvakPeriT3Roller", {}};
            }
            return NamedClass{"OrvakPeriT", {}};
        }
        if (has_word(words, "p")) return NamedClass{"OrvakPeriP", {}};
        return NamedClass{"OrvakPeriS", {}};
    }
    if (contains(t, "sol") && contains(t, "val")) return NamedClass{"OrvakSolVal", {}};
    if (contains(t, "piston")) {
        const auto words = words_of(replace_all(replace_all(t, "\xC2\xB5l", " "), "ul", " "));
        if (has_word(words, "100")) return NamedClass{"OrvakPistonPump", 100.0};
        if (contains(t, "5")) return NamedClass{"OrvakPistonPump", 5000.0};
        return NamedClass{"OrvakPistonPump", 1000.0};
    }
    if (contains(t, "gantry")) return NamedClass{"OrvakGantry", {}};
    if (contains(t, "z") && contains(t, "stage")) return NamedClass{"OrvakZStage", {}};
    if (contains(t, "process")) return NamedClass{"OrvakProcess", {}};
    if (contains(t, "ventrix") || contains(t, "mfc") || contains(t, "mass flow")) {
        return NamedClass{"OrvakVentrix", {}};
    }
    return std::nullopt;
}

}  // namespace

std::span<const DriverRow> rows() { return driver_rows; }

std::span<const ReservedCode> reserved_codes() { return reserved; }

const DriverRow& resolve_code(long long code) {
    for (const auto& row : driver_rows) {
        if (row.type_code == code) return row;
    }
    for (const auto& entry : reserved) {
        if (entry.code == code) throw ValueError(std::string(entry.message));
    }
    throw ValueError(text::fill("Unknown instrument type code: {}", {text::integer(code)}));
}

const DriverRow& resolve_name(std::string_view name) {
    if (const auto named = class_for_name(name)) {
        for (const auto& row : driver_rows) {
            if (row.class_name == named->class_name && row.pump_volume == named->pump_volume) {
                return row;
            }
        }
    }
    throw ValueError(text::fill("Unrecognised instrument name: {!r}", {name}));
}

const DriverRow& resolve(const Identifier& identifier) {
    if (const auto* code = std::get_if<long long>(&identifier)) return resolve_code(*code);
    return resolve_name(std::get<std::string>(identifier));
}

}  // namespace orvak::registry
