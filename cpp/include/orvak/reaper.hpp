// Runs teardowns that must not happen where they are triggered. The last
// reference to a serial manager can drop on one of its own loop threads, or
// inside a garbage collection on any thread of an interpreter; joining the
// loops and closing the port there would free state the loop still uses, or
// stall every collection behind a slow close. Each teardown gets a short-lived
// thread of its own, so hundreds of them finish in parallel, and none is left
// once they are done. A host waits for them with drain() before it exits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "orvak/export.hpp"

namespace orvak {

class ORVAK_EXPORT Reaper {
  public:
    Reaper();

    // Runs `teardown` on a new detached thread; inline when no thread can be
    // made. An exception it throws is dropped: nobody is left to receive it.
    void hand_over(std::function<void()> teardown);
    // Waits until every teardown handed over so far has finished.
    void drain();
    [[nodiscard]] std::size_t pending() const;

  private:
    // Shared with the threads, so a teardown may outlive its reaper.
    struct Count {
        mutable std::mutex mutex;
        std::condition_variable finished;
        std::size_t running = 0;
    };
    std::shared_ptr<Count> count_;
};

}  // namespace orvak
