#include "orvak/instruments/rotary_valve.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <system_error>
#include <utility>
#include <variant>

#include "driver_support.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// round() of a float: to the nearest whole number, ties to even.
double round_half_even(double value) {
    double rounded = std::round(value);
    if (std::fabs(value - rounded) == 0.5) rounded = 2.0 * std::round(value / 2.0);
    return rounded;
}

// |a - b| exactly, whatever the signs.
unsigned long long distance(long long a, long long b) {
    const auto ua = static_cast<unsigned long long>(a);
    const auto ub = static_cast<unsigned long long>(b);
    return a >= b ? ua - ub : ub - ua;
}

// Port arithmetic (modulo, int results) needs a whole, positive port count.
int port_count_constant(const ConstantRequest& request, const std::string& owner) {
    const double count = number_constant(request);
    if (std::trunc(count) != count) {
        throw ArgumentTypeError("class constant NUM_PORTS must be an integer");
    }
    if (!(count >= 1.0 && count <= static_cast<double>(INT_MAX))) {
        throw ValueError(
            text::fill("{}: NUM_PORTS must be a positive whole number of ports.", {owner}));
    }
    return static_cast<int>(count);
}

}  // namespace

RotaryValveBase::RotaryValveBase(int number, int type_code, std::string display_name)
    : AxisDriver(number, type_code, std::move(display_name), ResumeCheck::acknowledged) {}

RotaryValveBase::RotaryValveBase(int number, const kinds::Kind& build)
    : RotaryValveBase(number, build.type_code, std::string(build.display_name)) {}

void RotaryValveBase::resolve_constants(std::span<ConstantRequest> requests) const {
    drivers::answer_home_required(requests, home_required_code, home_required_noun);
}

RotaryValveSettings RotaryValveBase::settings() const {
    std::array<ConstantRequest, 5> requests{{
        {"NUM_PORTS", default_num_ports},
        {"PORT_INCREMENT", default_port_increment},
        {"RUN_SPEED_RPM", default_run_speed_rpm},
        {"HOME_TIME_FLOOR_S", default_home_time_floor_s},
        {"primary_axis", drivers::axis_request(primary_axis)},
    }};
    resolve_constants(requests);
    return RotaryValveSettings{
        .num_ports = port_count_constant(requests[0], name),
        .port_increment = number_constant(requests[1]),
        .run_speed_rpm = number_constant(requests[2]),
        .home_time_floor_s = number_constant(requests[3]),
        .axis = drivers::axis_constant(requests[4].value, "primary_axis"),
    };
}

// ---- motion ----

bool RotaryValveBase::home(bool wait) {
    const auto now = settings();
    // Taken before the port is forgotten; none when a zero speed makes it fail.
    const auto estimate =
        now.run_speed_rpm == 0.0 ? std::nullopt : std::optional(home_seconds(now));
    const auto& axis = now.axis;
    current_port.reset();
    send_command({text::fill("G10 {} W{}", {axis, text::wait_flag(wait)})});
    require_ok();
    if (!wait) return true;
    const auto operation = begin_operation("home", estimate);
    wait_for_done();
    current_port = 1;
    return true;
}

void RotaryValveBase::select_port(long long port_number, bool wait) {
    const auto now = settings();
    if (port_number < 1 || port_number > now.num_ports) {
        throw port_range_error(text::integer(port_number));
    }
    if (port_number == 1) {
        home(wait);
        return;
    }
    const double rotations = now.port_increment * static_cast<double>(port_number - 1);
    const std::string command =
        text::fill("G0 {}{} W{}", {now.axis, text::number(rotations), text::wait_flag(wait)});
    const auto estimate =
        now.run_speed_rpm == 0.0 ? std::nullopt : std::optional(run_seconds(port_number, now));
    current_port.reset();
    send_command({command});
    require_ok_or_home_required();
    if (!wait) return;
    const auto operation = begin_operation("select_port", estimate);
    wait_for_done();
    current_port = static_cast<int>(port_number);
}

std::string RotaryValveBase::control_axes() const { return settings().axis; }

void RotaryValveBase::forget_on_stop() { current_port.reset(); }

void RotaryValveBase::forget_tracked_state() { current_port.reset(); }

