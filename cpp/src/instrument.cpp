#include "orvak/instrument.hpp"

#include <array>
#include <cmath>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

#include "orvak/log_sink.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

constexpr std::string_view notok_message =
    "{}: hardware fault during {} \xE2\x80\x94 stepper/TMC5160 reported NOTOK ({!r}).";
constexpr std::string_view home_required_message =
    "{}: position is not established \xE2\x80\x94 home {} before moving (firmware refused the "
    "move with {}).";
// Longest wait we represent; far beyond any instrument time-out.
constexpr double longest_wait_s = 1e9;
// How often a call waiting for its turn looks for an interrupt.
constexpr auto turn_slice = std::chrono::milliseconds(10);
// The two barrier queries of a resynchronisation: every module answers its
// identity (M116); when an identity answer may itself be late, the version
// query (M115) is used, which a leader answers and a follower refuses.
constexpr std::string_view identity_barrier = "M116";
constexpr std::string_view version_barrier = "M115";

std::string first_word(std::string_view gcode) {
    const auto line = text::strip(gcode);
    return std::string(line.substr(0, line.find(' ')));
}

std::string with_error(const std::optional<std::string>& code) {
    return code ? text::fill(" with error {}", {*code}) : std::string();
}

}  // namespace

double constant_as_double(const ConstantValue& value, double fallback) {
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* i = std::get_if<long long>(&value)) return static_cast<double>(*i);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
    return fallback;
}

std::optional<std::string> constant_as_text(const ConstantValue& value) {
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    return std::nullopt;
}

// An infinite cap or a NaN limit would turn a driver's range check off and let
// any value reach the wire, so a constant in force must be finite.
double number_constant(const ConstantRequest& request) {
    const auto& value = request.value;
    if (std::holds_alternative<double>(value) || std::holds_alternative<long long>(value) ||
        std::holds_alternative<bool>(value)) {
        const double number = constant_as_double(value, 0.0);
        if (!std::isfinite(number)) {
            throw ValueError(text::fill("class constant {} must be a finite number (got {}).",
                                        {request.name, text::number(number)}));
        }
        return number;
    }
    throw ArgumentTypeError("class constant " + std::string(request.name) + " must be a number");
}

double timeout_constant(const ConstantRequest& request) {
    // An infinite time-out is a wait without limit and turns no check off;
    // only NaN (every comparison false) is refused.
    const auto& value = request.value;
    if (const auto* seconds = std::get_if<double>(&value); seconds && std::isinf(*seconds)) {
        return *seconds;
    }
    return number_constant(request);
}

long long integer_constant(const ConstantRequest& request) {
    if (const auto* whole = std::get_if<long long>(&request.value)) return *whole;
    if (const auto* flag = std::get_if<bool>(&request.value)) return *flag ? 1 : 0;
    throw ArgumentTypeError("class constant " + std::string(request.name) + " must be an integer");
}

Link::~Link() = default;

Instrument::Instrument() : slots_(std::make_shared<ReplySlots>()) {}

Instrument::~Instrument() = default;

void Instrument::resolve_constants(std::span<ConstantRequest> /*requests*/) const {}

std::shared_ptr<Link> Instrument::link() {
    if (!attached_link_) {
        throw ConnectionError(name + ": not connected to a serial link (attach one first).");
    }
    return attached_link_;
}

void Instrument::check_interrupt() {}

std::string Instrument::class_name() const { return "Instrument"; }

void Instrument::warn(const std::string& message) {
    StderrLogSink("orvak").log(LogLevel::warning, "%s", {message}, nullptr);
}

void Instrument::log_debug(const std::string& /*message*/) {}

void Instrument::attach(std::shared_ptr<Link> link) { attached_link_ = std::move(link); }

std::shared_ptr<ProgressObserver> Instrument::progress_observer() { return progress_observer_; }

std::uintptr_t Instrument::progress_chain() {
    return reinterpret_cast<std::uintptr_t>(link().get());
}

void Instrument::observe_progress(std::shared_ptr<ProgressObserver> observer) {
    progress_observer_ = std::move(observer);
}

