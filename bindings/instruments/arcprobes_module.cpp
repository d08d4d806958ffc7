// orvaklab.instruments.arcprobes: the catalogue of Arc process probes.
//
// Stands alone: it imports no other module of the package. The Python tables
// are ordinary dicts built once from the core's catalogue, in its order; the
// lookups run in the core.
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/probe_catalogue.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace probes = orvak::probes;

namespace {

// The catalogue itself holds no state; the class only groups its lookups.
struct ProbeRegistry {};

py::dict entry_of(const probes::CatalogueRow& row) {
    py::dict entry;
    entry["sensor"] = orvakpy::to_pystr(row.sensor);
    if (row.variant)
        entry[orvakpy::to_pystr(row.variant->key)] = orvakpy::to_pystr(row.variant->value);
    entry["a_length_mm"] = row.length_mm;
    return entry;
}

std::string sensor_id_of(py::handle sensor_id, std::string_view where) {
    if (!py::isinstance<py::str>(sensor_id)) {
        orvakpy::raise_argument_type(where, "sensor_id", "str", sensor_id);
    }
    return sensor_id.cast<std::string>();
}

using Entry = orvakpy::Typed<"dict[str, str | int | bool] | None">;

Entry lookup(const py::handle& sensor_id) {
    const auto match = probes::arc_catalogue().lookup(sensor_id_of(sensor_id, "lookup()"));
    if (!match) return Entry(py::none());
    py::dict entry;
    entry["ref"] = orvakpy::to_pystr(match->ref);
    if (match->by_article()) {
        entry["sensor"] = orvakpy::to_pystr(match->sensor);
        entry["by_article"] = true;
        return Entry(entry);
    }
    for (const auto item : entry_of(*match->row)) entry[item.first] = item.second;
    return Entry(entry);
}

// Any mapping of REF# -> entry with a "sensor" key, as the catalogue is.
py::typing::Dict<py::str, py::str> build_article_map(
    const orvakpy::Typed<"collections.abc.Mapping[str, collections.abc.Mapping[str, "
                         "str | int]]">& registry) {
    std::vector<std::string> texts;  // keeps the views below alive
    const py::list items(registry.attr("items")());
    texts.reserve(2 * py::len(items));
    for (const auto item : items) {
        const auto pair = item.cast<py::tuple>();
        if (!py::isinstance<py::str>(pair[0])) {
            orvakpy::raise_argument_type("_build_article_map()", "registry",
                                         "a mapping with str keys", pair[0]);
        }
        texts.push_back(pair[0].cast<std::string>());
        texts.push_back(py::str(pair[1]["sensor"]).cast<std::string>());
    }
    std::vector<probes::RefSensor> rows;
    rows.reserve(texts.size() / 2);
    for (std::size_t i = 0; i < texts.size(); i += 2) rows.push_back({texts[i], texts[i + 1]});
    py::typing::Dict<py::str, py::str> map;
    for (const auto& [article, sensor] : probes::build_article_map(rows)) {
        map[orvakpy::to_pystr(article)] = orvakpy::to_pystr(sensor);
    }
    return map;
}

}  // namespace

PYBIND11_MODULE(arcprobes, m) {
    m.doc() =
        "Identifies Arc process probes (pH, ORP, DO, DCO2, conductivity, TCD, VCD) from "
        "the identity string they report.";

    // Building the catalogue derives its article map: inconsistent rows fail here.
    const auto& catalogue = probes::arc_catalogue();

    py::dict names;
    for (const auto& kind : probes::sensor_kinds()) {
        names[orvakpy::to_pystr(kind.code)] = orvakpy::to_pystr(kind.display_name);
    }
    py::dict arc;
    for (const auto& row : catalogue.rows()) arc[orvakpy::to_pystr(row.ref)] = entry_of(row);
    py::dict articles;
    for (const auto& [article, sensor] : catalogue.articles()) {
        articles[orvakpy::to_pystr(article)] = orvakpy::to_pystr(sensor);
    }
    const auto tables = [&](py::handle scope) {
        orvakpy::constant(scope, "PARAM_NAMES", names, "Sensor type code -> display name.",
                          "dict[str, str]");
        orvakpy::constant(scope, "POLILYTE_ARC", arc,
                          "The catalogue: REF# prefix -> entry ('sensor', at most one variant "
                          "key, 'a_length_mm' the shaft length in mm).",
                          "dict[str, dict[str, str | int]]");
        orvakpy::constant(scope, "ARTICLE_TO_SENSOR", articles,
                          "Article number (a REF# up to its first '-') -> sensor type code.",
                          "dict[str, str]");
    };
    tables(m);

    m.def("_build_article_map", &build_article_map, "registry"_a,
          "Article number (the REF# up to its first '-') -> sensor code, in catalogue order. "
          "Raises ValueError when one article would map to two sensors.");

    py::class_<ProbeRegistry>(m, "VideroroZuv",
                              "The Arc probe catalogue: sensor type and description of a probe "
                              "from its identity string.")
        .def(py::init<>(), "The catalogue; it keeps no state of its own.")
        .def(
            "lookup",
            [](const ProbeRegistry&, const orvakpy::Text& sensor_id) { return lookup(sensor_id); },
            "sensor_id"_a,
            "The catalogue entry of the longest REF# the identity starts with (\"ref\" first), "
            "else its family by article ({\"ref\", \"sensor\", \"by_article\": True}), else None.")
        .def(
            "get_sensor_name",
            [](const ProbeRegistry&, const orvakpy::Text& sensor_id) {
                return probes::arc_catalogue().sensor_name(
                    sensor_id_of(sensor_id, "get_sensor_name()"));
            },
            "sensor_id"_a, "The sensor type code, or '--' when the identity is not recognised.")
        .def(
            "describe_probe",
            [](const ProbeRegistry&, const orvakpy::Text& sensor_id) {
                return orvakpy::to_pystr(
                    probes::arc_catalogue().describe(sensor_id_of(sensor_id, "describe_probe()")));
            },
            "sensor_id"_a,
            "A description such as 'pH Probe, PHI glass, 120 mm long', or 'Unknown probe or no "
            "connection'.");
    tables(m.attr("VideroroZuv"));
}
