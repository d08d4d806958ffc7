#include "orvak/event.hpp"

#include <utility>

namespace orvak {

void Event::set() {
    {
        const std::lock_guard lock(mutex_);
        flag_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
    if (on_set_) on_set_();
}

void Event::clear() {
    const std::lock_guard lock(mutex_);
    flag_.store(false, std::memory_order_release);
}

bool Event::wait_for(Seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return is_set(); });
}

void Event::on_set(std::function<void()> hook) { on_set_ = std::move(hook); }

}  // namespace orvak
