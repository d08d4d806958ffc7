#include "orvak/instruments/z_stage.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "driver_support.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "POS[:\s]+(-?\d+)" searched anywhere; the count as int / float converts it
// (to the nearest double; beyond any double is an overflow).
std::optional<double> step_count(std::string_view reply) {
    for (auto at = reply.find("POS"); at != std::string_view::npos;
         at = reply.find("POS", at + 1)) {
        std::size_t i = at + 3;
        const std::size_t separators = i;
        while (i < reply.size() && (reply[i] == ':' || text::is_space(reply[i]))) ++i;
        if (i == separators) continue;
        const bool negative = i < reply.size() && reply[i] == '-';
        if (negative) ++i;
        const std::size_t first = i;
        while (i < reply.size() && is_digit(reply[i])) ++i;
        if (i == first) continue;
        const std::string_view digits = reply.substr(first, i - first);
        double count = 0.0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), count);
        if (error == std::errc::result_out_of_range) {
            throw std::overflow_error("int too large to convert to float");
        }
        // An integer has no negative zero.
        return negative && count != 0.0 ? -count : count;
    }
    return std::nullopt;
}

}  // namespace

ZStage::ZStage(int number)
    : AxisDriver(number, type_code, std::string(display_name), ResumeCheck::homed) {}

void ZStage::resolve_constants(std::span<ConstantRequest> requests) const {
    drivers::answer_home_required(requests, home_required_code, home_required_noun);
}

ZStageSettings ZStage::settings() const {
    std::array<ConstantRequest, 5> requests{{
        {"Z_MAX", default_z_max},
        {"RUN_SPEED", default_run_speed},
        {"HOMING_SPEED", default_homing_speed},
        {"STEPS_PER_MM", default_steps_per_mm},
        {"primary_axis", drivers::axis_request(primary_axis)},
    }};
    resolve_constants(requests);
    return ZStageSettings{
        .z_max = number_constant(requests[0]),
        .z_max_text = drivers::constant_text(requests[0].value),
        .run_speed = number_constant(requests[1]),
        .homing_speed = number_constant(requests[2]),
        .steps_per_mm = number_constant(requests[3]),
        .axis = drivers::axis_constant(requests[4].value, "primary_axis"),
    };
}

// ---- motion ----

bool ZStage::home(bool wait) {
    const auto now = settings();
    const auto estimate =
        now.homing_speed == 0.0 ? std::nullopt : std::optional<double>(home_seconds(now));
    send_command({text::fill("G10 {} W{}", {now.axis, text::wait_flag(wait)})});
    require_ok();
    if (wait) {
        const auto operation = begin_operation("home", estimate);
        wait_for_done();
    }
    prev_z = 0.0;
    return true;
}

void ZStage::run(double z, double speed, bool wait) {
    const auto now = settings();
    if (speed != firmware_speed) {
        warn(text::fill(
            "{}: the speed parameter is not supported by the firmware and will be ignored.",
            {name}));
    }
    if (std::isnan(z)) throw ValueError(text::fill("{}: target z position is NaN.", {name}));
    if (z > now.z_max) {
        warn(text::fill("{}: requested {} mm exceeds Z_MAX ({} mm); clamping to {} mm.",
                        {name, text::fixed(z, 3), now.z_max_text, now.z_max_text}));
        z = now.z_max;
    } else if (z < 0.0) {
        warn(text::fill("{}: requested {} mm is below 0; clamping to 0 mm.",
                        {name, text::fixed(z, 3)}));
        z = 0.0;
    }
    const std::string command =
        text::fill("G0 {}{} W{}", {now.axis, text::number(z), text::wait_flag(wait)});
    const auto estimate =
        now.run_speed == 0.0 ? std::nullopt : std::optional<double>(run_seconds(z, now));
    send_command({command});
    require_ok_or_home_required();
    if (wait) {
        const auto operation = begin_operation("run", estimate);
        wait_for_done();
    }
    prev_z = z;
}

std::string ZStage::control_axes() const { return settings().axis; }

