#include "orvak/sim/catalogue.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code) {
    switch (type_code) {
        case 2:
        case 6:
        case 17:
            return make_rotary_valve_firmware(address, type_code);
        case 1:
        case 5:
        case 10:
        case 11:
        case 15:
            return make_peristaltic_firmware(address, type_code);
        case 3:
        case 7:
            return make_solenoid_firmware(address, type_code);
        case 4:
        case 12:
        case 16:
            return make_piston_pump_firmware(address, type_code);
        case 8:
            return make_gantry_firmware(address, type_code);
        case 9:
            return make_z_stage_firmware(address, type_code);
        case 13:
            return make_probe_reader_firmware(address, type_code);
        case 14:
            return make_flow_controller_firmware(address, type_code);
        default:
            // A kind without firmware of its own answers the base commands only.
            return std::make_unique<ModuleFirmware>(address, type_code);
    }
}

}  // namespace orvak::sim
