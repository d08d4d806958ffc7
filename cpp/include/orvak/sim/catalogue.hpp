// The firmware classes of the module kinds the emulator plays, one maker per
// kind, each defined in that kind's file under src/sim. `make_firmware`
// (catalogue.cpp) picks one by type code.
#pragma once

#include <memory>

#include "orvak/sim/firmware.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_rotary_valve_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_peristaltic_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_solenoid_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_piston_pump_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_gantry_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_z_stage_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_probe_reader_firmware(int address, int type_code);
std::unique_ptr<ModuleFirmware> make_flow_controller_firmware(int address, int type_code);

}  // namespace orvak::sim