// ---- position and estimates ----

std::string ZStage::check_position() {
    send_command({text::fill("M300 {}", {settings().axis})});
    return wait_for_position();
}

std::optional<double> ZStage::check_position_mm(std::optional<int> decimals) {
    const double steps_per_mm = settings().steps_per_mm;
    if (steps_per_mm == 0.0) {
        throw ValueError(text::fill("{}: STEPS_PER_MM is 0.", {name}));
    }
    const auto steps = step_count(check_position());
    if (!steps) return std::nullopt;
    const double mm = *steps / steps_per_mm;
    if (!decimals) return mm;
    return text::round_to(mm, *decimals);
}

double ZStage::estimate_run_time(double z) {
    const double seconds = run_seconds(z, settings());
    estimated_run_time = seconds;
    return seconds;
}

double ZStage::estimate_home_time() {
    const double seconds = home_seconds(settings());
    estimated_home_time = seconds;
    return seconds;
}

double ZStage::run_seconds(double z, const ZStageSettings& settings) const {
    if (settings.run_speed == 0.0) throw ValueError(text::fill("Speed of {} set to 0.", {name}));
    return std::fabs(prev_z - z) / settings.run_speed;
}

// From anywhere: a home is reckoned from the middle of the travel.
double ZStage::home_seconds(const ZStageSettings& settings) const {
    if (settings.homing_speed == 0.0) {
        throw ValueError(text::fill("Homing speed of {} is 0.", {name}));
    }
    return 1.0 + (settings.z_max / 2.0) / settings.homing_speed;
}

}  // namespace orvak

namespace orvak {

Description ZStage::describe() const {
    const auto now = settings();
    const ParameterInfo z{.name = "z",
                          .type = "float",
                          .unit = units::millimetre,
                          .minimum = 0.0,
                          .maximum = now.z_max,
                          .maximum_from = "Z_MAX"};
    Description about = AxisDriver::describe();
    about.declare_homing("Homes the stage (0 mm); with wait, returns once there. Returns True.",
                         "Seconds a home takes from anywhere, at HOMING_SPEED; also stored in "
                         "estimated_home_time. wait is ignored.");
    about.declare({.name = "run",
                   .kind = OperationKind::motion,
                   .parameters = {z,
                                  {.name = "speed",
                                   .type = "float",
                                   .unit = units::millimetre_per_second,
                                   .choices = {DescribedValue(firmware_speed)},
                                   .default_value = DescribedValue(firmware_speed)},
                                  wait_parameter(false)},
                   .doc = "Moves to z mm, clamped into [0, Z_MAX] with a warning. The firmware "
                          "runs at its own speed: any other speed is warned about and ignored. A "
                          "NaN z is refused."});
    about.declare({.name = "check_position",
                   .kind = OperationKind::query,
                   .result = {.type = "str"},
                   .doc = "The raw position reply, its position in microsteps."});
    about.declare({.name = "check_position_mm",
                   .kind = OperationKind::query,
                   .parameters = {{.name = "decimals",
                                   .type = "int | None",
                                   .minimum = 0.0,
                                   .default_value =
                                       DescribedValue(static_cast<long long>(default_decimals))}},
                   .result = {.type = "float | None", .unit = units::millimetre},
                   .doc = "The position in mm, rounded to decimals places (unrounded for None); "
                          "None when the reply carries no step count."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {z, wait_parameter(false)},
                   .result = {.type = "float", .unit = units::second},
                   .doc = "Seconds from the last commanded target to z mm at RUN_SPEED (not "
                          "clamped); also stored in estimated_run_time. wait is ignored."});
    about.declare_controls("Halts the stage, keeping its target so resume() can continue.",
                           "Continues a stopped move.",
                           "Redefines zero at the current position (the stage must be homed "
                           "again).");
    about.readings = {{.name = "position",
                       .unit = units::millimetre,
                       .type = "float",
                       .operation = "check_position_mm"}};
    return about;
}

}  // namespace orvak
