#include "orvak/sim/catalogue.hpp"

#include <algorithm>
#include <string_view>

#include "orvak/kinds.hpp"

namespace orvak::sim {

namespace {

constexpr bool every_family_has_a_maker() {
    for (const auto& kind : kinds::table) {
        if (std::none_of(
                firmware_families.begin(), firmware_families.end(),
                [&](const FirmwareFamily& family) { return family.name == kind.firmware; })) {
            return false;
        }
    }
    return true;
}
static_assert(every_family_has_a_maker(),
              "a kind names a firmware family that has no file under src/sim/families");

}  // namespace

std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code) {
    const auto* kind = kinds::find(type_code);
    // A code that names no kind answers the base commands only.
    if (kind == nullptr) return std::make_unique<ModuleFirmware>(address, type_code);
    for (const auto& family : firmware_families) {
        if (family.name == kind->firmware) return family.make(address, *kind);
    }
    return std::make_unique<ModuleFirmware>(address, type_code);
}

}  // namespace orvak::sim
