#include "orvak/operation_gate.hpp"

#include <algorithm>

namespace orvak {

OperationGate::Entry OperationGate::enter(
    std::string_view operation, Duration slice, const std::function<void()>& between,
    std::optional<std::chrono::steady_clock::time_point> give_up) {
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return Entry::nested;
    }
    // A stop must never wait behind the operation it stops, even when it
    // is written in terms of other calls (a subclass's own stop()).
    if (stopping_here_locked()) return Entry::bypassed;
    // A stop in progress on another thread is waited out too: a new
    // operation would clear the reply slots the stop waits on.
    const auto busy = [this] { return !refusing_ && (depth_ > 0 || !stopping_.empty()); };
    while (busy()) {
        if (give_up) {
            const auto left = *give_up - std::chrono::steady_clock::now();
            if (left <= Duration::zero()) return Entry::busy;
            released_.wait_for(lock, std::min<Duration>(slice, left));
        } else {
            released_.wait_for(lock, slice);
        }
        if (!busy()) break;
        lock.unlock();
        between();
        lock.lock();
    }
    if (refusing_) return Entry::refused;
    owner_ = me;
    depth_ = 1;
    owner_epoch_ = stops_.load();
    owner_operation_ = std::string(operation);
    return Entry::began;
}

std::string OperationGate::current_operation() const {
    const std::lock_guard lock(mutex_);
    return depth_ > 0 ? owner_operation_ : std::string();
}

void OperationGate::refuse_new() noexcept {
    {
        const std::lock_guard lock(mutex_);
        refusing_ = true;
    }
    released_.notify_all();
}

void OperationGate::leave() noexcept {
    {
        const std::lock_guard lock(mutex_);
        if (depth_ == 0 || --depth_ > 0) return;
        owner_ = {};
        owner_operation_.clear();
    }
    released_.notify_all();
}

void OperationGate::begin_stop() {
    const std::lock_guard lock(mutex_);
    stopping_.push_back(std::this_thread::get_id());
    ++stops_;
}

void OperationGate::end_stop() noexcept {
    {
        const std::lock_guard lock(mutex_);
        const auto it = std::find(stopping_.begin(), stopping_.end(), std::this_thread::get_id());
        if (it != stopping_.end()) stopping_.erase(it);
    }
    released_.notify_all();
}

bool OperationGate::stopping_here_locked() const {
    return std::find(stopping_.begin(), stopping_.end(), std::this_thread::get_id()) !=
           stopping_.end();
}

bool OperationGate::stopping_here() const {
    const std::lock_guard lock(mutex_);
    return stopping_here_locked();
}

std::uint64_t OperationGate::epoch_here() const {
    const std::lock_guard lock(mutex_);
    const bool own_operation = depth_ > 0 && owner_ == std::this_thread::get_id();
    return own_operation && !stopping_here_locked() ? owner_epoch_ : stops_.load();
}

std::string OperationGate::operation_here() const {
    const std::lock_guard lock(mutex_);
    return depth_ > 0 && owner_ == std::this_thread::get_id() ? owner_operation_ : std::string();
}

}  // namespace orvak
