// Who may run an operation on one driver, and which stops it has seen.
//
// Operations on one driver take turns: a call from another thread waits
// until the running one ends, so the lines of two operations never
// interleave and no caller takes another's reply. A call nested on the
// thread that holds the turn (a driver calling its own operations, a
// subclass calling the base method) goes ahead.
//
// The stop family (stop, pause, abort, stop_all) never takes a turn, and no
// operation begins while a stop is in progress on another thread. Each
// stop counts up; the operation holding the turn remembers the count it
// began with, so its waits notice a stop from any thread and end, while the
// stop's own waits (which begin after the count moved) do not.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvak/export.hpp"

namespace orvak {

class ORVAK_EXPORT OperationGate {
  public:
    using Duration = std::chrono::steady_clock::duration;

    enum class Entry {
        began,     // this call took the turn
        nested,    // this thread held it already
        bypassed,  // a call made by a stop on this thread: it takes no turn
        refused,   // operations are refused for good (see refuse_new): no turn
        busy,      // the turn was not free before the caller's limit: no turn
    };
    // Waits for the turn in slices of `slice`, calling `between` after each
    // (an interrupt check, which may throw); with `give_up`, no later than
    // then. Unless bypassed, refused or busy, leave() ends it.
    Entry enter(std::string_view operation, Duration slice, const std::function<void()>& between,
                std::optional<std::chrono::steady_clock::time_point> give_up = std::nullopt);
    void leave() noexcept;

    // From now on an operation that would take the turn is refused; calls
    // nested in one already running, and the stop family, still go ahead.
    // Its owner is shutting down: whatever was accepted before is stopped next.
    void refuse_new() noexcept;

    // The stop family: counts the stop and marks this thread as stopping
    // until end_stop(). Never waits.
    void begin_stop();
    void end_stop() noexcept;

    // The stop count a wait starting now on this thread compares with: the
    // one its operation began with, unless the wait belongs to a stop.
    [[nodiscard]] std::uint64_t epoch_here() const;
    [[nodiscard]] bool stopped_since(std::uint64_t epoch) const noexcept {
        return stops_.load() != epoch;
    }
    // Whether this thread is inside a stop-family call.
    [[nodiscard]] bool stopping_here() const;
    // The operation holding the turn on this thread, or empty.
    [[nodiscard]] std::string operation_here() const;
    // The operation holding the turn on any thread, or empty.
    [[nodiscard]] std::string current_operation() const;

  private:
    [[nodiscard]] bool stopping_here_locked() const;

    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;
    std::uint64_t owner_epoch_ = 0;
    std::string owner_operation_;
    std::vector<std::thread::id> stopping_;  // one entry per stop in progress
    std::atomic<std::uint64_t> stops_{0};
    bool refusing_ = false;
};

}  // namespace orvak
