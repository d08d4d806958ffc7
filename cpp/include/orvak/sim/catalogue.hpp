// The firmware classes of the module kinds the emulator plays, one maker per
// firmware family of the kinds table, each defined in that family's file
// under src/sim. `make_firmware` (catalogue.cpp) picks one by the family of
// the type code's kind; a maker reads the build's numbers from the kind.
#pragma once

#include <memory>

#include "orvak/kinds.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim {

std::unique_ptr<ModuleFirmware> make_rotary_valve_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_peristaltic_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_solenoid_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_piston_pump_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_gantry_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_z_stage_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_probe_reader_firmware(int address, const kinds::Kind& kind);
std::unique_ptr<ModuleFirmware> make_flow_controller_firmware(int address, const kinds::Kind& kind);

}  // namespace orvak::sim
