// orvaklab.sim: the bench emulator. A chain of emulated modules reached
// through an in-process port (served natively by a SerialManager) or a
// pseudo-terminal that any serial client can open.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <charconv>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/errors.hpp"
#include "orvak/registry.hpp"
#include "orvak/sim/chain.hpp"
#include "orvak/sim/codes.hpp"
#include "orvak/sim/pty_server.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace sim = orvak::sim;

namespace {

using Release = py::call_guard<orvakpy::ReleaseGil>;

// One piece of a module's kind-specific state.
using Detail = orvakpy::Typed<"bool | int | float | str | list[int] | list[float] | list[str]">;
// A refusal code: a number (0x210) or its text ("0x210").
using RefusalCode = orvakpy::Typed<"int | str">;

bool is_int(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

std::vector<long long> type_codes_of(py::handle codes) {
    constexpr std::string_view where = "BenchChain()";
    if (!py::isinstance<py::list>(codes)) {
        orvakpy::raise_argument_type(where, "type_codes", "a list of int or str", codes);
    }
    std::vector<long long> out;
    for (const auto item : codes) {
        // A name selects its kind as a group's does.
        if (py::isinstance<py::str>(item)) {
            out.push_back(orvak::registry::resolve_name(item.cast<std::string>()).type_code);
            continue;
        }
        if (!is_int(item)) {
            orvakpy::raise_argument_type(where, "type_codes", "a list of int or str", item);
        }
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
        if (overflow != 0) {
            throw orvak::ValueError("the bench emulator has no firmware for type code " +
                                    py::repr(item).cast<std::string>());
        }
        out.push_back(code);
    }
    return out;
}

// A refusal code given as a number (0x210) or as its text ("0x210").
std::string refusal_code_of(py::handle code, std::string_view where) {
    if (py::isinstance<py::str>(code)) return code.cast<std::string>();
    if (!is_int(code)) orvakpy::raise_argument_type(where, "code", "int or str", code);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
    if (overflow != 0 || value < 0) {
        throw orvak::ValueError("refusal code must be a non-negative number, not " +
                                py::repr(code).cast<std::string>());
    }
    char digits[32];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value, 16).ptr;
    return "0x" + std::string(std::begin(digits), end);
}

std::string bytes_of(const py::object& data) {
    if (py::isinstance<py::str>(data)) {
        throw py::type_error("inject_garbage() argument 'data' must be bytes, not str");
    }
    return py::bytes(py::module_::import("builtins").attr("bytes")(data));
}

sim::ModuleState state_of(const sim::ModuleView& view) {
    const orvakpy::ReleaseGil release;
    return view.state();
}

Detail detail_to_python(const sim::DetailValue& value) {
    return Detail(std::visit(
        [](const auto& held) -> py::object {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::string>) {
                return orvakpy::to_pystr(held);
            } else if constexpr (std::is_same_v<Held, std::vector<std::string>>) {
                py::list items;
                for (const auto& item : held) items.append(orvakpy::to_pystr(item));
                return items;
            } else {
                return py::cast(held);
            }
        },
        value));
}

// A Python value as module state: bool, int, float, str, or a list of one of
// the last three kinds.
sim::DetailValue detail_from_python(py::handle value) {
    constexpr std::string_view where = "ModuleView.set()";
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    if (is_int(value)) return value.cast<long long>();
    if (py::isinstance<py::float_>(value)) return value.cast<double>();
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
        const auto all = [&](auto&& test) {
            for (const auto item : items) {
                if (!test(item)) return false;
            }
            return true;
        };
        if (all([](py::handle item) { return is_int(item); })) {
            return items.cast<std::vector<long long>>();
        }
        if (all([](py::handle item) { return is_int(item) || py::isinstance<py::float_>(item); })) {
            return items.cast<std::vector<double>>();
        }
        if (all([](py::handle item) { return py::isinstance<py::str>(item); })) {
            return items.cast<std::vector<std::string>>();
        }
    }
    orvakpy::raise_argument_type(where, "value", "bool, int, float, str or a list of them", value);
}

