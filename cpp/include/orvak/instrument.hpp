// The base of every driver: addressed command lines, the blocking waits for
// OK, DONE, position and data replies, refusals, hardware faults, leadership,
// identity and status queries, and the default controls.
//
// A host embedding the core (the Python bindings) answers five hooks: class
// constants, the current link, user interrupts, the class name and user
// warnings. Without a host the defaults apply and `attach` supplies the link.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "orvak/description.hpp"
#include "orvak/errors.hpp"
#include "orvak/export.hpp"
#include "orvak/link.hpp"
#include "orvak/operation_gate.hpp"
#include "orvak/progress.hpp"
#include "orvak/reply_slot.hpp"

namespace orvak {

// A class constant's value; monostate means absent (Python's None).
using ConstantValue =
    std::variant<std::monostate, bool, long long, double, std::string, std::vector<std::string>>;

struct ConstantRequest {
    std::string_view name;
    ConstantValue value;  // in: the core default; out: the value in force
};

// Reads a resolved constant as a number (int or float), or the fallback.
ORVAK_EXPORT double constant_as_double(const ConstantValue& value, double fallback);
ORVAK_EXPORT std::optional<std::string> constant_as_text(const ConstantValue& value);
// A constant that must be a finite number; throws ArgumentTypeError naming it
// when it is not a number, ValueError when it is not finite.
ORVAK_EXPORT double number_constant(const ConstantRequest& request);
// A time-out constant in seconds: a number, infinity meaning no limit.
ORVAK_EXPORT double timeout_constant(const ConstantRequest& request);
// A constant that must be a whole number (a count); throws ArgumentTypeError
// naming it otherwise.
ORVAK_EXPORT long long integer_constant(const ConstantRequest& request);

struct BaseConstants {
    double ok_timeout = 3.0;
    double done_timeout = 120.0;
    double poll_interval = 0.01;
    std::optional<std::string> home_required_code;
    std::optional<std::string> home_required_noun;
};

class ORVAK_EXPORT Instrument {
  public:
    static constexpr double default_query_timeout = 2.0;
    static constexpr double default_drain_timeout = 0.1;

    Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;
    virtual ~Instrument();

    // ---- host hooks ----
    // Fills each request with the value in force; the default keeps the core's.
    virtual void resolve_constants(std::span<ConstantRequest> requests) const;
    // The link of this instrument's group now; throws when there is none.
    [[nodiscard]] virtual std::shared_ptr<Link> link();
    // Throws an orvak::Interrupted when the user asked to stop waiting.
    virtual void check_interrupt();
    // The class name that not-supported messages show.
    [[nodiscard]] virtual std::string class_name() const;
    // Who watches long operations now, or null; asked once per labelled wait.
    [[nodiscard]] virtual std::shared_ptr<ProgressObserver> progress_observer();
    // The chain this instrument's progress reports name; the default is its link.
    [[nodiscard]] virtual std::uintptr_t progress_chain();
    // Tells the user that an operation goes ahead otherwise than asked (a
    // clamped target, an ignored argument), attributed to the caller of the
    // operation. May throw when the host turns warnings into errors; drivers
    // warn before sending, so nothing has gone out then. The default writes
    // the line to stderr.
    virtual void warn(const std::string& message);
    // A detail for whoever debugs the link (lines discarded while
    // resynchronising); the default drops it.
    virtual void log_debug(const std::string& message);

    // The link used by the default `link()` hook (C++ use without a host).
    void attach(std::shared_ptr<Link> link);
    // The observer used by the default `progress_observer()` hook.
    void observe_progress(std::shared_ptr<ProgressObserver> observer);

    // What this module can do and what can be read from it, with the limits
    // in force now; each driver adds its own operations and readings.
    [[nodiscard]] virtual Description describe() const;

    // ---- state ----
    [[nodiscard]] const std::shared_ptr<ReplySlots>& slots() const noexcept { return slots_; }
    std::string name;
    int instrument_number = 0;
    std::optional<std::string> last_bad_reply;
    std::optional<std::string> firmware_version;
    // Axes of drivers that have them; the base class has none.
    std::optional<std::string> primary_axis;
    std::optional<std::vector<std::string>> all_axes;
    // Every driver's module type code, and the last result of its
    // estimate_run_time() (0.0 before one); the base class has neither.
    int instrument_id_number = 0;
    double estimated_run_time = 0.0;

    [[nodiscard]] BaseConstants base_constants() const;

