// orvaklab.instruments.pistondrive: the piston (syringe) pump.
//
// Volumes and speeds are real numbers (a wrong type is a TypeError naming the
// argument); a valve is "waste" or "outlet", or anything int() takes (front
// ends that speak JSON send "0" and "1"); anything else means valve 0, with a
// warning.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/piston_pump.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::PistonPump;

namespace {

// A valve: "waste" or "outlet" (any case), or anything int() takes.
using Valve = orvakpy::Typed<"int | str">;

using PumpClass =
    py::class_<PistonPump, orvakpy::PyInstrument<PistonPump>, orvak::Instrument, py::smart_holder>;

std::optional<long long> named_valve(py::handle valve) {
    if (!py::isinstance<py::str>(valve)) return std::nullopt;
    const py::object name = valve.attr("strip")().attr("casefold")();
    if (name.equal(py::str("waste"))) return PistonPump::priming_valve;
    if (name.equal(py::str("outlet"))) return PistonPump::outlet_valve;
    return std::nullopt;
}

// int() of the valve; empty when int() refuses it or it overflows 64 bits
// (an infinity too).
std::optional<long long> whole_valve(py::handle valve) {
    try {
        return orvakpy::int_conversion(valve);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
        return std::nullopt;
    }
}

// Any valve but 0 and 1 means the waste port, which takes liquid where the
// caller may not expect it ("outlett", 2): the caller's line gets a warning
// (raised under a warnings filter of "error", before anything is sent).
long long valve_number(const PistonPump& pump, py::handle valve) {
    if (const auto named = named_valve(valve)) return *named;
    const auto number = whole_valve(valve);
    if (number && (*number == PistonPump::priming_valve || *number == PistonPump::outlet_valve)) {
        return *number;
    }
    const auto message = pump.name + ": valve " + py::repr(valve).cast<std::string>() +
                         " is not 0, 1, 'waste' or 'outlet'; using the waste port (valve 0).";
    orvakpy::warn_caller(message);
    return PistonPump::priming_valve;
}

// The docstring of an operation, from the pump's description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(PistonPump().describe(), operation);
}

double real(py::handle value, std::string_view where, std::string_view argument) {
    return orvakpy::real_argument(value, where, argument);
}

std::optional<double> timeout_of(py::handle value, std::string_view where) {
    return orvakpy::optional_real_argument(value, where, "timeout");
}

// A float attribute that takes any real number.
void real_attribute(PumpClass& cls, const char* name, double PistonPump::*member, const char* doc) {
    const std::string where = std::string("OrvakPistonPump.") + name;
    cls.def_property(
        name, [member](const PistonPump& self) { return self.*member; },
        [member, where](PistonPump& self, const orvakpy::Real& value) {
            self.*member = real(value, where, "value");
        },
        doc);
}

void bind_state(PumpClass& cls) {
    cls.def_readwrite("instrument_id_number", &PistonPump::instrument_id_number,
                      "The module's type code.");
    real_attribute(cls, "max_speed", &PistonPump::max_speed,
                   "Software speed cap in \xC2\xB5l/min.");
    real_attribute(cls, "piston_volume", &PistonPump::piston_volume,
                   "The full stroke in \xC2\xB5l.");
    real_attribute(cls, "homing_speed", &PistonPump::homing_speed,
                   "Homing speed in \xC2\xB5l/min (a full stroke in 5 s), for home-time "
                   "estimates.");
    real_attribute(cls, "estimated_run_time", &PistonPump::estimated_run_time,
                   "Seconds: the last result of estimate_run_time() (0.0 before one).");
    real_attribute(cls, "estimated_home_time", &PistonPump::estimated_home_time,
                   "Seconds: the last result of estimate_home_time() (0.0 before one).");
    cls.def_property(
           "_previous_valve", [](const PistonPump& self) { return self.previous_valve; },
           [](PistonPump& self, const orvakpy::Integer& valve) {
               const auto number =
                   orvakpy::integer_argument(valve, "OrvakPistonPump._previous_valve", "value");
               // Beyond 64 bits it is no valve the manifold knows.
               self.previous_valve = number.value_or(PistonPump::unknown_valve);
           },
           "The valve configured on the manifold (0 or 1), or 9 when unknown.")
        .def_property(
            "_previous_volume", [](const PistonPump& self) { return self.previous_volume; },
            [](PistonPump& self, const orvakpy::OptionalReal& volume) {
                self.previous_volume = orvakpy::optional_real_argument(
                    volume, "OrvakPistonPump._previous_volume", "value");
            },
            "The tracked piston position in \xC2\xB5l, or None when unknown.")
        .def_property_readonly("current_position", &PistonPump::current_position,
                               "The tracked piston position in \xC2\xB5l, or None when unknown.");
}

