// orvaklab.instruments.gantry: the H-bot XY gantry.
//
// The core reads the class constants and the axis attributes through getattr
// when an operation starts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/py_args.hpp"
#include "common/py_instrument.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/gantry.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::Gantry;

namespace {

using GantryClass =
    py::class_<Gantry, orvakpy::PyInstrument<Gantry>, orvak::Instrument, py::smart_holder>;

void bind_operations(GantryClass& cls) {
    cls.def(
           "home",
           [](Gantry& self, const py::object& wait) {
               const bool waiting = orvakpy::truth(wait);
               return orvakpy::without_gil([&] { return self.home(waiting); });
           },
           "wait"_a = true,
           "Homes both axes to (0, 0); with wait, returns once there. Returns True.")
        .def(
            "run",
            [](Gantry& self, const py::object& x, const py::object& y, const py::object& wait) {
                const double to_x = orvakpy::real_argument(x, "run()", "x");
                const double to_y = orvakpy::real_argument(y, "run()", "y");
                const bool waiting = orvakpy::truth(wait);
                orvakpy::without_gil([&] { self.run(to_x, to_y, waiting); });
            },
            "x"_a, "y"_a, "wait"_a = false,
            "Moves to (x, y) mm, each clamped silently into [0, X_MAX] and [0, Y_MAX]. A NaN "
            "coordinate is refused before anything is sent.")
        .def(
            "stop", [](Gantry& self) { orvakpy::without_gil([&] { self.Gantry::stop(); }); },
            "Halts the gantry, keeping its target so resume() can continue.")
        .def(
            "resume", [](Gantry& self) { orvakpy::without_gil([&] { self.Gantry::resume(); }); },
            "Continues a stopped move.")
        .def(
            "reset", [](Gantry& self) { orvakpy::without_gil([&] { self.Gantry::reset(); }); },
            "Redefines zero at the current position (the gantry must be homed again).")
        .def(
            "check_position",
            [](Gantry& self) {
                const auto reply = orvakpy::without_gil([&] { return self.check_position(); });
                return orvakpy::to_pystr(reply);
            },
            "The raw position reply, positions in mm.")
        .def(
            "estimate_run_time",
            [](Gantry& self, const py::object& x, const py::object& y, const py::object&) {
                return self.estimate_run_time(
                    orvakpy::real_argument(x, "estimate_run_time()", "x"),
                    orvakpy::real_argument(y, "estimate_run_time()", "y"));
            },
            "x"_a, "y"_a, "wait"_a = false,
            "Seconds along the straight line from the last commanded target to (x, y) (not "
            "clamped); also stored in estimated_run_time. wait is ignored.")
        .def(
            "estimate_home_time",
            [](Gantry& self, const py::object&) { return self.estimate_home_time(); },
            "wait"_a = true,
            "Seconds a home takes, from anywhere; also stored in estimated_home_time. wait is "
            "ignored.");
}

}  // namespace

PYBIND11_MODULE(gantry, m) {
    m.doc() = "Driver of the Orvak XY gantry.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    GantryClass cls(m, "OrvakGantry",
                    "Orvak gantry, type code 8: an H-bot XY stage, coordinates in mm. Both axes "
                    "are clamped to their travel (190 mm x 240 mm) before the move is sent.\n\n"
                    "    gantry = group[0]\n"
                    "    gantry.home()  # to (0, 0)\n"
                    "    gantry.run(100, 150, wait=True)\n"
                    "    print(gantry.check_position())",
                    py::dynamic_attr(), orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<int>(), "number"_a = 0);
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const py::object& number, const py::object& parent) {
            construct(self, orvakpy::int_argument(number, "OrvakGantry()", "number"));
            orvakpy::set_group_and_axes(self, parent, {"X", "Y"});
        },
        py::is_method(cls), "number"_a = 0, "parent"_a = py::none());

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    cls.attr("_HOME_REQUIRED_CODE") = Gantry::home_required_code;
    cls.attr("_HOME_REQUIRED_NOUN") = Gantry::home_required_noun;
    cls.attr("X_MAX") = Gantry::default_x_max;
    cls.attr("Y_MAX") = Gantry::default_y_max;
    cls.attr("RUN_SPEED") = Gantry::default_run_speed;
    cls.attr("HOMING_SPEED") = Gantry::default_homing_speed;

    cls.def_readwrite("instrument_id_number", &Gantry::instrument_id_number)
        .def_readwrite("estimated_run_time", &Gantry::estimated_run_time)
        .def_readwrite("estimated_home_time", &Gantry::estimated_home_time)
        .def_readwrite("_prev_x", &Gantry::prev_x,
                       "The last commanded x target in mm, where run-time estimates start.")
        .def_readwrite("_prev_y", &Gantry::prev_y,
                       "The last commanded y target in mm, where run-time estimates start.");
    bind_operations(cls);
}
