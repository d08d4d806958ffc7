#include "orvak/sim/catalogue.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code) {
    switch (type_code) {
        case 2:
        case 6:
        case 17:
            return make_rotary_valve_firmware(address, type_code);
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
