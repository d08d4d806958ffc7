// Unbounded FIFO of text lines between threads (the manager's write and read
// queues). An optional hook runs after each put, outside the lock, so an
// event-driven reader can be woken.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "orvak/export.hpp"
#include "orvak/reply_slot.hpp"

namespace orvak {

class ORVAK_EXPORT LineQueue {
  public:
    void put(std::string line);
    [[nodiscard]] std::optional<std::string> try_get();
    [[nodiscard]] std::optional<std::string> get_for(Seconds timeout);
    // As get_for, but gives up early once `cancelled` holds after a wake-up.
    [[nodiscard]] std::optional<std::string> get_unless(Seconds timeout,
                                                        const std::function<bool()>& cancelled);
    // Wakes every waiter so it rechecks its cancel condition.
    void wake_waiters();
    // Everything queued right now, oldest first.
    [[nodiscard]] std::deque<std::string> take_all();
    [[nodiscard]] bool empty() const;
    [[nodiscard]] std::size_t size() const;
    // Set once, before other threads use the queue.
    void on_put(std::function<void()> hook);

  private:
    mutable std::mutex mutex_;
    std::condition_variable filled_;
    std::deque<std::string> lines_;
    std::function<void()> on_put_;
};

}  // namespace orvak
