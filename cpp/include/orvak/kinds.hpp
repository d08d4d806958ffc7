// The module kinds: one row per type code, the one place a kind is described.
// The registry and its name rules, the drivers' models, the bench emulator's
// firmware choice, the Python bindings (the model classes, the group's
// documentation, `orvaklab.unitgroup.KINDS`) and the command line all read
// these rows; nothing else lists kinds.
//
// Adding a kind: a row here, its driver (or only the row, when it is a model
// of an existing driver), its firmware family, its binding, its tests.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "orvak/export.hpp"

namespace orvak::kinds {

// The numbers that tell models of one driver class apart. A field a driver
// does not use stays empty.
struct Model {
    std::optional<double> pump_volume{};  // piston pumps: µl, the constructor's argument
    // Piston pumps: µl/min, where the motor stalls below the head's rating
    // of 54 strokes a minute.
    std::optional<double> speed_cap{};
    std::optional<double> orifice{};  // rotary valves: bore in inches
    std::optional<double> max_rpm{};  // peristaltic pumps: motor speed cap
    long long rollers = 0;            // peristaltic pumps: rollers of the head
    bool tubing_by_rollers = false;   // peristaltic pumps: tubing tables per roller count
};

struct Kind {
    int type_code = 0;
    std::string_view module{};        // extension module under orvaklab.instruments
    std::string_view class_name{};    // the driver class in that module
    std::string_view display_name{};  // the name the driver gives itself
    std::string_view label{};         // the registry's label of the kind
    // The firmware family the bench emulator plays for the kind, by name; the
    // emulator maps each family to its maker, the core never builds firmware.
    std::string_view firmware{};
    // The bound class a model class derives from; empty when the driver
    // class is bound as it is.
    std::string_view base_class{};
    Model model{};
    // A remark the model class's documentation adds.
    std::string_view note{};
    // The group's documentation has always listed the first fourteen kinds;
    // the later builds are documented with their drivers.
    bool in_group_doc = true;
};

inline constexpr auto table = std::to_array<Kind>({
    {.type_code = 1,
     .module = "peridrive",
     .class_name = "OrvakPeriS",
     .display_name = "Orvak Peri S",
     .label = "Orvak Peri S (peristaltic pump)",
     .firmware = "peristaltic_pump",
     .base_class = "_PeriPumpBase",
     .model = {.max_rpm = 150.0, .rollers = 3}},
    {.type_code = 2,
     .module = "rotaryport",
     .class_name = "OrvakRotaryValve032",
     .display_name = "Orvak Rotary Valve",
     .label = "Orvak Rotary Valve",
     .firmware = "rotary_valve",
     .base_class = "_RotaryValveBase",
     .model = {.orifice = 0.032}},
    {.type_code = 3,
     .module = "solenoidbank",
     .class_name = "OrvakSolVal",
     .display_name = "Orvak Sol Val",
     .label = "Orvak Sol Val (solenoid valves)",
     .firmware = "solenoid_valves",
     .base_class = "_SolValBase"},
    {.type_code = 4,
     .module = "pistondrive",
     .class_name = "OrvakPistonPump",
     .display_name = "Orvak Piston 1 ml",
     .label = "Orvak Piston 1 ml",
     .firmware = "piston_pump",
     .model = {.pump_volume = 1000.0}},
    {.type_code = 5,
     .module = "peridrive",
     .class_name = "OrvakPeriPumpXL",
     .display_name = "Orvak Peri Pump XL",
     .label = "Orvak Peri Pump XL",
     .firmware = "peristaltic_pump",
     .base_class = "_PeriPumpBase",
     .model = {.max_rpm = 300.0, .rollers = 3}},
    {.type_code = 6,
     .module = "rotaryport",
     .class_name = "OrvakRotaryValve052",
     .display_name = "Orvak Rotary Valve XL",
     .label = "Orvak Rotary Valve XL",
     .firmware = "rotary_valve",
     .base_class = "_RotaryValveBase",
     .model = {.orifice = 0.052},
     .note = "register-identical to the 0.032 build, XL meaning only the larger bore"},
    {.type_code = 7,
     .module = "solenoidbank",
     .class_name = "OrvakSolValXL",
     .display_name = "Orvak Sol Val XL",
     .label = "Orvak Sol Val XL",
     .firmware = "solenoid_valves",
     .base_class = "_SolValBase"},
    {.type_code = 8,
     .module = "gantry",
     .class_name = "OrvakGantry",
     .display_name = "Orvak Gantry",
     .label = "Orvak Gantry (XY)",
     .firmware = "gantry"},
    {.type_code = 9,
     .module = "zaxis",
     .class_name = "OrvakZStage",
     .display_name = "Orvak Z Stage",
     .label = "Orvak Z Stage",
     .firmware = "z_stage"},
    {.type_code = 10,
     .module = "peridrive",
     .class_name = "OrvakPeriT",
     .display_name = "Orvak Peri T",
     .label = "Orvak Peri T",
     .firmware = "peristaltic_pump",
     .base_class = "_PeriPumpBase",
     .model = {.max_rpm = 300.0, .rollers = 6, .tubing_by_rollers = true}},
    {.type_code = 11,
     .module = "peridrive",
     .class_name = "OrvakPeriP",
     .display_name = "Orvak Peri P",
     .label = "Orvak Peri P",
     .firmware = "peristaltic_pump",
     .base_class = "_PeriPumpBase",
     .model = {.max_rpm = 150.0, .rollers = 3}},
    {.type_code = 12,
     .module = "pistondrive",
     .class_name = "OrvakPistonPump",
     .display_name = "Orvak Piston 5 ml",
     .label = "Orvak Piston 5 ml",
     .firmware = "piston_pump",
     .model = {.pump_volume = 5000.0, .speed_cap = 200000.0}},
    {.type_code = 13,
     .module = "process",
     .class_name = "OrvakProcess",
     .display_name = "Orvak Process",
     .label = "Orvak Process (pH / sensor)",
     .firmware = "probe_reader"},
    {.type_code = 14,
     .module = "ventrix",
     .class_name = "OrvakVentrix",
     .display_name = "Orvak Mass Flow Controller",
     .label = "Orvak Mass Flow Controller",
     .firmware = "flow_controller"},
    // The 3-roller T head differs from the T head only in constants.
    {.type_code = 15,
     .module = "peridrive",
     .class_name = "OrvakPeriT3Roller",
     .display_name = "Orvak Peri T 3-roller",
     .label = "Orvak Peri T 3-roller",
     .firmware = "peristaltic_pump",
     .base_class = "OrvakPeriT",
     .model = {.max_rpm = 300.0, .rollers = 3, .tubing_by_rollers = true},
     .in_group_doc = false},
    {.type_code = 16,
     .module = "pistondrive",
     .class_name = "OrvakPistonPump",
     .display_name = "Orvak Piston 100 \xC2\xB5l",
     .label = "Orvak Piston 100 \xC2\xB5l",
     .firmware = "piston_pump",
     .model = {.pump_volume = 100.0},
     .in_group_doc = false},
    {.type_code = 17,
     .module = "rotaryport",
     .class_name = "OrvakRotaryValve096",
     .display_name = "Orvak Rotary Valve 0.096",
     .label = "Orvak Rotary Valve 0.096",
     .firmware = "rotary_valve",
     .base_class = "_RotaryValveBase",
     .model = {.orifice = 0.096},
     .in_group_doc = false},
});

// Every kind, in type-code order.
ORVAK_EXPORT std::span<const Kind> rows();

// The row of a type code, or null.
constexpr const Kind* find(long long type_code) {
    const auto* row = std::find_if(table.begin(), table.end(),
                                   [&](const Kind& kind) { return kind.type_code == type_code; });
    return row == table.end() ? nullptr : row;
}

// The row of a type code whose driver lives in `module`, or null.
constexpr const Kind* find_in(std::string_view module, long long type_code) {
    const Kind* row = find(type_code);
    return row != nullptr && row->module == module ? row : nullptr;
}

// The row of a type code the table has; for a driver's compile-time constants.
// (It compares codes, not pointers: GCC's sanitizer builds cannot compare
// pointers into the table at compile time.)
consteval const Kind& of(int type_code) {
    for (const Kind& kind : table) {
        if (kind.type_code == type_code) return kind;
    }
    throw "no module kind has this type code";
}

// The one row whose driver lives in `module`: a driver of a single kind finds
// its type code and names there instead of repeating them.
consteval const Kind& only_in(std::string_view module) {
    // Indices, not pointers: GCC's sanitizer builds cannot compare pointers
    // into the table at compile time.
    std::size_t found = table.size();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].module != module) continue;
        if (found != table.size()) throw "more than one module kind has this driver module";
        found = i;
    }
    if (found == table.size()) throw "no module kind has this driver module";
    return table[found];
}

}  // namespace orvak::kinds
