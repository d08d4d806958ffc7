#include "orvak/reply_slot.hpp"

#include <utility>

namespace orvak {

void ReplySlot::deliver(std::string value) {
    {
        const std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }
    filled_.notify_all();
}

bool ReplySlot::try_put(std::string value) {
    {
        const std::lock_guard lock(mutex_);
        if (value_) return false;
        value_ = std::move(value);
    }
    filled_.notify_all();
    return true;
}

bool ReplySlot::put_for(std::string value, Seconds timeout) {
    {
        std::unique_lock lock(mutex_);
        if (!emptied_.wait_for(lock, timeout, [this] { return !value_; })) return false;
        value_ = std::move(value);
    }
    filled_.notify_all();
    return true;
}

std::optional<std::string> ReplySlot::try_get() {
    std::optional<std::string> taken;
    {
        const std::lock_guard lock(mutex_);
        taken.swap(value_);
    }
    if (taken) emptied_.notify_all();
    return taken;
}

std::optional<std::string> ReplySlot::get_for(Seconds timeout) {
    std::optional<std::string> taken;
    {
        std::unique_lock lock(mutex_);
        const unsigned seen = wakes_;
        filled_.wait_for(lock, timeout, [&] { return value_.has_value() || wakes_ != seen; });
        if (!value_) return std::nullopt;
        taken.swap(value_);
    }
    emptied_.notify_all();
    return taken;
}

std::optional<std::string> ReplySlot::get_unless(Seconds timeout,
                                                 const std::function<bool()>& give_up) {
    std::optional<std::string> taken;
    {
        std::unique_lock lock(mutex_);
        // A look without waiting skips the condition variable: that path
        // is taken on every pass of a motion's wait.
        if (timeout > Seconds::zero()) {
            const unsigned seen = wakes_;
            filled_.wait_for(lock, timeout, [&] { return value_.has_value() || wakes_ != seen; });
        }
        if (!value_ || give_up()) return std::nullopt;
        taken.swap(value_);
    }
    emptied_.notify_all();
    return taken;
}

void ReplySlot::wake_waiters() {
    {
        const std::lock_guard lock(mutex_);
        ++wakes_;
    }
    filled_.notify_all();
}

void ReplySlots::wake_waiters() {
    for (ReplySlot* slot : {&notok, &done, &ok, &position, &other}) slot->wake_waiters();
}

void ReplySlot::clear() {
    {
        const std::lock_guard lock(mutex_);
        value_.reset();
    }
    emptied_.notify_all();
}

bool ReplySlot::empty() const {
    const std::lock_guard lock(mutex_);
    return !value_;
}

std::size_t ReplySlot::size() const { return empty() ? 0 : 1; }

}  // namespace orvak
