#include "common/py_instrument.hpp"

namespace orvakpy {

orvak::ConstantValue constant_from_python(py::handle value) {
    if (value.is_none()) return std::monostate{};
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    if (py::isinstance<py::int_>(value)) {
        try {
            return value.cast<long long>();
        } catch (const py::cast_error&) {
            return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
        }
    }
    if (py::isinstance<py::float_>(value)) return value.cast<double>();
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        std::vector<std::string> items;
        for (const auto item : value) items.push_back(py::str(item).cast<std::string>());
        return items;
    }
    // Other numbers (numpy scalars, Fractions) read through float().
    if (py::hasattr(value, "__float__"))
        return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
    return std::monostate{};
}

}  // namespace orvakpy
