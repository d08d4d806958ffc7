// orvaklab.instruments.process: the process-probe reader.
//
// The command and label tables are class attributes (dicts and tuples), and
// the probe catalogue is the instance's _probe_registry; the core reads both
// through the trampoline when an operation starts, so a subclass's or an
// instance's values are the ones in force.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <string_view>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/process_reader.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::ProcessReader;

namespace {

std::map<long long, std::string> commands_from(const py::handle& table, std::string_view name) {
    std::map<long long, std::string> commands;
    for (const auto item : py::list(table.attr("items")())) {
        const auto pair = item.cast<py::tuple>();
        const auto channel = orvakpy::integer_argument(pair[0], name, "key");
        if (channel) commands[*channel] = py::str(pair[1]).cast<std::string>();
    }
    return commands;
}

orvak::MeasureLabels labels_from(const py::handle& labels) {
    orvak::MeasureLabels out;
    for (const auto pair : labels) {
        const auto label_index = py::reinterpret_borrow<py::sequence>(pair);
        const auto index = orvakpy::integer_argument(label_index[1], "measure labels", "index");
        if (!index || *index < 0) throw py::index_error("measure labels index out of range");
        out.push_back(
            {py::str(label_index[0]).cast<std::string>(), static_cast<std::size_t>(*index)});
    }
    return out;
}

py::object labels_to_python(const orvak::MeasureLabels& layout) {
    py::list labels;
    for (const auto& [label, index] : layout) labels.append(py::make_tuple(label, index));
    return py::tuple(labels);
}

class PyProcess final : public orvakpy::PyInstrument<ProcessReader> {
  public:
    using PyInstrument::PyInstrument;

