#include "common/py_instrument.hpp"

#include <limits>

#include "common/py_args.hpp"

namespace orvakpy {

orvak::ConstantValue constant_from_python(py::handle value) {
    if (value.is_none()) return std::monostate{};
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    if (py::isinstance<py::int_>(value)) {
        try {
            return value.cast<long long>();
        } catch (const py::cast_error&) {
            // Beyond a double too: an infinity, which the number checks name.
            const int sign = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
            if (sign < 0) throw py::error_already_set();
            const double huge = PyLong_AsDouble(value.ptr());
            if (huge == -1.0 && PyErr_Occurred() != nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
                PyErr_Clear();
                return sign == 1 ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity();
            }
            return huge;
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

void declare_axes(py::handle cls, int count) {
    declare_attribute(cls, "primary_axis", "str", "The letter of the axis that commands name.");
    if (count > 1) {
        declare_attribute(cls, "secondary_axis", "str", "The letter of the second axis.");
    }
    declare_attribute(cls, "all_axes", "list[str]", "The letters of every axis, in order.");
}

DriverIdentity driver_identity(std::string_view where, py::handle number,
                               py::handle instrument_id_number, py::handle name) {
    DriverIdentity identity{
        .number = int_argument(number, where, "number"),
        .instrument_id_number = int_argument(instrument_id_number, where, "instrument_id_number"),
        .name = {},
    };
    if (!py::isinstance<py::str>(name)) raise_argument_type(where, "name", "str", name);
    identity.name = name.cast<std::string>();
    return identity;
}

py::object model_class(py::module_& module, const py::object& base, std::string_view name,
                       std::string_view doc) {
    py::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = to_pystr(name);
    namespace_["__doc__"] = to_pystr(doc);
    const py::object type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(to_pystr(name), py::make_tuple(base), namespace_);
    module.attr(to_pystr(name)) = cls;
    return cls;
}

void model_constructor(py::object& cls, const py::object& base, int type_code,
                       std::string_view display_name) {
    const py::object base_init = base.attr("__init__");
    const py::str display = to_pystr(display_name);
    cls.attr("__init__") = py::cpp_function(
        [base_init, where = constructor_call(cls), type_code, display](
            const py::object& self, const Integer& number, const Parent& parent) {
            base_init(self, int_argument(number, where, "number"), type_code, display, parent);
        },
        py::name("__init__"), py::is_method(cls), py::arg("number") = 0,
        py::arg("parent") = py::none(), constructor_doc);
}

void home_interlock(py::handle cls, std::string_view code, std::string_view noun) {
    constant(cls, "_HOME_REQUIRED_CODE", to_pystr(code), "", "str | None");
    constant(cls, "_HOME_REQUIRED_NOUN", to_pystr(noun), "", "str | None");
}

std::string constructor_call(py::handle cls) {
    return cls.attr("__name__").cast<std::string>() + "()";
}

std::string kind_class_doc(const orvak::kinds::Kind& kind, std::string_view what) {
    return std::string(kind.display_name) + ", type code " + std::to_string(kind.type_code) + ": " +
           std::string(what);
}

}  // namespace orvakpy
