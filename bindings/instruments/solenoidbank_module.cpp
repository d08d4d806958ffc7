// orvaklab.instruments.solenoidbank: the solenoid valve arrays.
//
// One bound class, _SolValBase; each solenoid valve array kind is a
// Python subclass that only sets what its constructor passes on.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <set>
#include <string>
#include <string_view>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/solenoid_valves.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::SolenoidValveBase;

namespace {

// Valve indices, 1 to 8: a set, or any iterable of numbers.
using ValveNumbers = orvakpy::Typed<"collections.abc.Iterable[int]">;

using BankClass = py::class_<SolenoidValveBase, orvakpy::PyInstrument<SolenoidValveBase>,
                             orvak::Instrument, py::smart_holder>;

using RememberedSet = orvakpy::Typed<"set[int] | None">;

RememberedSet remembered_set(const SolenoidValveBase& self) {
    if (!self.previous_valve_set) return RememberedSet(py::none());
    py::set valves;
    for (const int valve : *self.previous_valve_set) valves.add(valve);
    return RememberedSet(valves);
}

void set_remembered_set(SolenoidValveBase& self,
                        const orvakpy::Typed<"collections.abc.Iterable[int] | None">& valves) {
    if (valves.is_none()) {
        self.previous_valve_set.reset();
        return;
    }
    if (!py::isinstance<py::iterable>(valves) || py::isinstance<py::str>(valves)) {
        orvakpy::raise_argument_type("_previous_valve_set", "value", "a set of int or None",
                                     valves);
    }
    std::set<int> remembered;
    for (const auto valve : valves) {
        remembered.insert(orvakpy::int_argument(valve, "_previous_valve_set", "value"));
    }
    self.previous_valve_set = std::move(remembered);
}

// The docstring of an operation, from the driver's description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(SolenoidValveBase(0, orvak::kinds::of(3)).describe(), operation);
}

void bind_operations(BankClass& cls) {
    cls.def("initialize", orvakpy::operation("initialize", &SolenoidValveBase::initialize),
            doc("initialize").c_str())
        .def(
            "turn_on_valves",
            [](SolenoidValveBase& self, const ValveNumbers& valve_numbers) {
                const auto numbers =
                    orvakpy::reals_argument(valve_numbers, "turn_on_valves()", "valve_numbers");
                orvakpy::exclusive(self, "turn_on_valves", [&] { self.turn_on_valves(numbers); });
            },
            "valve_numbers"_a, doc("turn_on_valves").c_str())
        .def("turn_off_valves",
             orvakpy::operation("turn_off_valves", &SolenoidValveBase::turn_off_valves),
             doc("turn_off_valves").c_str())
        .def(
            "estimate_run_time",
            [](SolenoidValveBase& self, const ValveNumbers&) { return self.estimate_run_time(); },
            "valve_numbers"_a, doc("estimate_run_time").c_str());
    orvakpy::bind_controls<SolenoidValveBase>(cls,
                                              SolenoidValveBase(0, orvak::kinds::of(3)).describe());
}

}  // namespace

PYBIND11_MODULE(solenoidbank, m) {
    m.doc() = "Drivers of the Orvak solenoid valve arrays.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    BankClass cls(m, "_SolValBase", "Shared implementation of the Orvak solenoid valve arrays.",
                  py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::identity_constructor(cls, [](const py::object& self, const py::object& parent) {
        orvakpy::set_group_and_axes(self, parent);
    });

    py::list axes;
    for (const auto axis : SolenoidValveBase::default_valve_axes)
        axes.append(orvakpy::to_pystr(axis));
    orvakpy::constant(cls, "VALVE_AXES", axes, "The axis letters of valves 1 to 8, in index order.",
                      "list[str]");

    orvakpy::bind_identity_and_estimate<SolenoidValveBase>(cls);
    cls.def_property("_previous_valve_set", &remembered_set, &set_remembered_set,
                     "The set the module was last configured with, or None when a "
                     "configuration failed.");
    bind_operations(cls);

    for (const auto& model : orvak::kinds::rows()) {
        if (model.module != "solenoidbank") continue;
        const py::object base = m.attr(orvakpy::to_pystr(model.base_class));
        py::object variant = orvakpy::model_class(m, base, model.class_name,
                                                  std::string(model.display_name) +
                                                      " solenoid valve array, type code " +
                                                      std::to_string(model.type_code) + ".");
        orvakpy::model_constructor(variant, base, model.type_code, model.display_name);
    }
}
