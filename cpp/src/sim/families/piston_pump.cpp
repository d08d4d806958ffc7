// The piston (syringe) pumps, one build per kind (100 µl, 1 ml, 5 ml): one
// axis X in µl from 0 (home, fully dispensed) to the pump volume. G2 writes
// the speed register in µl/min, refused above what the build's motor can
// drive; G7 moves to an absolute volume at that speed. The outlet manifold's
// two valves are configured with G31 (X: the priming port, Y: the outlet),
// energised with G32 0 and released with G33 0; a move needs an energised
// path. A home runs a full stroke in 5 s.
#include <cmath>
#include <optional>
#include <string>
#include <variant>

#include "command_words.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"
#include "orvak/sim/motion_firmware.hpp"

namespace orvak::sim {

namespace {

using detail::refusal;

constexpr double home_stroke_seconds = 5.0;
constexpr double home_floor_seconds = 1.0;

struct Build {
    double volume;     // µl
    double speed_cap;  // µl/min
};

// The head drives 54 strokes a minute unless the build's motor stalls first.
Build build_of(const kinds::Kind& kind) {
    const double volume = kind.model.pump_volume.value_or(1000.0);
    return {volume, kind.model.speed_cap.value_or(volume * 54.0)};
}

class PistonPumpFirmware final : public MotionFirmware {
  public:
    PistonPumpFirmware(int address, int type_code, Build build)
        : MotionFirmware(
              address, type_code,
              MotionProfile{{{'X', 0.0, build.volume, true, build.volume / home_stroke_seconds}},
                            home_floor_seconds}),
          build_(build),
          speed_(build.volume * 60.0 / home_stroke_seconds) {}

    [[nodiscard]] std::vector<Detail> details(TimePoint) const override {
        return {{"valve", static_cast<long long>(valve_.value_or(-1))},
                {"energised", energised_},
                {"speed", speed_}};
    }

    void set_detail(std::string_view key, const DetailValue& value, TimePoint now) override {
        if (key == "valve") {
            const auto* valve = std::get_if<long long>(&value);
            if (valve == nullptr || *valve < -1 || *valve > 1) {
                throw ValueError("valve must be -1 (none configured), 0 or 1");
            }
            valve_ = *valve < 0 ? std::nullopt : std::optional<int>(static_cast<int>(*valve));
        } else if (key == "energised") {
            const auto* energised = std::get_if<bool>(&value);
            if (energised == nullptr) throw ValueError("energised must be True or False");
            energised_ = *energised;
        } else if (key == "speed") {
            const auto* real = std::get_if<double>(&value);
            const auto* whole = std::get_if<long long>(&value);
            const double speed = real ? *real : whole ? static_cast<double>(*whole) : std::nan("");
            if (!(speed > 0.0 && std::isfinite(speed))) {
                throw ValueError("speed must be a positive number of \xC2\xB5l/min");
            }
            speed_ = speed;
        } else {
            MotionFirmware::set_detail(key, value, now);
        }
    }

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint now,
                                   double time_scale) override {
        if (word == "G11") return Replies{home(args, now, time_scale)};
        if (word == "G2") return Replies{set_speed(args)};
        if (word == "G7") return Replies{stroke(args, now, time_scale)};
        if (word == "G3") return Replies{halt(args, now)};
        if (word == "G5") return Replies{resume(args, now)};
        if (word == "G4") return Replies{rezero(args)};
        if (word == "G31") return Replies{configure(args)};
        if (word == "G32") return Replies{bank(args, true)};
        if (word == "G33") return Replies{bank(args, false)};
        if (word == "M300") return Replies{position_report(args, now)};
        if (word == "M302") return Replies{valve_report(args)};
        return std::nullopt;
    }

  private:
    // The one axis's number, or empty when the command is malformed.
    [[nodiscard]] std::optional<std::pair<double, bool>> single_axis_value(const Args& args) const {
        const auto selection = select(args, true);
        if (!selection || selection->axes.size() != 1) return std::nullopt;
        return std::pair{*selection->axes.front().second, selection->wait};
    }

    std::string set_speed(const Args& args) {
        const auto value = single_axis_value(args);
        if (!value || !(value->first > 0.0)) return refusal(codes::bad_argument);
        if (value->first > build_.speed_cap) return refusal(codes::speed_too_high);
        speed_ = value->first;
        return "OK";
    }

    std::string stroke(const Args& args, TimePoint now, double scale) {
        const auto value = single_axis_value(args);
        if (!value) return refusal(codes::bad_argument);
        const auto [target, wait] = *value;
        if (target < 0.0 || target > build_.volume) return refusal(codes::out_of_range);
        if (const auto busy = busy_refusal()) return refusal(*busy);
        if (!homed(0)) return refusal(codes::not_homed);
        if (!energised_ || !valve_) return refusal(codes::no_valve_path);
        const double seconds = std::abs(target - positions(now).front()) * 60.0 / speed_;
        start_motion({{0, target}}, wait, seconds, now, scale);
        return "OK";
    }

    // "X1 Y0" opens the priming port, "X0 Y1" the outlet, "X0 Y0" neither;
    // both at once would join the two ports and is refused.
    std::string configure(const Args& args) {
        std::optional<bool> priming;
        std::optional<bool> outlet;
        for (const auto word : args) {
            const auto arg = detail::parse_arg(word);
            if (!arg || !arg->value || (*arg->value != 0.0 && *arg->value != 1.0)) {
                return refusal(codes::bad_argument);
            }
            auto* flag = arg->letter == 'X' ? &priming : arg->letter == 'Y' ? &outlet : nullptr;
            if (flag == nullptr || flag->has_value()) return refusal(codes::bad_argument);
            *flag = *arg->value == 1.0;
        }
        if (args.empty() || (priming.value_or(false) && outlet.value_or(false))) {
            return refusal(codes::bad_argument);
        }
        valve_ = priming.value_or(false)  ? std::optional<int>(0)
                 : outlet.value_or(false) ? std::optional<int>(1)
                                          : std::nullopt;
        return "OK";
    }

    // G32 0 / G33 0: the manifold's one valve bank on or off.
    std::string bank(const Args& args, bool on) {
        if (args.size() != 1 || detail::parse_number(args.front()) != 0.0) {
            return refusal(codes::bad_argument);
        }
        energised_ = on;
        return "OK";
    }

    // The energised valves as a bit mask (1: priming port, 2: outlet).
    [[nodiscard]] std::string valve_report(const Args& args) const {
        if (!args.empty()) return refusal(codes::bad_argument);
        const int mask = energised_ && valve_ ? 1 << *valve_ : 0;
        return "POS VALVES " + text::integer(mask) + " $$$";
    }

    const Build build_;
    double speed_;              // µl/min
    std::optional<int> valve_;  // configured valve; none at power-up
    bool energised_ = false;
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_piston_pump_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<PistonPumpFirmware>(address, kind.type_code, build_of(kind));
}

}  // namespace orvak::sim
