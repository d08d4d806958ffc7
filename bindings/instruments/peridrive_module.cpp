// orvaklab.instruments.peridrive: the peristaltic pumps.
//
// One bound class, _PeriPumpBase; each peristaltic pump kind is a
// Python subclass that only sets its constants and what its constructor
// passes on. The tubing tables are class attributes like the other constants:
// the trampoline reads the ones in force when an operation starts.
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
#include "orvak/instruments/peristaltic_pump.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::PeriPumpBase;

namespace {

constexpr std::string_view presets_name = "TUBING_PRESETS";
// A tubing size (ID, OD) in mm: a pair, or a two-element list from a front end.
using TubeSize = orvakpy::Typed<"collections.abc.Sequence[float]">;
constexpr std::string_view table_type = "dict[tuple[float, float], float]";
constexpr std::string_view by_rollers_name = "TUBING_PRESETS_BY_ROLLERS";

[[noreturn]] void raise_bad_table(std::string_view constant) {
    throw orvak::ArgumentTypeError("class constant " + std::string(constant) +
                                   " must map (ID, OD) pairs in mm to flows in ml/min");
}

// The docstring of an operation, from a standard head's description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(PeriPumpBase(0, orvak::kinds::of(1)).describe(), operation);
}

// The (key, value) pairs of a mapping.
py::list items_of(py::handle mapping, std::string_view constant) {
    if (!py::hasattr(mapping, "items")) raise_bad_table(constant);
    return py::list(mapping.attr("items")());
}

double table_number(py::handle value, std::string_view constant) {
    if (!orvakpy::is_real(value)) raise_bad_table(constant);
    return orvakpy::real_argument(value, constant, "value");
}

orvak::TubingTable table_from(py::handle mapping, std::string_view constant) {
    orvak::TubingTable table;
    for (const auto item : items_of(mapping, constant)) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        const py::object key = pair[0];
        if (!py::isinstance<py::tuple>(key) || py::len(key) != 2) raise_bad_table(constant);
        table.push_back({table_number(key[py::int_(0)], constant),
                         table_number(key[py::int_(1)], constant),
                         table_number(pair[1], constant)});
    }
    return table;
}

class PyPeriPump final : public orvakpy::PyInstrument<PeriPumpBase> {
  public:
    using orvakpy::PyInstrument<PeriPumpBase>::PyInstrument;