BaseConstants Instrument::base_constants() const {
    const BaseConstants defaults;
    std::array<ConstantRequest, 5> requests{{
        {"OK_TIMEOUT", defaults.ok_timeout},
        {"DONE_TIMEOUT", defaults.done_timeout},
        {"POLL_INTERVAL", defaults.poll_interval},
        {"_HOME_REQUIRED_CODE", std::monostate{}},
        {"_HOME_REQUIRED_NOUN", std::monostate{}},
    }};
    resolve_constants(requests);
    return BaseConstants{
        .ok_timeout = timeout_constant(requests[0]),
        .done_timeout = timeout_constant(requests[1]),
        .poll_interval = number_constant(requests[2]),
        .home_required_code = constant_as_text(requests[3].value),
        .home_required_noun = constant_as_text(requests[4].value),
    };
}

Instrument::Clock::duration Instrument::span_of(double seconds) {
    if (!(seconds > 0.0)) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(Seconds(std::min(seconds, longest_wait_s)));
}

double Instrument::checked_timeout(double seconds, std::string_view operation) const {
    if (!(seconds >= 0.0)) {
        throw ValueError(
            text::fill("{}: {}() timeout must be a non-negative number of seconds (got {}).",
                       {name, operation, text::number(seconds)}));
    }
    return seconds;
}

// ---- one operation at a time, and stops from any thread ----

Instrument::Turn::Turn(Instrument& owner, std::string_view operation)
    : gate_(owner.gate_),
      entry_(gate_.enter(operation, turn_slice, [&owner] { owner.check_interrupt(); })) {
    if (entry_ == OperationGate::Entry::refused) {
        throw StoppedError(text::fill("{}: {}() was refused: {}; nothing was sent.",
                                      {owner.name, operation, owner.refusal_reason()}));
    }
    if (entry_ == OperationGate::Entry::began) owner.reply_overdue_ = false;
}

Instrument::Turn::~Turn() {
    if (entry_ != OperationGate::Entry::bypassed) gate_.leave();
}

Instrument::TurnAttempt::TurnAttempt(Instrument& owner, std::string_view operation, double seconds)
    : gate_(owner.gate_),
      entry_(gate_.enter(
          operation, turn_slice, [&owner] { owner.check_interrupt(); },
          Clock::now() + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(std::clamp(seconds, 0.0, 86400.0))))) {
    if (entry_ == OperationGate::Entry::began) owner.reply_overdue_ = false;
}

Instrument::TurnAttempt::~TurnAttempt() {
    if (granted() && entry_ != OperationGate::Entry::bypassed) gate_.leave();
}

bool Instrument::TurnAttempt::granted() const noexcept {
    return entry_ == OperationGate::Entry::began || entry_ == OperationGate::Entry::nested ||
           entry_ == OperationGate::Entry::bypassed;
}

void Instrument::refuse_operations(std::string reason) {
    {
        const std::lock_guard lock(refusal_mutex_);
        refusal_ = std::move(reason);
    }
    gate_.refuse_new();
}

std::string Instrument::refusal_reason() const {
    const std::lock_guard lock(refusal_mutex_);
    return refusal_;
}

Instrument::StopScope::StopScope(Instrument& owner) : owner_(owner) {
    owner_.gate_.begin_stop();
    // A wait in progress notices the stop now, not at the end of its slice.
    owner_.slots_->wake_waiters();
}

Instrument::StopScope::~StopScope() { owner_.gate_.end_stop(); }

void Instrument::throw_if_stopped(const StopWatch& watch, std::string_view what) const {
    if (!gate_.stopped_since(watch.epoch)) return;
    std::string operation = gate_.operation_here();
    if (!operation.empty()) {
        operation += "()";
    } else if (operation_) {
        operation = operation_->name;
    } else {
        operation = std::string(what);
    }
    throw StoppedError(text::fill("{}: {} was stopped before it finished.", {name, operation}));
}

std::optional<std::string> Instrument::take_reply(ReplySlot& slot, Clock::duration timeout,
                                                  const StopWatch& watch) {
    return slot.get_unless(timeout, [&] { return gate_.stopped_since(watch.epoch); });
}