    // ---- commands and waits ----
    void send_command(std::span<const std::string> gcodes);
    void send_command(std::initializer_list<std::string> gcodes);
    void clear_flags();
    void await_read_queue_drain(double timeout = default_drain_timeout);
    // Runs a wait; on a user interrupt stops the instrument, then rethrows.
    template <class Loop>
    decltype(auto) with_interrupt_guard(Loop&& loop) {
        try {
            return std::forward<Loop>(loop)();
        } catch (const Interrupted&) {
            stop_after_interrupt();
            throw;
        }
    }
    bool wait_for_ok(double extra_timeout = 0.0, std::string_view what = "command");
    // Without a time-out, waits until done_deadline().
    void wait_for_done(std::optional<double> timeout = std::nullopt);
    // How long a motion's DONE is awaited: DONE_TIMEOUT, or for an operation
    // with an estimate, at least 1.5 x the estimate + 10 s.
    [[nodiscard]] double done_deadline() const;
    static constexpr double done_estimate_margin = 1.5;
    static constexpr double done_slack_s = 10.0;
    std::string wait_for_position(std::optional<double> timeout = std::nullopt);

    // ---- refusals, faults and leadership ----
    void raise_if_notok(std::string_view what = "command");
    [[nodiscard]] bool has_fault() const;
    void check_fault();
    [[nodiscard]] static std::optional<std::string> bad_code(std::string_view reply);
    void require_ok(std::string_view what = "command", double extra_timeout = 0.0);
    void require_ok_or_home_required(std::string_view what = "command", double extra_timeout = 0.0);
    void raise_if_late_bad();

    // ---- identity, status and common controls ----
    std::string query_other(const std::string& gcode, std::string_view what,
                            double timeout = default_query_timeout);
    long long identify(double timeout = default_query_timeout);
    std::vector<std::pair<std::string, bool>> homed_axes(double timeout = default_query_timeout);
    bool is_homed(double timeout = default_query_timeout);
    bool is_leader(double timeout = default_query_timeout);
    // The leader probe as a scan runs it: a follower's refusal (filed with
    // the acknowledgements) answers false at once instead of after the
    // time-out that is_leader waits out.
    bool answers_as_leader(double timeout = default_query_timeout);
    std::optional<std::string> get_firmware_version(double timeout = default_query_timeout);

    virtual void stop();
    virtual void resume();
    virtual void reset();
    // Forgets what the driver tracks of the module (a position, a configured
    // valve set), as after a power cycle: a reopened link may lead to a module
    // that restarted. The default tracks nothing.
    virtual void forget_tracked_state();
    [[noreturn]] void check_position_unsupported() const;
    void pause();
    void abort();

    // ---- one operation at a time, and stops from any thread ----
    // Runs `body` as one operation of this driver (see OperationGate): a call
    // from another thread waits its turn, checking for interrupts; a call
    // nested on the same thread goes ahead. An operation that fails with a
    // time-out leaves its reply possibly still on the way, so the driver
    // resynchronises with the module before its next command.
    template <class Body>
    decltype(auto) exclusive(std::string_view operation, Body&& body);

    // Tries to take this driver's turn for a series of calls on this thread,
    // waiting at most `seconds`: a sampler reads a module this way instead of
    // queueing behind a long operation. Calls made while it holds the turn
    // go ahead as nested ones; the destructor gives the turn back.
    class ORVAK_EXPORT TurnAttempt {
      public:
        TurnAttempt(Instrument& owner, std::string_view operation, double seconds);
        TurnAttempt(const TurnAttempt&) = delete;
        TurnAttempt& operator=(const TurnAttempt&) = delete;
        ~TurnAttempt();
        [[nodiscard]] bool granted() const noexcept;

      private:
        OperationGate& gate_;
        OperationGate::Entry entry_;
    };
    // The operation running on this driver now (on any thread), or empty.
    [[nodiscard]] std::string running_operation() const { return gate_.current_operation(); }

    // Refuses every operation that would begin from now on, with
    // StoppedError naming `reason` ("the server is shutting down"): what its
    // owner accepted before is stopped next, and nothing moves after it. The
    // stop family still works.
    void refuse_operations(std::string reason);

    // The scope of a stop-family call (stop, pause, abort, stop_all) on this
    // thread: an operation waiting on another thread ends at once with
    // StoppedError, and the calls the stop makes take no turn.
    class ORVAK_EXPORT StopScope {
      public:
        explicit StopScope(Instrument& owner);
        StopScope(const StopScope&) = delete;
        StopScope& operator=(const StopScope&) = delete;
        ~StopScope();

