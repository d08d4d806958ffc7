// The rotary selector valves: one axis in rotations,
// 0 at port 1 and each further port a twelfth of a turn on, at 40 rpm.
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/motion_firmware.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_rotary_valve_firmware(int address, const kinds::Kind& kind) {
    MotionProfile profile{{{'X', 0.0, 1.0, false, 40.0 / 60.0}}, 6.0};
    return std::make_unique<MotionFirmware>(address, kind.type_code, std::move(profile));
}

}  // namespace orvak::sim
