// Blocking waits seen from Python: released GIL, Ctrl-C noticed, and the
// timeout rules of queue.Queue and threading.Event.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>

#include "common/python_runtime.hpp"
#include "orvak/reply_slot.hpp"

namespace orvakpy {

namespace py = pybind11;

// The longest stretch a Python-facing wait blocks before checking for Ctrl-C.
inline constexpr orvak::Seconds signal_check_period{0.05};

// Runs `attempt(slice)` (which blocks at most `slice`, without the GIL) until
// it yields a value, the timeout passes (None waits for ever) or a signal
// handler raises. Returns nothing on time-out.
template <class Attempt>
auto wait_interruptibly(const py::object& timeout, Attempt&& attempt)
    -> decltype(attempt(orvak::Seconds{})) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (!timeout.is_none()) {
        const double seconds = py::float_(timeout).cast<double>();
        if (seconds < 0) throw py::value_error("'timeout' must be a non-negative number");
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      orvak::Seconds(std::min(seconds, 1e9)));
    }
    for (;;) {
        auto slice = signal_check_period;
        if (deadline) {
            slice = std::min<orvak::Seconds>(slice, *deadline - Clock::now());
            if (slice < orvak::Seconds::zero()) slice = orvak::Seconds::zero();
        }
        decltype(attempt(slice)) result;
        {
            const ReleaseGil release;
            result = attempt(slice);
        }
        if (result) return result;
        if (deadline && Clock::now() >= *deadline) return result;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

}  // namespace orvakpy
