// A Python object with pyserial's port interface (is_open, write, inWaiting,
// read, close) as a core Port. Every call takes the GIL for just that call;
// SerialException and OSError become a lost link.
//
// An object whose fileno() gives a descriptor (pyserial's POSIX Serial, its
// socket:// port) is waited on with poll() like a native port, while its
// bytes still move only through its own calls; one without is polled.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "orvak/port.hpp"

namespace orvakpy {

namespace py = pybind11;

class PyPort final : public orvak::Port {
  public:
    explicit PyPort(py::object port);
    ~PyPort() override;

    bool is_open() override;
    void write(std::string_view bytes) override;
    std::size_t in_waiting() override;
    std::string read(std::size_t count) override;
    void close() override;
    [[nodiscard]] int readiness_fd() const override { return descriptor_; }
    [[nodiscard]] orvak::detail::UniqueFd watch_fd() override;

  private:
    template <class Call>
    auto call(Call&& body) -> decltype(body());

    // fileno() of the object, or -1; the GIL must be held.
    [[nodiscard]] int python_fileno() const;

    py::object port_;
    int descriptor_ = -1;  // as seen when the port was wrapped
};

// The core port for a port argument: a port made in C++ as it is, any other
// object through PyPort; null for None.
std::shared_ptr<orvak::Port> port_for(const py::object& serial_port);

}  // namespace orvakpy
