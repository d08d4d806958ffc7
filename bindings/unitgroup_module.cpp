// orvaklab.unitgroup: InstrumentGroup, the ordered drivers of one chain.
//
// The group keeps its Python-visible state (inst, seriallink, ...) in its
// instance dictionary, where the garbage collector sees the cycles between a
// group, its drivers and its serial manager.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instrument.hpp"
#include "orvak/instrument_group.hpp"
#include "orvak/kinds.hpp"
#include "orvak/registry.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Type codes, names or both; a list (another sequence is refused).
using InstrumentList = orvakpy::Typed<"list[int] | list[str] | list[int | str]">;
using Driver = orvakpy::Typed<"orvaklab.unitbase.Instrument">;
// What indexing and iterating give: any driver, so a script can call the
// methods of the kind it declared there; group.get() checks and narrows.
using AnyDriver = orvakpy::Typed<"typing.Any">;

constexpr const char* logger_name = "orvaklab.unitgroup";

// The Python group itself holds no C++ state.
struct PyInstrumentGroup {};

// Builds the driver of a registry row at chain position `position`.
py::object build_driver(const py::object& group, const orvak::registry::DriverRow& row,
                        long long position) {
    const auto module =
        py::module_::import(("orvaklab.instruments." + std::string(row.module)).c_str());
    const auto cls = module.attr(orvakpy::to_pystr(row.class_name));
    if (row.model.pump_volume) return cls(position, *row.model.pump_volume, group);
    return cls(position, group);
}

const orvak::registry::DriverRow& row_for_code(const py::int_& code) {
    long long value = 0;
    try {
        value = code.cast<long long>();
    } catch (const py::cast_error&) {
        throw orvak::ValueError("Unknown instrument type code: " +
                                py::str(code).cast<std::string>());
    }
    return orvak::registry::resolve_code(value);
}

void build_instruments(const py::object& self) {
    py::list inst = self.attr("inst");
    const py::list identifiers = self.attr("instrument_name_list");
    long long position = 0;
    for (const auto identifier : identifiers) {
        py::object driver;
        if (py::isinstance<py::int_>(identifier)) {
            driver = build_driver(self, row_for_code(py::reinterpret_borrow<py::int_>(identifier)),
                                  position);
        } else {
            driver = self.attr("_from_string")(py::str(identifier), position);
        }
        inst.append(driver);
        ++position;
    }
}

void stop_all(const py::object& self) {
    const auto logger = py::module_::import("logging").attr("getLogger")(logger_name);
    for (const auto driver : py::list(self.attr("inst"))) {
        // A stop: the operation running on another thread ends now, and a
        // subclass's stop() that makes other calls never waits behind it.
        std::optional<orvak::Instrument::StopScope> stopping;
        if (py::isinstance<orvak::Instrument>(driver))
            stopping.emplace(driver.cast<orvak::Instrument&>());
        try {
            driver.attr("stop")();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            const py::object named = py::getattr(driver, "name", driver);
            logger.attr("warning")("stop() failed for %s", named,
                                   "exc_info"_a = orvakpy::exc_info(e));
        }
    }
}

std::string group_repr(const py::object& self) {
    std::vector<std::string> names;
    for (const auto driver : py::list(self.attr("inst"))) {
        names.push_back(py::str(py::getattr(driver, "name", driver)).cast<std::string>());
    }
    return orvak::group_repr(self.attr("group_number").cast<long long>(), names);
}

