// The pollable descriptor of an emulated chain: an epoll set holding an
// eventfd (signalled while output is waiting) and a timerfd (armed for the
// next scheduled reply). Pollers wake for exactly those two reasons, so an
// idle chain costs nothing. Callers serialise access (the chain's mutex).
#pragma once

#include <optional>

#include "orvak/posix_serial_port.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim::detail {

class Readiness {
  public:
    Readiness();

    [[nodiscard]] int fd() const noexcept { return epoll_.get(); }
    // Readable while `pending` holds.
    void set_pending(bool pending);
    // Readable from `due` on (at once if it has passed); never with nullopt.
    void arm(std::optional<TimePoint> due);

  private:
    orvak::detail::UniqueFd epoll_;
    orvak::detail::UniqueFd event_;
    orvak::detail::UniqueFd timer_;
    bool pending_ = false;
    bool armed_ = false;
};

}  // namespace orvak::sim::detail