void Instrument::resynchronise(Link& connection) {
    const bool identity_unsettled =
        std::find(unsettled_.begin(), unsettled_.end(), identity_barrier) != unsettled_.end();
    const std::string_view barrier = identity_unsettled ? version_barrier : identity_barrier;
    const auto constants = base_constants();
    const double limit = std::max(constants.ok_timeout, default_query_timeout);
    const auto discard = [this](std::string_view slot, const std::string& line) {
        log_debug(text::fill("{}: discarded a late {} line {!r} while resynchronising.",
                             {name, slot, line}));
    };
    // Nothing is taken once a stop came: the stop's reply is its own.
    const auto watch = watch_for_stop();
    const auto discard_all = [&] {
        for (auto [slot, label] :
             {std::pair{&slots_->ok, "acknowledgement"}, std::pair{&slots_->done, "completion"},
              std::pair{&slots_->position, "position"}, std::pair{&slots_->other, "data"}}) {
            if (auto line = take_reply(*slot, Clock::duration::zero(), watch)) {
                discard(label, *line);
            }
        }
    };
    discard_all();
    {
        const std::lock_guard sending(send_mutex_);
        throw_if_stopped(watch, "resynchronisation");
        unsettled_.emplace_back(barrier);
        connection.send_line("<I" + text::integer(instrument_number + 1LL) + " " +
                             std::string(barrier) + ">");
    }
    // A follower refuses the version query; a late acknowledgement or data
    // line of an earlier command is discarded.
    const auto barrier_answer = [&](const Answer& answer) -> std::optional<bool> {
        const bool data = answer.slot == 0;
        bool matches = barrier == version_barrier && grammar::is_refusal(answer.line);
        if (data) {
            matches = barrier == identity_barrier ? grammar::first_integer(answer.line).has_value()
                                                  : grammar::has_version(answer.line);
        }
        if (matches) return true;
        discard(data ? "data" : "acknowledgement", answer.line);
        return std::nullopt;
    };
    const std::array<ReplySlot*, 2> watched{&slots_->other, &slots_->ok};
    const WaitPlan plan{.label = "resynchronisation",
                        .kind = WaitFor::side_query,
                        .poll_interval = constants.poll_interval,
                        .since = watch};
    const auto answered = wait_on(watched, limit, plan, barrier_answer);
    if (!answered) {
        raise_lost_or_timeout(
            text::fill("{}: serial connection was lost while resynchronising.", {name}),
            text::fill("{}: no answer to {} within {}s after an earlier time-out (the module may "
                       "still be answering earlier commands).",
                       {name, barrier, text::number(limit)}));
    }
    discard_all();
    unsettled_.clear();
    resync_needed_ = false;
}

// ---- commands and waits ----

void Instrument::send_command(std::span<const std::string> gcodes) {
    for (const auto& gcode : gcodes) {
        // A line break would put a second, unaddressed line on the wire.
        if (gcode.find_first_of("\r\n") != std::string::npos) {
            throw ValueError(
                text::fill("{}: a command must be a single line (got {!r}).", {name, gcode}));
        }
    }
    // A driver without a link fails before a pending fault is consumed.
    const auto connection = link();
    if (connection->stop_requested() && !connection->died()) {
        throw ConnectionError(text::fill(
            "{}: the serial link is closed (its interface was closed or its manager stopped); "
            "nothing was sent.",
            {name}));
    }
    raise_if_notok("a previous operation");
    drain_read_queue(*connection, default_drain_timeout);
    // A stop goes out at once; anything else waits until the module has
    // answered whatever an earlier, timed-out command left on the way.
    const bool stopping = gate_.stopping_here();
    if (resync_needed_ && !stopping) resynchronise(*connection);
    const auto watch = watch_for_stop();
    const std::lock_guard sending(send_mutex_);
    // An operation a stop has ended sends nothing more, and never clears the
    // reply slots the stop waits on.
    if (!stopping) throw_if_stopped(watch, "command");
    clear_flags();
    if (!stopping) {
        unsettled_.clear();
        for (const auto& gcode : gcodes) unsettled_.push_back(first_word(gcode));
    }
    const std::string address = text::integer(instrument_number + 1LL);
    for (const auto& gcode : gcodes) {
        connection->send_line("<I" + address + " " + gcode + ">");
    }
}