void bind_module_view(py::module_& m) {
    py::class_<sim::ModuleView, py::smart_holder>(
        m, "ModuleView", "One emulated module, read live: every attribute is its state now.")
        .def_property_readonly("address", &sim::ModuleView::address,
                               "The module's address on the chain (1 first).")
        .def_property_readonly(
            "type_code", [](const sim::ModuleView& view) { return state_of(view).type_code; },
            "The module's type code.")
        .def_property_readonly(
            "homed",
            [](const sim::ModuleView& view) {
                py::typing::Dict<py::str, bool> homed;
                for (const auto& axis : state_of(view).axes) {
                    homed[py::str(std::string(1, axis.letter))] = axis.homed;
                }
                return homed;
            },
            "Axis letter -> whether it has been homed since power-up.")
        .def_property_readonly(
            "position",
            [](const sim::ModuleView& view) {
                py::typing::Dict<py::str, double> position;
                for (const auto& axis : state_of(view).axes) {
                    position[py::str(std::string(1, axis.letter))] = axis.position;
                }
                return position;
            },
            "Axis letter -> position, in the unit the module's commands use.")
        .def_property_readonly(
            "moving", [](const sim::ModuleView& view) { return state_of(view).moving; },
            "Whether a motion is under way.")
        .def_property_readonly(
            "commands",
            [](const sim::ModuleView& view) {
                py::typing::List<py::str> commands;
                for (const auto& text : state_of(view).commands) {
                    commands.append(orvakpy::to_pystr(text));
                }
                return commands;
            },
            "Every command text the module has received, in order.")
        .def_property_readonly(
            "details",
            [](const sim::ModuleView& view) {
                py::typing::Dict<py::str, Detail> details;
                for (const auto& [key, value] : state_of(view).details) {
                    details[orvakpy::to_pystr(key)] = detail_to_python(value);
                }
                return details;
            },
            "Kind-specific state, such as energised valves or a probe's "
            "reading.")
        .def(
            "set",
            [](const sim::ModuleView& view, const std::string& key, const Detail& value) {
                const auto detail = detail_from_python(value);
                const orvakpy::ReleaseGil release;
                view.set_detail(key, detail);
            },
            "key"_a, "value"_a, "Sets kind-specific state, such as a probe's reading.")
        .def(
            "__repr__",
            [](const sim::ModuleView& view) {
                return "<ModuleView address=" + std::to_string(view.address()) +
                       " type_code=" + std::to_string(state_of(view).type_code) + ">";
            },
            "<ModuleView address=... type_code=...>.");
}

void bind_ports(py::module_& m) {
    py::class_<sim::SimPort, orvak::Port, py::smart_holder>(
        m, "SimPort",
        "The in-process link to a bench chain, with pyserial's port interface. A SerialManager "
        "serves it natively, event-driven.");

    py::class_<sim::PtyServer, py::smart_holder>(
        m, "PtyServer",
        "A bench chain served on a pseudo-terminal: open `path` with any serial client.")
        .def_property_readonly("path", &sim::PtyServer::path,
                               "The pseudo-terminal's device path, for a serial client to open.")
        .def_property_readonly("serving", &sim::PtyServer::serving,
                               "Whether the chain is still served.")
        .def("unplug", &sim::PtyServer::unplug, Release(),
             "Pulls the cable: clients see a hang-up.")
        .def("close", &sim::PtyServer::close, Release(), "Stops serving; idempotent.")
        .def(
            "__enter__", [](const orvakpy::Typed<"typing.Self">& self) { return self; },
            "The server itself.")
        .def(
            "__exit__",
            [](sim::PtyServer& server, const py::Args<py::object>&) {
                const orvakpy::ReleaseGil release;
                server.close();
            },
            "Stops serving.");
}

