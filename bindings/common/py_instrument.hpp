// The trampoline behind every bound instrument class: it answers the core's
// hooks from Python (class constants by getattr, the link through
// my_group.seriallink, Ctrl-C, the class name) and lets Python subclasses
// override the controls the core calls (stop, resume, reset).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/trampoline_self_life_support.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
#include "common/py_link.hpp"
#include "common/py_progress.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instrument.hpp"
#include "orvak/kinds.hpp"

namespace orvakpy {

namespace py = pybind11;

// A Python value as a class constant (None is absent).
orvak::ConstantValue constant_from_python(py::handle value);

// What a driver's constructor leaves in its instance dictionary: the group
// reference `my_group` (there the garbage collector sees the group <-> driver
// cycle) and, for drivers with axes, `primary_axis`, `secondary_axis` (a
// second axis) and `all_axes` as an ordinary list. The core reads them, like
// the class constants, through getattr when an operation starts.
void set_group_and_axes(const py::object& self, const py::object& parent,
                        std::initializer_list<std::string_view> axes = {});
// Declares, for the stub, the axis attributes that set_group_and_axes gives a
// driver with `count` (1 or 2) axes.
void declare_axes(py::handle cls, int count);

// The arguments a driver base's constructor takes: chain position, type code
// and display name. A wrong type is a TypeError naming the argument.
struct DriverIdentity {
    int number;
    int instrument_id_number;
    std::string name;
};
DriverIdentity driver_identity(std::string_view where, py::handle number,
                               py::handle instrument_id_number, py::handle name);

// A Python subclass `name` of `base`, put in `module`: a model that differs
// from its base only in constants and in what its constructor passes on is a
// row of a model table, not a C++ class of its own.
py::object model_class(py::module_& module, const py::object& base, std::string_view name,
                       std::string_view doc);

// Gives a model class the constructor (number=0, parent=None) that calls its
// base's constructor with the model's type code and display name.
void model_constructor(py::object& cls, const py::object& base, int type_code,
                       std::string_view display_name);

// The home interlock's class constants: the refusal code that means "home
// first" and the noun its message names (`_HOME_REQUIRED_CODE`, `_NOUN`).
void home_interlock(py::handle cls, std::string_view code, std::string_view noun);

// The documentation of a single kind's driver class: "<display name>, type
// code <code>: <what>", the identity read from the kind's row.
std::string kind_class_doc(const orvak::kinds::Kind& kind, std::string_view what);

// The doc of every driver constructor that takes a chain position.
inline constexpr const char* constructor_doc =
    "The driver of the module at chain position number (0 first; its address is number + 1), "
    "in the group parent.";

// "<class name>()", the call that a driver's constructor errors name.
std::string constructor_call(py::handle cls);

// Binds Driver(number=0, parent=None): `number` is coerced (a TypeError
// names it), the core object is built, and `finish(self, parent)` fills the
// instance dictionary (set_group_and_axes and whatever else the driver keeps
// there).
template <class Class, class Finish>
void numbered_constructor(Class& cls, Finish finish) {
    cls.def(py::init_alias<int>(), py::arg("number") = 0);
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct, where = constructor_call(cls), finish](
            const py::object& self, const Integer& number, const Parent& parent) {
            construct(self, int_argument(number, where, "number"));
            finish(self, parent);
        },
        py::name("__init__"), py::is_method(cls), py::arg("number") = 0,
        py::arg("parent") = py::none(), constructor_doc);
}

// Binds a shared base's Base(number, instrument_id_number, name,
// parent=None), which its models call with their type code and display name.
template <class Class, class Finish>
void identity_constructor(Class& cls, Finish finish) {
    cls.def(py::init_alias<int, int, std::string>(), py::arg("number"),
            py::arg("instrument_id_number"), py::arg("name"));
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct, where = constructor_call(cls), finish](
            const py::object& self, const Integer& number, const Integer& instrument_id_number,
            const Text& name, const Parent& parent) {
            const auto identity = driver_identity(where, number, instrument_id_number, name);
            construct(self, identity.number, identity.instrument_id_number, identity.name);
            finish(self, parent);
        },
        py::name("__init__"), py::is_method(cls), py::arg("number"),
        py::arg("instrument_id_number"), py::arg("name"), py::arg("parent") = py::none(),
        "The driver of the module at chain position number (0 first) with type code "
        "instrument_id_number and display name name, in the group parent.");
}

// Runs one operation of a driver without the GIL, in its turn: a call from
// another thread waits (without the GIL, Ctrl-C still noticed) until the
// driver's running operation ends; a call nested on this thread goes ahead.
// `operation` names it when a stop ends it.
template <class Body>
auto exclusive(orvak::Instrument& self, std::string_view operation, Body&& body)
    -> decltype(body()) {
    return without_gil(
        [&]() -> decltype(body()) { return self.exclusive(operation, std::forward<Body>(body)); });
}

// A bound method run as one operation (see exclusive), like nogil().
template <class R, class C, class... Args>
auto operation(const char* name, R (C::*method)(Args...)) {
    return [name, method](C& self, Args... args) -> R {
        return exclusive(self, name,
                         [&]() -> R { return (self.*method)(std::forward<Args>(args)...); });
    };
}

// A stop-family call (stop, pause, abort) without the GIL: it never waits for
// the turn, and the operation running on another thread ends at once.
template <class Body>
auto stopping(orvak::Instrument& self, Body&& body) -> decltype(body()) {
    return without_gil([&]() -> decltype(body()) {
        const orvak::Instrument::StopScope scope(self);
        return body();
    });
}