void bind_motion(PumpClass& cls) {
    orvakpy::bind_homing<PistonPump>(cls, PistonPump().describe());
    orvakpy::bind_controls<PistonPump>(cls, PistonPump().describe());
    cls.def(
           "run",
           [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& target_volume,
              const Valve& valve, const orvakpy::Flag& wait) {
               const double rate = real(speed, "run()", "speed");
               const double target = real(target_volume, "run()", "target_volume");
               const long long path = valve_number(self, valve);
               const bool waiting = orvakpy::truth(wait);
               orvakpy::exclusive(self, "run", [&] { self.run(rate, target, path, waiting); });
           },
           "speed"_a, "target_volume"_a, "valve"_a = 0, "wait"_a = false, doc("run").c_str())
        .def(
            "aspirate",
            [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& volume,
               const Valve& valve, const orvakpy::Flag& wait) {
                const double rate = real(speed, "aspirate()", "speed");
                const double amount = real(volume, "aspirate()", "volume");
                const long long path = valve_number(self, valve);
                const bool waiting = orvakpy::truth(wait);
                orvakpy::exclusive(self, "aspirate",
                                   [&] { self.aspirate(rate, amount, path, waiting); });
            },
            "speed"_a, "volume"_a, "valve"_a = 0, "wait"_a = false, doc("aspirate").c_str())
        .def(
            "dispense",
            [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& volume,
               const Valve& valve, const orvakpy::Flag& wait) {
                const double rate = real(speed, "dispense()", "speed");
                const double amount = real(volume, "dispense()", "volume");
                const long long path = valve_number(self, valve);
                const bool waiting = orvakpy::truth(wait);
                orvakpy::exclusive(self, "dispense",
                                   [&] { self.dispense(rate, amount, path, waiting); });
            },
            "speed"_a, "volume"_a, "valve"_a = 1, "wait"_a = false, doc("dispense").c_str())
        .def(
            "_send_move",
            [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& target_volume,
               const orvakpy::Flag& wait) {
                const double rate = real(speed, "_send_move()", "speed");
                const double target = real(target_volume, "_send_move()", "target_volume");
                const bool waiting = orvakpy::truth(wait);
                orvakpy::exclusive(self, "_send_move",
                                   [&] { self.send_move(rate, target, waiting); });
            },
            "speed"_a, "target_volume"_a, "wait"_a)
        .def(
            "_select_valve",
            [](PistonPump& self, const Valve& valve) {
                const long long path = valve_number(self, valve);
                orvakpy::exclusive(self, "_select_valve", [&] { self.select_valve(path); });
            },
            "valve"_a, doc("select_piston_valves").c_str())
        .def("_activate_valve", orvakpy::operation("_activate_valve", &PistonPump::activate_valve),
             doc("turn_on_piston_valves").c_str())
        .def("_deactivate_valve",
             orvakpy::operation("_deactivate_valve", &PistonPump::deactivate_valve),
             doc("turn_off_piston_valves").c_str());
    cls.attr("select_piston_valves") = cls.attr("_select_valve");
    cls.attr("turn_on_piston_valves") = cls.attr("_activate_valve");
    cls.attr("turn_off_piston_valves") = cls.attr("_deactivate_valve");
}

void bind_queries(PumpClass& cls) {
    cls.def("check_position", orvakpy::operation("check_position", &PistonPump::check_position),
            doc("check_position").c_str())
        .def(
            "check_position_ul",
            [](PistonPump& self, const orvakpy::OptionalReal& timeout) {
                const auto limit = timeout_of(timeout, "check_position_ul()");
                return orvakpy::exclusive(self, "check_position_ul",
                                          [&] { return self.check_position_ul(limit); });
            },
            "timeout"_a = PistonPump::default_poll_timeout, doc("check_position_ul").c_str())
        .def(
            "check_valve_states",
            [](PistonPump& self, const orvakpy::OptionalReal& timeout) {
                const auto limit = timeout_of(timeout, "check_valve_states()");
                return orvakpy::exclusive(self, "check_valve_states",
                                          [&] { return self.check_valve_states(limit); });
            },
            "timeout"_a = PistonPump::default_poll_timeout, doc("check_valve_states").c_str())
        .def("_require_known_position", &PistonPump::require_known_position)
        .def("_known_or_midpoint_volume", &PistonPump::known_or_midpoint_volume);
}

