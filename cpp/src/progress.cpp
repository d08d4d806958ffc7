#include "orvak/progress.hpp"

#include <utility>

namespace orvak {

ProgressObserver::~ProgressObserver() = default;

ProgressReport::ProgressReport(std::shared_ptr<ProgressObserver> observer, ProgressSource source,
                               std::string operation, std::optional<double> estimate_s,
                               Clock::time_point began)
    : observer_(std::move(observer)),
      source_(std::move(source)),
      operation_(std::move(operation)),
      estimate_s_(estimate_s),
      began_(began) {}

ProgressReport::~ProgressReport() {
    if (finished_) return;
    try {
        send(true, false);
    } catch (...) {
        // The wait is already ending with its own error; the observer's is lost.
    }
}

void ProgressReport::tick() {
    if (!finished_) send(false, false);
}

void ProgressReport::finish(bool succeeded) {
    if (finished_) return;
    finished_ = true;
    send(true, succeeded);
}

void ProgressReport::send(bool done, bool succeeded) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - began_).count();
    observer_->on_progress(ProgressEvent{source_.instrument, operation_, estimate_s_, elapsed, done,
                                         succeeded, source_.address, source_.chain});
}

}  // namespace orvak