// stop, resume and reset as calls of the driver's own C++ versions, without
// the GIL. The core calls the virtuals, so a Python subclass's override is
// what pause(), abort(), the interrupt guard and stop_all reach; these are
// what its super() calls reach.
template <class Driver, class Class>
void bind_controls(Class& cls, const orvak::Description& about) {
    cls.def(
           "stop", [](Driver& self) { stopping(self, [&] { self.Driver::stop(); }); },
           doc_of(about, "stop").c_str())
        .def(
            "resume",
            [](Driver& self) { exclusive(self, "resume", [&] { self.Driver::resume(); }); },
            doc_of(about, "resume").c_str())
        .def(
            "reset", [](Driver& self) { exclusive(self, "reset", [&] { self.Driver::reset(); }); },
            doc_of(about, "reset").c_str());
}

// home(wait=True) and estimate_home_time(wait=True), whose wait is ignored.
template <class Driver, class Class>
void bind_homing(Class& cls, const orvak::Description& about) {
    cls.def(
           "home",
           [](Driver& self, const Flag& wait) {
               const bool waiting = truth(wait);
               return exclusive(self, "home", [&] { return self.home(waiting); });
           },
           py::arg("wait") = true, doc_of(about, "home").c_str())
        .def(
            "estimate_home_time",
            [](Driver& self, const Flag&) { return self.estimate_home_time(); },
            py::arg("wait") = true, doc_of(about, "estimate_home_time").c_str());
}

// instrument_id_number and estimated_run_time, which every driver keeps.
template <class Driver, class Class>
void bind_identity_and_estimate(Class& cls) {
    cls.def_readwrite("instrument_id_number", &Driver::instrument_id_number,
                      "The module's type code.")
        .def_readwrite("estimated_run_time", &Driver::estimated_run_time,
                       "Seconds: the last result of estimate_run_time() (0.0 before one).");
}

template <class Base = orvak::Instrument>
class PyInstrument : public Base, public py::trampoline_self_life_support {
  public:
    using Base::Base;

    void resolve_constants(std::span<orvak::ConstantRequest> requests) const override {
        if (!python_usable()) return;
        const AcquireGil gil;
        try {
            const py::object self = python_self();
            const py::ellipsis missing;  // a value no class constant takes
            for (auto& request : requests) {
                const py::object value = py::getattr(self, to_pystr(request.name), missing);
                if (!value.is(missing)) request.value = constant_from_python(value);
            }
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }

    std::shared_ptr<orvak::Link> link() override {
        const AcquireGil gil;
        try {
            const py::object seriallink = python_self().attr("my_group").attr("seriallink");
            if (seriallink.is_none()) {
                throw orvak::ConnectionError(
                    this->name +
                    ": not connected to a serial link (attach the group with "
                    "OrvakInterface.add_group or set group.seriallink).");
            }
            return resolve_link(seriallink);
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }

    void check_interrupt() override { check_signals(); }

    std::shared_ptr<orvak::ProgressObserver> progress_observer() override {
        if (!python_usable()) return nullptr;
        const AcquireGil gil;
        try {
            if (auto observer = python_progress_observer()) return observer;
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
        return Base::progress_observer();
    }

    // Its group's identity: a group keeps its drivers across reconnections,
    // when the link under it is replaced.
    [[nodiscard]] std::uintptr_t progress_chain() override {
        const AcquireGil gil;
        try {
            // What Python's id() gives for it.
            return reinterpret_cast<std::uintptr_t>(python_self().attr("my_group").ptr());
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }

    [[nodiscard]] std::string class_name() const override {
        const AcquireGil gil;
        return py::type::of(python_self()).attr("__name__").template cast<std::string>();
    }

    // A UserWarning for the user's line that called the operation (see
    // warn_caller). Under a warnings filter of "error" it is raised instead.
    void warn(const std::string& message) override {
        const AcquireGil gil;
        try {
            warn_caller(message);
        } catch (py::error_already_set& error) {
            rethrow_python_error(error);
        }
    }

    // Reached from pause(), abort(), the interrupt guard and stop_all: a
    // stop, whichever version runs.
    void log_debug(const std::string& message) override {
        if (!python_usable()) return;
        const AcquireGil gil;
        try {
            const auto logger =
                py::module_::import("logging").attr("getLogger")("orvaklab.unitbase");
            if (logger.attr("isEnabledFor")(10).template cast<bool>()) {
                logger.attr("debug")("%s", to_pystr(message));
            }
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }

    void stop() override {
        const orvak::Instrument::StopScope scope(*this);
        if (!call_override("stop")) Base::stop();
    }
    void resume() override {
        if (!call_override("resume")) Base::resume();
    }
    void reset() override {
        if (!call_override("reset")) Base::reset();
    }

  protected:
    [[nodiscard]] py::object python_self() const {
        return py::cast(static_cast<const orvak::Instrument*>(this),
                        py::return_value_policy::reference);
    }

    // Calls a Python override of `name` if there is one; the core's own
    // version otherwise runs without the GIL, as the caller holds it not.
    bool call_override(const char* name) {
        const AcquireGil gil;
        const py::function override = py::get_override(static_cast<const Base*>(this), name);
        if (!override) return false;
        try {
            override();
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
        return true;
    }

    // The result of a Python override of `name` as text, or empty when there
    // is no override (the caller then runs the core's own version).
    std::optional<std::string> call_text_override(const char* name) {
        const AcquireGil gil;
        const py::function override = py::get_override(static_cast<const Base*>(this), name);
        if (!override) return std::nullopt;
        try {
            const py::object result = override();
            if (!py::isinstance<py::str>(result)) {
                throw py::type_error(std::string(name) + "() must return str, not " +
                                     py::type::of(result).attr("__name__").cast<std::string>());
            }
            return result.cast<std::string>();
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }
};

}  // namespace orvakpy