    [[nodiscard]] orvak::TubingTable tubing_presets() const override {
        if (!orvakpy::python_usable()) return PeriPumpBase::tubing_presets();
        const orvakpy::AcquireGil gil;
        try {
            const auto table = constant(presets_name);
            if (!table) return PeriPumpBase::tubing_presets();
            return table_from(*table, presets_name);
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }

    [[nodiscard]] orvak::RollerTubingTables tubing_presets_by_rollers() const override {
        if (!orvakpy::python_usable()) return PeriPumpBase::tubing_presets_by_rollers();
        const orvakpy::AcquireGil gil;
        try {
            const auto tables = constant(by_rollers_name);
            if (!tables) return PeriPumpBase::tubing_presets_by_rollers();
            orvak::RollerTubingTables heads;
            for (const auto item : items_of(*tables, by_rollers_name)) {
                const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                heads.push_back(
                    {table_number(pair[0], by_rollers_name), table_from(pair[1], by_rollers_name)});
            }
            return heads;
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }

  private:
    // The attribute in force, or empty when the object has none.
    [[nodiscard]] std::optional<py::object> constant(std::string_view attribute) const {
        const py::ellipsis missing;
        py::object value = py::getattr(python_self(), orvakpy::to_pystr(attribute), missing);
        if (value.is(missing)) return std::nullopt;
        return value;
    }
};

using PumpClass = py::class_<PeriPumpBase, PyPeriPump, orvak::Instrument, py::smart_holder>;

// A tubing table as a dict keyed by (ID, OD) tuples: int keys for the
// standard sizes in whole millimetres, float keys for the T heads' sizes.
py::dict python_table(const orvak::TubingTable& table, bool integer_keys) {
    py::dict presets;
    const auto key_part = [integer_keys](double mm) -> py::object {
        if (integer_keys) return py::int_(static_cast<long long>(mm));
        return py::float_(mm);
    };
    for (const auto& preset : table) {
        presets[py::make_tuple(key_part(preset.inner_mm), key_part(preset.outer_mm))] =
            preset.flow_ml_min;
    }
    return presets;
}

orvak::TubingSize tubing_argument(py::handle tube, std::string_view where) {
    auto mm = orvakpy::reals_argument(tube, where, "tube_ID_OD");
    const auto shown = py::str(py::tuple(py::reinterpret_borrow<py::object>(tube)));
    return {std::move(mm), shown.cast<std::string>()};
}

// run()'s calibration: None or the empty text mean none; a number or a
// numeric text is the flow in ml/min; another text is kept for the refusal.
std::optional<orvak::CalibrationArgument> calibration_argument(py::handle calibration) {
    if (calibration.is_none()) return std::nullopt;
    if (py::isinstance<py::str>(calibration)) {
        if (py::len(calibration) == 0) return std::nullopt;
        return orvak::CalibrationArgument(orvakpy::float_conversion(calibration),
                                          py::repr(calibration).cast<std::string>());
    }
    if (!orvakpy::is_real(calibration)) {
        orvakpy::raise_argument_type("run()", "calibration", "a number or a numeric str",
                                     calibration);
    }
    return orvak::CalibrationArgument(orvakpy::real_argument(calibration, "run()", "calibration"));
}

void bind_state(PumpClass& cls) {
    orvakpy::bind_identity_and_estimate<PeriPumpBase>(cls);
    cls.def_readwrite("calibration_speed", &PeriPumpBase::calibration_speed,
                      "Flow in ml/min the pump delivers at _calibration_rpm.")
        .def_readwrite("_calibration_rpm", &PeriPumpBase::calibration_rpm)
        .def_readwrite("_last_flow_rate", &PeriPumpBase::last_flow_rate)
        .def_readwrite("rollers", &PeriPumpBase::rollers,
                       "The roller count last reported to the module.");
}

void bind_calibration(PumpClass& cls) {
    cls.def(
           "calibrate",
           [](PeriPumpBase& self, const orvakpy::Real& flow_rate, const orvakpy::Real& rpm) {
               self.calibrate(orvakpy::real_argument(flow_rate, "calibrate()", "flow_rate"),
                              orvakpy::real_argument(rpm, "calibrate()", "rpm"));
           },
           "flow_rate"_a, "rpm"_a = PeriPumpBase::default_calibration_rpm, doc("calibrate").c_str())
        .def(
            "calibrate_by_tubing",
            [](PeriPumpBase& self, const TubeSize& tube) {
                self.calibrate_by_tubing(tubing_argument(tube, "calibrate_by_tubing()"));
            },
            "tube_ID_OD"_a, doc("calibrate_by_tubing").c_str());
}

void bind_pumping(PumpClass& cls) {
    cls.def(
           "set_speed",
           [](PeriPumpBase& self, const orvakpy::Real& speed) {
               const double value = orvakpy::real_argument(speed, "set_speed()", "speed");
               orvakpy::exclusive(self, "set_speed", [&] { self.set_speed(value); });
           },
           "speed"_a, doc("set_speed").c_str())
        .def(
            "run",
            [](PeriPumpBase& self, const orvakpy::Real& flow_rate, const orvakpy::Real& volume,
               const orvakpy::Flag& wait, const orvakpy::Text& direction,
               const orvakpy::Typed<"float | str | None">& calibration) {
                constexpr std::string_view where = "run()";
                const double flow = orvakpy::real_argument(flow_rate, where, "flow_rate");
                const double amount = orvakpy::real_argument(volume, where, "volume");
                const bool waiting = orvakpy::truth(wait);
                const auto turn = py::str(direction).cast<std::string>();
                const auto calibrated = calibration_argument(calibration);
                orvakpy::exclusive(self, "run",
                                   [&] { self.run(flow, amount, waiting, turn, calibrated); });
            },
            "flow_rate"_a, "volume"_a, "wait"_a = false, "direction"_a = "cw",
            "calibration"_a = py::none(), doc("run").c_str())
        .def(
            "run_as_is",
            [](PeriPumpBase& self, const orvakpy::Real& volume, const orvakpy::Flag& wait) {
                const double amount = orvakpy::real_argument(volume, "run_as_is()", "volume");
                const bool waiting = orvakpy::truth(wait);
                orvakpy::exclusive(self, "run_as_is", [&] { self.run_as_is(amount, waiting); });
            },
            "volume"_a, "wait"_a = false, doc("run_as_is").c_str())
        .def(
            "set_rollers",
            [](PeriPumpBase& self, const orvakpy::Typed<"int | str">& rollers) {
                std::optional<long long> count;
                try {
                    count = orvakpy::int_conversion(rollers);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_OverflowError)) throw;
                    throw orvak::ValueError("set_rollers() rollers is too large (got " +
                                            py::repr(rollers).cast<std::string>() + ").");
                }
                if (!count) throw self.rollers_not_integer(py::repr(rollers).cast<std::string>());
                orvakpy::exclusive(self, "set_rollers", [&] { self.set_rollers(*count); });
            },
            "rollers"_a, doc("set_rollers").c_str())
        .def("check_position", orvakpy::operation("check_position", &PeriPumpBase::check_position),
             doc("check_position").c_str());
    orvakpy::bind_controls<PeriPumpBase>(cls, PeriPumpBase(0, orvak::kinds::of(1)).describe());
}

