// The peristaltic pumps: one motor, axis X,
// counted in signed revolutions with no end stops and no home. G0 turns by
// the given revolutions from wherever the counter stands, at the speed the
// last G2 wrote (revolutions per second times 1.398101); G4 zeroes the
// counter; M710 records the fitted roller count, which the module shows.
#include <cmath>
#include <limits>
#include <string>

#include "command_words.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"
#include "orvak/sim/motion_firmware.hpp"

namespace orvak::sim {

namespace {

using detail::refusal;

// The speed word of one revolution per second.
constexpr double word_per_rev_per_second = 1.398101;

class PeristalticFirmware final : public MotionFirmware {
  public:
    // A head shows the roller count of its kind until M710 records another.
    PeristalticFirmware(int address, const kinds::Kind& kind)
        : MotionFirmware(address, kind.type_code, profile()), rollers_(kind.model.rollers) {}

    [[nodiscard]] std::vector<Detail> details(TimePoint /*now*/) const override {
        return {{"rollers", rollers_}, {"speed_word", speed_word_}};
    }

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint now,
                                   double time_scale) override {
        if (word == "G0") return Replies{turn(args, now, time_scale)};
        if (word == "G2") return Replies{set_speed(args)};
        if (word == "M710") return Replies{set_rollers(args)};
        if (word == "G10") return std::nullopt;  // nothing to home
        return MotionFirmware::command(word, args, now, time_scale);
    }

  private:
    static MotionProfile profile() {
        constexpr double endless = std::numeric_limits<double>::max();
        return MotionProfile{{{'X', -endless, endless, true, 1.0}}, 0.0, false};
    }

    // The single X value of a command, or empty when the arguments are not
    // exactly that (a W flag aside).
    [[nodiscard]] std::optional<Selection> single_value(const Args& args) const {
        auto selection = select(args, true);
        if (!selection || selection->axes.size() != 1) return std::nullopt;
        return selection;
    }

    std::string turn(const Args& args, TimePoint now, double scale) {
        const auto selection = single_value(args);
        if (!selection) return refusal(codes::bad_argument);
        if (const auto busy = busy_refusal()) return refusal(*busy);
        const double revolutions = *selection->axes.front().second;
        const double target = positions(now).front() + revolutions;
        if (!std::isfinite(target)) return refusal(codes::out_of_range);
        const double seconds = std::abs(revolutions) / (speed_word_ / word_per_rev_per_second);
        start_motion({{0, target}}, selection->wait, seconds, now, scale);
        return "OK";
    }

    std::string set_speed(const Args& args) {
        if (args.size() != 1) return refusal(codes::bad_argument);
        const auto selection = single_value(args);
        if (!selection) return refusal(codes::bad_argument);
        const double word = *selection->axes.front().second;
        if (!(word > 0.0)) return refusal(codes::out_of_range);
        speed_word_ = word;
        return "OK";
    }

    std::string set_rollers(const Args& args) {
        if (args.size() != 1) return refusal(codes::bad_argument);
        const auto selection = single_value(args);
        if (!selection) return refusal(codes::bad_argument);
        const double count = *selection->axes.front().second;
        if (!(count >= 1.0) || std::trunc(count) != count || count > 1e6) {
            return refusal(codes::out_of_range);
        }
        rollers_ = static_cast<long long>(count);
        return "OK";
    }

    long long rollers_;
    // Before any G2 the motor turns one revolution per second.
    double speed_word_ = word_per_rev_per_second;
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_peristaltic_pump_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<PeristalticFirmware>(address, kind);
}

}  // namespace orvak::sim
