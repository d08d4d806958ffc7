// orvaklab.instruments.rotaryport: the 12-port rotary selector valves.
//
// A driver keeps its group reference and its axis attributes in the instance
// dictionary (the garbage collector sees the group <-> driver cycle there, and
// all_axes stays an ordinary list); the core reads them, like the class
// constants, through getattr when an operation starts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>

#include "common/py_args.hpp"
#include "common/py_instrument.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/rotary_valve.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::RotaryValveBase;

namespace {

template <class Model>
using ModelClass =
    py::class_<Model, orvakpy::PyInstrument<Model>, RotaryValveBase, py::smart_holder>;

// What the constructor leaves in the instance dictionary.
void set_instance_attributes(const py::object& self, const py::object& parent) {
    const auto& valve = self.cast<const RotaryValveBase&>();
    orvakpy::set_group_and_axes(self, parent, {valve.primary_axis.value_or("X")});
}

void bind_state(py::class_<RotaryValveBase, orvakpy::PyInstrument<RotaryValveBase>,
                           orvak::Instrument, py::smart_holder>& cls) {
    cls.def_readwrite("instrument_id_number", &RotaryValveBase::instrument_id_number)
        .def_readwrite("estimated_run_time", &RotaryValveBase::estimated_run_time)
        .def_property(
            "estimated_home_time",
            [](const py::object& self) {
                const auto& valve = self.cast<const RotaryValveBase&>();
                if (!valve.estimated_home_time) {
                    const auto type = py::type::of(self).attr("__name__").cast<std::string>();
                    throw py::attribute_error("'" + type +
                                              "' object has no attribute 'estimated_home_time'");
                }
                return *valve.estimated_home_time;
            },
            [](RotaryValveBase& self, double seconds) { self.estimated_home_time = seconds; })
        .def_property(
            "_current_port", [](const RotaryValveBase& self) { return self.current_port; },
            [](RotaryValveBase& self, const py::object& port) {
                if (port.is_none()) {
                    self.current_port.reset();
                    return;
                }
                if (!PyIndex_Check(port.ptr())) {
                    throw py::type_error("_current_port must be an int or None, not " +
                                         py::type::of(port).attr("__name__").cast<std::string>());
                }
                self.current_port = orvakpy::int_argument(port, "_current_port", "value");
            },
            "The port the valve is known to be at, or None.");
}

void bind_operations(py::class_<RotaryValveBase, orvakpy::PyInstrument<RotaryValveBase>,
                                orvak::Instrument, py::smart_holder>& cls) {
    cls.def(
           "home",
           [](RotaryValveBase& self, const py::object& wait) {
               const bool waiting = orvakpy::truth(wait);
               return orvakpy::without_gil([&] { return self.home(waiting); });
           },
           "wait"_a = true,
           "Homes the valve to port 1; with wait, returns once it is there. Returns True.")
        .def(
            "select_port",
            [](RotaryValveBase& self, const py::object& port_number, const py::object& wait) {
                const auto port =
                    orvakpy::integer_argument(port_number, "select_port()", "port_number");
                const bool waiting = orvakpy::truth(wait);
                if (!port) throw self.port_range_error(py::str(port_number).cast<std::string>());
                orvakpy::without_gil([&] { self.select_port(*port, waiting); });
            },
            "port_number"_a, "wait"_a = true,
            "Turns to port_number (1 to NUM_PORTS); port 1 is reached by homing.")
        .def(
            "stop",
            [](RotaryValveBase& self) {
                orvakpy::without_gil([&] { self.RotaryValveBase::stop(); });
            },
            "Halts the valve, keeping its target so resume() can continue.")
        .def(
            "resume",
            [](RotaryValveBase& self) {
                orvakpy::without_gil([&] { self.RotaryValveBase::resume(); });
            },
            "Continues a stopped move.")
        .def(
            "reset",
            [](RotaryValveBase& self) {
                orvakpy::without_gil([&] { self.RotaryValveBase::reset(); });
            },
            "Redefines zero at the current position.")
        .def("check_position", orvakpy::nogil(&RotaryValveBase::check_position),
             "Asks the valve where it is and returns that port (1 to NUM_PORTS).")
        .def(
            "estimate_run_time",
            [](RotaryValveBase& self, const py::object& port_number, const py::object&) {
                const auto port =
                    orvakpy::integer_argument(port_number, "estimate_run_time()", "port_number");
                if (!port) orvakpy::raise_overflow("estimate_run_time()", "port_number");
                return self.estimate_run_time(*port);
            },
            "port_number"_a = RotaryValveBase::default_estimate_target, "wait"_a = true,
            "Seconds to turn from the current port (port 6 when unknown) to port_number; also "
            "stored in estimated_run_time. wait is ignored.")
        .def(
            "estimate_home_time",
            [](RotaryValveBase& self, const py::object&) { return self.estimate_home_time(); },
            "wait"_a = true,
            "Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in "
            "estimated_home_time. wait is ignored.");
}

void bind_base(py::module_& m) {
    py::class_<RotaryValveBase, orvakpy::PyInstrument<RotaryValveBase>, orvak::Instrument,
               py::smart_holder>
        cls(m, "_RotaryValveBase",
            "Shared implementation for all Orvak 12-port rotary valve variants.",
            py::dynamic_attr(), orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<int, int, std::string>(), "number"_a, "instrument_id_number"_a,
            "name"_a);
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const py::object& number,
                    const py::object& instrument_id_number, const py::object& name,
                    const py::object& parent) {
            constexpr std::string_view where = "_RotaryValveBase()";
            const int position = orvakpy::int_argument(number, where, "number");
            const int code =
                orvakpy::int_argument(instrument_id_number, where, "instrument_id_number");
            if (!py::isinstance<py::str>(name)) {
                orvakpy::raise_argument_type(where, "name", "str", name);
            }
            construct(self, position, code, name);
            set_instance_attributes(self, parent);
        },
        py::is_method(cls), "number"_a, "instrument_id_number"_a, "name"_a,
        "parent"_a = py::none());

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    cls.attr("NUM_PORTS") = RotaryValveBase::default_num_ports;
    cls.attr("PORT_INCREMENT") = RotaryValveBase::default_port_increment;
    cls.attr("RUN_SPEED_RPM") = RotaryValveBase::default_run_speed_rpm;
    cls.attr("ORIFICE") = py::none();
    cls.attr("_HOME_REQUIRED_CODE") = RotaryValveBase::home_required_code;
    cls.attr("_HOME_REQUIRED_NOUN") = RotaryValveBase::home_required_noun;
    cls.attr("HOME_TIME_FLOOR_S") = RotaryValveBase::default_home_time_floor_s;

    bind_state(cls);
    bind_operations(cls);
}

