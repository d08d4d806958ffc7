// A Python object with pyserial's port interface (is_open, write, inWaiting,
// read, close) as a core Port. Every call takes the GIL for just that call;
// SerialException and OSError become a lost link.
#pragma once

#include <pybind11/pybind11.h>

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

  private:
    template <class Call>
    auto call(Call&& body) -> decltype(body());

    py::object port_;
};

}  // namespace orvakpy
