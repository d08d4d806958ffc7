#include "orvak/instruments/flow_controller.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>
#include <thread>

#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

// A board answers M201 with a module count and then the firmware line; a
// wait that wakes on delivery can see the count line alone, so it reads on
// while the line lacks the code. A few lines at most: the board sends two.
constexpr int max_board_info_lines = 4;
constexpr std::string_view firmware_code_label = "code:";

std::string text_constant(const ConstantRequest& request) {
    if (auto text = constant_as_text(request.value)) return std::move(*text);
    throw ArgumentTypeError("class constant " + std::string(request.name) + " must be text");
}

std::string channel_text(long long channel) { return text::integer(channel); }

}  // namespace

const std::map<long long, double>& FlowController::default_full_scale() {
    static const std::map<long long, double> full_scale{{1, 1.0}, {2, 5.0}};
    return full_scale;
}

FlowController::FlowController(int number) : full_scale_(default_full_scale()) {
    name = std::string(display_name);
    instrument_number = number;
    instrument_id_number = type_code;
    for (long long channel = 1; channel <= default_num_channels; ++channel) {
        last_setpoint_[channel] = 0.0;
    }
}

FlowSettings FlowController::settings() const {
    const BaseConstants base;
    std::array<ConstantRequest, 8> requests{{
        {"NUM_CHANNELS", default_num_channels},
        {"UNITS", std::string(default_units)},
        {"REPLY_TIMEOUT", default_reply_timeout},
        {"SETTLE_TOLERANCE", default_settle_tolerance},
        {"SETTLE_TIMEOUT", default_settle_timeout},
        {"SETTLE_POLL", default_settle_poll},
        {"OK_TIMEOUT", base.ok_timeout},
        {"POLL_INTERVAL", base.poll_interval},
    }};
    resolve_constants(requests);
    return FlowSettings{
        .num_channels = integer_constant(requests[0]),
        .units = text_constant(requests[1]),
        .reply_timeout = timeout_constant(requests[2]),
        .settle_tolerance = number_constant(requests[3]),
        .settle_timeout = timeout_constant(requests[4]),
        .settle_poll = number_constant(requests[5]),
        .ok_timeout = timeout_constant(requests[6]),
        .poll_interval = number_constant(requests[7]),
    };
}

// ---- per-channel state ----

std::optional<double> FlowController::stored_full_scale(long long channel) const {
    const auto found = full_scale_.find(channel);
    if (found == full_scale_.end()) return std::nullopt;
    return found->second;
}

void FlowController::store_full_scale(long long channel, double value) {
    full_scale_[channel] = value;
}

std::optional<double> FlowController::stored_setpoint(long long channel) const {
    const auto found = last_setpoint_.find(channel);
    if (found == last_setpoint_.end()) return std::nullopt;
    return found->second;
}

void FlowController::store_setpoint(long long channel, double value) {
    last_setpoint_[channel] = value;
}

// ---- channels ----

ValueError FlowController::channel_error(std::string_view got) const {
    return ValueError(text::fill("{}: channel must be 1-{} (got {}).",
                                 {name, text::integer(settings().num_channels), got}));
}

long long FlowController::checked(long long channel, const FlowSettings& now) const {
    if (channel < 1 || channel > now.num_channels) throw channel_error(channel_text(channel));
    return channel;
}

long long FlowController::check_channel(long long channel) { return checked(channel, settings()); }

double FlowController::full_scale_of(long long channel, const FlowSettings& now) {
    checked(channel, now);
    const auto value = stored_full_scale(channel);
    if (!value) {
        throw ValueError(text::fill("{}: no full scale is recorded for channel {}.",
                                    {name, channel_text(channel)}));
    }
    // The table is the user's to edit; an infinite entry would lift the setpoint check.
    if (!std::isfinite(*value)) {
        throw ValueError(
            text::fill("{}: full scale of channel {} must be a finite number (got {}).",
                       {name, channel_text(channel), text::number(*value)}));
    }
    return *value;
}

double FlowController::recorded_setpoint(long long channel) {
    const auto value = stored_setpoint(channel);
    if (!value) {
        throw ValueError(text::fill("{}: no setpoint is recorded for channel {}.",
                                    {name, channel_text(channel)}));
    }
    return *value;
}

double FlowController::full_scale(long long channel) { return full_scale_of(channel, settings()); }

