// The firmware of the module kinds the emulator plays: one maker per firmware
// family of the kinds table, each defined in that family's file under
// src/sim/families (make_<family>_firmware, listed by the build). A maker
// reads the build's numbers from the kind.
#pragma once

#include <memory>

#include "orvak/kinds.hpp"
#include "orvak/sim/firmware.hpp"
#include "orvak/sim/firmware_families.hpp"
