#include "orvak/reaper.hpp"

#include <system_error>
#include <thread>
#include <utility>

namespace orvak {

namespace {

void run_quietly(const std::function<void()>& teardown) noexcept {
    try {
        teardown();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a teardown has no caller to report to
    }
}

}  // namespace

Reaper::Reaper() : count_(std::make_shared<Count>()) {}

void Reaper::hand_over(std::function<void()> teardown) {
    {
        const std::lock_guard lock(count_->mutex);
        ++count_->running;
    }
    const auto finish = [](const std::shared_ptr<Count>& count) {
        {
            const std::lock_guard lock(count->mutex);
            --count->running;
        }
        count->finished.notify_all();
    };
    // Kept here too, so it can still run when no thread can be made.
    const auto job = std::make_shared<std::function<void()>>(std::move(teardown));
    try {
        std::thread([count = count_, job, finish] {
            {
                // Taken out, so what it holds is released on this thread
                // whichever side lets go of `job` last.
                const auto owned = std::move(*job);
                run_quietly(owned);
            }
            finish(count);
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: tearing down here is still better than never.
        run_quietly(*job);
        *job = nullptr;
        finish(count_);
    }
}

void Reaper::drain() {
    std::unique_lock lock(count_->mutex);
    count_->finished.wait(lock, [this] { return count_->running == 0; });
}

std::size_t Reaper::pending() const {
    const std::lock_guard lock(count_->mutex);
    return count_->running;
}

}  // namespace orvak