void FlowController::set_full_scale(long long channel, double value) {
    checked(channel, settings());
    if (!(value > 0.0)) {
        throw ValueError(
            text::fill("{}: full scale must be positive (got {}).", {name, text::number(value)}));
    }
    if (!std::isfinite(value)) {
        throw ValueError(text::fill("{}: full scale must be a finite number (got {}).",
                                    {name, text::number(value)}));
    }
    store_full_scale(channel, value);
}

double FlowController::last_setpoint(long long channel) {
    checked(channel, settings());
    return recorded_setpoint(channel);
}

// ---- the reply wait ----

std::string FlowController::wait_for_reply(std::span<ReplySlot* const> flags, std::string_view what,
                                           std::optional<double> timeout) {
    const auto now = settings();
    return await_reply(flags, what, timeout.value_or(now.reply_timeout), now, Guard::own);
}

std::string FlowController::await_reply(std::span<ReplySlot* const> flags, std::string_view what,
                                        double timeout, const FlowSettings& now, Guard guard) {
    // A clamp notice is never an answer.
    const auto reply = wait_on(
        flags, timeout,
        WaitPlan{
            .label = what, .own_guard = guard == Guard::own, .poll_interval = now.poll_interval},
        [](Answer answer) -> std::optional<std::string> {
            if (text::strip(answer.line) == clamp_notice) return std::nullopt;
            return std::move(answer.line);
        });
    if (!reply) {
        const auto connection = link();
        if (connection->died()) {
            throw ConnectionError(
                text::fill("{}: serial connection was lost while waiting for the {} reply.",
                           {name, what}),
                connection->failure());
        }
        throw TimeoutError(
            text::fill("{}: no reply to the {} within {}s (the serial connection may have been "
                       "lost).",
                       {name, what, text::number(timeout)}));
    }
    if (const auto fault = grammar::leadership_fault(*reply, bad_code(*reply))) {
        throw ConnectionError(
            text::fill("{}: rejected the {} \xE2\x80\x94 {}", {name, what, *fault}));
    }
    return *reply;
}

std::string FlowController::exchange(const std::string& gcode, std::string_view what,
                                     const FlowSettings& now, Guard guard) {
    send_command({gcode});
    const std::array<ReplySlot*, 2> flags{&slots()->other, &slots()->ok};
    return std::string(text::strip(await_reply(flags, what, now.reply_timeout, now, guard)));
}

std::string FlowController::query(const std::string& gcode, std::string_view what) {
    return exchange(gcode, what, settings(), Guard::own);
}

// ---- board queries ----

std::string FlowController::device_name() { return query("M200", "device name query"); }

std::string FlowController::board_info() {
    const auto now = settings();
    std::string line = exchange("M201", "board info query", now, Guard::own);
    const auto poll = span_of(now.poll_interval);
    for (int more = 0;
         more < max_board_info_lines &&
         !grammar::labelled_token(line, firmware_code_label, "", grammar::Token::digits);
         ++more) {
        auto next = slots()->other.get_for(poll);
        if (!next) break;
        line = std::string(text::strip(*next));
    }
    return line;
}

long long FlowController::firmware_code() {
    const auto reply = board_info();
    const auto digits =
        grammar::labelled_token(reply, firmware_code_label, "", grammar::Token::digits);
    const auto code = digits ? grammar::decimal_integer(*digits) : std::nullopt;
    if (!code) throw ValueError(text::fill("{}: unexpected M201 reply: {!r}", {name, reply}));
    return *code;
}

std::string FlowController::status() { return query("M202", "status query"); }

long long FlowController::status_code() {
    const auto reply = status();
    const auto digits = grammar::labelled_token(reply, "STATUS:", "0x", grammar::Token::hex_digits);
    long long code = 0;
    if (digits) {
        const auto [end, error] =
            std::from_chars(digits->data(), digits->data() + digits->size(), code, 16);
        if (error == std::errc{} && end == digits->data() + digits->size()) return code;
    }
    throw ValueError(text::fill("{}: unexpected M202 reply: {!r}", {name, reply}));
}

bool FlowController::is_ok() { return status_code() == 0; }

std::string FlowController::serial_number(long long channel) {
    const auto now = settings();
    checked(channel, now);
    const auto reply = exchange(
        text::fill("M311 C{}", {channel_text(channel)}),
        text::fill("serial number query on channel {}", {channel_text(channel)}), now, Guard::own);
    const auto serial = grammar::labelled_token(reply, "SERIAL:", "", grammar::Token::non_space);
    if (!serial) {
        throw ValueError(text::fill("{}: unexpected M311 reply for channel {}: {!r}",
                                    {name, channel_text(channel), reply}));
    }
    return std::string(*serial);
}