      private:
        Instrument& owner_;
    };

    // ---- long operations ----
    // The long operation that the waits inside a scope belong to (a waited
    // home, move, run or settle): its name and the driver's estimate of its
    // length in seconds. Progress reporting and the DONE deadline read it.
    struct Operation {
        std::string name;
        std::optional<double> estimate_s;
        std::chrono::steady_clock::time_point began;
        bool reported = false;  // one report per operation, not one per wait
    };
    class ORVAK_EXPORT OperationScope {
      public:
        OperationScope(Instrument& owner, Operation operation);
        OperationScope(const OperationScope&) = delete;
        OperationScope& operator=(const OperationScope&) = delete;
        ~OperationScope();

      private:
        Instrument& owner_;
        std::optional<Operation> outer_;
    };
    // Names the operation of the waits until the returned scope ends.
    [[nodiscard]] OperationScope begin_operation(std::string name,
                                                 std::optional<double> estimate_s);
    [[nodiscard]] const std::optional<Operation>& current_operation() const noexcept {
        return operation_;
    }
    // The progress report of the first wait inside a labelled operation, when
    // someone watches (later waits, such as the stop after an interrupt, are
    // not reported); drivers' own waits (a settle) use it as wait_on does.
    [[nodiscard]] std::unique_ptr<ProgressReport> start_progress();

  protected:
    using Clock = std::chrono::steady_clock;

    // A reply to a command, or the completion of a motion: only the latter
    // looks for late refusals and reports the operation's progress (an
    // acknowledgement before it must not take the operation's one report). A
    // side query (the firmware version, a resynchronisation barrier) is not
    // the operation's own exchange: a fault stays pending for the operation,
    // and running out is no overdue reply.
    enum class WaitFor { reply, motion, side_query };
    // What a wait compares with to notice a stop from another thread.
    struct StopWatch {
        std::uint64_t epoch;
    };
    struct WaitPlan {
        std::string_view label{};  // names the operation in stop and fault messages
        WaitFor kind = WaitFor::reply;
        // False when the caller's own interrupt guard stops the instrument
        // (a settle reading), so an interrupt stops it once.
        bool own_guard = true;
        std::optional<double> poll_interval{};  // the resolved POLL_INTERVAL, when at hand
        std::optional<StopWatch> since{};       // stops count from here, else from the start
    };
    // A line a wait took, and the index of the slot it came from.
    struct Answer {
        std::size_t slot;
        std::string line;
    };
    // The one reply wait. Every pass checks user interrupts, the stop flag,
    // pending faults (and late refusals of a motion), the deadline, then
    // blocks for at most one poll interval on the first slot; the others are
    // looked at every pass, in order, and when a later one answers, an earlier
    // one that filled meanwhile holds the earlier line, which wins. `judge`
    // returns the result when a line settles the wait (a line it rejects is
    // dropped); a default result means a time-out or a stopped link.
    template <class Judge>
    auto wait_on(std::span<ReplySlot* const> slots, double timeout, const WaitPlan& plan,
                 Judge&& judge) -> decltype(judge(Answer{}));
    template <class Judge>
    auto wait_on(ReplySlot& slot, double timeout, std::string_view label, WaitFor kind,
                 Judge&& judge) -> decltype(judge(std::string{})) {
        ReplySlot* const one[] = {&slot};
        return wait_on(std::span(one), timeout, WaitPlan{.label = label, .kind = kind},
                       [&judge](Answer answer) { return judge(std::move(answer.line)); });
    }

    // A time-out in seconds as a clock duration; never negative, never overflowing.
    [[nodiscard]] static Clock::duration span_of(double seconds);
    // A caller's time-out for `operation`: NaN or negative is refused before
    // anything is sent.
    double checked_timeout(double seconds, std::string_view operation) const;

    // A reply wait that ran out (the reply may still come).
    void note_overdue_reply() noexcept { reply_overdue_ = true; }

    [[nodiscard]] StopWatch watch_for_stop() const { return {gate_.epoch_here()}; }
    // Throws StoppedError, naming the operation, when a stop came since `watch`.
    void throw_if_stopped(const StopWatch& watch, std::string_view what) const;
    void raise_if_late_bad(const StopWatch& watch);
    // A reply from `slot` within `timeout`; none once a stop came since `watch`.
    std::optional<std::string> take_reply(ReplySlot& slot, Clock::duration timeout,
                                          const StopWatch& watch);

