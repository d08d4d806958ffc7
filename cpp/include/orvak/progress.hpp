// Progress of long operations (a waited home, move, run or settle): the
// waiting thread tells an observer, at the poll cadence, how long the
// operation has run against the driver's estimate, and once at the end
// whether it finished. Nothing of this runs when no observer is set.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvak/export.hpp"

namespace orvak {

struct ProgressEvent {
    std::string_view instrument;       // the driver's display name
    std::string_view operation;        // "home", "select_port", "run", "settle", ...
    std::optional<double> estimate_s;  // the driver's estimate, when it has one
    double elapsed_s;                  // since the operation began
    bool done;                         // the last event of this operation
    bool succeeded;                    // with done: it completed (not failed or interrupted)
    int address;                       // the module's 1-based address on its chain
    std::uintptr_t chain;              // which chain: unique among the process's live chains
};

// Whose operation a report is about (display names repeat across chains).
struct ProgressSource {
    std::string instrument;
    int address = 0;
    std::uintptr_t chain = 0;
};

class ORVAK_EXPORT ProgressObserver {
  public:
    virtual ~ProgressObserver();
    // Called on the waiting thread. May throw orvak::Interrupted to interrupt
    // the wait (the instrument is then stopped as for any interrupt).
    virtual void on_progress(const ProgressEvent& event) = 0;
};

// The reports of one wait: a tick per pass, then one final event (sent by
// the destructor as a failure when nobody called finish).
class ORVAK_EXPORT ProgressReport {
  public:
    using Clock = std::chrono::steady_clock;

    ProgressReport(std::shared_ptr<ProgressObserver> observer, ProgressSource source,
                   std::string operation, std::optional<double> estimate_s,
                   Clock::time_point began);
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;
    ~ProgressReport();

    void tick();
    void finish(bool succeeded);

  private:
    void send(bool done, bool succeeded);

    std::shared_ptr<ProgressObserver> observer_;
    ProgressSource source_;
    std::string operation_;
    std::optional<double> estimate_s_;
    Clock::time_point began_;
    bool finished_ = false;
};

}  // namespace orvak
