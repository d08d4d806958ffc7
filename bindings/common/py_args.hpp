// Coercion of loosely typed Python arguments at the API boundary, shared by
// every driver binding. Each helper names the call and the argument in its
// errors: "<where> argument '<argument>' must be <kind>, not <type>".
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvakpy {

namespace py = pybind11;

// OverflowError "<where> argument '<argument>' is out of range".
[[noreturn]] void raise_overflow(std::string_view where, std::string_view argument);

// An integer as Python takes one: int, bool and other integral types (numpy
// integers, anything with __index__); floats and text are a TypeError naming
// the argument. Empty when the value does not fit 64 bits.
std::optional<long long> integer_argument(py::handle value, std::string_view where,
                                          std::string_view argument);

// An integer from any number, as int() makes one: ints as they are, other
// numbers (floats, Fractions, numpy scalars) truncated; anything else
// (text included) is a TypeError naming the argument.
py::int_ whole_number_argument(py::handle value, std::string_view where, std::string_view argument);

// An integer argument whose value beyond 64 bits gets the driver's own range
// error: `range_error(text)` builds it from the value as Python shows it.
template <class RangeError>
long long ranged_integer_argument(py::handle value, std::string_view where,
                                  std::string_view argument, RangeError&& range_error) {
    if (const auto number = integer_argument(value, where, argument)) return *number;
    throw range_error(py::repr(value).cast<std::string>());
}

// An integer argument that must fit a C int; OverflowError otherwise.
int int_argument(py::handle value, std::string_view where, std::string_view argument);

// A real number: int, float, numpy scalars and anything else with __float__
// (text is refused: str has no __float__). Integers too large for a double are
// an OverflowError, as float() raises.
double real_argument(py::handle value, std::string_view where, std::string_view argument);

// Whether real_argument takes the value: int, float, numpy scalars and
// anything else with __float__ (text has none).
bool is_real(py::handle value);

// The numbers of any iterable but text or bytes (a list, tuple or set of real
// numbers), in iteration order; TypeError naming the argument otherwise.
std::vector<double> reals_argument(py::handle value, std::string_view where,
                                   std::string_view argument);

// A real number, or empty for None.
std::optional<double> optional_real_argument(py::handle value, std::string_view where,
                                             std::string_view argument);

// Python truth of any object (bool(value)).
bool truth(py::handle value);

// Python's int(value) for a loosely typed value (a number, a numeric text):
// empty when int() raises TypeError or ValueError; other errors propagate.
std::optional<long long> int_conversion(py::handle value);

// Python's float(value) for a loosely typed value (a number, a numeric text):
// empty when float() raises TypeError or ValueError; other errors propagate.
std::optional<double> float_conversion(py::handle value);

}  // namespace orvakpy