template <class Model>
void bind_model(py::module_& m, const char* class_name, const char* doc) {
    ModelClass<Model> cls(m, class_name, doc, py::dynamic_attr(),
                          orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<int>(), "number"_a = 0);
    const py::object construct = cls.attr("__init__");
    const std::string where = std::string(class_name) + "()";
    cls.attr("__init__") = py::cpp_function(
        [construct, where](const py::object& self, const py::object& number,
                           const py::object& parent) {
            construct(self, orvakpy::int_argument(number, where, "number"));
            set_instance_attributes(self, parent);
        },
        py::is_method(cls), "number"_a = 0, "parent"_a = py::none());
    cls.attr("ORIFICE") = Model::orifice;
}

}  // namespace

PYBIND11_MODULE(rotaryport, m) {
    m.doc() = "Drivers of the Orvak 12-port rotary selector valves.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    m.attr("_POS_VALUE_TEMPLATE") = RotaryValveBase::position_value_template;
    bind_base(m);
    bind_model<orvak::RotaryValve032>(m, "OrvakRotaryValve032",
                                      "Orvak rotary valve: 0.032-inch orifice, type code 2.");
    bind_model<orvak::RotaryValve052>(
        m, "OrvakRotaryValve052",
        "Orvak rotary valve XL: 0.052-inch orifice, type code 6; register-identical to the "
        "0.032 build, XL meaning only the larger bore.");
    bind_model<orvak::RotaryValve096>(m, "OrvakRotaryValve096",
                                      "Orvak rotary valve: 0.096-inch orifice, type code 17.");
    m.attr("OrvakRotaryValve") = m.attr("OrvakRotaryValve032");
    m.attr("OrvakRotaryValveXL") = m.attr("OrvakRotaryValve052");
}