// ---- position and estimates ----

int RotaryValveBase::check_position() {
    const auto now = settings();
    send_command({text::fill("M300 {}", {now.axis})});
    const std::string reply = wait_for_position();
    const auto value = grammar::axis_value(reply, now.axis);
    if (!value) {
        throw ValueError(text::fill("{}: malformed position reply: {!r}", {name, reply}));
    }
    const double index = round_half_even(*value / now.port_increment);
    if (!(index >= 0.0 && index <= static_cast<double>(now.num_ports))) {
        throw ValueError(text::fill(
            "{}: position reply {!r} is outside one rotation \xE2\x80\x94 not a valid port "
            "reading.",
            {name, reply}));
    }
    const int port = static_cast<int>(index) % now.num_ports + 1;
    current_port = port;
    return port;
}

double RotaryValveBase::estimate_run_time(long long port_number) {
    const double seconds = run_seconds(port_number, settings());
    estimated_run_time = seconds;
    return seconds;
}

double RotaryValveBase::estimate_home_time() {
    const double seconds = home_seconds(settings());
    estimated_home_time = seconds;
    return seconds;
}

double RotaryValveBase::run_seconds(long long port_number,
                                    const RotaryValveSettings& settings) const {
    return travel_seconds(distance(port_number, estimate_start(settings)), settings);
}

double RotaryValveBase::home_seconds(const RotaryValveSettings& settings) const {
    const auto steps = std::max(distance(estimate_start(settings), 1), 1ULL);
    return std::max(travel_seconds(steps, settings), settings.home_time_floor_s);
}

double RotaryValveBase::travel_seconds(unsigned long long steps,
                                       const RotaryValveSettings& settings) const {
    if (settings.run_speed_rpm == 0.0) {
        throw ValueError(text::fill("Speed of {} set to 0.", {name}));
    }
    return ((static_cast<double>(steps) * settings.port_increment) * 60.0) / settings.run_speed_rpm;
}

// Without a known port the estimate starts from the middle of the dial.
long long RotaryValveBase::estimate_start(const RotaryValveSettings& settings) const {
    return current_port ? *current_port : settings.num_ports / 2;
}

ValueError RotaryValveBase::port_range_error(std::string_view got) const {
    return ValueError(text::fill("{} port number must be between 1 and {} (got {}).",
                                 {name, text::integer(settings().num_ports), got}));
}

// ---- the three builds ----

}  // namespace orvak

namespace orvak {

Description RotaryValveBase::describe() const {
    const auto now = settings();
    const ParameterInfo port{.name = "port_number",
                             .type = "int",
                             .minimum = 1.0,
                             .maximum = static_cast<double>(now.num_ports),
                             .maximum_from = "NUM_PORTS"};
    Description about = AxisDriver::describe();
    about.declare_homing(
        "Homes the valve to port 1; with wait, returns once it is there. "
        "Returns True.",
        "Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in "
        "estimated_home_time. wait is ignored.");
    ParameterInfo port_or_name = port;
    port_or_name.type = "int | str";
    about.declare({.name = "select_port",
                   .kind = OperationKind::motion,
                   .parameters = {port_or_name, wait_parameter(true)},
                   .doc = "Turns to port_number (1 to NUM_PORTS, or a name port_names gives "
                          "it); port 1 is reached by homing. With wait, returns once it is "
                          "there."});
    about.declare({.name = "check_position",
                   .kind = OperationKind::query,
                   .result = {.type = "int"},
                   .doc = "Asks the valve where it is and returns that port (1 to NUM_PORTS)."});
    ParameterInfo target = port;
    target.default_value = DescribedValue(static_cast<long long>(default_estimate_target));
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {target, wait_parameter(true)},
                   .result = {.type = "float", .unit = units::second},
                   .doc = "Seconds to turn from the current port (port 6 when unknown) to "
                          "port_number at RUN_SPEED_RPM; also stored in estimated_run_time. wait "
                          "is ignored."});
    about.declare_controls("Halts the valve, keeping its target so resume() can continue.",
                           "Continues a stopped move.", "Redefines zero at the current position.");
    about.readings = {{.name = "port", .type = "int", .operation = "check_position"}};
    return about;
}

}  // namespace orvak
