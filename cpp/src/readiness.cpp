#include "orvak/readiness.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace orvak {

namespace {

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int checked(int fd, const char* what) {
    if (fd < 0) throw_errno(what);
    return fd;
}

// steady_clock counts CLOCK_MONOTONIC, which the timer is set against.
timespec monotonic(Readiness::TimePoint at) {
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec out{};
    out.tv_sec = static_cast<time_t>(seconds.count());
    out.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    // All zeros would disarm the timer instead of firing it.
    if (out.tv_sec <= 0 && out.tv_nsec <= 0) out.tv_nsec = 1;
    return out;
}

}  // namespace

Readiness::Readiness()
    : epoll_(checked(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      event_(checked(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "eventfd")),
      timer_(checked(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC),
                     "timerfd_create")) {
    for (const int member : {event_.get(), timer_.get()}) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = member;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, member, &interest) != 0) {
            throw_errno("epoll_ctl");
        }
    }
}

void Readiness::set_pending(bool pending) {
    if (pending == pending_) return;
    std::uint64_t count = 1;
    const auto n = pending ? ::write(event_.get(), &count, sizeof count)
                           : ::read(event_.get(), &count, sizeof count);
    if (n != static_cast<ssize_t>(sizeof count)) throw_errno("eventfd");
    pending_ = pending;
}

void Readiness::arm(std::optional<TimePoint> due) {
    if (!due && !armed_) return;
    // Setting the timer also clears expirations not yet read, so a fired
    // timer stops polling readable here; a due time already passed fires anew.
    itimerspec setting{};
    if (due) setting.it_value = monotonic(*due);
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        throw_errno("timerfd_settime");
    }
    armed_ = due.has_value();
}

}  // namespace orvak
