// The single-axis vertical stage. Targets go out in millimetres on the
// module's one axis (addressed as X); the module reports its position in
// motor microsteps, which the driver turns back into millimetres.
//
// A target above Z_MAX or below 0 is clamped with a warning to the user; a
// NaN target is refused before anything is sent. The last commanded target
// (`prev_z`) is where run-time estimates start; it is never read back from
// the module.
//
// Class constants (Z_MAX, RUN_SPEED, HOMING_SPEED, STEPS_PER_MM, the
// home-required code and noun) and the axis letter are resolved through
// `resolve_constants` when each operation starts.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orvak/export.hpp"
#include "orvak/instruments/axis_driver.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// The stage's class constants as resolved for one operation.
struct ZStageSettings {
    double z_max{};
    std::string z_max_text;  // Z_MAX as messages show it
    double run_speed{};
    double homing_speed{};
    double steps_per_mm{};
    std::string axis;
};

class ORVAK_EXPORT ZStage : public AxisDriver {
  public:
    static constexpr const kinds::Kind& kind = kinds::only_in("zaxis");
    static constexpr int type_code = kind.type_code;
    static constexpr std::string_view display_name = kind.display_name;
    static constexpr double default_z_max = 45.0;
    static constexpr double default_run_speed = 6.35;     // mm/s, for estimates
    static constexpr double default_homing_speed = 2.54;  // mm/s, for estimates
    static constexpr long long default_microstepping = 256;
    static constexpr double default_steps_per_mm = 51200.0 / 1.27;
    // The only speed the firmware runs at; any other asked for is ignored.
    static constexpr double firmware_speed = 4.0;
    static constexpr int default_decimals = 3;
    static constexpr std::string_view home_required_code = "0x210";
    static constexpr std::string_view home_required_noun = "the stage";

    explicit ZStage(int number = 0);

    // Answers the home-required code and noun when there is no host.
    void resolve_constants(std::span<ConstantRequest> requests) const override;
    [[nodiscard]] Description describe() const override;

    // ---- motion ----
    bool home(bool wait = true);
    // Moves to `z` mm, clamped into [0, Z_MAX] with a warning. `speed` is
    // not supported by the firmware: any other than 4.0 is warned about and
    // ignored. A NaN target throws ValueError before anything is sent.
    void run(double z, double speed = firmware_speed, bool wait = false);

    // ---- position and estimates ----
    // The raw position reply ("POS: 806299 $$$").
    virtual std::string check_position();
    // The position in mm from check_position()'s step count, rounded as
    // round(mm, decimals) does (unrounded without `decimals`); empty when the
    // reply carries no step count.
    std::optional<double> check_position_mm(std::optional<int> decimals = default_decimals);
    // Seconds from the last commanded target to `z` (not clamped).
    double estimate_run_time(double z);
    // Seconds a home takes, from anywhere.
    double estimate_home_time();

    [[nodiscard]] ZStageSettings settings() const;

    // ---- state ----
    double estimated_home_time = 0.0;
    double prev_z = 0.0;

  protected:
    [[nodiscard]] std::string control_axes() const override;

  private:
    [[nodiscard]] double run_seconds(double z, const ZStageSettings& settings) const;
    [[nodiscard]] double home_seconds(const ZStageSettings& settings) const;
};

}  // namespace orvak
