#include "orvak/kinds.hpp"

namespace orvak::kinds {

namespace {

// Every row's type code is its own, and the rows run in type-code order, so
// a lookup and a listing agree.
constexpr bool codes_ascend() {
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (table[i - 1].type_code >= table[i].type_code) return false;
    }
    return true;
}
static_assert(codes_ascend(), "module kinds must be listed once each, in type-code order");

}  // namespace

std::string_view firmware_name(Firmware firmware) {
    switch (firmware) {
        case Firmware::peristaltic_pump:
            return "peristaltic_pump";
        case Firmware::rotary_valve:
            return "rotary_valve";
        case Firmware::solenoid_valves:
            return "solenoid_valves";
        case Firmware::piston_pump:
            return "piston_pump";
        case Firmware::gantry:
            return "gantry";
        case Firmware::z_stage:
            return "z_stage";
        case Firmware::probe_reader:
            return "probe_reader";
        case Firmware::flow_controller:
            return "flow_controller";
    }
    return "";
}

std::span<const Kind> rows() { return table; }

}  // namespace orvak::kinds
