// orvaklab.unitbase: Instrument, the base class of every driver.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instrument.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::Instrument;

namespace {

// The docstring of a base operation, from the base class's own description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(Instrument().describe(), operation);
}

// `with driver._try_turn(seconds) as granted:` holds the driver's turn for
// the calls inside when it was free within `seconds`.
struct TurnAttempt {
    py::object driver;
    double seconds = 0.0;
    std::optional<Instrument::TurnAttempt> held;
};

void bind_turn_attempt(py::module_& m) {
    py::class_<TurnAttempt>(m, "_TurnAttempt",
                            "The driver's turn, if it was free in time; see Instrument._try_turn.")
        .def(
            "__enter__",
            [](TurnAttempt& attempt) {
                auto& driver = attempt.driver.cast<Instrument&>();
                return orvakpy::without_gil([&] {
                    attempt.held.emplace(driver, "reading", attempt.seconds);
                    return attempt.held->granted();
                });
            },
            "Waits at most the attempt's seconds; True when the turn was taken.")
        .def(
            "__exit__",
            [](TurnAttempt& attempt, const py::args&) {
                attempt.held.reset();
                return false;
            },
            "Gives the turn back.");
}

std::vector<std::string> command_texts(const py::Args<py::str>& gcodes) {
    std::vector<std::string> texts;
    texts.reserve(gcodes.size());
    for (const auto gcode : gcodes) {
        if (!py::isinstance<py::str>(gcode)) {
            orvakpy::raise_argument_type("send_command()", "gcodes", "str", gcode);
        }
        texts.push_back(gcode.cast<std::string>());
    }
    return texts;
}

void bind_slots(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    const auto slot = [](orvak::ReplySlot orvak::ReplySlots::*member) {
        return [member](const Instrument& self) -> orvak::ReplySlot& {
            return (*self.slots()).*member;
        };
    };
    constexpr auto internal = py::return_value_policy::reference_internal;
    cls.def_property_readonly("flag_DONE", slot(&orvak::ReplySlots::done), internal,
                              "Reply slot of this module's completion notices (DONE).")
        .def_property_readonly("flag_OK", slot(&orvak::ReplySlots::ok), internal,
                               "Reply slot of this module's acknowledgements (OK) and refusals "
                               "(BAD).")
        .def_property_readonly("flag_POSITION", slot(&orvak::ReplySlots::position), internal,
                               "Reply slot of this module's position reports.")
        .def_property_readonly("flag_OTHER", slot(&orvak::ReplySlots::other), internal,
                               "Reply slot of this module's other data lines.")
        .def_property_readonly("flag_NOTOK", slot(&orvak::ReplySlots::notok), internal,
                               "Reply slot of this module's hardware-fault reports (NOTOK); a "
                               "fault stays there until an operation raises it.")
        .def_property_readonly("_reply_slots", &Instrument::slots);
}

void bind_waits(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    cls.def(
           "send_command",
           [](Instrument& self, const py::Args<py::str>& gcodes) {
               const auto texts = command_texts(gcodes);
               orvakpy::exclusive(self, "send_command", [&] { self.send_command(texts); });
           },
           "Sends the command texts to this module, in order (a pending fault is raised "
           "first).")
        .def("_clear_flags", orvakpy::nogil(&Instrument::clear_flags))
        .def("_await_read_queue_drain", orvakpy::nogil(&Instrument::await_read_queue_drain),
             "timeout"_a = Instrument::default_drain_timeout)
        .def(
            "_wait_with_interrupt_guard",
            [](Instrument & self,
               const py::typing::Callable<py::object()>& loop_fn) -> orvakpy::Typed<"typing.Any"> {
                py::object result;
                orvakpy::without_gil([&] {
                    self.with_interrupt_guard([&] {
                        const orvakpy::AcquireGil gil;
                        try {
                            result = loop_fn();
                        } catch (py::error_already_set& e) {
                            orvakpy::rethrow_python_error(e);
                        }
                    });
                });
                return result;
            },
            "loop_fn"_a)
        .def("_wait_for_ok", orvakpy::operation("_wait_for_ok", &Instrument::wait_for_ok),
             "extra_timeout"_a = 0.0, "what"_a = "command")
        .def("_wait_for_done", orvakpy::operation("_wait_for_done", &Instrument::wait_for_done),
             "timeout"_a = py::none())
        .def("_wait_for_position",
             orvakpy::operation("_wait_for_position", &Instrument::wait_for_position),
             "timeout"_a = py::none());
}

