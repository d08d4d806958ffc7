// The XY gantry (type code 8): an H-bot with X over 0 to 190 mm and Y over
// 0 to 240 mm. Both motors drive every move, so the carriage travels the
// straight line at 160 mm/s; a home seeks X then Y at 40 mm/s after a
// two-second settle. Positions are reported in millimetres.
#include <cmath>

#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/motion_firmware.hpp"

namespace orvak::sim {

namespace {

constexpr double path_speed_mm_s = 160.0;
constexpr double homing_speed_mm_s = 40.0;
constexpr double home_settle_s = 2.0;

class GantryFirmware final : public MotionFirmware {
  public:
    GantryFirmware(int address, int type_code)
        : MotionFirmware(address, type_code,
                         MotionProfile{{{'X', 0.0, 190.0, true, path_speed_mm_s},
                                        {'Y', 0.0, 240.0, true, path_speed_mm_s}},
                                       home_settle_s}) {}

  protected:
    [[nodiscard]] double move_seconds(
        const std::vector<double>& from,
        const std::vector<std::pair<std::size_t, double>>& targets) const override {
        double squares = 0.0;
        for (const auto& [index, value] : targets) {
            squares += (value - from.at(index)) * (value - from.at(index));
        }
        return std::sqrt(squares) / path_speed_mm_s;
    }

    [[nodiscard]] double home_seconds(const std::vector<double>& from,
                                      const std::vector<std::size_t>& indices) const override {
        double seconds = home_settle_s;
        for (const std::size_t index : indices)
            seconds += std::abs(from.at(index)) / homing_speed_mm_s;
        return seconds;
    }
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_gantry_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<GantryFirmware>(address, kind.type_code);
}

}  // namespace orvak::sim