  private:
    bool probe_leader(double timeout, bool refusal_answers);
    // Holds this thread's turn for one exclusive() call.
    class Turn {
      public:
        Turn(Instrument& owner, std::string_view operation);
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        ~Turn();

      private:
        OperationGate& gate_;
        OperationGate::Entry entry_;
    };

    // Sends a query whose answer must come back before anything else is
    // sent, discarding what arrives before it (replies to commands that
    // timed out). Throws TimeoutError when no answer comes.
    void resynchronise(Link& connection);
    // The drain on a link already resolved (send_command resolves it once).
    static void drain_read_queue(Link& connection, double timeout);
    void stop_after_interrupt();
    [[noreturn]] void raise_lost_or_timeout(const std::string& lost, const std::string& timeout);

    std::shared_ptr<ReplySlots> slots_;
    std::shared_ptr<Link> attached_link_;
    std::shared_ptr<ProgressObserver> progress_observer_;
    std::optional<Operation> operation_;
    OperationGate gate_;
    mutable std::mutex refusal_mutex_;
    std::string refusal_;
    [[nodiscard]] std::string refusal_reason() const;
    // Clearing the reply slots and sending happen together, so an operation
    // cannot clear the reply of a stop that began meanwhile.
    std::mutex send_mutex_;
    std::atomic<bool> resync_needed_{false};
    std::atomic<bool> reply_overdue_{false};  // a reply wait of this operation ran out
    // Command words whose replies may still be on the way; the barrier query
    // is one that cannot be confused with their answers.
    std::vector<std::string> unsettled_;
};

template <class Body>
decltype(auto) Instrument::exclusive(std::string_view operation, Body&& body) {
    const Turn turn(*this, operation);
    try {
        return std::forward<Body>(body)();
    } catch (const TimeoutError&) {
        // A reply that did not come may still arrive (a flow that did not
        // settle leaves nothing on the way).
        if (reply_overdue_) resync_needed_ = true;
        throw;
    }
}

template <class Judge>
auto Instrument::wait_on(std::span<ReplySlot* const> slots, double timeout, const WaitPlan& plan,
                         Judge&& judge) -> decltype(judge(Answer{})) {
    using Result = decltype(judge(Answer{}));
    const auto poll = span_of(plan.poll_interval.value_or(base_constants().poll_interval));
    const auto connection = link();
    const auto deadline = Clock::now() + span_of(timeout);
    const auto watch = plan.since.value_or(watch_for_stop());
    const bool own_exchange = plan.kind != WaitFor::side_query;
    // Nothing is taken once a stop came: its own reply is the stop's.
    const auto judged = [&](std::size_t index, Clock::duration within) -> Result {
        auto line = take_reply(*slots[index], within, watch);
        if (!line) return Result{};
        return judge(Answer{index, std::move(*line)});
    };
    const auto loop = [&]() -> Result {
        auto progress = plan.kind == WaitFor::motion ? start_progress() : nullptr;
        const auto settle = [&](Result settled) {
            if (progress) progress->finish(true);
            return settled;
        };
        for (;;) {
            // First, as they may wait for the host's lock: a stop that comes
            // meanwhile is then seen below, or wakes the slot.
            check_interrupt();
            if (progress) progress->tick();
            throw_if_stopped(watch, plan.label);
            if (connection->stop_requested()) return Result{};
            if (own_exchange) raise_if_notok(plan.label);
            if (plan.kind == WaitFor::motion) raise_if_late_bad(watch);
            // One slot is only blocked on, after the deadline is looked at.
            const std::size_t scanned = slots.size() > 1 ? slots.size() : 0;
            for (std::size_t later = 0; later < scanned; ++later) {
                Result settled = judged(later, Clock::duration::zero());
                if (!settled) continue;
                for (std::size_t earlier = 0; earlier < later; ++earlier) {
                    if (Result before = judged(earlier, Clock::duration::zero())) {
                        return settle(std::move(before));
                    }
                }
                return settle(std::move(settled));
            }
            const auto remaining = deadline - Clock::now();
            if (remaining <= Clock::duration::zero()) {
                if (own_exchange) reply_overdue_ = true;
                return Result{};
            }
            if (slots.empty()) {
                std::this_thread::sleep_for(std::min(remaining, poll));
            } else if (Result settled = judged(0, std::min(remaining, poll))) {
                return settle(std::move(settled));
            }
        }
    };
    return plan.own_guard ? with_interrupt_guard(loop) : loop();
}

}  // namespace orvak
