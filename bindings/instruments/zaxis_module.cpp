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
#include "common/py_description.hpp"
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
    const auto about = ZStage().describe();
    const auto doc = [&](std::string_view name) { return orvakpy::doc_of(about, name); };
    orvakpy::bind_homing<ZStage>(cls, about);
    orvakpy::bind_controls<ZStage>(cls, about);
    cls.def(
           "run",
           [](ZStage& self, const orvakpy::Real& z, const orvakpy::Real& speed,
              const orvakpy::Flag& wait) {
               const double target = orvakpy::real_argument(z, "run()", "z");
               const double asked_speed = orvakpy::real_argument(speed, "run()", "speed");
               const bool waiting = orvakpy::truth(wait);
               orvakpy::exclusive(self, "run", [&] { self.run(target, asked_speed, waiting); });
           },
           "z"_a, "speed"_a = ZStage::firmware_speed, "wait"_a = false, doc("run").c_str())
        .def(
            "check_position",
            [](ZStage& self) {
                const auto reply = orvakpy::exclusive(
                    self, "check_position", [&] { return self.ZStage::check_position(); });
                return orvakpy::to_pystr(reply);
            },
            doc("check_position").c_str())
        .def(
            "check_position_mm",
            [](ZStage& self, const orvakpy::Typed<"int | None">& decimals) {
                const auto digits = decimals_argument(decimals);
                return orvakpy::exclusive(self, "check_position_mm",
                                          [&] { return self.check_position_mm(digits); });
            },
            "decimals"_a = ZStage::default_decimals, doc("check_position_mm").c_str())
        .def(
            "estimate_run_time",
            [](ZStage& self, const orvakpy::Real& z, const orvakpy::Flag&) {
                return self.estimate_run_time(
                    orvakpy::real_argument(z, "estimate_run_time()", "z"));
            },
            "z"_a, "wait"_a = false, doc("estimate_run_time").c_str());
}

}  // namespace

PYBIND11_MODULE(zaxis, m) {
    m.doc() = "Driver of the Orvak Z stage.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    ZStageClass cls(m, ZStage::kind.class_name.data(),
                    orvakpy::kind_class_doc(ZStage::kind,
                                            "one vertical axis, position in mm, clamped to "
                                            "[0, 45].\n\n"
                                            "    stage = group[0]\n"
                                            "    stage.home()\n"
                                            "    stage.run(20.0, wait=True)\n"
                                            "    stage.check_position_mm()  # 20.0")
                        .c_str(),
                    py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::numbered_constructor(cls, [](const py::object& self, const py::object& parent) {
        orvakpy::set_group_and_axes(self, parent, {"X"});
    });
    orvakpy::declare_axes(cls, 1);

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::home_interlock(cls, ZStage::home_required_code, ZStage::home_required_noun);
    orvakpy::constant(cls, "Z_MAX", ZStage::default_z_max,
                      "Upper travel limit in mm: targets are clamped into [0, Z_MAX].");
    orvakpy::constant(cls, "RUN_SPEED", ZStage::default_run_speed,
                      "Travel speed in mm/s that run-time estimates assume.");
    orvakpy::constant(cls, "HOMING_SPEED", ZStage::default_homing_speed,
                      "Homing speed in mm/s that home-time estimates assume.");
    orvakpy::constant(cls, "MICROSTEPPING", ZStage::default_microstepping,
                      "Microsteps per full motor step (STEPS_PER_MM already includes it).");
    orvakpy::constant(cls, "STEPS_PER_MM", ZStage::default_steps_per_mm,
                      "Microsteps per mm, to read a position reply in mm.");

    orvakpy::bind_identity_and_estimate<ZStage>(cls);
    cls.def_readwrite("estimated_home_time", &ZStage::estimated_home_time,
                      "Seconds: the last result of estimate_home_time() (0.0 before one).")
        .def_readwrite("_prev_z", &ZStage::prev_z,
                       "The last commanded target in mm, where run-time estimates start.");
    bind_operations(cls);
}
