#include "orvak/sim/catalogue.hpp"

#include "orvak/kinds.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code) {
    const auto* kind = kinds::find(type_code);
    // A code that names no kind answers the base commands only.
    if (kind == nullptr) return std::make_unique<ModuleFirmware>(address, type_code);
    switch (kind->firmware) {
        case kinds::Firmware::rotary_valve:
            return make_rotary_valve_firmware(address, *kind);
        case kinds::Firmware::peristaltic_pump:
            return make_peristaltic_firmware(address, *kind);
        case kinds::Firmware::solenoid_valves:
            return make_solenoid_firmware(address, *kind);
        case kinds::Firmware::piston_pump:
            return make_piston_pump_firmware(address, *kind);
        case kinds::Firmware::gantry:
            return make_gantry_firmware(address, *kind);
        case kinds::Firmware::z_stage:
            return make_z_stage_firmware(address, *kind);
        case kinds::Firmware::probe_reader:
            return make_probe_reader_firmware(address, *kind);
        case kinds::Firmware::flow_controller:
            return make_flow_controller_firmware(address, *kind);
    }
    return std::make_unique<ModuleFirmware>(address, type_code);
}

}  // namespace orvak::sim
