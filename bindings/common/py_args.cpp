#include "common/py_args.hpp"

#include <climits>
#include <string>

#include "common/python_runtime.hpp"

namespace orvakpy {

namespace {

bool has_float_slot(py::handle value) {
    const PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    return number != nullptr && number->nb_float != nullptr;
}

// Runs a Python conversion; a TypeError or ValueError means "not convertible".
template <class Convert>
auto lenient(Convert&& convert) -> std::optional<decltype(convert())> {
    try {
        return convert();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) return std::nullopt;
        throw;
    }
}

}  // namespace

void raise_overflow(std::string_view where, std::string_view argument) {
    const std::string message =
        std::string(where) + " argument '" + std::string(argument) + "' is out of range";
    PyErr_SetString(PyExc_OverflowError, message.c_str());
    throw py::error_already_set();
}

std::optional<long long> integer_argument(py::handle value, std::string_view where,
                                          std::string_view argument) {
    if (!PyIndex_Check(value.ptr())) raise_argument_type(where, argument, "int", value);
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

py::int_ whole_number_argument(py::handle value, std::string_view where,
                               std::string_view argument) {
    if (py::isinstance<py::int_>(value)) return py::reinterpret_borrow<py::int_>(value);
    if (!py::isinstance(value, py::module_::import("numbers").attr("Number"))) {
        raise_argument_type(where, argument, "an integer", value);
    }
    return py::int_(py::reinterpret_borrow<py::object>(value));
}

int int_argument(py::handle value, std::string_view where, std::string_view argument) {
    const auto result = integer_argument(value, where, argument);
    if (!result || *result < INT_MIN || *result > INT_MAX) raise_overflow(where, argument);
    return static_cast<int>(*result);
}

bool is_real(py::handle value) { return PyIndex_Check(value.ptr()) || has_float_slot(value); }

std::vector<double> reals_argument(py::handle value, std::string_view where,
                                   std::string_view argument) {
    constexpr std::string_view wanted = "an iterable of real numbers";
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        PyByteArray_Check(value.ptr())) {
        raise_argument_type(where, argument, wanted, value);
    }
    const auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!iterator) {
        PyErr_Clear();
        raise_argument_type(where, argument, wanted, value);
    }
    std::vector<double> numbers;
    while (const auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()))) {
        if (!is_real(item)) raise_argument_type(where, argument, wanted, item);
        numbers.push_back(real_argument(item, where, argument));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return numbers;
}

double real_argument(py::handle value, std::string_view where, std::string_view argument) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (!is_real(value)) {
        raise_argument_type(where, argument, "a real number", value);
    }
    const auto real = py::reinterpret_steal<py::object>(
        PyIndex_Check(value.ptr()) ? PyNumber_Index(value.ptr()) : PyNumber_Float(value.ptr()));
    if (!real) throw py::error_already_set();
    const double result =
        PyFloat_Check(real.ptr()) ? PyFloat_AS_DOUBLE(real.ptr()) : PyLong_AsDouble(real.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise_overflow(where, argument);
        }
        throw py::error_already_set();
    }
    return result;
}

std::optional<double> optional_real_argument(py::handle value, std::string_view where,
                                             std::string_view argument) {
    if (value.is_none()) return std::nullopt;
    return real_argument(value, where, argument);
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

std::optional<long long> int_conversion(py::handle value) {
    return lenient([&] {
        const py::int_ converted(py::reinterpret_borrow<py::object>(value));
        int overflow = 0;
        const long long result = PyLong_AsLongLongAndOverflow(converted.ptr(), &overflow);
        if (overflow != 0) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long long");
            throw py::error_already_set();
        }
        return result;
    });
}

std::optional<double> float_conversion(py::handle value) {
    return lenient(
        [&] { return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>(); });
}

}  // namespace orvakpy