// ---- readings ----

FlowReading FlowController::reading(long long channel, const FlowSettings& now, Guard guard) {
    checked(channel, now);
    const auto reply =
        exchange(text::fill("M300 C{} X Y Z W", {channel_text(channel)}),
                 text::fill("reading on channel {}", {channel_text(channel)}), now, guard);
    std::array<std::optional<std::string_view>, 4> fields;  // X, Y, Z, W; a later one wins
    constexpr std::string_view letters = "XYZW";
    for (const auto& [letter, field] : grammar::letter_fields(reply, letters)) {
        fields[letters.find(letter)] = field;
    }
    // Milli-units for flow and setpoint, centi-degrees for the temperature.
    // What failed to parse is attached as the cause.
    const auto value = [&](std::size_t index, double scale) {
        const auto number = fields[index] ? grammar::decimal_integer(*fields[index]) : std::nullopt;
        if (!number) {
            const auto letter = letters.substr(index, 1);
            const ValueError parse_error(
                fields[index] ? text::fill("the {} field {!r} is not a decimal integer",
                                           {letter, *fields[index]})
                              : text::fill("the reply has no {} field", {letter}));
            throw ValueError(text::fill("{}: unexpected M300 reply for channel {}: {!r}",
                                        {name, channel_text(channel), reply}),
                             std::make_exception_ptr(parse_error));
        }
        return static_cast<double>(*number) / scale;
    };
    const double flow = value(0, 1000.0);
    const double temperature = value(1, 100.0);
    const double setpoint = value(2, 1000.0);
    return FlowReading{
        .channel = channel,
        .flow = flow,
        .setpoint = setpoint,
        .temperature = temperature,
        .units = now.units,
        .full_scale = full_scale_of(channel, now),
        .error = fields[3] ? std::string(*fields[3]) : std::string(),
    };
}

FlowReading FlowController::read_channel(long long channel) {
    return reading(channel, settings(), Guard::own);
}

double FlowController::read_flow(long long channel) { return read_channel(channel).flow; }

double FlowController::read_setpoint(long long channel) { return read_channel(channel).setpoint; }

double FlowController::read_temperature(long long channel) {
    return read_channel(channel).temperature;
}

// ---- setpoints ----

void FlowController::send_setpoint(long long channel, double value) {
    const auto now = settings();
    send_setpoint(checked(channel, now), value, now);
}

void FlowController::send_setpoint(long long channel, double value, const FlowSettings& now) {
    const std::string what = text::fill("setpoint on channel {}", {channel_text(channel)});
    send_command({text::fill("G0 C{} X{}", {channel_text(channel), text::number(value)})});
    // flag_OTHER too, so a leader refusal is a connection error, not silence.
    const std::array<ReplySlot*, 2> flags{&slots()->ok, &slots()->other};
    const std::string reply = await_reply(flags, what, now.ok_timeout, now, Guard::own);
    const auto line = std::string(text::strip(reply));
    if (reply.find("BAD") != std::string::npos) {
        const auto code = bad_code(reply);
        const std::string with_code =
            code && !code->empty() ? text::fill(" with error {}", {*code}) : std::string();
        throw CommandRejectedError(
            text::fill("{}: firmware rejected the {}{}.", {name, what, with_code}), code, line);
    }
    if (reply.find("OK") != std::string::npos) return;
    throw ValueError(text::fill("{}: unexpected reply to the {}: {!r}", {name, what, line}));
}

void FlowController::set_setpoint(long long channel, double value, bool wait,
                                  std::optional<double> tolerance, std::optional<double> timeout) {
    const auto now = settings();
    checked(channel, now);
    if (std::isnan(value)) {
        throw ValueError(
            text::fill("{}: setpoint for channel {} is NaN.", {name, channel_text(channel)}));
    }
    // The board would clamp an over-range value silently and give the wrong flow.
    const double full = full_scale_of(channel, now);
    if (value < 0.0 || value > full) {
        throw ValueError(text::fill(
            "{}: channel {} setpoint {} is outside [0, {}] {} (each channel has its own full "
            "scale).",
            {name, channel_text(channel), text::number(value), text::number(full), now.units}));
    }
    send_setpoint(channel, value, now);
    store_setpoint(channel, value);
    if (wait) settle(channel, value, tolerance, timeout, now);
}

void FlowController::wait_until_settled(long long channel, double target,
                                        std::optional<double> tolerance,
                                        std::optional<double> timeout) {
    const auto now = settings();
    settle(checked(channel, now), target, tolerance, timeout, now);
}