void bind_estimates(PumpClass& cls) {
    cls.def(
           "estimate_run_time",
           [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& target_volume,
              const Valve&, const orvakpy::Flag&) {
               return self.estimate_run_time(
                   real(speed, "estimate_run_time()", "speed"),
                   real(target_volume, "estimate_run_time()", "target_volume"));
           },
           "speed"_a, "target_volume"_a, "valve"_a = 0, "wait"_a = false,
           doc("estimate_run_time").c_str())
        .def(
            "estimate_aspirate_time",
            [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& volume,
               const orvakpy::Flag&) {
                return self.estimate_aspirate_time(
                    real(speed, "estimate_aspirate_time()", "speed"),
                    real(volume, "estimate_aspirate_time()", "volume"));
            },
            "speed"_a, "volume"_a, "wait"_a = false, doc("estimate_aspirate_time").c_str())
        .def(
            "estimate_dispense_time",
            [](PistonPump& self, const orvakpy::Real& speed, const orvakpy::Real& volume,
               const orvakpy::Flag&) {
                return self.estimate_dispense_time(
                    real(speed, "estimate_dispense_time()", "speed"),
                    real(volume, "estimate_dispense_time()", "volume"));
            },
            "speed"_a, "volume"_a, "wait"_a = false, doc("estimate_dispense_time").c_str());
}

void bind_pump(py::module_& m) {
    std::string doc =
        "Orvak piston (syringe) pump, one class for every build, chosen by "
        "pump_volume in \xC2\xB5l:";
    std::string_view class_name;
    for (const auto& kind : orvak::kinds::rows()) {
        if (kind.module != "pistondrive") continue;
        class_name = kind.class_name;
        doc += "\n    " + std::string(kind.display_name) + ", type code " +
               std::to_string(kind.type_code) +
               ": pump_volume=" + orvak::text::number(*kind.model.pump_volume);
    }
    PumpClass cls(m, class_name.data(), doc.c_str(), py::dynamic_attr(),
                  orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<int, double>(), "number"_a = 0,
            "pump_volume"_a = PistonPump::default_pump_volume);
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const orvakpy::WholeNumber& number,
                    const orvakpy::Real& pump_volume, const orvakpy::Parent& parent) {
            constexpr std::string_view where = "OrvakPistonPump()";
            const int position = orvakpy::int_argument(
                orvakpy::whole_number_argument(number, where, "number"), where, "number");
            construct(self, position, real(pump_volume, where, "pump_volume"));
            orvakpy::set_group_and_axes(
                self, parent, {self.cast<const PistonPump&>().primary_axis.value_or("X")});
        },
        py::name("__init__"), py::is_method(cls), "number"_a = 0,
        "pump_volume"_a = PistonPump::default_pump_volume, "parent"_a = py::none(),
        "The driver of the pump of pump_volume \xC2\xB5l (its stroke; 100.0, 1000.0 or 5000.0 "
        "choose the build) at chain position number (0 first), in the group parent.");
    orvakpy::declare_axes(cls, 1);

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::home_interlock(cls, PistonPump::home_required_code, PistonPump::home_required_noun);
    py::list codes;
    for (const auto code : PistonPump::valve_path_codes) codes.append(orvakpy::to_pystr(code));
    orvakpy::constant(cls, "_VALVE_PATH_CODES", py::tuple(codes), "", "tuple[str, ...]");

    bind_state(cls);
    bind_motion(cls);
    bind_queries(cls);
    bind_estimates(cls);
}

}  // namespace

PYBIND11_MODULE(pistondrive, m) {
    m.doc() = "Driver of the Orvak piston (syringe) pumps.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    orvakpy::constant(m, "_POS_VALUE_TEMPLATE", orvak::grammar::axis_value_template, "");
    orvakpy::constant(
        m, "_FIRST_NUMBER_RE",
        py::module_::import("re").attr("compile")(orvak::grammar::first_number_pattern), "",
        "re.Pattern[str]");
    bind_pump(m);
}
