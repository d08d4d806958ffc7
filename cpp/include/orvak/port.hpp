// The serial port as the manager's write/read loop sees it. Port failures
// (unplugged device, I/O error) are PortError; anything else a port throws is
// an ordinary fault that the loop logs and survives.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "orvak/export.hpp"

namespace orvak {

class ORVAK_EXPORT PortError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    ~PortError() override;
};

class ORVAK_EXPORT Port {
  public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    virtual ~Port();

    virtual bool is_open() = 0;
    virtual void write(std::string_view bytes) = 0;
    virtual std::size_t in_waiting() = 0;
    virtual std::string read(std::size_t count) = 0;
    virtual void close() = 0;

    // A descriptor that polls readable when bytes (or a hang-up) arrive, or -1.
    // A port with one is served event-driven; without one, by polling.
    [[nodiscard]] virtual int readiness_fd() const { return -1; }
};

}  // namespace orvak