// The board sends no completion for a setpoint change, so the flow is read
// every SETTLE_POLL until it is inside the band. The flow is read before the
// deadline is looked at, so at least one reading is always taken. Between
// readings the wait looks at the interrupt and the stop flag every poll
// interval; an interrupt anywhere, a reading included, stops the board once.
void FlowController::settle(long long channel, double target, std::optional<double> tolerance,
                            std::optional<double> timeout, const FlowSettings& now) {
    const double limit = timeout.value_or(now.settle_timeout);
    const double band =
        std::fabs(tolerance.value_or(now.settle_tolerance)) * full_scale_of(channel, now);
    const auto operation = begin_operation("settle", std::nullopt);
    const auto connection = link();
    const auto poll = span_of(now.poll_interval);
    const auto pause = span_of(now.settle_poll);
    const auto deadline = Clock::now() + span_of(limit);
    const auto watch = watch_for_stop();
    const bool settled = with_interrupt_guard([&] {
        const auto progress = start_progress();
        for (;;) {
            throw_if_stopped(watch, "settle");
            if (connection->stop_requested()) return false;
            if (std::fabs(reading(channel, now, Guard::outer).flow - target) <= band) {
                if (progress) progress->finish(true);
                return true;
            }
            const auto remaining = deadline - Clock::now();
            if (remaining <= Clock::duration::zero()) return false;
            const auto until = Clock::now() + std::min(remaining, pause);
            for (auto left = until - Clock::now(); left > Clock::duration::zero();
                 left = until - Clock::now()) {
                check_interrupt();
                if (progress) progress->tick();
                throw_if_stopped(watch, "settle");
                if (connection->stop_requested()) break;
                std::this_thread::sleep_for(std::min(left, poll));
            }
        }
    });
    if (settled) return;
    throw TimeoutError(
        text::fill("{}: channel {} flow did not settle within {} of {} {} after {}s.",
                   {name, channel_text(channel), text::number(band), text::number(target),
                    now.units, text::number(limit)}));
}

void FlowController::zero_all() {
    const long long channels = settings().num_channels;
    for (long long channel = 1; channel <= channels; ++channel) set_setpoint(channel, 0.0);
}

void FlowController::stop() {
    const StopScope stopping(*this);  // ends a wait on another thread
    const auto now = settings();
    for (long long channel = 1; channel <= now.num_channels; ++channel) {
        send_setpoint(channel, 0.0, now);
    }
}

void FlowController::resume() {
    const auto now = settings();
    for (long long channel = 1; channel <= now.num_channels; ++channel) {
        send_setpoint(channel, recorded_setpoint(channel), now);
    }
}

void FlowController::reset() {
    const auto now = settings();
    for (long long channel = 1; channel <= now.num_channels; ++channel) {
        send_setpoint(channel, 0.0, now);
        store_setpoint(channel, 0.0);
    }
}

double FlowController::estimate_run_time() {
    estimated_run_time = nominal_run_time;
    return estimated_run_time;
}

}  // namespace orvak