    [[nodiscard]] orvak::ProcessTables tables() const override {
        const orvakpy::AcquireGil gil;
        try {
            const py::object self = python_self();
            orvak::ProcessTables tables;
            tables.measure_cmds = commands_from(self.attr("_MEASURE_CMDS"), "_MEASURE_CMDS");
            tables.probe_id_cmds = commands_from(self.attr("_PROBE_ID_CMDS"), "_PROBE_ID_CMDS");
            for (const auto item : py::list(self.attr("_MEASURE_SPEC").attr("items")())) {
                const auto pair = item.cast<py::tuple>();
                tables.measure_spec.emplace_back(py::str(pair[0]).cast<std::string>(),
                                                 labels_from(pair[1]));
            }
            tables.default_measure_spec = labels_from(self.attr("_DEFAULT_MEASURE_SPEC"));
            return tables;
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }

    [[nodiscard]] std::string probe_sensor_name(const std::string& identity) const override {
        return ask_registry("get_sensor_name", identity);
    }

    [[nodiscard]] std::string probe_description(const std::string& identity) const override {
        return ask_registry("describe_probe", identity);
    }

  private:
    [[nodiscard]] std::string ask_registry(const char* operation,
                                           const std::string& identity) const {
        const orvakpy::AcquireGil gil;
        try {
            const py::object answer =
                python_self().attr("_probe_registry").attr(operation)(orvakpy::to_pystr(identity));
            return py::str(answer).cast<std::string>();
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }
};

using ProcessClass = py::class_<ProcessReader, PyProcess, orvak::Instrument, py::smart_holder>;

// A channel argument: an integer; one beyond 64 bits has no command either.
using orvakpy::Flag;
using orvakpy::Integer;

long long channel_of(const ProcessReader& self, const py::object& channel, std::string_view where,
                     bool identity) {
    return orvakpy::ranged_integer_argument(channel, where, "channel", [&](const std::string& got) {
        const auto tables = self.tables();
        return self.channel_error(identity ? tables.probe_id_cmds : tables.measure_cmds, got);
    });
}

void bind_constants(ProcessClass& cls) {
    const auto defaults = ProcessReader::default_tables();
    py::dict measure;
    for (const auto& [channel, command] : defaults.measure_cmds)
        measure[py::int_(channel)] = command;
    py::dict identity;
    for (const auto& [channel, command] : defaults.probe_id_cmds)
        identity[py::int_(channel)] = command;
    const py::object default_spec = labels_to_python(defaults.default_measure_spec);
    py::dict specs;
    for (const auto& [type, layout] : defaults.measure_spec) {
        // The types that report the raw triple share the default labels themselves.
        specs[py::str(type)] =
            layout == defaults.default_measure_spec ? default_spec : labels_to_python(layout);
    }
    constexpr std::string_view spec_type = "tuple[tuple[str, int], ...]";
    orvakpy::constant(cls, "_MEASURE_CMDS", measure, "", "dict[int, str]");
    orvakpy::constant(cls, "_PROBE_ID_CMDS", identity, "", "dict[int, str]");
    orvakpy::constant(cls, "NUM_CHANNELS", ProcessReader::default_num_channels,
                      "Probe channels, numbered from 1.");
    orvakpy::constant(cls, "NO_PROBE_SENTINEL", ProcessReader::no_probe_sentinel,
                      "The no-probe sentinel value, for callers; no operation reads or returns "
                      "it.");
    orvakpy::constant(cls, "_DEFAULT_MEASURE_SPEC", default_spec, "", spec_type);
    orvakpy::constant(cls, "_MEASURE_SPEC", specs, "", "dict[str, " + std::string(spec_type) + "]");
}

// The docstring of an operation, from the driver's description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(ProcessReader().describe(), operation);
}

void bind_operations(ProcessClass& cls) {
    cls.def(
           "measure_parameters",
           [](ProcessReader& self, const Integer& channel, const Flag&) {
               const auto number = channel_of(self, channel, "measure_parameters()", false);
               const auto raw = orvakpy::exclusive(self, "measure_parameters",
                                                   [&] { return self.measure_parameters(number); });
               return orvakpy::Typed<"tuple[float, float, float]">(
                   py::make_tuple(raw[0], raw[1], raw[2]));
           },
           "channel"_a = 1, "wait"_a = true, doc("measure_parameters").c_str())
        .def(
            "get_probe_id",
            [](ProcessReader& self, const Integer& channel, const Flag&) {
                const auto number = channel_of(self, channel, "get_probe_id()", true);
                return orvakpy::exclusive(self, "get_probe_id",
                                          [&] { return self.get_probe_id(number); });
            },
            "channel"_a = 1, "wait"_a = true, doc("get_probe_id").c_str())
        .def(
            "channel_has_probe",
            [](ProcessReader& self, const Integer& channel) {
                const auto number = channel_of(self, channel, "channel_has_probe()", true);
                return orvakpy::exclusive(self, "channel_has_probe",
                                          [&] { return self.channel_has_probe(number); });
            },
            "channel"_a = 1, doc("channel_has_probe").c_str())
        .def("attached_channels",
             orvakpy::operation("attached_channels", &ProcessReader::attached_channels),
             doc("attached_channels").c_str())
        .def(
            "probe_type",
            [](ProcessReader& self, const Integer& channel) {
                const auto number = channel_of(self, channel, "probe_type()", true);
                return orvakpy::exclusive(self, "probe_type",
                                          [&] { return self.probe_type(number); });
            },
            "channel"_a = 1, doc("probe_type").c_str())
        .def(
            "describe_probe",
            [](ProcessReader& self, const Integer& channel) {
                const auto number = channel_of(self, channel, "describe_probe()", true);
                return orvakpy::to_pystr(orvakpy::exclusive(
                    self, "describe_probe", [&] { return self.describe_probe(number); }));
            },
            "channel"_a = 1, doc("describe_probe").c_str())
        .def(
            "measure",
            [](ProcessReader& self, const Integer& channel, const Flag&) {
                const auto number = channel_of(self, channel, "measure()", true);
                const auto result =
                    orvakpy::exclusive(self, "measure", [&] { return self.measure(number); });
                py::dict values;
                for (const auto& [label, value] : result.values) values[py::str(label)] = value;
                py::dict out;
                out["channel"] = result.channel;
                out["probe_type"] = result.probe_type;
                out["description"] = orvakpy::to_pystr(result.description);
                out["values"] = values;
                return orvakpy::Typed<"orvaklab.shapes.ProbeMeasurement">(out);
            },
            "channel"_a = 1, "wait"_a = true, doc("measure").c_str())
        .def(
            "_query_probe_id_raw",
            [](ProcessReader& self, const Integer& channel) {
                const auto number = channel_of(self, channel, "_query_probe_id_raw()", true);
                const auto parts = orvakpy::exclusive(
                    self, "_query_probe_id_raw", [&] { return self.query_probe_id_raw(number); });
                return orvakpy::Typed<"tuple[str, str, str]">(
                    py::make_tuple(parts[0], parts[1], parts[2]));
            },
            "channel"_a = 1)
        .def(
            "_sensor_id",
            [](ProcessReader& self, const Integer& channel) {
                const auto number = channel_of(self, channel, "_sensor_id()", true);
                return orvakpy::exclusive(self, "_sensor_id",
                                          [&] { return self.sensor_id(number); });
            },
            "channel"_a = 1)
        .def("estimate_run_time", &ProcessReader::estimate_run_time,
             doc("estimate_run_time").c_str());
    orvakpy::bind_controls<ProcessReader>(cls, ProcessReader().describe());
}

}  // namespace

PYBIND11_MODULE(process, m) {
    m.doc() = "Driver of the Orvak process-probe reader.";
    py::module_::import("orvaklab.unitbase");
    const py::object arcprobes = py::module_::import("orvaklab.instruments.arcprobes");
    orvakpy::register_error_translator();

    ProcessClass cls(m, ProcessReader::kind.class_name.data(),
                     orvakpy::kind_class_doc(ProcessReader::kind,
                                             "the process-sensor board: four probe channels; "
                                             "probes are named from the REF# in their identity "
                                             "register.")
                         .c_str(),
                     py::dynamic_attr(), orvakpy::collectable_instance_dict());
    const py::object registry = arcprobes.attr("VideroroZuv");
    orvakpy::numbered_constructor(cls,
                                  [registry](const py::object& self, const py::object& parent) {
                                      orvakpy::set_group_and_axes(self, parent);
                                      self.attr("_probe_registry") = registry();
                                  });
    orvakpy::declare_attribute(cls, "_probe_registry", "orvaklab.instruments.arcprobes.VideroroZuv",
                               "");
    orvakpy::bind_identity_and_estimate<ProcessReader>(cls);
    bind_constants(cls);
    bind_operations(cls);
}