// Characters of UTF-8 text, for aligning columns.
std::size_t width(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The group's documentation, its table of kinds two to a line.
std::string group_doc() {
    std::vector<const orvak::kinds::Kind*> listed;
    std::size_t column = 0;
    for (const auto& kind : orvak::kinds::rows()) {
        if (!kind.in_group_doc) continue;
        listed.push_back(&kind);
        column = std::max(column, width(kind.label) + 1);
    }
    auto cell = [](const orvak::kinds::Kind& kind) {
        const auto code = std::to_string(kind.type_code);
        return std::string(3 - std::min<std::size_t>(3, code.size()), ' ') + code + " " +
               std::string(kind.label);
    };
    std::string table;
    for (std::size_t i = 0; i < listed.size(); i += 2) {
        std::string line = cell(*listed[i]);
        if (i + 1 < listed.size()) {
            line += std::string(column - width(listed[i]->label), ' ') + cell(*listed[i + 1]);
        }
        table += line + "\n";
    }
    return "The drivers of one chain of modules on one serial port, in chain order.\n\n"
           "Build it from a list of type codes or names, one per module:\n" +
           table +
           "Names match case-insensitively by substring (\"Peri S\", \"rotary valve XL\", "
           "\"gantry\").\n"
           "InstrumentGroup([1, 2]) holds an OrvakPeriS at inst[0] and a rotary valve at inst[1].";
}

// The module kinds as Python sees them: read-only views of the core's rows.
void bind_kinds(py::module_& m) {
    using orvak::kinds::Kind;
    py::class_<Kind>(m, "Kind",
                     "One module kind: its type code, its driver class, its names, the numbers "
                     "of its model and the firmware the bench emulator plays for it.")
        .def_property_readonly(
            "type_code", [](const Kind& kind) { return kind.type_code; },
            "The type code its modules report.")
        .def_property_readonly(
            "module", [](const Kind& kind) { return orvakpy::to_pystr(kind.module); },
            "The driver's module under orvaklab.instruments.")
        .def_property_readonly(
            "class_name", [](const Kind& kind) { return orvakpy::to_pystr(kind.class_name); },
            "The driver class in that module.")
        .def_property_readonly(
            "display_name", [](const Kind& kind) { return orvakpy::to_pystr(kind.display_name); },
            "The name the driver gives itself.")
        .def_property_readonly(
            "label", [](const Kind& kind) { return orvakpy::to_pystr(kind.label); },
            "The kind's label in the group's table.")
        .def_property_readonly(
            "firmware", [](const Kind& kind) { return orvakpy::to_pystr(kind.firmware); },
            "The firmware family the bench emulator plays for it.")
        .def_property_readonly(
            "pump_volume", [](const Kind& kind) { return kind.model.pump_volume; },
            "Piston pumps: the volume in \xC2\xB5l the driver is built with; else None.")
        .def_property_readonly(
            "orifice", [](const Kind& kind) { return kind.model.orifice; },
            "Rotary valves: the bore in inches; else None.")
        .def_property_readonly(
            "max_rpm", [](const Kind& kind) { return kind.model.max_rpm; },
            "Peristaltic pumps: the motor speed cap in RPM; else None.")
        .def_property_readonly(
            "rollers",
            [](const Kind& kind) {
                return kind.model.rollers > 0 ? std::optional<long long>(kind.model.rollers)
                                              : std::nullopt;
            },
            "Peristaltic pumps: the head's roller count; else None.")
        .def(
            "__repr__",
            [](const Kind& kind) {
                return "<Kind " + std::to_string(kind.type_code) + " " +
                       std::string(kind.class_name) + " '" + std::string(kind.display_name) + "'>";
            },
            "<Kind type_code class_name 'display name'>.");

    py::dict table;
    for (const auto& kind : orvak::kinds::rows()) {
        table[py::int_(kind.type_code)] = py::cast(&kind, py::return_value_policy::reference);
    }
    orvakpy::constant(m, "KINDS", table,
                      "Type code -> its module kind, for every kind the registry builds.",
                      "dict[int, Kind]");
}

void bind_group(py::module_& m) {
    py::class_<PyInstrumentGroup, py::smart_holder> cls(m, "InstrumentGroup", group_doc().c_str(),
                                                        py::dynamic_attr(),
                                                        orvakpy::collectable_instance_dict());
    cls.def(py::init([](const py::object& instrument_list, const py::object& group_number) {
                if (!py::isinstance<py::list>(instrument_list)) {
                    orvakpy::raise_argument_type("InstrumentGroup()", "instrument_list", "a list",
                                                 instrument_list);
                }
                orvakpy::whole_number_argument(group_number, "InstrumentGroup()", "group_number");
                return PyInstrumentGroup{};
            }),
            "instrument_list"_a, "group_number"_a = 0);

    const py::object construct = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const InstrumentList& instrument_list,
                    const orvakpy::WholeNumber& group_number) {
            construct(self, instrument_list, group_number);
            self.attr("group_number") =
                orvakpy::whole_number_argument(group_number, "InstrumentGroup()", "group_number");
            self.attr("instrument_name_list") = instrument_list;
            self.attr("seriallink") = py::none();
            self.attr("inst") = py::list();
            self.attr("_build_instruments")();
        },
        py::name("__init__"), py::is_method(cls), "instrument_list"_a, "group_number"_a = 0,
        "Builds one driver per identifier of instrument_list (a type code or a name), in chain "
        "order; group_number is the group's index, shown by repr(). Sends nothing.");
    orvakpy::declare_attribute(cls, "inst", "list[orvaklab.unitbase.Instrument]",
                               "The drivers, in chain order.");
    orvakpy::declare_attribute(cls, "seriallink", "orvaklab.seriallink.SerialManager | None",
                               "The serial link the drivers use (set by the port's owner), or "
                               "None.");
    orvakpy::declare_attribute(cls, "group_number", "int", "The group's index, shown by repr().");
    orvakpy::declare_attribute(cls, "instrument_name_list",
                               "list[int] | list[str] | list[int | str]",
                               "The identifiers as the constructor was given them.");

    cls.def("_build_instruments", [](const py::object& self) { build_instruments(self); })
        .def(
            "_from_string",
            [](const py::object& self, const orvakpy::Text& name, long long n) {
                const auto text = py::str(name).cast<std::string>();
                return Driver(build_driver(self, orvak::registry::resolve_name(text), n));
            },
            "name"_a, "n"_a)
        .def(
            "stop_all", [](const py::object& self) { stop_all(self); },
            "Stops every module of the chain in order; a failing stop is logged and the next "
            "module is still stopped.")
        .def(
            "__len__", [](const py::object& self) { return py::len(self.attr("inst")); },
            "The number of drivers.")
        .def(
            "__getitem__",
            [](const py::object& self, const orvakpy::WholeNumber& index) {
                const py::list inst = self.attr("inst");
                const auto at =
                    orvakpy::whole_number_argument(index, "InstrumentGroup.__getitem__()", "index");
                long long position = 0;
                try {
                    position = at.cast<long long>();
                } catch (const py::cast_error&) {
                    throw py::index_error("list index out of range");
                }
                return AnyDriver(inst[orvak::group_index(position, py::len(inst))]);
            },
            "index"_a, "The driver at chain position index (a negative index counts from the end).")
        .def(
            "__iter__",
            [](const py::object& self) -> py::typing::Iterator<AnyDriver> {
                return py::iter(py::list(self.attr("inst")));
            },
            "The drivers, in chain order: valve, pump = chain.add_group([2, 4]).")
        .def(
            "get",
            [](const py::object& self, const orvakpy::WholeNumber& index,
               const py::typing::Type<py::typing::TypeVar<"Driver">>& kind)
                -> py::typing::TypeVar<"Driver"> {
                const py::object driver = self.attr("__getitem__")(index);
                if (!py::isinstance(driver, kind)) {
                    throw py::type_error("the driver at index " +
                                         py::str(index).cast<std::string>() + " is " +
                                         py::type::of(driver).attr("__name__").cast<std::string>() +
                                         ", not " + kind.attr("__name__").cast<std::string>());
                }
                return driver;
            },
            "index"_a, "kind"_a,
            "The driver at chain position index, checked to be a kind (a driver class) and typed "
            "as one: group.get(0, OrvakRotaryValve032).")
        .def(
            "__repr__", [](const py::object& self) { return group_repr(self); },
            "InstrumentGroup(group=..., instruments=[the drivers' names]).");
}

}  // namespace

PYBIND11_MODULE(unitgroup, m) {
    m.doc() = "The instrument group: the drivers of one chain, built from type codes or names.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();
    bind_kinds(m);
    // The type variable of group.get(index, kind).
    m.attr("Driver") = py::module_::import("typing").attr("TypeVar")(
        "Driver", "bound"_a = py::module_::import("orvaklab.unitbase").attr("Instrument"));
    bind_group(m);

    py::dict reserved;
    for (const auto& [code, message] : orvak::registry::reserved_codes()) {
        reserved[py::int_(code)] = orvakpy::to_pystr(message);
    }
    orvakpy::constant(m, "_RESERVED_CODES", reserved, "", "dict[int, str]");
}
