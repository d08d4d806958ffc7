// The peristaltic pumps: one motor (axis X) turning the rollers for a signed
// number of revolutions, with no end stops and no home. Users think in flow
// (ml/min) and volume (ml); a calibration, the flow delivered at a known
// motor speed, converts both into the firmware's speed word and revolutions.
// A calibration comes from a measurement (`calibrate`) or from a table of
// standard tubing sizes (`calibrate_by_tubing`).
//
// Every model is a module kind (kinds.hpp) over the one class PeriPumpBase: models differ only in
// type code, name, speed cap, roller count and which tubing table they use. Class constants
// (CALIBRATION_RPM, MAX_RPM, ROLLERS, REV_PER_SEC_TO_G2, the axis letter) are resolved through
// `resolve_constants`, and the tubing tables through `tubing_presets` and
// `tubing_presets_by_rollers`, when each operation starts, so a host's values
// are the ones in force.
//
// Beyond the plain "<= 0" tests, a NaN flow, speed, calibration or rpm, and
// a NaN or infinite volume or calibration, are refused: they would otherwise
// go out as "G2 Xnan" or "G0 Xnan". A calibration that makes the speed word
// or the revolutions infinite (a calibration_speed of 0 set by hand) is
// refused for the same reason, before anything is sent or recorded. So is a
// flow or a volume so small that its command value rounds to zero: a zero
// speed word is refused by the firmware after the counter was zeroed, and a
// zero turn would report a run that pumped nothing.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/export.hpp"
#include "orvak/instruments/axis_driver.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// A tubing size as the caller gave it: its numbers (a standard size is two,
// inner and outer diameter in mm) and how the caller writes it, for messages.
struct TubingSize {
    std::vector<double> mm;
    std::string shown;
    // (ID, OD), shown as "(1.6, 4.8)".
    ORVAK_EXPORT static TubingSize of(double inner_mm, double outer_mm);
};

// One standard tubing: (ID, OD) in mm and the flow it gives at 60 RPM.
struct TubingPreset {
    double inner_mm;
    double outer_mm;
    double flow_ml_min;
};
using TubingTable = std::vector<TubingPreset>;

// A head's tubing table for one roller count.
struct RollerTubingTable {
    double rollers;
    TubingTable presets;
};
using RollerTubingTables = std::vector<RollerTubingTable>;

ORVAK_EXPORT const TubingTable& standard_tubing_presets();
ORVAK_EXPORT const RollerTubingTables& t_head_tubing_presets();

// A roller count to choose a head's tubing table by: its number, when it is
// one, and how the caller writes it.
struct RollerChoice {
    std::optional<double> count;
    std::string shown;
};

// The calibration argument of `run`: its number (empty when the caller gave a
// text that is not one) and how the caller writes it.
struct CalibrationArgument {
    std::optional<double> value;
    std::string shown;
    CalibrationArgument(std::optional<double> number, std::string text)
        : value(number), shown(std::move(text)) {}
    ORVAK_EXPORT CalibrationArgument(double number);  // NOLINT: a plain number converts
};

// The kind of a pump model; throws ValueError for a code no pump model has.
ORVAK_EXPORT const kinds::Kind& peri_pump_model(int type_code);

// The pump's class constants as resolved for one operation.
struct PeriPumpSettings {
    double calibration_rpm{};
    std::optional<double> max_rpm;
    std::string max_rpm_shown;
    double rollers{};
    std::string rollers_shown;
    double rev_per_sec_to_g2{};
    std::string axis;
};

class ORVAK_EXPORT PeriPumpBase : public AxisDriver {
  public:
    static constexpr long long default_calibration_rpm = 60;
    static constexpr long long default_rollers = 3;
    static constexpr double default_rev_per_sec_to_g2 = 1.398101;
    // The default calibration equals the (1, 3) tubing at 60 RPM.
    static constexpr double default_calibration_speed = 18.0;
    static constexpr double tubing_rpm = 60.0;

    // The shared base: no speed cap, a 3-roller head.
    PeriPumpBase(int number, int instrument_id_number, std::string display_name);
    // A model of the kinds table.
    PeriPumpBase(int number, const kinds::Kind& kind);

    // Takes `calibration_rpm` and `rollers` from the class constants in force;
    // a host calls it once its object exists, as the constructor cannot ask.
    void adopt_constants();
    [[nodiscard]] Description describe() const override;

    // ---- calibration ----
    void calibrate(double flow_rate, double rpm = tubing_rpm);
    // Calibrates by a standard tubing of TUBING_PRESETS.
    void calibrate_by_tubing(const TubingSize& tube);
    // The T heads: by TUBING_PRESETS_BY_ROLLERS for `rollers` (ROLLERS when empty).
    void calibrate_by_tubing_for_head(const TubingSize& tube,
                                      const std::optional<RollerChoice>& rollers = std::nullopt);

    // ---- pumping ----
    void set_speed(double speed);
    // Pumps `volume` ml at `flow_rate` ml/min; a negative volume, or the
    // direction "ccw" / "cc-wise", reverses.
    void run(double flow_rate, double volume, bool wait = false, std::string_view direction = "cw",
             const std::optional<CalibrationArgument>& calibration = std::nullopt);
    // Moves `volume` ml at whatever speed the module last had.
    void run_as_is(double volume, bool wait = false);
    void set_rollers(long long rollers);
    // The module's raw step-position reply.
    std::string check_position();

    // ---- conversions and estimates ----
    // Seconds to pump `volume` (a magnitude) at `flow_rate`; also recorded.
    double estimate_run_time(double flow_rate, double volume);
    [[nodiscard]] double g2_speed_word(double flow_rate) const;
    [[nodiscard]] double revolutions(double volume) const;
    // Refuses a flow that would drive the motor beyond MAX_RPM.
    void guard_max_rpm(double flow_rate) const;

    // The refusal of a roller count that is not an integer; `shown` is the
    // value as the caller's language writes it.
    [[nodiscard]] ValueError rollers_not_integer(std::string_view shown) const;
    [[nodiscard]] PeriPumpSettings settings() const;

    // ---- host hooks: the tubing tables in force ----
    [[nodiscard]] virtual TubingTable tubing_presets() const;
    [[nodiscard]] virtual RollerTubingTables tubing_presets_by_rollers() const;

    // ---- state ----
    // The calibration: `calibration_speed` ml/min at `calibration_rpm`.
    double calibration_speed = default_calibration_speed;
    double calibration_rpm = static_cast<double>(default_calibration_rpm);
    // The flow the last accepted run or set_speed wrote; 0 before any.
    double last_flow_rate = 0.0;
    // The roller count last reported to the module.
    long long rollers;

  protected:
    [[nodiscard]] std::string control_axes() const override;

  private:
    [[nodiscard]] double speed_word(double flow_rate, const PeriPumpSettings& now) const;
    // The command values, refused when they are not finite numbers or round
    // to zero from a non-zero flow or volume.
    [[nodiscard]] double sendable_speed_word(double flow_rate, const PeriPumpSettings& now) const;
    [[nodiscard]] double sendable_revolutions(double volume) const;
    void guard_max_rpm(double flow_rate, const PeriPumpSettings& now) const;
    void calibrate_by_preset(const TubingTable& table, const TubingSize& tube,
                             std::string_view missing_message, std::string_view rollers_shown);
    // The calibration in messages: "18.0 ml/min at 60.0 RPM".
    [[nodiscard]] std::string calibration_text() const;

    std::optional<double> default_max_rpm_;
    long long default_rollers_;
};

}  // namespace orvak
