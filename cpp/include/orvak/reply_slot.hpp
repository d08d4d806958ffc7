// Single-value hand-over points between the distributor thread (producer) and
// a driver's waits (consumer). A slot holds at most the latest reply of its
// kind; delivery replaces whatever is there and wakes a waiter at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orvak/export.hpp"

namespace orvak {

using Seconds = std::chrono::duration<double>;

class ORVAK_EXPORT ReplySlot {
  public:
    // Replaces the held value (clear, then put) and wakes a waiter.
    void deliver(std::string value);
    // Queue semantics with capacity one.
    [[nodiscard]] bool try_put(std::string value);
    [[nodiscard]] bool put_for(std::string value, Seconds timeout);
    [[nodiscard]] std::optional<std::string> try_get();
    // Returns early (empty) when wake_waiters() is called meanwhile.
    [[nodiscard]] std::optional<std::string> get_for(Seconds timeout);
    // get_for() that takes nothing once `give_up` holds: it is asked under
    // the slot's lock before a value is taken, so a reply that follows an
    // event (a stop) which sets `give_up` is left for the stop's own wait.
    // Call wake_waiters() after making it true.
    [[nodiscard]] std::optional<std::string> get_unless(Seconds timeout,
                                                        const std::function<bool()>& give_up);
    // Ends every get_for() in progress, so a waiter rechecks its conditions
    // (a stopped or lost link) at once instead of after its slice.
    void wake_waiters();
    void clear();
    [[nodiscard]] bool empty() const;
    [[nodiscard]] std::size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable filled_;
    std::condition_variable emptied_;
    std::optional<std::string> value_;
    unsigned wakes_ = 0;
};

// The five slots of one instrument. Shared between the instrument and the
// manager's routing table, so routing never holds the instrument itself.
struct ORVAK_EXPORT ReplySlots {
    ReplySlot notok;
    ReplySlot done;
    ReplySlot ok;
    ReplySlot position;
    ReplySlot other;

    void wake_waiters();
};

}  // namespace orvak