void bind_refusals(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    cls.def("_raise_if_notok", orvakpy::nogil(&Instrument::raise_if_notok), "what"_a = "command")
        .def("has_fault", &Instrument::has_fault, doc("has_fault").c_str())
        .def("check_fault", orvakpy::nogil(&Instrument::check_fault), doc("check_fault").c_str())
        .def_static("_bad_code", &Instrument::bad_code, "reply"_a)
        .def("_require_ok", orvakpy::operation("_require_ok", &Instrument::require_ok),
             "what"_a = "command", "extra_timeout"_a = 0.0)
        .def("_require_ok_or_home_required",
             orvakpy::operation("_require_ok_or_home_required",
                                &Instrument::require_ok_or_home_required),
             "what"_a = "command", "extra_timeout"_a = 0.0)
        .def("_raise_if_late_bad",
             [](Instrument& self) { orvakpy::without_gil([&] { self.raise_if_late_bad(); }); });
}

void bind_queries(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    constexpr double query_timeout = Instrument::default_query_timeout;
    cls.def("_query_other", orvakpy::operation("_query_other", &Instrument::query_other), "gcode"_a,
            "what"_a, "timeout"_a = query_timeout)
        .def("identify", orvakpy::operation("identify", &Instrument::identify),
             "timeout"_a = query_timeout, doc("identify").c_str())
        .def(
            "homed_axes",
            [](Instrument& self, double timeout) {
                const auto axes = orvakpy::exclusive(self, "homed_axes",
                                                     [&] { return self.homed_axes(timeout); });
                py::typing::Dict<py::str, bool> result;
                for (const auto& [axis, homed] : axes) result[orvakpy::to_pystr(axis)] = homed;
                return result;
            },
            "timeout"_a = query_timeout, doc("homed_axes").c_str())
        .def("is_homed", orvakpy::operation("is_homed", &Instrument::is_homed),
             "timeout"_a = query_timeout, doc("is_homed").c_str())
        .def("is_leader", orvakpy::operation("is_leader", &Instrument::is_leader),
             "timeout"_a = query_timeout, doc("is_leader").c_str())
        .def("_answers_as_leader", orvakpy::operation("is_leader", &Instrument::answers_as_leader),
             "timeout"_a = query_timeout,
             "The leader probe of a scan: like is_leader, but a follower's refusal answers "
             "False at once.")
        .def("get_firmware_version",
             orvakpy::operation("get_firmware_version", &Instrument::get_firmware_version),
             "timeout"_a = query_timeout, doc("get_firmware_version").c_str())
        .def(
            "stop", [](Instrument& self) { orvakpy::stopping(self, [&] { self.stop(); }); },
            doc("stop").c_str())
        .def("resume", orvakpy::operation("resume", &Instrument::resume), doc("resume").c_str())
        .def("reset", orvakpy::operation("reset", &Instrument::reset), doc("reset").c_str())
        .def(
            "check_position", [](Instrument & self) -> orvakpy::Typed<"object"> {
                orvakpy::without_gil([&] { self.check_position_unsupported(); });
                return orvakpy::Typed<"object">(py::none());  // not reached: it raises
            },
            doc("check_position").c_str())
        .def(
            "_forget_tracked_state",
            [](Instrument& self) {
                orvakpy::exclusive(self, "_forget_tracked_state",
                                   [&] { self.forget_tracked_state(); });
            },
            "Forgets the tracked position (and a configured valve set), as after a power "
            "cycle.")
        .def(
            "pause", [](Instrument& self) { orvakpy::stopping(self, [&] { self.pause(); }); },
            doc("pause").c_str())
        .def(
            "abort", [](Instrument& self) { orvakpy::stopping(self, [&] { self.abort(); }); },
            doc("abort").c_str())
        .def(
            "_try_turn",
            [](const py::object& self, double timeout) {
                auto attempt = std::make_unique<TurnAttempt>();
                attempt->driver = self;
                attempt->seconds = timeout;
                return attempt;
            },
            "timeout"_a,
            "A context manager that takes this driver's turn for the calls inside if it is free "
            "within timeout seconds; `with driver._try_turn(0.5) as granted:`. A sampler reads a "
            "module this way instead of queueing behind a long operation.")
        .def_property_readonly(
            "_current_operation",
            [](const Instrument& self) -> std::optional<std::string> {
                auto operation = self.running_operation();
                if (operation.empty()) return std::nullopt;
                return operation;
            },
            "The operation running on this driver now (on any thread), or None.")
        .def(
            "_refuse_operations",
            [](Instrument& self, const std::string& reason) { self.refuse_operations(reason); },
            "reason"_a,
            "From now on every operation that would begin raises OrvakStoppedError naming "
            "reason, before anything is sent; the stop family still works. A port owner shutting "
            "down calls it before it stops the modules, so nothing moves after the stops.")
        .def(
            "describe",
            [](const Instrument& self) -> orvakpy::Typed<"orvaklab.shapes.Description"> {
                return orvakpy::Typed<"orvaklab.shapes.Description">(
                    orvakpy::description_to_python(self.describe()));
            },
            "What this module can do and what can be read from it: its operations (each with "
            "its kind, parameters in order with their units and the limits in force for this "
            "module, result and documentation) and its readings. Plain data; sends nothing.");
}

