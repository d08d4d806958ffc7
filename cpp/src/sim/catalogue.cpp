#include "orvak/sim/catalogue.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "orvak/kinds.hpp"

namespace orvak::sim {

namespace {

using Maker = std::unique_ptr<ModuleFirmware> (*)(int address, const kinds::Kind& kind);

struct Family {
    std::string_view name;
    Maker make;
};

// The firmware families the kinds table names, and who makes each.
constexpr std::array<Family, 8> families{{
    {"rotary_valve", make_rotary_valve_firmware},
    {"peristaltic_pump", make_peristaltic_firmware},
    {"solenoid_valves", make_solenoid_firmware},
    {"piston_pump", make_piston_pump_firmware},
    {"gantry", make_gantry_firmware},
    {"z_stage", make_z_stage_firmware},
    {"probe_reader", make_probe_reader_firmware},
    {"flow_controller", make_flow_controller_firmware},
}};

constexpr bool every_family_has_a_maker() {
    for (const auto& kind : kinds::table) {
        if (std::none_of(families.begin(), families.end(),
                         [&](const Family& family) { return family.name == kind.firmware; })) {
            return false;
        }
    }
    return true;
}
static_assert(every_family_has_a_maker(), "a kind names a firmware family the emulator lacks");

}  // namespace

std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code) {
    const auto* kind = kinds::find(type_code);
    // A code that names no kind answers the base commands only.
    if (kind == nullptr) return std::make_unique<ModuleFirmware>(address, type_code);
    for (const auto& family : families) {
        if (family.name == kind->firmware) return family.make(address, *kind);
    }
    return std::make_unique<ModuleFirmware>(address, type_code);
}

}  // namespace orvak::sim
