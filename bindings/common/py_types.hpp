// What signatures and stubs show of a binding: arguments the binding coerces
// itself (through py_args.hpp) still arrive as plain objects, but their
// signatures name the types the coercion accepts, and class and module
// constants carry a one-line doc that the stubs place under them.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

namespace orvakpy {

namespace py = pybind11;

// The type text of a signature, as a template argument.
template <std::size_t N>
struct TypeText {
    // NOLINTNEXTLINE(google-explicit-constructor): written as a string literal
    consteval TypeText(const char (&text)[N]) {
        // pybind11 gives these characters a meaning of their own in signatures.
        for (const char c : std::string_view(text, N - 1)) {
            if (c == '!' || c == '@' || c == '%' || c == '{' || c == '}')
                throw "reserved character";
        }
        std::copy_n(text, N, chars);
    }
    char chars[N]{};
};

inline bool any_object(PyObject* /*object*/) { return true; }

// Any Python object, shown in signatures as `Shown`: the binding takes what
// it is given and coerces it itself, so a wrong value still gets the binding's
// own error naming the argument. Also a return type: a py::object the binding
// builds, shown as what it holds (`Typed<"dict[str, float]">`).
template <TypeText Shown>
class Typed : public py::object {
  public:
    PYBIND11_OBJECT_DEFAULT(Typed, py::object, any_object)
};

// The arguments most bindings take.
using Real = Typed<"float">;                 // real_argument
using OptionalReal = Typed<"float | None">;  // optional_real_argument
using Integer = Typed<"int">;                // integer_argument, int_argument
using WholeNumber = Typed<"int | float">;    // whole_number_argument (int() of a number)
using Flag = Typed<"bool">;                  // truth
using Text = Typed<"str">;                   // text: checked to be str, or str() of it
// A driver's group: an InstrumentGroup or any object with a `seriallink`.
using Parent = Typed<"orvaklab.unitgroup.InstrumentGroup | None">;

// Sets the constant `name` on a class or module and records its one-line
// `doc` (what it is, in which unit; empty for a private one) in the scope's
// own __constant_docs__ mapping, which scripts/stubs.py writes under the
// constant in the stub. `type` is the annotation the stub gives it where the
// value alone does not tell (None, a table); it goes to __constant_types__.
void record_constant(py::handle scope, std::string_view name, const py::object& value,
                     std::string_view doc, std::string_view type);

// Declares the instance attribute `name` that a constructor puts in the
// instance dictionary, for the stub: its annotation and one-line doc are
// recorded as a constant's are, but nothing is set on the class.
void declare_attribute(py::handle cls, std::string_view name, std::string_view type,
                       std::string_view doc);

template <class Value>
void constant(py::handle scope, std::string_view name, Value&& value, std::string_view doc,
              std::string_view type = {}) {
    if constexpr (std::is_base_of_v<py::handle, std::decay_t<Value>>) {
        record_constant(scope, name, py::reinterpret_borrow<py::object>(value), doc, type);
    } else {
        record_constant(scope, name, py::cast(std::forward<Value>(value)), doc, type);
    }
}

}  // namespace orvakpy

namespace pybind11::detail {

template <orvakpy::TypeText Shown>
struct handle_type_name<orvakpy::Typed<Shown>> {
    static constexpr auto name = const_name(Shown.chars);
};

}  // namespace pybind11::detail
