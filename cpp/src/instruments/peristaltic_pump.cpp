#include "orvak/instruments/peristaltic_pump.hpp"

#include <array>
#include <cmath>
#include <utility>
#include <variant>

#include "driver_support.hpp"
#include "orvak/pytext.hpp"

namespace orvak {

namespace {

// The speed word and the revolutions go out rounded to 4 decimals.
constexpr double smallest_command_step = 1e-4;

constexpr std::string_view cap_message =
    "Flow rate {} ml/min drives {} to {} RPM, above its maximum of {} RPM.";
constexpr std::string_view standard_missing =
    "{}: tubing (ID, OD) {} is not a standard size \xE2\x80\x94 use calibrate() with a custom "
    "measurement.";
constexpr std::string_view head_missing =
    "{}: tubing (ID, OD) {} is not a standard size for the {}-roller head \xE2\x80\x94 use "
    "calibrate() with a custom measurement.";

bool same_size(const TubingPreset& preset, const TubingSize& tube) {
    return tube.mm.size() == 2 && tube.mm[0] == preset.inner_mm && tube.mm[1] == preset.outer_mm;
}

}  // namespace

TubingSize TubingSize::of(double inner_mm, double outer_mm) {
    return {{inner_mm, outer_mm},
            text::fill("({}, {})", {text::number(inner_mm), text::number(outer_mm)})};
}

CalibrationArgument::CalibrationArgument(double number)
    : value(number), shown(text::number(number)) {}

const TubingTable& standard_tubing_presets() {
    static const TubingTable table{{1, 3, 18.0}, {2, 4, 64.0}, {3, 5, 94.0}};
    return table;
}

const RollerTubingTables& t_head_tubing_presets() {
    static const RollerTubingTables tables{
        {3,
         {{0.8, 4.0, 2.01},
          {1.6, 4.8, 11.22},
          {2.4, 5.6, 22.23},
          {3.2, 6.4, 38.15},
          {4.8, 8.0, 73.14}}},
        {6,
         {{0.8, 4.0, 1.87},
          {1.6, 4.8, 7.54},
          {2.4, 5.6, 12.9},
          {3.2, 6.4, 20.7},
          {4.8, 8.0, 38.16}}},
    };
    return tables;
}

const kinds::Kind& peri_pump_model(int type_code) {
    if (const auto* model = kinds::find_in("peridrive", type_code)) return *model;
    throw ValueError(
        text::fill("no peristaltic pump model has type code {}", {text::integer(type_code)}));
}

PeriPumpBase::PeriPumpBase(int number, int type_code, std::string display_name)
    : AxisDriver(number, type_code, std::move(display_name), ResumeCheck::acknowledged),
      rollers(default_rollers),
      default_rollers_(default_rollers) {}

PeriPumpBase::PeriPumpBase(int number, const kinds::Kind& kind)
    : PeriPumpBase(number, kind.type_code, std::string(kind.display_name)) {
    default_max_rpm_ = kind.model.max_rpm;
    default_rollers_ = kind.model.rollers;
    rollers = kind.model.rollers;
}

PeriPumpSettings PeriPumpBase::settings() const {
    std::array<ConstantRequest, 5> requests{{
        {"CALIBRATION_RPM", default_calibration_rpm},
        {"MAX_RPM", default_max_rpm_ ? ConstantValue(*default_max_rpm_) : ConstantValue()},
        {"ROLLERS", default_rollers_},
        {"REV_PER_SEC_TO_G2", default_rev_per_sec_to_g2},
        {"primary_axis", drivers::axis_request(primary_axis)},
    }};
    resolve_constants(requests);
    PeriPumpSettings now{
        .calibration_rpm = number_constant(requests[0]),
        .max_rpm = std::nullopt,
        .max_rpm_shown = {},
        .rollers = number_constant(requests[2]),
        .rollers_shown = drivers::constant_text(requests[2].value),
        .rev_per_sec_to_g2 = number_constant(requests[3]),
        .axis = drivers::axis_constant(requests[4].value, "primary_axis"),
    };
    if (!std::holds_alternative<std::monostate>(requests[1].value)) {
        now.max_rpm = number_constant(requests[1]);
        now.max_rpm_shown = drivers::constant_text(requests[1].value);
    }
    return now;
}

void PeriPumpBase::adopt_constants() {
    const auto now = settings();
    calibration_rpm = now.calibration_rpm;
    if (std::trunc(now.rollers) != now.rollers) {
        throw ArgumentTypeError("class constant ROLLERS must be an integer");
    }
    rollers = static_cast<long long>(now.rollers);
}

TubingTable PeriPumpBase::tubing_presets() const { return standard_tubing_presets(); }

RollerTubingTables PeriPumpBase::tubing_presets_by_rollers() const {
    return t_head_tubing_presets();
}

// ---- calibration ----

void PeriPumpBase::calibrate(double flow_rate, double rpm) {
    // "not > 0" also refuses NaN, which passes a plain "<= 0".
    if (!(flow_rate > 0.0)) {
        throw ValueError(
            text::fill("calibrate() flow_rate must be > 0 (got {}).", {text::number(flow_rate)}));
    }
    if (!(rpm > 0.0)) {
        throw ValueError(text::fill("calibrate() rpm must be > 0 (got {}).", {text::number(rpm)}));
    }
    // An infinite calibration turns every flow into a zero speed and every
    // volume into zero revolutions: a run that reports success and moves nothing.
    if (!std::isfinite(flow_rate)) {
        throw ValueError(text::fill("calibrate() flow_rate must be a finite number (got {}).",
                                    {text::number(flow_rate)}));
    }
    if (!std::isfinite(rpm)) {
        throw ValueError(
            text::fill("calibrate() rpm must be a finite number (got {}).", {text::number(rpm)}));
    }
    calibration_speed = flow_rate;
    calibration_rpm = rpm;
}

void PeriPumpBase::calibrate_by_preset(const TubingTable& table, const TubingSize& tube,
                                       std::string_view missing_message,
                                       std::string_view rollers_shown) {
    for (const auto& preset : table) {
        if (same_size(preset, tube)) {
            calibrate(preset.flow_ml_min, tubing_rpm);
            return;
        }
    }
    throw ValueError(text::fill(missing_message, {name, tube.shown, rollers_shown}));
}

void PeriPumpBase::calibrate_by_tubing(const TubingSize& tube) {
    calibrate_by_preset(tubing_presets(), tube, standard_missing, {});
}

void PeriPumpBase::calibrate_by_tubing_for_head(const TubingSize& tube,
                                                const std::optional<RollerChoice>& rollers) {
    std::optional<double> count;
    std::string shown;
    if (rollers) {
        count = rollers->count;
        shown = rollers->shown;
    } else {
        const auto now = settings();
        count = now.rollers;
        shown = now.rollers_shown;
    }
    const auto tables = tubing_presets_by_rollers();
    for (const auto& head : tables) {
        if (count && head.rollers == *count) {
            calibrate_by_preset(head.presets, tube, head_missing, shown);
            return;
        }
    }
    throw ValueError(text::fill("{}: roller count must be 3 or 6 (got {}).", {name, shown}));
}

// ---- conversions ----

double PeriPumpBase::speed_word(double flow_rate, const PeriPumpSettings& now) const {
    const double word =
        ((flow_rate * calibration_rpm) * now.rev_per_sec_to_g2) / (60.0 * calibration_speed);
    return text::round_to(word, 4);
}

double PeriPumpBase::revolutions(double volume) const {
    return text::round_to((volume * calibration_rpm) / calibration_speed, 4);
}

double PeriPumpBase::g2_speed_word(double flow_rate) const {
    return speed_word(flow_rate, settings());
}

void PeriPumpBase::guard_max_rpm(double flow_rate) const { guard_max_rpm(flow_rate, settings()); }

void PeriPumpBase::guard_max_rpm(double flow_rate, const PeriPumpSettings& now) const {
    if (!now.max_rpm || calibration_speed == 0.0) return;
    const double rpm = (flow_rate * calibration_rpm) / calibration_speed;
    if (rpm > *now.max_rpm) {
        throw ValueError(text::fill(
            cap_message, {text::number(flow_rate), name, text::fixed(rpm, 1), now.max_rpm_shown}));
    }
}

std::string PeriPumpBase::calibration_text() const {
    return text::fill("{} ml/min at {} RPM",
                      {text::number(calibration_speed), text::number(calibration_rpm)});
}

// A calibration set by hand (calibration_speed 0) can make the command values
// infinite; they are refused rather than sent as "inf". Both values go out
// with 4 decimals, so anything under half the last one is sent as zero.
double PeriPumpBase::sendable_speed_word(double flow_rate, const PeriPumpSettings& now) const {
    const double word = speed_word(flow_rate, now);
    if (!std::isfinite(word)) {
        throw ValueError(text::fill("{}: flow rate {} ml/min gives no finite motor speed at {}.",
                                    {name, text::number(flow_rate), calibration_text()}));
    }
    if (word == 0.0) {
        const double slowest = (smallest_command_step * 60.0 * calibration_speed) /
                               (calibration_rpm * now.rev_per_sec_to_g2);
        throw ValueError(text::fill(
            "{}: flow rate {} ml/min is below the slowest speed it can be set to ({} ml/min at "
            "{}).",
            {name, text::number(flow_rate), text::general(slowest, 3), calibration_text()}));
    }
    return word;
}

double PeriPumpBase::sendable_revolutions(double volume) const {
    const double revs = revolutions(volume);
    if (!std::isfinite(revs)) {
        throw ValueError(text::fill("{}: volume {} ml gives no finite number of revolutions at {}.",
                                    {name, text::number(volume), calibration_text()}));
    }
    if (revs == 0.0) {
        const double smallest = (smallest_command_step * calibration_speed) / calibration_rpm;
        throw ValueError(text::fill(
            "{}: volume {} ml is below the smallest turn it makes ({} ml at {}).",
            {name, text::number(volume), text::general(smallest, 3), calibration_text()}));
    }
    return revs;
}

double PeriPumpBase::estimate_run_time(double flow_rate, double volume) {
    if (!(flow_rate > 0.0)) {
        throw ValueError(
            text::fill("Flow rate of {} set to {}. Please supply a positive, non-zero flow rate.",
                       {name, text::number(flow_rate)}));
    }
    estimated_run_time = (volume * 60.0) / flow_rate;
    return estimated_run_time;
}

// ---- pumping ----

void PeriPumpBase::set_speed(double speed) {
    if (!(speed > 0.0)) {
        throw ValueError(
            text::fill("set_speed() speed must be > 0 (got {}).", {text::number(speed)}));
    }
    const auto now = settings();
    guard_max_rpm(speed, now);
    const double word = sendable_speed_word(speed, now);
    last_flow_rate = speed;
    send_command({text::fill("G2 {}{}", {now.axis, text::number(word)})});
    require_ok();
}

void PeriPumpBase::run(double flow_rate, double volume, bool wait, std::string_view direction,
                       const std::optional<CalibrationArgument>& calibration) {
    if (!(flow_rate > 0.0)) {
        throw ValueError(text::fill(
            "run() flow_rate must be > 0 (got {}) \xE2\x80\x94 reverse with direction=\"ccw\" or "
            "a negative volume.",
            {text::number(flow_rate)}));
    }
    if (volume == 0.0) throw ValueError("run() volume must be non-zero.");
    if (!std::isfinite(volume)) {
        throw ValueError(
            text::fill("run() volume must be a finite number (got {}).", {text::number(volume)}));
    }
    if (calibration) {
        if (!calibration->value) {
            throw ValueError(
                text::fill("run() calibration must be a number (got {}).", {calibration->shown}));
        }
        calibrate(*calibration->value);
    }
    const std::string turn = text::lower(direction);
    if (turn == "ccw" || turn == "cc-wise") volume = -std::fabs(volume);

    const auto now = settings();
    guard_max_rpm(flow_rate, now);
    // Both command values are checked before anything is recorded or sent.
    const double word = sendable_speed_word(flow_rate, now);
    const double revs = sendable_revolutions(volume);
    last_flow_rate = flow_rate;
    const double estimate = estimate_run_time(flow_rate, std::fabs(volume));

    send_command({text::fill("G4 {}", {now.axis})});
    require_ok();
    send_command({text::fill("G2 {}{}", {now.axis, text::number(word)})});
    require_ok();
    send_command(
        {text::fill("G0 {}{} W{}", {now.axis, text::number(revs), text::wait_flag(wait)})});
    require_ok();
    if (!wait) return;
    const auto operation = begin_operation("run", estimate);
    wait_for_done();
}

void PeriPumpBase::run_as_is(double volume, bool wait) {
    if (volume == 0.0) throw ValueError("run_as_is() volume must be non-zero.");
    if (!std::isfinite(volume)) {
        throw ValueError(text::fill("run_as_is() volume must be a finite number (got {}).",
                                    {text::number(volume)}));
    }
    const auto now = settings();
    const double revs = sendable_revolutions(volume);
    std::optional<double> estimate;
    if (last_flow_rate > 0.0) estimate = estimate_run_time(last_flow_rate, std::fabs(volume));
    send_command(
        {text::fill("G0 {}{} W{}", {now.axis, text::number(revs), text::wait_flag(wait)})});
    require_ok();
    if (!wait) return;
    const auto operation = begin_operation("run_as_is", estimate);
    wait_for_done();
}

ValueError PeriPumpBase::rollers_not_integer(std::string_view shown) const {
    return ValueError(
        text::fill("set_rollers() rollers must be a positive integer (got {}).", {shown}));
}

void PeriPumpBase::set_rollers(long long count) {
    if (count <= 0) {
        throw ValueError(
            text::fill("set_rollers() rollers must be > 0 (got {}).", {text::integer(count)}));
    }
    const auto axis = settings().axis;
    rollers = count;
    send_command({text::fill("M710 {}{}", {axis, text::integer(count)})});
    require_ok();
}

std::string PeriPumpBase::control_axes() const { return settings().axis; }

std::string PeriPumpBase::check_position() {
    send_command({text::fill("M300 {}", {settings().axis})});
    return wait_for_position();
}

}  // namespace orvak

