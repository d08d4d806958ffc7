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

void set_group_and_axes(const py::object& self, const py::object& parent,
                        std::initializer_list<std::string_view> axes) {
    self.attr("my_group") = parent;
    if (axes.size() == 0) return;
    static constexpr const char* named[] = {"primary_axis", "secondary_axis"};
    py::list all_axes;
    std::size_t index = 0;
    for (const auto axis : axes) {
        const py::str letter = to_pystr(axis);
        if (index < std::size(named)) self.attr(named[index]) = letter;
        all_axes.append(letter);
        ++index;
    }
    self.attr("all_axes") = all_axes;
}

}  // namespace orvakpy
