#include "orvak/line_queue.hpp"

#include <utility>

namespace orvak {

void LineQueue::put(std::string line) {
    {
        const std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    filled_.notify_one();
    if (on_put_) on_put_();
}

std::optional<std::string> LineQueue::try_get() {
    const std::lock_guard lock(mutex_);
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<std::string> LineQueue::get_for(Seconds timeout) {
    std::unique_lock lock(mutex_);
    if (!filled_.wait_for(lock, timeout, [this] { return !lines_.empty(); })) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<std::string> LineQueue::get_unless(Seconds timeout,
                                                 const std::function<bool()>& cancelled) {
    std::unique_lock lock(mutex_);
    if (!filled_.wait_for(lock, timeout, [&] { return !lines_.empty() || cancelled(); }) ||
        lines_.empty()) {
        return std::nullopt;
    }
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

void LineQueue::wake_waiters() {
    { const std::lock_guard lock(mutex_); }
    filled_.notify_all();
}

std::deque<std::string> LineQueue::take_all() {
    std::deque<std::string> taken;
    const std::lock_guard lock(mutex_);
    taken.swap(lines_);
    return taken;
}

bool LineQueue::empty() const {
    const std::lock_guard lock(mutex_);
    return lines_.empty();
}

std::size_t LineQueue::size() const {
    const std::lock_guard lock(mutex_);
    return lines_.size();
}

void LineQueue::on_put(std::function<void()> hook) { on_put_ = std::move(hook); }

}  // namespace orvak
