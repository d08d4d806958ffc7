// The ordered set of drivers of one chain, and the rules a group follows
// whoever stores the drivers (C++ here, a Python list in the bindings).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"
#include "orvak/instrument.hpp"
#include "orvak/log_sink.hpp"
#include "orvak/registry.hpp"

namespace orvak {

// "InstrumentGroup(group=0, instruments=['Orvak Rotary Valve', ...])"
ORVAK_EXPORT std::string group_repr(long long group_number, const std::vector<std::string>& names);

// Python list indexing: negative counts from the end; outside throws IndexOutOfRange.
ORVAK_EXPORT std::size_t group_index(long long index, std::size_t size);

// Builds one driver for a registry row at a chain position.
using DriverFactory =
    std::function<std::shared_ptr<Instrument>(const registry::DriverRow& row, int position)>;

class ORVAK_EXPORT InstrumentGroup {
  public:
    // Resolves every identifier in order and builds its driver; the first
    // failure propagates and no group is made.
    InstrumentGroup(const std::vector<registry::Identifier>& identifiers,
                    const DriverFactory& factory, long long group_number = 0);

    [[nodiscard]] std::size_t size() const noexcept { return inst_.size(); }
    [[nodiscard]] Instrument& operator[](long long index) const;
    [[nodiscard]] const std::vector<std::shared_ptr<Instrument>>& inst() const noexcept {
        return inst_;
    }
    [[nodiscard]] long long group_number() const noexcept { return group_number_; }
    [[nodiscard]] std::string repr() const;

    // Attaches every driver to `link` (the chain's serial manager).
    void attach(const std::shared_ptr<Link>& link);
    // The reply slots of every driver, in chain order, for routing.
    [[nodiscard]] std::vector<std::shared_ptr<ReplySlots>> reply_slots() const;

    // Stops every driver in chain order; an ordinary failure is logged as a
    // warning and the next driver is still stopped.
    void stop_all(LogSink& log);

  private:
    long long group_number_;
    std::vector<std::shared_ptr<Instrument>> inst_;
};

}  // namespace orvak