void bind_chain(py::module_& m) {
    py::class_<sim::Chain, py::smart_holder>(
        m, "BenchChain",
        "A simulated chain of modules, one per type code at addresses 1, 2, ... Motions take "
        "their real duration times `time_scale` (0: at once). A chain has one link at a time: "
        "port() or serve_pty() closes the earlier one.")
        .def(py::init([](const orvakpy::Typed<"list[int | str]">& type_codes, double time_scale) {
                 const auto codes = type_codes_of(type_codes);
                 const orvakpy::ReleaseGil release;
                 return std::make_unique<sim::Chain>(codes, time_scale);
             }),
             "type_codes"_a, "time_scale"_a = 0.0,
             "A chain of one emulated module per type code or name (as a group takes them), at "
             "addresses 1, 2, ...; motions take their real duration in seconds times "
             "time_scale.")
        .def("__len__", &sim::Chain::size, "The number of modules.")
        .def(
            "__repr__",
            [](const sim::Chain& chain) {
                std::vector<sim::ModuleState> states;
                double scale = 0.0;
                {
                    const orvakpy::ReleaseGil release;
                    states = chain.states();
                    scale = chain.time_scale();
                }
                py::list codes;
                for (const auto& state : states) codes.append(state.type_code);
                return "BenchChain(" + py::repr(codes).cast<std::string>() +
                       ", time_scale=" + py::repr(py::float_(scale)).cast<std::string>() + ")";
            },
            "BenchChain([type codes], time_scale=...).")
        .def_property("time_scale", &sim::Chain::time_scale, &sim::Chain::set_time_scale,
                      "Motion durations are multiplied by this; it applies to motions started "
                      "afterwards.")
        .def("port", &sim::Chain::open_port, Release(),
             "Opens a new in-process port to the chain (closing any earlier link).")
        .def("serve_pty", &sim::Chain::serve_pty, Release(),
             "Serves the chain on a new pseudo-terminal (closing any earlier link).")
        .def_property_readonly(
            "modules",
            [](const sim::Chain& chain) {
                py::typing::List<sim::ModuleView> views;
                for (std::size_t i = 1; i <= chain.size(); ++i) {
                    views.append(chain.module(static_cast<int>(i)));
                }
                return views;
            },
            "A live view of each module, in chain order.")
        .def("inject_notok", &sim::Chain::inject_notok, "address"_a, "text"_a = "NOTOK motor 1",
             Release(), "Sends an unprompted 'I{address} {text}' line now.")
        .def(
            "refuse_next",
            [](sim::Chain& chain, int address, const RefusalCode& code) {
                const auto text = refusal_code_of(code, "refuse_next()");
                const orvakpy::ReleaseGil release;
                chain.refuse_next(address, text);
            },
            "address"_a, "code"_a,
            "The module's next command is answered 'BAD {code}' and does nothing.")
        .def("swallow_next", &sim::Chain::swallow_next, "address"_a, Release(),
             "The module's next command gets no reply and does nothing.")
        .def("delay_replies", &sim::Chain::delay_replies, "address"_a, "seconds"_a, Release(),
             "Every reply of the module goes out seconds late from now on (0 ends it); it "
             "still answers in order.")
        .def(
            "late_refusal_next",
            [](sim::Chain& chain, int address, const RefusalCode& code) {
                const auto text = refusal_code_of(code, "late_refusal_next()");
                const orvakpy::ReleaseGil release;
                chain.late_refusal_next(address, text);
            },
            "address"_a, "code"_a,
            "The module's next motion is acknowledged, then refused halfway with 'BAD {code}'.")
        .def(
            "inject_garbage",
            [](sim::Chain& chain, const orvakpy::Typed<"bytes | bytearray | memoryview">& data) {
                const auto bytes = bytes_of(data);
                const orvakpy::ReleaseGil release;
                chain.inject_garbage(bytes);
            },
            "data"_a, "Puts raw bytes into the chain's output now.")
        .def("split_next_reply", &sim::Chain::split_next_reply, Release(),
             "The next reply line reaches the host in two reads.")
        .def("set_line_ending", &sim::Chain::set_line_ending, "ending"_a, Release(),
             "Reply lines end with ending from now on: '\\r\\n' (the default), '\\n', or "
             "'\\n\\r' as some modules send.")
        .def("unplug", &sim::Chain::unplug, Release(),
             "The link is gone for good: the port fails, a pseudo-terminal hangs up.");
}

}  // namespace

PYBIND11_MODULE(sim, m) {
    m.doc() = "Bench emulator: a simulated chain of modules.";
    orvakpy::register_error_translator();
    py::module_::import("orvaklab.seriallink");  // the base class of SimPort

    bind_module_view(m);
    bind_ports(m);
    bind_chain(m);

    py::dict codes;
    codes["unknown_command"] = std::string(sim::codes::unknown_command);
    codes["bad_argument"] = std::string(sim::codes::bad_argument);
    codes["not_leader"] = std::string(sim::codes::not_leader);
    codes["busy"] = std::string(sim::codes::busy);
    codes["out_of_range"] = std::string(sim::codes::out_of_range);
    codes["not_homed"] = std::string(sim::codes::not_homed);
    orvakpy::constant(m, "REFUSAL_CODES", codes,
                      "The emulated firmware's refusal codes, by meaning (the text after BAD).",
                      "dict[str, str]");
}