// A Python subclass's own stop(), pause() or abort() runs inside the stop
// scope when a script calls it directly, as the bound ones do: an operation
// waiting on another thread ends at once, and what the override calls before
// super().stop() takes no turn behind the operation it stops.
py::object call_in_stop_scope(const py::object& self, const py::object& override,
                              const py::args& args, const py::kwargs& named) {
    auto& instrument = self.cast<Instrument&>();
    py::object result;
    orvakpy::stopping(instrument, [&] {
        const orvakpy::AcquireGil gil;
        result = override(self, *args, **named);
    });
    return result;
}

// The operations that stop a module: they never wait for a turn and end the
// operation they stop at once. Every layer that schedules calls (the asyncio
// drivers, the servers) reads this list.
constexpr std::array<const char*, 3> stop_family{"stop", "pause", "abort"};

// The subclass hook: each stop-family override becomes a partialmethod of
// call_in_stop_scope (not a C++ closure, so a class dropped later stays
// collectable).
void scope_own_stops(const py::type& subclass, const py::KWArgs<py::object>& kwargs) {
    const py::object own = subclass.attr("__dict__");
    const py::object function_type = py::module_::import("types").attr("FunctionType");
    const py::object partialmethod = py::module_::import("functools").attr("partialmethod");
    for (const char* name : stop_family) {
        const py::object body = own.attr("get")(name);
        if (!py::isinstance(body, function_type)) continue;
        py::object scoped = partialmethod(py::cpp_function(&call_in_stop_scope), body);
        scoped.attr("__doc__") = body.attr("__doc__");
        py::setattr(subclass, name, scoped);
    }
    py::module_::import("builtins")
        .attr("super")(py::type::of<Instrument>(), subclass)
        .attr("__init_subclass__")(**kwargs);
}

void scope_python_stops(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    cls.attr("__init_subclass__") =
        py::module_::import("builtins")
            .attr("classmethod")(
                py::cpp_function(&scope_own_stops, py::name("__init_subclass__"), py::arg("cls")));
}

