// The serial port as the manager's write/read loop sees it. Port failures
// (unplugged device, I/O error) are PortError; anything else a port throws is
// an ordinary fault that the loop logs and survives.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "orvak/export.hpp"
#include "orvak/unique_fd.hpp"

namespace orvak {

class ORVAK_EXPORT PortError : public std::runtime_error {
  public:
    // `os_error` is the errno behind the failure, or 0.
    explicit PortError(const std::string& message, int os_error = 0)
        : std::runtime_error(message), os_error_(os_error) {}
    ~PortError() override;
    [[nodiscard]] int os_error() const noexcept { return os_error_; }

  private:
    int os_error_;
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
    // A duplicate of the readiness descriptor for a poller to own, taken so
    // that the number cannot be closed and reused between lookup and copy.
    // Empty when the port has none (then it is polled).
    [[nodiscard]] virtual detail::UniqueFd watch_fd() {
        return detail::duplicate_fd(readiness_fd());
    }
};

}  // namespace orvak
