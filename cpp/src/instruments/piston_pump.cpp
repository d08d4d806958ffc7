#include "orvak/instruments/piston_pump.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "driver_support.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

// The pump head is rated for 54 full strokes a minute.
constexpr double strokes_per_minute = 54.0;
// The module the piston pump kinds name.
constexpr std::string_view pistondrive = "pistondrive";
// homing_speed covers a full stroke in this time.
constexpr double full_stroke_home_seconds = 5.0;

std::vector<std::string> codes_constant(const ConstantValue& value) {
    if (std::holds_alternative<std::monostate>(value)) return {};
    if (const auto* codes = std::get_if<std::vector<std::string>>(&value)) return *codes;
    if (const auto* code = std::get_if<std::string>(&value)) return {*code};
    throw ArgumentTypeError("class constant _VALVE_PATH_CODES must be a tuple of codes");
}

std::string general(double value) { return text::general(value, 3); }

}  // namespace

PistonPump::PistonPump(int number, double pump_volume)
    : AxisDriver(number, size_for(pump_volume).type_code, std::string(size_for(pump_volume).name),
                 ResumeCheck::homed),
      max_speed(size_for(pump_volume).max_speed),
      piston_volume(pump_volume),
      homing_speed(pump_volume * 60.0 / full_stroke_home_seconds) {}

namespace {

// The build of the kinds table with this pump volume, or null.
const kinds::Kind* build_of(double pump_volume) {
    for (const auto& kind : kinds::rows()) {
        if (kind.module == pistondrive && kind.model.pump_volume == pump_volume) return &kind;
    }
    return nullptr;
}

}  // namespace

PistonPumpSize PistonPump::size_for(double pump_volume) {
    const kinds::Kind* size = build_of(pump_volume);
    if (size == nullptr) size = build_of(default_pump_volume);
    return {size->type_code, size->display_name,
            size->model.speed_cap.value_or(pump_volume * strokes_per_minute)};
}

void PistonPump::resolve_constants(std::span<ConstantRequest> requests) const {
    drivers::answer_home_required(requests, home_required_code, home_required_noun);
    for (auto& request : requests) {
        if (request.name == "_VALVE_PATH_CODES") {
            request.value =
                std::vector<std::string>(valve_path_codes.begin(), valve_path_codes.end());
        }
    }
}

PistonPumpSettings PistonPump::settings() const {
    std::array<ConstantRequest, 2> requests{{
        {"primary_axis", drivers::axis_request(primary_axis)},
        {"_VALVE_PATH_CODES", ConstantValue()},
    }};
    resolve_constants(requests);
    return PistonPumpSettings{
        .axis = drivers::axis_constant(requests[0].value, "primary_axis"),
        .valve_path_codes = codes_constant(requests[1].value),
    };
}

// ---- motion ----

bool PistonPump::home(bool wait) {
    const auto axis = settings().axis;
    const auto estimate = home_seconds();
    previous_valve = unknown_valve;
    send_command({text::fill("G11 {} W{}", {axis, text::wait_flag(wait)})});
    require_ok();
    if (!wait) return true;
    try {
        const auto operation = begin_operation("home", estimate);
        wait_for_done();
    } catch (...) {
        // The piston stopped somewhere on its way home.
        previous_volume.reset();
        throw;
    }
    previous_volume = 0.0;
    return true;
}

void PistonPump::run(double speed, double target_volume, long long valve, bool wait) {
    move_to("run", speed, target_volume, valve, wait);
}

void PistonPump::aspirate(double speed, double volume, long long valve, bool wait) {
    if (volume < 0.0) {
        throw ValueError(
            text::fill("{}: aspirate volume must not be negative (got {} \xC2\xB5l); "
                       "use dispense() to move the piston the other way.",
                       {name, general(volume)}));
    }
    require_known_position();
    // A NaN volume gives a NaN target, which the stroke check refuses.
    const double target = *previous_volume + volume;
    if (target > piston_volume) {
        throw ValueError(
            text::fill("Aspirate {} \xC2\xB5l would exceed pump capacity ({} \xC2\xB5l).",
                       {general(volume), general(piston_volume)}));
    }
    move_to("aspirate", speed, target, valve, wait);
}

