// The H-bot XY gantry: two axes (X and Y) driven by one command per move,
// coordinates in millimetres.
//
// Finite coordinates outside the travel are clamped silently into
// [0, X_MAX] and [0, Y_MAX]. A NaN coordinate is refused before anything is
// sent: clamped, it would become 0.0 and drive the gantry to the origin, and
// a NaN is far more likely a bug in the caller's arithmetic than a wish to go
// home. The last commanded target (`prev_x`, `prev_y`) is where run-time
// estimates start; homing leaves it as it is.
//
// Class constants (X_MAX, Y_MAX, RUN_SPEED, HOMING_SPEED, the home-required
// code and noun) and the axis letters are resolved through
// `resolve_constants` when each operation starts.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "orvak/export.hpp"
#include "orvak/instruments/axis_driver.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// The gantry's class constants as resolved for one operation.
struct GantrySettings {
    double x_max{};
    double y_max{};
    double run_speed{};
    double homing_speed{};
    std::string x_axis;
    std::string y_axis;
};

class ORVAK_EXPORT Gantry : public AxisDriver {
  public:
    static constexpr const kinds::Kind& kind = kinds::only_in("gantry");
    static constexpr int type_code = kind.type_code;
    static constexpr std::string_view display_name = kind.display_name;
    static constexpr double default_x_max = 190.0;
    static constexpr double default_y_max = 240.0;
    static constexpr double default_run_speed = 160.0;    // mm/s, for estimates
    static constexpr double default_homing_speed = 40.0;  // mm/s, for estimates
    static constexpr std::string_view home_required_code = "0x210";
    static constexpr std::string_view home_required_noun = "the gantry";

    explicit Gantry(int number = 0);

    // Answers the home-required code and noun when there is no host.
    void resolve_constants(std::span<ConstantRequest> requests) const override;
    [[nodiscard]] Description describe() const override;

    // ---- motion ----
    // Homes both axes to (0, 0).
    bool home(bool wait = true);
    // Moves to (x, y) mm, each clamped silently into its travel. A NaN
    // coordinate throws ValueError before anything is sent.
    void run(double x, double y, bool wait = false);

    // ---- position and estimates ----
    // The raw position reply ("POS X100.0 Y150.0 $$$").
    std::string check_position();
    // (x, y) in mm read from that reply; none when it lacks either axis.
    std::optional<std::pair<double, double>> check_position_xy();
    // Seconds along the straight line from the last commanded target to
    // (x, y) (not clamped).
    double estimate_run_time(double x, double y);
    // Seconds a home takes, from anywhere.
    double estimate_home_time();

    [[nodiscard]] GantrySettings settings() const;

    // ---- state ----
    std::optional<std::string> secondary_axis;
    double estimated_home_time = 0.0;
    double prev_x = 0.0;
    double prev_y = 0.0;

  protected:
    // Both axes: "X Y".
    [[nodiscard]] std::string control_axes() const override;

  private:
    [[nodiscard]] double run_seconds(double x, double y, const GantrySettings& settings) const;
    [[nodiscard]] double home_seconds(const GantrySettings& settings) const;
};

}  // namespace orvak
