// The Z stage (type code 9): one vertical axis, addressed as X, with targets
// in millimetres over 0 to 45 mm at 6.35 mm/s. It homes at 2.54 mm/s after a
// one-second settle, and reports its position in motor microsteps
// (51200 per 1.27 mm of lead) as "POS: 806299 $$$".
#include <cmath>

#include "command_words.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"
#include "orvak/sim/motion_firmware.hpp"

namespace orvak::sim {

namespace {

constexpr double travel_mm = 45.0;
constexpr double speed_mm_s = 6.35;
constexpr double homing_speed_mm_s = 2.54;
constexpr double home_settle_s = 1.0;
constexpr double microsteps_per_mm = 51200.0 / 1.27;

class ZStageFirmware final : public MotionFirmware {
  public:
    ZStageFirmware(int address, int type_code)
        : MotionFirmware(address, type_code,
                         MotionProfile{{{'X', 0.0, travel_mm, true, speed_mm_s}}, home_settle_s}) {}

    [[nodiscard]] std::vector<Detail> details(TimePoint now) const override {
        return {{"microsteps", microsteps(now)}};
    }

  protected:
    [[nodiscard]] std::string position_report(const Args& args, TimePoint now) const override {
        if (!select(args, false)) return detail::refusal(codes::bad_argument);
        return "POS: " + text::integer(microsteps(now)) + " $$$";
    }

    [[nodiscard]] double home_seconds(const std::vector<double>& from,
                                      const std::vector<std::size_t>&) const override {
        return home_settle_s + std::abs(from.at(0)) / homing_speed_mm_s;
    }

  private:
    [[nodiscard]] long long microsteps(TimePoint now) const {
        return std::llround(positions(now).at(0) * microsteps_per_mm);
    }
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_z_stage_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<ZStageFirmware>(address, kind.type_code);
}

}  // namespace orvak::sim
