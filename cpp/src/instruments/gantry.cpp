#include "orvak/instruments/gantry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "driver_support.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

// Into [0, limit]; a value above the limit (or a limit below 0) gives the
// bound, as min then max do.
double clamp_into(double value, double limit) { return std::max(0.0, std::min(value, limit)); }

}  // namespace

Gantry::Gantry(int number)
    : AxisDriver(number, type_code, std::string(display_name), ResumeCheck::homed),
      secondary_axis(std::in_place, 1, 'Y') {
    all_axes = std::vector<std::string>{*primary_axis, *secondary_axis};
}

void Gantry::resolve_constants(std::span<ConstantRequest> requests) const {
    drivers::answer_home_required(requests, home_required_code, home_required_noun);
}

GantrySettings Gantry::settings() const {
    std::array<ConstantRequest, 6> requests{{
        {"X_MAX", default_x_max},
        {"Y_MAX", default_y_max},
        {"RUN_SPEED", default_run_speed},
        {"HOMING_SPEED", default_homing_speed},
        {"primary_axis", drivers::axis_request(primary_axis)},
        {"secondary_axis", drivers::axis_request(secondary_axis)},
    }};
    resolve_constants(requests);
    return GantrySettings{
        .x_max = number_constant(requests[0]),
        .y_max = number_constant(requests[1]),
        .run_speed = number_constant(requests[2]),
        .homing_speed = number_constant(requests[3]),
        .x_axis = drivers::axis_constant(requests[4].value, "primary_axis"),
        .y_axis = drivers::axis_constant(requests[5].value, "secondary_axis", "Y"),
    };
}

// ---- motion ----

bool Gantry::home(bool wait) {
    const auto now = settings();
    const auto estimate =
        now.homing_speed == 0.0 ? std::nullopt : std::optional<double>(home_seconds(now));
    send_command({text::fill("G10 {} {} W{}", {now.x_axis, now.y_axis, text::wait_flag(wait)})});
    require_ok();
    if (wait) {
        const auto operation = begin_operation("home", estimate);
        wait_for_done();
    }
    return true;
}

void Gantry::run(double x, double y, bool wait) {
    if (std::isnan(x)) throw ValueError(text::fill("{}: target x position is NaN.", {name}));
    if (std::isnan(y)) throw ValueError(text::fill("{}: target y position is NaN.", {name}));
    const auto now = settings();
    x = clamp_into(x, now.x_max);
    y = clamp_into(y, now.y_max);
    const std::string command = text::fill(
        "G0 {}{} {}{} W{}",
        {now.x_axis, text::number(x), now.y_axis, text::number(y), text::wait_flag(wait)});
    const auto estimate =
        now.run_speed == 0.0 ? std::nullopt : std::optional<double>(run_seconds(x, y, now));
    send_command({command});
    require_ok_or_home_required();
    if (wait) {
        const auto operation = begin_operation("run", estimate);
        wait_for_done();
    }
    prev_x = x;
    prev_y = y;
}

std::string Gantry::control_axes() const {
    const auto now = settings();
    return now.x_axis + " " + now.y_axis;
}

// ---- position and estimates ----

std::string Gantry::check_position() {
    const auto now = settings();
    send_command({text::fill("M300 {} {}", {now.x_axis, now.y_axis})});
    return wait_for_position();
}

std::optional<std::pair<double, double>> Gantry::check_position_xy() {
    const auto now = settings();
    const std::string reply = check_position();
    const auto x = grammar::axis_value(reply, now.x_axis);
    const auto y = grammar::axis_value(reply, now.y_axis);
    if (!x || !y) return std::nullopt;
    return std::pair{*x, *y};
}

double Gantry::estimate_run_time(double x, double y) {
    const double seconds = run_seconds(x, y, settings());
    estimated_run_time = seconds;
    return seconds;
}

double Gantry::estimate_home_time() {
    const double seconds = home_seconds(settings());
    estimated_home_time = seconds;
    return seconds;
}

double Gantry::run_seconds(double x, double y, const GantrySettings& settings) const {
    if (settings.run_speed == 0.0) throw ValueError(text::fill("Speed of {} set to 0.", {name}));
    const double dx = std::fabs(prev_x - x);
    const double dy = std::fabs(prev_y - y);
    return std::pow(dx * dx + dy * dy, 0.5) / settings.run_speed;
}

// From anywhere: a home is reckoned from the middle of both axes.
double Gantry::home_seconds(const GantrySettings& settings) const {
    if (settings.homing_speed == 0.0) {
        throw ValueError(text::fill("Homing speed of {} is 0.", {name}));
    }
    return 2.0 + (settings.x_max / 2.0 + settings.y_max / 2.0) / settings.homing_speed;
}

}  // namespace orvak

namespace orvak {

Description Gantry::describe() const {
    const auto now = settings();
    const ParameterInfo x{.name = "x",
                          .type = "float",
                          .unit = units::millimetre,
                          .minimum = 0.0,
                          .maximum = now.x_max,
                          .maximum_from = "X_MAX"};
    const ParameterInfo y{.name = "y",
                          .type = "float",
                          .unit = units::millimetre,
                          .minimum = 0.0,
                          .maximum = now.y_max,
                          .maximum_from = "Y_MAX"};
    Description about = AxisDriver::describe();
    about.declare_homing(
        "Homes both axes to (0, 0); with wait, returns once there. Returns "
        "True.",
        "Seconds a home takes from anywhere, at HOMING_SPEED; also stored in "
        "estimated_home_time. wait is ignored.");
    about.declare({.name = "run",
                   .kind = OperationKind::motion,
                   .parameters = {x, y, wait_parameter(false)},
                   .doc = "Moves to (x, y) mm, each clamped silently into [0, X_MAX] and [0, "
                          "Y_MAX]. A NaN coordinate is refused before anything is sent."});
    about.declare({.name = "check_position",
                   .kind = OperationKind::query,
                   .result = {.type = "str"},
                   .doc = "The raw position reply, positions in mm."});
    about.declare(
        {.name = "check_position_xy",
         .kind = OperationKind::query,
         .result = {.type = "tuple[float, float] | None",
                    .unit = units::millimetre,
                    .fields = {{.name = "x", .type = "float", .unit = units::millimetre},
                               {.name = "y", .type = "float", .unit = units::millimetre}}},
         .doc = "(x, y) in mm read from the position reply; None when it lacks either "
                "axis."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {x, y, wait_parameter(false)},
                   .result = {.type = "float", .unit = units::second},
                   .doc = "Seconds along the straight line from the last commanded target to (x, "
                          "y) mm at RUN_SPEED (not clamped); also stored in estimated_run_time. "
                          "wait is ignored."});
    about.declare_controls("Halts the gantry, keeping its target so resume() can continue.",
                           "Continues a stopped move.",
                           "Redefines zero at the current position (the gantry must be homed "
                           "again).");
    for (const char* axis : {"x", "y"}) {
        about.readings.push_back({.name = axis,
                                  .unit = units::millimetre,
                                  .type = "float",
                                  .operation = "check_position_xy",
                                  .field = axis});
    }
    return about;
}

}  // namespace orvak
