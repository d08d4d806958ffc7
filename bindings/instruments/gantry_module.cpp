// orvaklab.instruments.gantry: the H-bot XY gantry.
//
// The core reads the class constants and the axis attributes through getattr
// when an operation starts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
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
    const auto about = Gantry().describe();
    const auto doc = [&](std::string_view name) { return orvakpy::doc_of(about, name); };
    orvakpy::bind_homing<Gantry>(cls, about);
    orvakpy::bind_controls<Gantry>(cls, about);
    cls.def(
           "run",
           [](Gantry& self, const orvakpy::Real& x, const orvakpy::Real& y,
              const orvakpy::Flag& wait) {
               const double to_x = orvakpy::real_argument(x, "run()", "x");
               const double to_y = orvakpy::real_argument(y, "run()", "y");
               const bool waiting = orvakpy::truth(wait);
               orvakpy::exclusive(self, "run", [&] { self.run(to_x, to_y, waiting); });
           },
           "x"_a, "y"_a, "wait"_a = false, doc("run").c_str())
        .def(
            "check_position",
            [](Gantry& self) {
                const auto reply = orvakpy::exclusive(self, "check_position",
                                                      [&] { return self.check_position(); });
                return orvakpy::to_pystr(reply);
            },
            doc("check_position").c_str())
        .def(
            "check_position_xy",
            [](Gantry& self) {
                return orvakpy::exclusive(self, "check_position_xy",
                                          [&] { return self.check_position_xy(); });
            },
            doc("check_position_xy").c_str())
        .def(
            "estimate_run_time",
            [](Gantry& self, const orvakpy::Real& x, const orvakpy::Real& y, const orvakpy::Flag&) {
                return self.estimate_run_time(
                    orvakpy::real_argument(x, "estimate_run_time()", "x"),
                    orvakpy::real_argument(y, "estimate_run_time()", "y"));
            },
            "x"_a, "y"_a, "wait"_a = false, doc("estimate_run_time").c_str());
}

}  // namespace

PYBIND11_MODULE(gantry, m) {
    m.doc() = "Driver of the Orvak XY gantry.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    GantryClass cls(m, Gantry::kind.class_name.data(),
                    orvakpy::kind_class_doc(
                        Gantry::kind,
                        "an H-bot XY stage, coordinates in mm. Both axes are clamped to their "
                        "travel (190 mm x 240 mm) before the move is sent.\n\n"
                        "    gantry = group[0]\n"
                        "    gantry.home()  # to (0, 0)\n"
                        "    gantry.run(100, 150, wait=True)\n"
                        "    print(gantry.check_position())")
                        .c_str(),
                    py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::numbered_constructor(cls, [](const py::object& self, const py::object& parent) {
        orvakpy::set_group_and_axes(self, parent, {"X", "Y"});
    });
    orvakpy::declare_axes(cls, 2);

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::home_interlock(cls, Gantry::home_required_code, Gantry::home_required_noun);
    orvakpy::constant(cls, "X_MAX", Gantry::default_x_max,
                      "X travel limit in mm: x targets are clamped into [0, X_MAX].");
    orvakpy::constant(cls, "Y_MAX", Gantry::default_y_max,
                      "Y travel limit in mm: y targets are clamped into [0, Y_MAX].");
    orvakpy::constant(cls, "RUN_SPEED", Gantry::default_run_speed,
                      "Travel speed in mm/s that run-time estimates assume.");
    orvakpy::constant(cls, "HOMING_SPEED", Gantry::default_homing_speed,
                      "Homing speed in mm/s that home-time estimates assume.");

    orvakpy::bind_identity_and_estimate<Gantry>(cls);
    cls.def_readwrite("estimated_home_time", &Gantry::estimated_home_time,
                      "Seconds: the last result of estimate_home_time() (0.0 before one).")
        .def_readwrite("_prev_x", &Gantry::prev_x,
                       "The last commanded x target in mm, where run-time estimates start.")
        .def_readwrite("_prev_y", &Gantry::prev_y,
                       "The last commanded y target in mm, where run-time estimates start.");
    bind_operations(cls);
}