void bind_estimates(PumpClass& cls) {
    cls.def(
           "estimate_run_time",
           [](PeriPumpBase& self, const orvakpy::Real& flow_rate, const orvakpy::Real& volume,
              const orvakpy::Flag&) {
               constexpr std::string_view where = "estimate_run_time()";
               return self.estimate_run_time(orvakpy::real_argument(flow_rate, where, "flow_rate"),
                                             orvakpy::real_argument(volume, where, "volume"));
           },
           "flow_rate"_a, "volume"_a, "wait"_a = false, doc("estimate_run_time").c_str())
        .def(
            "_g2_speed_word",
            [](const PeriPumpBase& self, const orvakpy::Real& flow_rate) {
                return self.g2_speed_word(
                    orvakpy::real_argument(flow_rate, "_g2_speed_word()", "flow_rate"));
            },
            "flow_rate"_a)
        .def(
            "_guard_max_rpm",
            [](const PeriPumpBase& self, const orvakpy::Real& flow_rate) {
                self.guard_max_rpm(
                    orvakpy::real_argument(flow_rate, "_guard_max_rpm()", "flow_rate"));
            },
            "flow_rate"_a);
}

py::object bind_base(py::module_& m) {
    PumpClass cls(m, "_PeriPumpBase",
                  "Shared implementation of the Orvak peristaltic pumps: flow in ml/min and "
                  "volume in ml, converted to motor speed and revolutions by a calibration.",
                  py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::identity_constructor(cls, [](const py::object& self, const py::object& parent) {
        orvakpy::set_group_and_axes(self, parent, {"X"});
        self.cast<PeriPumpBase&>().adopt_constants();
    });
    orvakpy::declare_axes(cls, 1);

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::constant(cls, "CALIBRATION_RPM", PeriPumpBase::default_calibration_rpm,
                      "Motor speed in RPM at which the tubing presets and the default "
                      "calibration are stated.");
    orvakpy::constant(cls, "MAX_RPM", py::none(), "Motor speed cap in RPM; None means no cap.",
                      "float | None");
    orvakpy::constant(cls, "ROLLERS", PeriPumpBase::default_rollers,
                      "Roller count of the fitted head.");
    orvakpy::constant(cls, "REV_PER_SEC_TO_G2", PeriPumpBase::default_rev_per_sec_to_g2,
                      "Factor from motor revolutions per second to the firmware's G2 speed word.");
    orvakpy::constant(cls, "TUBING_PRESETS", python_table(orvak::standard_tubing_presets(), true),
                      "Tubing (ID, OD) in mm -> flow in ml/min at CALIBRATION_RPM.", table_type);

    bind_state(cls);
    bind_calibration(cls);
    bind_pumping(cls);
    bind_estimates(cls);
    return cls;
}

// The T head: its type code and name are constants too, so a head that
// differs only in those (and its roller count) is a subclass without a
// constructor of its own.
void bind_t_head(py::object& cls, const py::object& base, const orvak::kinds::Kind& kind) {
    const py::object base_init = base.attr("__init__");
    const std::string where = std::string(kind.class_name) + "()";
    cls.attr("__init__") = py::cpp_function(
        [base_init, where](const py::object& self, const orvakpy::Integer& number,
                           const orvakpy::Parent& parent) {
            const int position = orvakpy::int_argument(number, where, "number");
            base_init(self, position, self.attr("INSTRUMENT_ID"), self.attr("DISPLAY_NAME"),
                      parent);
        },
        py::name("__init__"), py::is_method(cls), "number"_a = 0, "parent"_a = py::none(),
        orvakpy::constructor_doc);
    cls.attr("calibrate_by_tubing") = py::cpp_function(
        [](PeriPumpBase& self, const TubeSize& tube, const orvakpy::Typed<"int | None">& rollers) {
            std::optional<orvak::RollerChoice> choice;
            if (!rollers.is_none()) {
                choice = orvak::RollerChoice{orvakpy::is_real(rollers)
                                                 ? std::optional<double>(orvakpy::real_argument(
                                                       rollers, "calibrate_by_tubing()", "rollers"))
                                                 : std::nullopt,
                                             py::str(rollers).cast<std::string>()};
            }
            self.calibrate_by_tubing_for_head(tubing_argument(tube, "calibrate_by_tubing()"),
                                              choice);
        },
        py::name("calibrate_by_tubing"), py::is_method(cls), "tube_ID_OD"_a,
        "rollers"_a = py::none(),
        orvakpy::doc_of(PeriPumpBase(0, kind).describe(), "calibrate_by_tubing").c_str());
    py::dict heads;
    for (const auto& head : orvak::t_head_tubing_presets()) {
        heads[py::int_(static_cast<long long>(head.rollers))] = python_table(head.presets, false);
    }
    orvakpy::constant(cls, "TUBING_PRESETS_BY_ROLLERS", heads,
                      "Roller count -> tubing (ID, OD) in mm -> flow in ml/min at "
                      "CALIBRATION_RPM.",
                      "dict[int, dict[tuple[float, float], float]]");
}

void bind_model(py::module_& m, const orvak::kinds::Kind& kind) {
    const std::string name(kind.class_name);
    const std::string doc = std::string(kind.display_name) + " peristaltic pump, type code " +
                            std::to_string(kind.type_code) + ".";
    const py::object base = m.attr(orvakpy::to_pystr(kind.base_class));
    py::object cls = orvakpy::model_class(m, base, name, doc);
    if (kind.base_class == "_PeriPumpBase") {
        orvakpy::constant(
            cls, "MAX_RPM",
            kind.model.max_rpm ? py::object(py::float_(*kind.model.max_rpm)) : py::none(),
            "Motor speed cap in RPM; None means no cap.", "float | None");
    }
    orvakpy::constant(cls, "ROLLERS", kind.model.rollers, "Roller count of the fitted head.");
    if (kind.model.tubing_by_rollers) {
        orvakpy::constant(cls, "INSTRUMENT_ID", kind.type_code,
                          "Type code that the constructor passes on.");
        orvakpy::constant(cls, "DISPLAY_NAME", orvakpy::to_pystr(kind.display_name),
                          "Display name that the constructor passes on.");
        // The first T head defines the constructor; its variants inherit it.
        if (kind.base_class == "_PeriPumpBase") bind_t_head(cls, base, kind);
        return;
    }
    orvakpy::model_constructor(cls, base, kind.type_code, kind.display_name);
}

}  // namespace

PYBIND11_MODULE(peridrive, m) {
    m.doc() = "Drivers of the Orvak peristaltic pumps.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    bind_base(m);
    // In type-code order, so the T head exists before the head derived from it.
    for (const auto& kind : orvak::kinds::rows()) {
        if (kind.module == "peridrive") bind_model(m, kind);
    }
}