void PistonPump::dispense(double speed, double volume, long long valve, bool wait) {
    if (volume < 0.0) {
        throw ValueError(
            text::fill("{}: dispense volume must not be negative (got {} \xC2\xB5l); "
                       "use aspirate() to move the piston the other way.",
                       {name, general(volume)}));
    }
    require_known_position();
    const double target = *previous_volume - volume;
    if (target < 0.0) {
        throw ValueError(
            text::fill("Dispense {} \xC2\xB5l would go below 0 (current position {} \xC2\xB5l).",
                       {general(volume), general(*previous_volume)}));
    }
    move_to("dispense", speed, target, valve, wait);
}

void PistonPump::move_to(std::string_view operation, double speed, double target_volume,
                         long long valve, bool wait) {
    // An infinite cap or stroke would wave any speed or target through.
    for (const auto& [setting, limit] :
         {std::pair{"max_speed", max_speed}, std::pair{"piston_volume", piston_volume}}) {
        if (!std::isfinite(limit)) {
            throw ValueError(text::fill("{}: {} must be a finite number (got {}).",
                                        {name, setting, text::number(limit)}));
        }
    }
    // Written so that NaN fails each check; an infinite speed or target (only
    // possible against an infinite cap or stroke) is refused with them.
    if (!(speed > 0.0)) {
        throw ValueError(text::fill("{}: speed must be positive (got {} \xC2\xB5l/min).",
                                    {name, general(speed)}));
    }
    if (speed > max_speed || !std::isfinite(speed)) {
        throw ValueError(
            text::fill("Speed {} \xC2\xB5l/min exceeds {} maximum of {} \xC2\xB5l/min.",
                       {text::fixed(speed, 0), name, text::fixed(max_speed, 0)}));
    }
    if (!(target_volume >= 0.0 && target_volume <= piston_volume) ||
        !std::isfinite(target_volume)) {
        throw ValueError(text::fill(
            "{}: target volume {} \xC2\xB5l is outside the pump's stroke [0, {}] \xC2\xB5l.",
            {name, general(target_volume), general(piston_volume)}));
    }
    const auto now = settings();
    const double estimate = estimate_run_time(speed, target_volume);

    select_valve(valve);
    activate_valve();
    try {
        std::optional<OperationScope> scope;
        if (wait) scope.emplace(*this, Operation{std::string(operation), estimate, {}, false});
        try {
            send_move(speed, target_volume, wait);
        } catch (const CommandRejectedError& refusal) {
            const auto& codes = now.valve_path_codes;
            if (!refusal.code() ||
                std::find(codes.begin(), codes.end(), *refusal.code()) == codes.end()) {
                throw;
            }
            // The manifold lost its path: prime it again, once.
            previous_valve = unknown_valve;
            select_valve(valve);
            activate_valve();
            send_move(speed, target_volume, wait);
        }
    } catch (...) {
        // Whatever failed, the piston may have moved part of the way.
        previous_volume.reset();
        throw;
    }
    previous_volume = target_volume;
}

void PistonPump::send_move(double speed, double target_volume, bool wait) {
    if (!std::isfinite(speed) || !std::isfinite(target_volume)) {
        throw ValueError(text::fill(
            "{}: speed and target must be finite numbers (got {} \xC2\xB5l/min, {} \xC2\xB5l).",
            {name, text::number(speed), text::number(target_volume)}));
    }
    const auto axis = settings().axis;
    send_command({text::fill("G2 {}{}", {axis, text::number(speed)})});
    require_ok();
    send_command(
        {text::fill("G7 {}{} W{}", {axis, text::number(target_volume), text::wait_flag(wait)})});
    require_ok_or_home_required();
    if (wait) wait_for_done();
}

std::string PistonPump::control_axes() const { return settings().axis; }

// Unknown from the moment the halt may take effect.
void PistonPump::forget_on_stop() { previous_volume.reset(); }

void PistonPump::before_reset() {
    deactivate_valve();
    previous_valve = unknown_valve;
    // The counter may be re-zeroed even when the acknowledgement is lost.
    previous_volume.reset();
}

void PistonPump::forget_tracked_state() {
    previous_volume.reset();
    previous_valve = unknown_valve;
}

// ---- valves ----

