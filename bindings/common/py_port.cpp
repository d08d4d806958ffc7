#include "common/py_port.hpp"

#include "common/python_runtime.hpp"

namespace orvakpy {

PyPort::PyPort(py::object port) : port_(std::move(port)) { descriptor_ = python_fileno(); }

int PyPort::python_fileno() const {
    try {
        const py::object fileno = py::getattr(port_, "fileno", py::none());
        if (fileno.is_none()) return -1;
        const py::object fd = fileno();
        if (!py::isinstance<py::int_>(fd)) return -1;
        const int number = fd.cast<int>();
        return number >= 0 ? number : -1;
    } catch (py::error_already_set& e) {
        // No descriptor (io.UnsupportedOperation, a closed port, ...): polled.
        if (!e.matches(PyExc_Exception)) throw;
        return -1;
    } catch (const py::cast_error&) {
        return -1;
    }
}

orvak::detail::UniqueFd PyPort::watch_fd() {
    if (descriptor_ < 0 || !python_usable()) return {};
    const AcquireGil gil;
    // Copied under the GIL: no Python thread can close the number meanwhile.
    return orvak::detail::duplicate_fd(python_fileno());
}

PyPort::~PyPort() { release_python_object(port_); }

template <class Call>
auto PyPort::call(Call&& body) -> decltype(body()) {
    if (!python_usable()) throw orvak::PortError("the Python interpreter is shutting down");
    const AcquireGil gil;
    try {
        return body();
    } catch (py::error_already_set& e) {
        // pyserial's SerialException derives from OSError (IOError).
        if (e.matches(PyExc_OSError)) throw PyPortError(std::move(e));
        throw PyFailure(std::move(e));
    }
}

bool PyPort::is_open() {
    return call([&] { return py::bool_(port_.attr("is_open")).cast<bool>(); });
}

void PyPort::write(std::string_view bytes) {
    call([&] { port_.attr("write")(py::bytes(bytes.data(), bytes.size())); });
}

std::size_t PyPort::in_waiting() {
    return call([&] {
        const auto waiting = port_.attr("inWaiting")().cast<long long>();
        return waiting > 0 ? static_cast<std::size_t>(waiting) : std::size_t{0};
    });
}

std::string PyPort::read(std::size_t count) {
    return call([&] {
        const py::object data = port_.attr("read")(count);
        return py::bytes(data).cast<std::string>();
    });
}

void PyPort::close() {
    call([&] { port_.attr("close")(); });
}

std::shared_ptr<orvak::Port> port_for(const py::object& serial_port) {
    if (serial_port.is_none()) return nullptr;
    if (py::isinstance<orvak::Port>(serial_port)) {
        return serial_port.cast<std::shared_ptr<orvak::Port>>();
    }
    return std::make_shared<PyPort>(serial_port);
}

}  // namespace orvakpy
