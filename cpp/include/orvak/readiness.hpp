// The pollable descriptor of a port made in software (the bench emulator's,
// a replay of a recording): an epoll set holding an eventfd (signalled while
// output is waiting) and a timerfd (armed for the next scheduled reply).
// Pollers wake for exactly those two reasons, so an idle port costs nothing.
// Callers serialise access (the port's own mutex).
#pragma once

#include <chrono>
#include <optional>

#include "orvak/export.hpp"
#include "orvak/unique_fd.hpp"

namespace orvak {

class ORVAK_EXPORT Readiness {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    Readiness();

    [[nodiscard]] int fd() const noexcept { return epoll_.get(); }
    // Readable while `pending` holds.
    void set_pending(bool pending);
    // Readable from `due` on (at once if it has passed); never with nullopt.
    void arm(std::optional<TimePoint> due);

  private:
    detail::UniqueFd epoll_;
    detail::UniqueFd event_;
    detail::UniqueFd timer_;
    bool pending_ = false;
    bool armed_ = false;
};

}  // namespace orvak
