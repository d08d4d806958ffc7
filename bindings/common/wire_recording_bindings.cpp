#include "common/wire_recording_bindings.hpp"

#include <memory>
#include <string>
#include <system_error>

#include "common/py_port.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/wire_recording.hpp"

namespace orvakpy {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// A file that cannot be opened is the OSError Python's open() would raise.
template <class Make>
auto opening(const std::string& path, Make&& make) {
    try {
        return make();
    } catch (const std::system_error& error) {
        const int code = error.code().value();
        const py::object failure =
            py::module_::import("builtins")
                .attr("OSError")(code, std::generic_category().message(code), path);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure.ptr())), failure.ptr());
        throw py::error_already_set();
    }
}

py::dict record_dict(const orvak::WireRecord& record) {
    py::dict out;
    out["t"] = record.t;
    out["kind"] = record.kind == orvak::WireRecord::Kind::command ? "command" : "reply";
    out["line"] = to_pystr(record.line);
    return out;
}

}  // namespace

void bind_wire_recording(py::module_& m) {
    py::class_<orvak::RecordingPort, orvak::Port, py::smart_holder>(
        m, "RecordingPort",
        "A port that writes every command line sent and every reply line received, with its "
        "time in seconds since opening, to a JSON Lines file as the traffic passes. Wraps any "
        "port (a port object, a native port, the emulator's port).")
        .def(py::init([](const Typed<"orvaklab.shapes.SerialPort">& port, const std::string& path) {
                 auto inner = port_for(port);
                 if (!inner) throw py::type_error("RecordingPort() argument 'port' must be a port");
                 return opening(path, [&] {
                     return std::make_shared<orvak::RecordingPort>(std::move(inner), path);
                 });
             }),
             "port"_a, "path"_a,
             "Wraps port (any port object) and writes its traffic to a new file at path.")
        .def_property_readonly("path", &orvak::RecordingPort::path,
                               "The recording file being written.");

    py::class_<orvak::ReplayPort, orvak::Port, py::smart_holder>(
        m, "ReplayPort",
        "A port that answers from a recording: each command written must be the next recorded "
        "command, or the port fails at once (the manager then reports a lost link) with an "
        "error naming the expected and the sent line. Replies come back in the recorded order, "
        "at once or, with paced, at their recorded delays.")
        .def(py::init([](const std::string& path, bool paced) {
                 return opening(path, [&] {
                     const ReleaseGil release;
                     return std::make_shared<orvak::ReplayPort>(path, paced);
                 });
             }),
             "path"_a, "paced"_a = false,
             "Answers from the recording at path; with paced, replies keep their recorded "
             "delays (seconds).")
        .def_property_readonly("path", &orvak::ReplayPort::path, "The recording replayed.")
        .def_property_readonly("paced", &orvak::ReplayPort::paced,
                               "Whether replies come at their recorded delays.")
        .def_property_readonly("remaining", &orvak::ReplayPort::remaining,
                               "Records (commands and replies) not yet replayed.")
        .def("unplug", &orvak::ReplayPort::unplug, py::call_guard<ReleaseGil>(),
             "The link is gone for good: every later call but is_open and close fails.");

    m.def(
        "read_recording", [](const std::string& path) -> Typed<"list[dict[str, float | str]]"> {
            const auto records = opening(path, [&] { return orvak::read_recording(path); });
            py::list out;
            for (const auto& record : records) out.append(record_dict(record));
            return py::reinterpret_steal<Typed<"list[dict[str, float | str]]">>(out.release());
        },
        "path"_a,
        "The records of a recording file, as dicts with t (seconds), kind ('command' or "
        "'reply') and line.");
}

}  // namespace orvakpy