void Instrument::send_command(std::initializer_list<std::string> gcodes) {
    send_command(std::span<const std::string>(gcodes.begin(), gcodes.size()));
}

void Instrument::clear_flags() {
    slots_->ok.clear();
    slots_->done.clear();
    slots_->position.clear();
    slots_->other.clear();
}

void Instrument::await_read_queue_drain(double timeout) { drain_read_queue(*link(), timeout); }

void Instrument::drain_read_queue(Link& connection, double timeout) {
    if (!connection.has_read_queue()) return;
    const auto deadline = Clock::now() + span_of(timeout);
    while (!connection.read_queue_empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Instrument::wait_for_ok(double extra_timeout, std::string_view what) {
    const double timeout = base_constants().ok_timeout + extra_timeout;
    last_bad_reply.reset();
    const auto verdict = wait_on(slots_->ok, timeout, what, WaitFor::reply,
                                 [this](std::string value) -> std::optional<bool> {
                                     if (grammar::is_refusal(value)) {
                                         last_bad_reply = std::string(text::strip(value));
                                         return false;
                                     }
                                     if (grammar::is_acknowledgement(value)) return true;
                                     return std::nullopt;
                                 });
    return verdict.value_or(false);
}

double Instrument::done_deadline() const {
    const double configured = base_constants().done_timeout;
    if (!operation_ || !operation_->estimate_s || !std::isfinite(*operation_->estimate_s)) {
        return configured;
    }
    // A legal slow move (a 150 s infusion) must not time out while it runs:
    // its own estimate, with margin for acceleration and a slow link, wins
    // over a shorter DONE_TIMEOUT.
    return std::max(configured, done_estimate_margin * *operation_->estimate_s + done_slack_s);
}

void Instrument::wait_for_done(std::optional<double> timeout) {
    const double limit = timeout.value_or(done_deadline());
    const auto done = wait_on(slots_->done, limit, "motion", WaitFor::motion,
                              [](std::string value) -> std::optional<bool> {
                                  if (value.find("DONE") != std::string::npos) return true;
                                  return std::nullopt;
                              });
    if (done) return;
    raise_lost_or_timeout(
        text::fill("{}: serial connection was lost while waiting for DONE (operation may still "
                   "be running).",
                   {name}),
        text::fill("{}: no DONE within {}s (operation may still be running, or the serial "
                   "connection was lost).",
                   {name, text::number(limit)}));
}

std::string Instrument::wait_for_position(std::optional<double> timeout) {
    const double limit = timeout.value_or(base_constants().done_timeout);
    auto reply = wait_on(slots_->position, limit, "position query", WaitFor::reply,
                         [](std::string value) -> std::optional<std::string> {
                             if (grammar::is_position_report(value)) return value;
                             return std::nullopt;
                         });
    if (reply) return std::move(*reply);
    raise_lost_or_timeout(
        text::fill("{}: serial connection was lost while waiting for a position reply.", {name}),
        text::fill("{}: no position reply within {}s (the serial connection may have been lost).",
                   {name, text::number(limit)}));
}

void Instrument::raise_lost_or_timeout(const std::string& lost, const std::string& timeout) {
    const auto connection = link();
    if (connection->died()) throw ConnectionError(lost, connection->failure());
    throw TimeoutError(timeout);
}

void Instrument::stop_after_interrupt() {
    try {
        const StopScope stopping(*this);
        stop();
    } catch (const Interrupted&) {
        // A second interrupt while stopping: the first one still propagates.
    } catch (const std::exception&) {
        // Best effort: the interrupt matters more than why the stop failed.
    }
}

// ---- refusals, faults and leadership ----

void Instrument::raise_if_notok(std::string_view what) {
    const auto fault = slots_->notok.try_get();
    if (!fault) return;
    throw HardwareError(text::fill(notok_message, {name, what, text::strip(*fault)}));
}

bool Instrument::has_fault() const { return !slots_->notok.empty(); }

void Instrument::check_fault() { raise_if_notok("a previous operation"); }

std::optional<std::string> Instrument::bad_code(std::string_view reply) {
    return grammar::refusal_code(reply);
}

void Instrument::require_ok(std::string_view what, double extra_timeout) {
    if (wait_for_ok(extra_timeout, what)) return;
    if (const auto connection = link(); connection->died()) {
        throw ConnectionError(
            text::fill("{}: serial connection was lost while waiting for OK ({}).", {name, what}),
            connection->failure());
    }
    if (last_bad_reply) {
        const std::string bad = *last_bad_reply;
        const auto code = bad_code(bad);
        if (const auto reason = grammar::leadership_fault(bad, code)) {
            throw ConnectionError(text::fill("{}: {}", {name, *reason}));
        }
        throw CommandRejectedError(
            text::fill("{}: firmware rejected {}{}.", {name, what, with_error(code)}), code, bad);
    }
    throw TimeoutError(
        text::fill("{}: no reply to {} within {}s.",
                   {name, what, text::number(base_constants().ok_timeout + extra_timeout)}));
}

void Instrument::require_ok_or_home_required(std::string_view what, double extra_timeout) {
    try {
        require_ok(what, extra_timeout);
    } catch (const CommandRejectedError& refusal) {
        const auto constants = base_constants();
        if (!constants.home_required_code || refusal.code() != constants.home_required_code) {
            throw;
        }
        const auto& noun = constants.home_required_noun;
        throw PositionUnknownError(
            text::fill(home_required_message,
                       {name, noun && !noun->empty() ? *noun : name, *refusal.code()}),
            refusal);
    }
}

void Instrument::raise_if_late_bad() { raise_if_late_bad(watch_for_stop()); }

void Instrument::raise_if_late_bad(const StopWatch& watch) {
    // Looks at the acknowledgement slot without taking a stop's reply.
    const auto value = take_reply(slots_->ok, Clock::duration::zero(), watch);
    if (!value || !grammar::is_refusal(*value)) return;
    const auto code = bad_code(*value);
    throw CommandRejectedError(
        text::fill("{}: firmware refused the operation while it was running{}.",
                   {name, with_error(code)}),
        code, std::string(text::strip(*value)));
}

// ---- identity, status and common controls ----

std::string Instrument::query_other(const std::string& gcode, std::string_view what,
                                    double timeout) {
    checked_timeout(timeout, "query");
    send_command({gcode});
    auto reply = wait_on(slots_->other, timeout, what, WaitFor::reply,
                         [](std::string value) { return std::optional<std::string>(value); });
    if (reply) return std::move(*reply);
    raise_lost_or_timeout(
        text::fill("{}: serial connection was lost while waiting for the {}.", {name, what}),
        text::fill("{}: no reply to the {} within {}s.", {name, what, text::number(timeout)}));
}

long long Instrument::identify(double timeout) {
    checked_timeout(timeout, "identify");
    const auto reply = query_other("M116", "identity query (M116)", timeout);
    const auto id = grammar::first_integer(reply);
    if (!id) {
        throw ValueError(text::fill("{}: unexpected M116 reply: {!r}", {name, text::strip(reply)}));
    }
    return *id;
}

std::vector<std::pair<std::string, bool>> Instrument::homed_axes(double timeout) {
    checked_timeout(timeout, "homed_axes");
    if (!base_constants().home_required_code) {
        throw NotSupportedError(
            text::fill("{} has no position-truth interlock (no datum to home).", {class_name()}));
    }
    std::array<ConstantRequest, 2> requests{{
        {"all_axes", all_axes ? ConstantValue(*all_axes) : ConstantValue()},
        {"primary_axis", primary_axis ? ConstantValue(*primary_axis) : ConstantValue()},
    }};
    resolve_constants(requests);
    std::vector<std::string> axes;
    if (const auto* listed = std::get_if<std::vector<std::string>>(&requests[0].value)) {
        axes = *listed;
    }
    if (axes.empty()) axes.push_back(constant_as_text(requests[1].value).value_or("X"));

    std::string command = "M304";
    for (const auto& axis : axes) command += " " + axis;
    const auto reply = query_other(command, "homed-state query (M304)", timeout);
    const auto flags = grammar::homed_flags(reply);
    if (flags.empty()) {
        throw ValueError(text::fill("{}: unexpected M304 reply: {!r}", {name, text::strip(reply)}));
    }
    std::map<std::string, bool> found;
    for (const auto& [letter, homed] : flags) found[std::string(1, letter)] = homed;

    std::vector<std::pair<std::string, bool>> result;
    result.reserve(axes.size());
    for (const auto& axis : axes) {
        const auto it = found.find(text::upper(axis));
        result.emplace_back(axis, it != found.end() && it->second);
    }
    return result;
}

bool Instrument::is_homed(double timeout) {
    checked_timeout(timeout, "is_homed");
    const auto axes = homed_axes(timeout);
    return std::all_of(axes.begin(), axes.end(), [](const auto& axis) { return axis.second; });
}

// A leader answers the version query on a data line; a follower refuses it,
// and a refusal is filed with the acknowledgements, so both slots are watched
// and a follower costs no time-out.
// Which slots a leader probe watches: the data slot, where a leader's version
// line lands, and optionally the acknowledgements, where a coded refusal does.
bool Instrument::probe_leader(double timeout, bool refusal_answers) {
    const std::array<ReplySlot*, 2> watched{&slots_->other, &slots_->ok};
    const std::span<ReplySlot* const> slots(watched.data(), refusal_answers ? 2 : 1);
    try {
        send_command({"M115"});
        const auto leader = wait_on(
            slots, timeout, WaitPlan{.label = "leader probe (M115)"},
            [](const Answer& answer) -> std::optional<bool> {
                return answer.slot == 0 && !grammar::leadership_fault(answer.line, std::nullopt) &&
                       grammar::has_version(answer.line);
            });
        return leader.value_or(false);
    } catch (const Error&) {
        return false;
    }
}

bool Instrument::is_leader(double timeout) {
    checked_timeout(timeout, "is_leader");
    return probe_leader(timeout, false);
}

bool Instrument::answers_as_leader(double timeout) {
    checked_timeout(timeout, "answers_as_leader");
    return probe_leader(timeout, true);
}

std::optional<std::string> Instrument::get_firmware_version(double timeout) {
    checked_timeout(timeout, "get_firmware_version");
    std::optional<std::string> answer;
    try {
        slots_->other.clear();
        send_command({"M115"});
        answer =
            wait_on(slots_->other, timeout, "firmware version query (M115)", WaitFor::side_query,
                    [](std::string value) { return std::optional<std::string>(value); });
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        // Best effort: no transport, a pending fault or a lost link reads as no answer.
    }
    if (answer) {
        const auto line = text::strip(*answer);
        if (!line.empty()) firmware_version = std::string(line);
    }
    return firmware_version;
}

void Instrument::stop() {
    throw NotSupportedError(text::fill("{} does not implement stop()", {class_name()}));
}

void Instrument::resume() {
    throw NotSupportedError(text::fill("{} does not implement resume()", {class_name()}));
}

void Instrument::reset() {
    throw NotSupportedError(text::fill("{} does not implement reset()", {class_name()}));
}

void Instrument::forget_tracked_state() {}

void Instrument::check_position_unsupported() const {
    throw NotSupportedError(text::fill("{} does not implement check_position()", {class_name()}));
}

void Instrument::pause() {
    const StopScope stopping(*this);
    stop();
}

void Instrument::abort() {
    const StopScope stopping(*this);
    stop();
    reset();
}

// ---- long operations ----

Instrument::OperationScope::OperationScope(Instrument& owner, Operation operation)
    : owner_(owner), outer_(std::exchange(owner.operation_, std::move(operation))) {
    owner_.operation_->began = std::chrono::steady_clock::now();
}

Instrument::OperationScope::~OperationScope() { owner_.operation_ = std::move(outer_); }

Instrument::OperationScope Instrument::begin_operation(std::string name,
                                                       std::optional<double> estimate_s) {
    return OperationScope(*this, Operation{std::move(name), estimate_s, {}, false});
}

std::unique_ptr<ProgressReport> Instrument::start_progress() {
    if (!operation_ || operation_->reported) return nullptr;
    operation_->reported = true;
    auto observer = progress_observer();
    if (!observer) return nullptr;
    ProgressSource source{name, instrument_number + 1, progress_chain()};
    return std::make_unique<ProgressReport>(std::move(observer), std::move(source),
                                            operation_->name, operation_->estimate_s,
                                            operation_->began);
}

}  // namespace orvak