namespace orvak {

Description PeriPumpBase::describe() const {
    const auto now = settings();
    std::optional<double> fastest;
    if (now.max_rpm && calibration_speed > 0.0 && calibration_rpm > 0.0) {
        fastest = *now.max_rpm * calibration_speed / calibration_rpm;
    }
    const ParameterInfo flow_rate{.name = "flow_rate",
                                  .type = "float",
                                  .unit = units::millilitre_per_minute,
                                  .minimum = 0.0,
                                  .maximum = fastest,
                                  .maximum_from = fastest ? "MAX_RPM's flow" : ""};
    const ParameterInfo volume{.name = "volume", .type = "float", .unit = units::millilitre};
    const auto* kind = kinds::find(instrument_id_number);
    const bool by_rollers = kind != nullptr && kind->model.tubing_by_rollers;
    Description about = AxisDriver::describe();
    about.declare({.name = "calibrate",
                   .kind = OperationKind::setting,
                   .parameters = {{.name = "flow_rate",
                                   .type = "float",
                                   .unit = units::millilitre_per_minute,
                                   .minimum = 0.0},
                                  {.name = "rpm",
                                   .type = "float",
                                   .unit = units::rpm,
                                   .minimum = 0.0,
                                   .default_value = DescribedValue(tubing_rpm)}},
                   .doc = "Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends "
                          "nothing."});
    OperationInfo by_tubing{
        .name = "calibrate_by_tubing",
        .kind = OperationKind::setting,
        .parameters = {{.name = "tube_ID_OD",
                        .type = "Sequence[float]",
                        .unit = units::millimetre}},
        .doc =
            "Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS; a list is "
            "accepted."};
    if (by_rollers) {
        by_tubing.parameters.push_back(
            {.name = "rollers", .type = "int | None", .default_value = DescribedValue()});
        by_tubing.doc =
            "Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS_BY_ROLLERS for the "
            "roller count (ROLLERS when None); a list is accepted.";
    }
    about.declare(std::move(by_tubing));
    about.declare({.name = "set_speed",
                   .kind = OperationKind::setting,
                   .parameters = {{.name = "speed",
                                   .type = "float",
                                   .unit = units::millilitre_per_minute,
                                   .minimum = 0.0,
                                   .maximum = fastest,
                                   .maximum_from = fastest ? "MAX_RPM's flow" : ""}},
                   .doc = "Writes the speed register for speed ml/min; starts no move."});
    about.declare(
        {.name = "run",
         .kind = OperationKind::motion,
         .parameters = {flow_rate,
                        volume,
                        wait_parameter(false),
                        {.name = "direction",
                         .type = "str",
                         .choices = {DescribedValue(std::string("cw")),
                                     DescribedValue(std::string("ccw"))},
                         .default_value = DescribedValue(std::string("cw"))},
                        {.name = "calibration",
                         .type = "float | str | None",
                         .unit = units::millilitre_per_minute,
                         .minimum = 0.0,
                         .default_value = DescribedValue()}},
         .doc = "Pumps volume ml at flow_rate ml/min. A negative volume or direction=\"ccw\" "
                "reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied "
                "first; with wait, returns once the run is done."});
    about.declare({.name = "run_as_is",
                   .kind = OperationKind::motion,
                   .parameters = {volume, wait_parameter(false)},
                   .doc = "Pumps volume ml at the speed the module last had (no speed cap "
                          "applies)."});
    about.declare({.name = "set_rollers",
                   .kind = OperationKind::setting,
                   .parameters = {{.name = "rollers", .type = "int | str", .minimum = 1.0}},
                   .doc = "Reports the fitted head's roller count to the module (anything int() "
                          "takes)."});
    about.declare({.name = "check_position",
                   .kind = OperationKind::query,
                   .result = {.type = "str"},
                   .doc = "The module's step-position reply, unparsed."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {flow_rate, volume, wait_parameter(false)},
                   .result = {.type = "float", .unit = units::second},
                   .doc = "Seconds to pump volume ml at flow_rate ml/min; also stored in "
                          "estimated_run_time. wait is ignored."});
    about.declare_controls("Halts the pump without resetting its step counter.",
                           "Resumes a halted run.", "Zeroes the step counter.");
    return about;
}

}  // namespace orvak
