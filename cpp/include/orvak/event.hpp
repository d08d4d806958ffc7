// A thread-safe flag with waiting, like Python's threading.Event. An optional
// hook runs after each set, outside the lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "orvak/export.hpp"
#include "orvak/reply_slot.hpp"

namespace orvak {

class ORVAK_EXPORT Event {
  public:
    void set();
    void clear();
    [[nodiscard]] bool is_set() const noexcept { return flag_.load(std::memory_order_acquire); }
    // True when the flag is set before the timeout runs out.
    bool wait_for(Seconds timeout);
    // Set once, before other threads use the event.
    void on_set(std::function<void()> hook);

  private:
    std::atomic<bool> flag_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> on_set_;
};

}  // namespace orvak