void PistonPump::select_valve(long long valve) {
    const long long chosen = valve == outlet_valve ? outlet_valve : priming_valve;
    if (chosen == previous_valve) return;
    const std::string selection = chosen == priming_valve ? "X1 Y0" : "X0 Y1";
    try {
        send_command({"G31 " + selection});
        require_ok();
    } catch (...) {
        previous_valve = unknown_valve;
        throw;
    }
    previous_valve = chosen;
}

void PistonPump::activate_valve() {
    send_command({"G32 0"});
    require_ok();
}

void PistonPump::deactivate_valve() {
    send_command({"G33 0"});
    require_ok();
}

// ---- position ----

std::string PistonPump::check_position() {
    send_command({text::fill("M300 {}", {settings().axis})});
    return wait_for_position();
}

std::optional<double> PistonPump::check_position_ul(std::optional<double> timeout) {
    if (timeout) checked_timeout(*timeout, "check_position_ul");
    const auto axis = settings().axis;
    std::string reply;
    try {
        send_command({text::fill("M300 {}", {axis})});
        reply = wait_for_position(timeout);
    } catch (const TimeoutError&) {
        return std::nullopt;
    } catch (const ConnectionError&) {
        return std::nullopt;
    }
    return grammar::axis_value(reply, axis);
}

std::optional<std::string> PistonPump::check_valve_states(std::optional<double> timeout) {
    if (timeout) checked_timeout(*timeout, "check_valve_states");
    std::string reply;
    try {
        send_command({"M302"});
        reply = wait_for_position(timeout);
    } catch (const TimeoutError&) {
        return std::nullopt;
    } catch (const ConnectionError&) {
        return std::nullopt;
    }
    if (const auto number = grammar::first_number(reply)) return std::string(*number);
    return reply;
}

void PistonPump::require_known_position() const {
    if (previous_volume) return;
    throw PositionUnknownError(text::fill(
        "{}: piston position is unknown (a prior move is still in flight, was stopped, or a "
        "non-blocking run()/home() has not been confirmed complete) \xE2\x80\x94 home() "
        "(wait=True) to re-establish a known position before using the relative API.",
        {name}));
}

double PistonPump::known_or_midpoint_volume() const {
    return previous_volume.value_or(piston_volume / 2.0);
}

// ---- estimates ----

double PistonPump::estimate_run_time(double speed, double target_volume) {
    estimated_run_time = run_seconds(speed, target_volume);
    return estimated_run_time;
}

double PistonPump::estimate_aspirate_time(double speed, double volume) {
    return estimate_run_time(speed, known_or_midpoint_volume() + volume);
}

double PistonPump::estimate_dispense_time(double speed, double volume) {
    return estimate_run_time(speed, known_or_midpoint_volume() - volume);
}

double PistonPump::estimate_home_time() {
    const auto seconds = home_seconds();
    if (!seconds) throw ValueError(text::fill("Homing speed of {} is 0.", {name}));
    estimated_home_time = *seconds;
    return *seconds;
}

double PistonPump::run_seconds(double speed, double target_volume) const {
    if (speed == 0.0) throw ValueError(text::fill("Speed of {} set to 0.", {name}));
    return std::abs(known_or_midpoint_volume() - target_volume) * 60.0 / speed;
}

// Empty when the homing speed is 0 (no estimate can be made).
std::optional<double> PistonPump::home_seconds() const {
    if (homing_speed == 0.0) return std::nullopt;
    return (piston_volume / 2.0) * 60.0 / homing_speed;
}

}  // namespace orvak

