// What a driver needs of its serial link: somewhere to queue command lines and
// the flags that tell a lost link from a slow instrument.
#pragma once

#include <exception>
#include <string>

#include "orvak/export.hpp"

namespace orvak {

class ORVAK_EXPORT Link {
  public:
    virtual ~Link();
    virtual void send_line(std::string line) = 0;
    // False when the link has no read queue to drain before a command.
    [[nodiscard]] virtual bool has_read_queue() { return true; }
    [[nodiscard]] virtual bool read_queue_empty() = 0;
    [[nodiscard]] virtual bool stop_requested() = 0;
    [[nodiscard]] virtual bool died() = 0;
    // What ended a link that died of an error (a lost port), if known.
    [[nodiscard]] virtual std::exception_ptr failure() { return nullptr; }
};

}  // namespace orvak