namespace orvak {

Description FlowController::describe() const {
    const auto now = settings();
    std::optional<double> widest;
    for (long long channel = 1; channel <= now.num_channels; ++channel) {
        const auto scale = stored_full_scale(channel);
        if (scale && std::isfinite(*scale)) widest = std::max(widest.value_or(0.0), *scale);
    }
    const ParameterInfo channel{.name = "channel",
                                .type = "int",
                                .minimum = 1.0,
                                .maximum = static_cast<double>(now.num_channels),
                                .maximum_from = "NUM_CHANNELS",
                                .default_value = DescribedValue(1LL)};
    ParameterInfo required_channel = channel;
    required_channel.default_value.reset();
    const auto channel_query = [&](std::string op, ResultInfo result, std::string doc) {
        return OperationInfo{.name = std::move(op),
                             .kind = OperationKind::query,
                             .parameters = {channel},
                             .result = std::move(result),
                             .doc = std::move(doc)};
    };
    const auto board_query = [](std::string op, std::string type, std::string doc) {
        return OperationInfo{.name = std::move(op),
                             .kind = OperationKind::query,
                             .result = {.type = std::move(type)},
                             .doc = std::move(doc)};
    };
    const ResultInfo flow{.type = "float", .unit = now.units};
    const ResultInfo temperature{.type = "float", .unit = units::degree_celsius};
    auto optional_real = [](std::string name, std::string unit) {
        return ParameterInfo{.name = std::move(name),
                             .type = "float | None",
                             .unit = std::move(unit),
                             .minimum = 0.0,
                             .default_value = DescribedValue()};
    };
    Description about = Instrument::describe();
    about.declare(board_query("device_name", "str", "The board's name (M200), e.g. 'ORVAK MFC'."));
    about.declare(board_query("board_info", "str",
                              "The board's M201 answer: the line that carries the firmware code."));
    about.declare(board_query("firmware_code", "int",
                              "The firmware code of board_info() (the digits after 'code:')."));
    about.declare(board_query("status", "str", "The status line (M202), e.g. 'STATUS: 0x0 OK'."));
    about.declare(
        board_query("status_code", "int", "The status code of status(); 0 when healthy."));
    about.declare(board_query("is_ok", "bool", "Whether status_code() is 0."));
    about.declare(channel_query("serial_number", {.type = "str"},
                                "The serial number of the channel's module (M311)."));
    OperationInfo read = channel_query(
        "read_channel",
        {.type = "FlowReading",
         .fields = {{.name = "channel", .type = "int"},
                    {.name = "flow", .type = "float", .unit = now.units},
                    {.name = "setpoint", .type = "float", .unit = now.units},
                    {.name = "temperature", .type = "float", .unit = units::degree_celsius},
                    {.name = "units", .type = "str"},
                    {.name = "full_scale", .type = "float", .unit = now.units},
                    {.name = "error", .type = "str"}}},
        "One M300 reading: {'channel', 'flow', 'setpoint', 'temperature', 'units', "
        "'full_scale', 'error'}, flows in UNITS and temperature in degrees Celsius. wait is "
        "ignored.");
    read.parameters.push_back(wait_parameter(true));
    about.declare(std::move(read));
    about.declare(channel_query("read_flow", flow, "The channel's flow, in UNITS."));
    about.declare(channel_query("read_setpoint", flow,
                                "The setpoint the board holds for the channel, in UNITS."));
    about.declare(channel_query("read_temperature", temperature,
                                "The channel's gas temperature, in degrees Celsius."));
    about.declare(channel_query("full_scale", flow, "The channel's full scale, in UNITS."));
    about.declare(
        {.name = "set_full_scale",
         .kind = OperationKind::setting,
         .parameters = {required_channel,
                        {.name = "value", .type = "float", .unit = now.units, .minimum = 0.0}},
         .doc = "Records this unit's full scale for the channel in UNITS (> 0); other "
                "drivers and the class default are unchanged."});
    about.declare(channel_query("last_setpoint", flow,
                                "The setpoint this driver last commanded on the channel, in "
                                "UNITS."));
    about.declare(
        {.name = "set_setpoint",
         .kind = OperationKind::motion,
         .parameters = {required_channel,
                        {.name = "value",
                         .type = "float",
                         .unit = now.units,
                         .minimum = 0.0,
                         .maximum = widest,
                         .maximum_from = "the channel's full scale"},
                        wait_parameter(false),
                        optional_real("tolerance", ""),
                        optional_real("timeout", units::second)},
         .doc = "Sets the channel's setpoint (0 to its full scale, in UNITS) and records it. With "
                "wait, returns once the flow is within tolerance x full scale of it, allowing "
                "timeout seconds (defaults SETTLE_TOLERANCE, SETTLE_TIMEOUT)."});
    about.declare({.name = "zero_all",
                   .kind = OperationKind::setting,
                   .doc = "Sets every channel's setpoint to 0.0 (recorded)."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .result = {.type = "float", .unit = units::second},
                   .doc = "A nominal 0.1 s for a setpoint write (not the settling time); also "
                          "stored in estimated_run_time."});
    about.declare_controls(
        "Zero flow on every channel; the recorded setpoints stay for "
        "resume().",
        "Sends every channel's recorded setpoint again, channel 1 first.",
        "Zero flow on every channel and zero recorded setpoints.");
    for (long long number = 1; number <= now.num_channels; ++number) {
        const auto suffix = std::to_string(number);
        for (const auto& [field, unit] : {std::pair<std::string, std::string>{"flow", now.units},
                                          {"setpoint", now.units},
                                          {"temperature", units::degree_celsius}}) {
            about.readings.push_back({.name = field + suffix,
                                      .unit = unit,
                                      .type = "float",
                                      .operation = "read_channel",
                                      .arguments = {{"channel", DescribedValue(number)}},
                                      .field = field});
        }
    }
    return about;
}

}  // namespace orvak