namespace orvak {

Description PistonPump::describe() const {
    const ParameterInfo speed{.name = "speed",
                              .type = "float",
                              .unit = units::microlitre_per_minute,
                              .minimum = 0.0,
                              .maximum = max_speed,
                              .maximum_from = "max_speed"};
    const auto volume = [this](std::string name) {
        return ParameterInfo{.name = std::move(name),
                             .type = "float",
                             .unit = units::microlitre,
                             .minimum = 0.0,
                             .maximum = piston_volume,
                             .maximum_from = "piston_volume"};
    };
    const auto valve = [](long long by_default) {
        return ParameterInfo{
            .name = "valve",
            .type = "int | str",
            .choices = {DescribedValue(priming_valve), DescribedValue(outlet_valve),
                        DescribedValue(std::string("waste")),
                        DescribedValue(std::string("outlet"))},
            .default_value = DescribedValue(by_default)};
    };
    const ResultInfo seconds{.type = "float", .unit = units::second};
    Description about = AxisDriver::describe();
    about.declare_homing(
        "Homes the piston (0 \xC2\xB5l); with wait, returns once it is there. "
        "Returns True.",
        "Seconds a home takes from mid-stroke, at homing_speed; also stored in "
        "estimated_home_time. wait is ignored.");
    about.declare({.name = "run",
                   .kind = OperationKind::motion,
                   .parameters = {speed, volume("target_volume"), valve(priming_valve),
                                  wait_parameter(false)},
                   .doc = "Moves the piston to target_volume \xC2\xB5l at speed \xC2\xB5l/min "
                          "through valve (0 or 'waste': priming / waste port, 1 or 'outlet': "
                          "outlet)."});
    about.declare(
        {.name = "aspirate",
         .kind = OperationKind::motion,
         .parameters = {speed, volume("volume"), valve(priming_valve), wait_parameter(false)},
         .doc = "Draws volume \xC2\xB5l in from the tracked position at speed "
                "\xC2\xB5l/min, through the priming port by default."});
    about.declare(
        {.name = "dispense",
         .kind = OperationKind::motion,
         .parameters = {speed, volume("volume"), valve(outlet_valve), wait_parameter(false)},
         .doc = "Pushes volume \xC2\xB5l out from the tracked position at speed "
                "\xC2\xB5l/min, through the outlet by default."});
    about.declare({.name = "check_position",
                   .kind = OperationKind::query,
                   .result = {.type = "str"},
                   .doc = "The raw position reply."});
    auto poll_timeout = timeout_parameter(default_poll_timeout);
    poll_timeout.type = "float | None";
    about.declare({.name = "check_position_ul",
                   .kind = OperationKind::query,
                   .parameters = {poll_timeout},
                   .result = {.type = "float | None", .unit = units::microlitre},
                   .doc = "The live piston position in \xC2\xB5l, or None without a usable reply "
                          "within timeout seconds (None: DONE_TIMEOUT)."});
    about.declare({.name = "check_valve_states",
                   .kind = OperationKind::query,
                   .parameters = {poll_timeout},
                   .result = {.type = "str | None"},
                   .doc = "The first number of the valve-state reply as text (the reply itself "
                          "when it has none), or None without a reply within timeout seconds."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {speed, volume("target_volume"), valve(priming_valve),
                                  wait_parameter(false)},
                   .result = seconds,
                   .doc = "Seconds to move from the tracked position (mid-stroke when unknown) "
                          "to target_volume \xC2\xB5l at speed \xC2\xB5l/min; also stored in "
                          "estimated_run_time. valve and wait are ignored."});
    about.declare({.name = "estimate_aspirate_time",
                   .kind = OperationKind::query,
                   .parameters = {speed, volume("volume"), wait_parameter(false)},
                   .result = seconds,
                   .doc = "Seconds to aspirate volume \xC2\xB5l at speed \xC2\xB5l/min; also "
                          "stored in estimated_run_time. wait is ignored."});
    about.declare({.name = "estimate_dispense_time",
                   .kind = OperationKind::query,
                   .parameters = {speed, volume("volume"), wait_parameter(false)},
                   .result = seconds,
                   .doc = "Seconds to dispense volume \xC2\xB5l at speed \xC2\xB5l/min; also "
                          "stored in estimated_run_time. wait is ignored."});
    about.declare({.name = "select_piston_valves",
                   .kind = OperationKind::setting,
                   .parameters = {{.name = "valve",
                                   .type = "int | str",
                                   .choices = valve(priming_valve).choices}},
                   .doc = "Configures valve 0 or 1 on the manifold unless it already is."});
    about.declare({.name = "turn_on_piston_valves",
                   .kind = OperationKind::setting,
                   .doc = "Energises the configured valve."});
    about.declare({.name = "turn_off_piston_valves",
                   .kind = OperationKind::setting,
                   .doc = "De-energises every valve."});
    about.declare_controls("Halts the piston; its position becomes unknown.",
                           "Continues a halted move.",
                           "Closes the valves and re-zeroes the counter where the piston stands; "
                           "the next move needs a home.");
    about.readings = {{.name = "volume",
                       .unit = units::microlitre,
                       .type = "float",
                       .operation = "check_position_ul"}};
    return about;
}

}  // namespace orvak