void bind_instrument(py::module_& m) {
    py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder> cls(
        m, "Instrument",
        "Base class of every driver: addressed commands, the waits for OK, DONE, position and "
        "data replies, refusals, hardware faults, leadership, identity and status queries.",
        py::dynamic_attr(), orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<>(),
            "A bare instrument: set instrument_number, my_group and name before sending.");

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::constant(cls, "OK_TIMEOUT", 3.0,
                      "Seconds allowed for an acknowledgement (OK or BAD) of a command.");
    orvakpy::constant(cls, "DONE_TIMEOUT", 120.0,
                      "Seconds allowed by default for completion (DONE) and for a position "
                      "reply.");
    orvakpy::constant(cls, "POLL_INTERVAL", 0.01,
                      "Longest single block in seconds on a reply slot inside a wait.");
    orvakpy::constant(cls, "_HOME_REQUIRED_CODE", py::none(), "", "str | None");
    orvakpy::constant(cls, "_HOME_REQUIRED_NOUN", py::none(), "", "str | None");
    orvakpy::constant(cls, "_VERSION_RE",
                      py::module_::import("re").attr("compile")(R"(\bv\d+\.\d+\.\d+)"), "",
                      "re.Pattern[str]");
    orvakpy::constant(cls, "my_group", py::none(),
                      "The group this driver belongs to (its seriallink is the serial link), or "
                      "None.",
                      "orvaklab.unitgroup.InstrumentGroup | None");

    cls.def_readwrite("name", &Instrument::name,
                      "The module's display name, which starts every error message.")
        .def_readwrite("instrument_number", &Instrument::instrument_number,
                       "The module's 0-based chain position; its address is one more.")
        .def_readwrite("firmware_version", &Instrument::firmware_version,
                       "The last firmware line get_firmware_version() read, or None.")
        .def_readwrite("_last_bad_reply", &Instrument::last_bad_reply);

    bind_slots(cls);
    bind_waits(cls);
    bind_refusals(cls);
    bind_queries(cls);
    scope_python_stops(cls);
}

void bind_leadership(py::module_& m) {
    m.def("_leadership_fault", &orvak::grammar::leadership_fault, "reply"_a, "code"_a = py::none(),
          "Operator-facing reason when a refusal means the USB cable is not on the chain's "
          "leader, else None.");
    py::dict codes;
    for (const auto& [code, cause] : orvak::grammar::leadership_codes()) {
        codes[orvakpy::to_pystr(code)] = orvakpy::to_pystr(cause);
    }
    orvakpy::constant(m, "_LEADERSHIP_CODES", codes, "", "dict[str, str]");
    py::list prose;
    for (const auto phrase : orvak::grammar::leadership_prose()) {
        prose.append(orvakpy::to_pystr(phrase));
    }
    orvakpy::constant(m, "_LEADERSHIP_PROSE", py::tuple(prose), "", "tuple[str, ...]");
    orvakpy::constant(
        m, "_HOMED_RE",
        py::module_::import("re").attr("compile")(R"(([A-Z])\s*HOMED:\s*([01]))",
                                                  py::module_::import("re").attr("IGNORECASE")),
        "", "re.Pattern[str]");
}

// The core's Python-compatible text formatting, for tests that compare it
// with Python's own.
void bind_text_checks(py::module_& m) {
    m.def("_number_text", &orvak::text::number, "value"_a);
    m.def("_fixed_text", &orvak::text::fixed, "value"_a, "precision"_a);
    m.def("_general_text", &orvak::text::general, "value"_a, "precision"_a);
    m.def("_repr_text", &orvak::text::repr, "text"_a);
    m.def("_round_to", &orvak::text::round_to, "value"_a, "ndigits"_a);
}

}  // namespace

PYBIND11_MODULE(unitbase, m) {
    m.doc() = "Base class of every Orvak instrument driver.";
    py::module_::import("orvaklab.seriallink");
    orvakpy::register_error_translator();
    bind_turn_attempt(m);
    bind_instrument(m);
    bind_leadership(m);
    bind_text_checks(m);
    py::tuple units(orvak::units::all.size());
    for (std::size_t i = 0; i < orvak::units::all.size(); ++i) {
        units[i] = orvakpy::to_pystr(orvak::units::all[i]);
    }
    orvakpy::constant(m, "UNITS", units,
                      "Every unit an operation or reading is described in (\"\" is none).",
                      "tuple[str, ...]");
    orvakpy::constant(m, "STOP_FAMILY",
                      py::frozenset(py::make_tuple(stop_family[0], stop_family[1], stop_family[2])),
                      "The operations that stop a module: they never wait for the turn of the "
                      "operation they stop, and end it at once.",
                      "frozenset[str]");
    // Set by orvaklab.progress while someone watches long operations.
    orvakpy::constant(m, "_progress_observer", py::none(), "",
                      "collections.abc.Callable[..., None] | None");
}
