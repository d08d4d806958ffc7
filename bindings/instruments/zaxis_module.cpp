// orvaklab.instruments.zaxis: the single-axis vertical stage.
//
// The core reads the class constants and the axis attribute through getattr
// when an operation starts; its clamp and speed warnings reach Python's
// warnings as UserWarning at the caller's line. check_position_mm reads the
// raw reply through check_position, a Python override included.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "common/py_args.hpp"
#include "common/py_instrument.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/z_stage.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::ZStage;

namespace {

class PyZStage final : public orvakpy::PyInstrument<ZStage> {
  public:
    using PyInstrument::PyInstrument;

    std::string check_position() override {
        if (auto reply = call_text_override("check_position")) return std::move(*reply);
        return ZStage::check_position();
    }
};

using ZStageClass = py::class_<ZStage, PyZStage, orvak::Instrument, py::smart_holder>;

// round() takes any int; beyond this many digits either way a double's
// rounding no longer changes.
constexpr long long widest_decimals = 1000;

std::optional<int> decimals_argument(const py::object& decimals) {
    if (decimals.is_none()) return std::nullopt;
    const auto wide = orvakpy::integer_argument(decimals, "check_position_mm()", "decimals");
    const long long digits =
        wide ? std::clamp(*wide, -widest_decimals, widest_decimals)
             : (py::int_(decimals) > py::int_(0) ? widest_decimals : -widest_decimals);
    return static_cast<int>(digits);
}

void bind_operations(ZStageClass& cls) {
    cls.def(
           "home",
           [](ZStage& self, const py::object& wait) {
               const bool waiting = orvakpy::truth(wait);
               return orvakpy::without_gil([&] { return self.home(waiting); });
           },
           "wait"_a = true, "Homes the stage (0 mm); with wait, returns once there. Returns True.")
        .def(
            "run",
            [](ZStage& self, const py::object& z, const py::object& speed, const py::object& wait) {
                const double target = orvakpy::real_argument(z, "run()", "z");
                const double asked_speed = orvakpy::real_argument(speed, "run()", "speed");
                const bool waiting = orvakpy::truth(wait);
                orvakpy::without_gil([&] { self.run(target, asked_speed, waiting); });
            },
            "z"_a, "speed"_a = ZStage::firmware_speed, "wait"_a = false,
            "Moves to z mm, clamped into [0, Z_MAX] with a warning. The firmware runs at its own "
            "speed: any other speed is warned about and ignored. A NaN z is refused.")
        .def(
            "stop", [](ZStage& self) { orvakpy::without_gil([&] { self.ZStage::stop(); }); },
            "Halts the stage, keeping its target so resume() can continue.")
        .def(
            "resume", [](ZStage& self) { orvakpy::without_gil([&] { self.ZStage::resume(); }); },
            "Continues a stopped move.")
        .def(
            "reset", [](ZStage& self) { orvakpy::without_gil([&] { self.ZStage::reset(); }); },
            "Redefines zero at the current position (the stage must be homed again).")
        .def(
            "check_position",
            [](ZStage& self) {
                const auto reply =
                    orvakpy::without_gil([&] { return self.ZStage::check_position(); });
                return orvakpy::to_pystr(reply);
            },
            "The raw position reply, its position in microsteps.")
        .def(
            "check_position_mm",
            [](ZStage& self, const py::object& decimals) {
                const auto digits = decimals_argument(decimals);
                return orvakpy::without_gil([&] { return self.check_position_mm(digits); });
            },
            "decimals"_a = ZStage::default_decimals,
            "The position in mm, rounded to decimals places (unrounded for None); None when the "
            "reply carries no step count.")
        .def(
            "estimate_run_time",
            [](ZStage& self, const py::object& z, const py::object&) {
                return self.estimate_run_time(
                    orvakpy::real_argument(z, "estimate_run_time()", "z"));
            },
            "z"_a, "wait"_a = false,
            "Seconds from the last commanded target to z (not clamped); also stored in "
            "estimated_run_time. wait is ignored.")
        .def(
            "estimate_home_time",
            [](ZStage& self, const py::object&) { return self.estimate_home_time(); },
            "wait"_a = true,
            "Seconds a home takes, from anywhere; also stored in estimated_home_time. wait is "
            "ignored.");
}

}  // namespace

PYBIND11_MODULE(zaxis, m) {
    m.doc() = "Driver of the Orvak Z stage.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    ZStageClass cls(m, "OrvakZStage",
                    "Orvak Z stage, type code 9: one vertical axis, position in mm, clamped to "
                    "[0, 45].\n\n"
                    "    stage = group[0]\n"
                    "    stage.home()\n"
                    "    stage.run(20.0, wait=True)\n"
                    "    stage.check_position_mm()  # 20.0",
                    py::dynamic_attr(), orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<int>(), "number"_a = 0);
    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const py::object& number, const py::object& parent) {
            construct(self, orvakpy::int_argument(number, "OrvakZStage()", "number"));
            orvakpy::set_group_and_axes(self, parent, {"X"});
        },
        py::is_method(cls), "number"_a = 0, "parent"_a = py::none());

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    cls.attr("_HOME_REQUIRED_CODE") = ZStage::home_required_code;
    cls.attr("_HOME_REQUIRED_NOUN") = ZStage::home_required_noun;
    cls.attr("Z_MAX") = ZStage::default_z_max;
    cls.attr("RUN_SPEED") = ZStage::default_run_speed;
    cls.attr("HOMING_SPEED") = ZStage::default_homing_speed;
    cls.attr("MICROSTEPPING") = ZStage::default_microstepping;
    cls.attr("STEPS_PER_MM") = ZStage::default_steps_per_mm;

    cls.def_readwrite("instrument_id_number", &ZStage::instrument_id_number)
        .def_readwrite("estimated_run_time", &ZStage::estimated_run_time)
        .def_readwrite("estimated_home_time", &ZStage::estimated_home_time)
        .def_readwrite("_prev_z", &ZStage::prev_z,
                       "The last commanded target in mm, where run-time estimates start.");
    bind_operations(cls);
}
