// The trampoline behind every bound instrument class: it answers the core's
// hooks from Python (class constants by getattr, the link through
// my_group.seriallink, Ctrl-C, the class name) and lets Python subclasses
// override the controls the core calls (stop, resume, reset).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/trampoline_self_life_support.h>

#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/py_link.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instrument.hpp"

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

    [[nodiscard]] std::string class_name() const override {
        const AcquireGil gil;
        return py::type::of(python_self()).attr("__name__").template cast<std::string>();
    }

    void stop() override {
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
};

}  // namespace orvakpy
