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
#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/rotary_valve.hpp"
#include "orvak/kinds.hpp"
#include "orvak/pytext.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::RotaryValveBase;

namespace {

// What the constructor leaves in the instance dictionary.
void set_instance_attributes(const py::object& self, const py::object& parent) {
    const auto& valve = self.cast<const RotaryValveBase&>();
    orvakpy::set_group_and_axes(self, parent, {valve.primary_axis.value_or("X")});
    self.attr("port_names") = py::dict();
}

// A port given by the name `port_names` gives it (a bench file names the
// ports a valve is plumbed to); anything else is taken as a port number.
py::object named_port(const py::object& self, const py::object& port) {
    if (!py::isinstance<py::str>(port)) return port;
    const py::object names = py::getattr(self, "port_names", py::none());
    if (names.is_none()) return port;
    for (const auto [number, name] : py::dict(names)) {
        if (name.equal(port)) return py::reinterpret_borrow<py::object>(number);
    }
    return port;
}

void bind_state(py::class_<RotaryValveBase, orvakpy::PyInstrument<RotaryValveBase>,
                           orvak::Instrument, py::smart_holder>& cls) {
    orvakpy::bind_identity_and_estimate<RotaryValveBase>(cls);
    cls.def_property(
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
           [](RotaryValveBase& self, double seconds) { self.estimated_home_time = seconds; },
           "Seconds: the last result of estimate_home_time(); unset (AttributeError) before "
           "one.")
        .def_property(
            "_current_port", [](const RotaryValveBase& self) { return self.current_port; },
            [](RotaryValveBase& self, const orvakpy::Typed<"int | None">& port) {
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
    const auto about = RotaryValveBase(0, orvak::kinds::of(2)).describe();
    const auto doc = [&](std::string_view name) { return orvakpy::doc_of(about, name); };
    orvakpy::bind_homing<RotaryValveBase>(cls, about);
    orvakpy::bind_controls<RotaryValveBase>(cls, about);
    cls.def(
           "select_port",
           [](const py::object& valve, const orvakpy::Typed<"int | str">& port_number,
              const orvakpy::Flag& wait) {
               auto& self = valve.cast<RotaryValveBase&>();
               const auto port = orvakpy::integer_argument(named_port(valve, port_number),
                                                           "select_port()", "port_number");
               const bool waiting = orvakpy::truth(wait);
               if (!port) throw self.port_range_error(py::str(port_number).cast<std::string>());
               orvakpy::exclusive(self, "select_port", [&] { self.select_port(*port, waiting); });
           },
           "port_number"_a, "wait"_a = true, doc("select_port").c_str())
        .def("check_position",
             orvakpy::operation("check_position", &RotaryValveBase::check_position),
             doc("check_position").c_str())
        .def(
            "estimate_run_time",
            [](RotaryValveBase& self, const orvakpy::Integer& port_number, const orvakpy::Flag&) {
                const auto port =
                    orvakpy::integer_argument(port_number, "estimate_run_time()", "port_number");
                if (!port) orvakpy::raise_overflow("estimate_run_time()", "port_number");
                return self.estimate_run_time(*port);
            },
            "port_number"_a = RotaryValveBase::default_estimate_target, "wait"_a = true,
            doc("estimate_run_time").c_str());
}

void bind_base(py::module_& m) {
    py::class_<RotaryValveBase, orvakpy::PyInstrument<RotaryValveBase>, orvak::Instrument,
               py::smart_holder>
        cls(m, "_RotaryValveBase",
            "Shared implementation for all Orvak 12-port rotary valve variants.",
            py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::identity_constructor(cls, set_instance_attributes);
    orvakpy::declare_axes(cls, 1);
    orvakpy::declare_attribute(cls, "port_names", "dict[int, str]",
                               "Port number -> the name select_port() also takes for it (empty "
                               "unless set, e.g. by a bench file).");

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::constant(cls, "NUM_PORTS", RotaryValveBase::default_num_ports, "Ports per valve.");
    orvakpy::constant(cls, "PORT_INCREMENT", RotaryValveBase::default_port_increment,
                      "Rotations between adjacent ports (1/12).");
    orvakpy::constant(cls, "RUN_SPEED_RPM", RotaryValveBase::default_run_speed_rpm,
                      "Rotation speed in RPM that time estimates assume.");
    orvakpy::constant(cls, "ORIFICE", py::none(), "Bore in inches; set by each model.",
                      "float | None");
    orvakpy::home_interlock(cls, RotaryValveBase::home_required_code,
                            RotaryValveBase::home_required_noun);
    orvakpy::constant(cls, "HOME_TIME_FLOOR_S", RotaryValveBase::default_home_time_floor_s,
                      "Lower bound in seconds of the home-time estimate.");

    bind_state(cls);
    bind_operations(cls);
}

// A build of the kinds table: a subclass of _RotaryValveBase that passes its
// type code and display name on and sets its bore.
void bind_model(py::module_& m, const orvak::kinds::Kind& build) {
    const py::object base = m.attr(orvakpy::to_pystr(build.base_class));
    std::string doc = std::string(build.display_name) + ": " +
                      orvak::text::number(*build.model.orifice) + "-inch orifice, type code " +
                      std::to_string(build.type_code);
    if (!build.note.empty()) doc += "; " + std::string(build.note);
    py::object cls = orvakpy::model_class(m, base, build.class_name, doc + ".");
    orvakpy::model_constructor(cls, base, build.type_code, build.display_name);
    orvakpy::constant(cls, "ORIFICE", *build.model.orifice, "Bore in inches.", "float | None");
}

}  // namespace

PYBIND11_MODULE(rotaryport, m) {
    m.doc() = "Drivers of the Orvak 12-port rotary selector valves.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    orvakpy::constant(m, "_POS_VALUE_TEMPLATE", RotaryValveBase::position_value_template, "");
    bind_base(m);
    for (const auto& build : orvak::kinds::rows()) {
        if (build.module == "rotaryport") bind_model(m, build);
    }
    m.attr("OrvakRotaryValve") = m.attr("OrvakRotaryValve032");
    m.attr("OrvakRotaryValveXL") = m.attr("OrvakRotaryValve052");
}
