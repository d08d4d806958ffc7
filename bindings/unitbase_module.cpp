// orvaklab.unitbase: Instrument, the base class of every driver.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/py_instrument.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instrument.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::Instrument;

namespace {

std::vector<std::string> command_texts(const py::args& gcodes) {
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
    const auto slot = [](orvak::ReplySlot orvak::ReplySlots::* member) {
        return [member](const Instrument& self) -> orvak::ReplySlot& {
            return (*self.slots()).*member;
        };
    };
    constexpr auto internal = py::return_value_policy::reference_internal;
    cls.def_property_readonly("flag_DONE", slot(&orvak::ReplySlots::done), internal)
        .def_property_readonly("flag_OK", slot(&orvak::ReplySlots::ok), internal)
        .def_property_readonly("flag_POSITION", slot(&orvak::ReplySlots::position), internal)
        .def_property_readonly("flag_OTHER", slot(&orvak::ReplySlots::other), internal)
        .def_property_readonly("flag_NOTOK", slot(&orvak::ReplySlots::notok), internal)
        .def_property_readonly("_reply_slots", &Instrument::slots);
}

void bind_waits(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    cls.def(
           "send_command",
           [](Instrument& self, const py::args& gcodes) {
               const auto texts = command_texts(gcodes);
               orvakpy::without_gil([&] { self.send_command(texts); });
           },
           "Sends the command texts to this instrument, in order.")
        .def("_clear_flags", orvakpy::nogil(&Instrument::clear_flags))
        .def("_await_read_queue_drain", orvakpy::nogil(&Instrument::await_read_queue_drain),
             "timeout"_a = Instrument::default_drain_timeout)
        .def(
            "_wait_with_interrupt_guard",
            [](Instrument& self, const py::function& loop_fn) {
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
        .def("_wait_for_ok", orvakpy::nogil(&Instrument::wait_for_ok), "extra_timeout"_a = 0.0,
             "what"_a = "command")
        .def("_wait_for_done", orvakpy::nogil(&Instrument::wait_for_done), "timeout"_a = py::none())
        .def("_wait_for_position", orvakpy::nogil(&Instrument::wait_for_position),
             "timeout"_a = py::none());
}

void bind_refusals(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    cls.def("_raise_if_notok", orvakpy::nogil(&Instrument::raise_if_notok), "what"_a = "command")
        .def("has_fault", &Instrument::has_fault)
        .def("check_fault", orvakpy::nogil(&Instrument::check_fault))
        .def_static("_bad_code", &Instrument::bad_code, "reply"_a)
        .def("_require_ok", orvakpy::nogil(&Instrument::require_ok), "what"_a = "command",
             "extra_timeout"_a = 0.0)
        .def("_require_ok_or_home_required",
             orvakpy::nogil(&Instrument::require_ok_or_home_required), "what"_a = "command",
             "extra_timeout"_a = 0.0)
        .def("_raise_if_late_bad", orvakpy::nogil(&Instrument::raise_if_late_bad));
}

void bind_queries(py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder>& cls) {
    constexpr double query_timeout = Instrument::default_query_timeout;
    cls.def("_query_other", orvakpy::nogil(&Instrument::query_other), "gcode"_a, "what"_a,
            "timeout"_a = query_timeout)
        .def("identify", orvakpy::nogil(&Instrument::identify), "timeout"_a = query_timeout)
        .def(
            "homed_axes",
            [](Instrument& self, double timeout) {
                const auto axes = orvakpy::without_gil([&] { return self.homed_axes(timeout); });
                py::dict result;
                for (const auto& [axis, homed] : axes) result[orvakpy::to_pystr(axis)] = homed;
                return result;
            },
            "timeout"_a = query_timeout)
        .def("is_homed", orvakpy::nogil(&Instrument::is_homed), "timeout"_a = query_timeout)
        .def("is_leader", orvakpy::nogil(&Instrument::is_leader), "timeout"_a = query_timeout)
        .def("get_firmware_version", orvakpy::nogil(&Instrument::get_firmware_version),
             "timeout"_a = query_timeout)
        .def("stop", orvakpy::nogil(&Instrument::stop))
        .def("resume", orvakpy::nogil(&Instrument::resume))
        .def("reset", orvakpy::nogil(&Instrument::reset))
        .def("check_position", orvakpy::nogil(&Instrument::check_position_unsupported))
        .def("pause", orvakpy::nogil(&Instrument::pause))
        .def("abort", orvakpy::nogil(&Instrument::abort));
}

void bind_instrument(py::module_& m) {
    py::class_<Instrument, orvakpy::PyInstrument<>, py::smart_holder> cls(
        m, "Instrument",
        "Base class of every driver: addressed commands, the waits for OK, DONE, position and "
        "data replies, refusals, hardware faults, leadership, identity and status queries.",
        py::dynamic_attr(), orvakpy::collectable_instance_dict());
    cls.def(py::init_alias<>());

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    cls.attr("OK_TIMEOUT") = 3.0;
    cls.attr("DONE_TIMEOUT") = 120.0;
    cls.attr("POLL_INTERVAL") = 0.01;
    cls.attr("_HOME_REQUIRED_CODE") = py::none();
    cls.attr("_HOME_REQUIRED_NOUN") = py::none();
    cls.attr("_VERSION_RE") = py::module_::import("re").attr("compile")(R"(\bv\d+\.\d+\.\d+)");
    cls.attr("my_group") = py::none();

    cls.def_readwrite("name", &Instrument::name)
        .def_readwrite("instrument_number", &Instrument::instrument_number)
        .def_readwrite("firmware_version", &Instrument::firmware_version)
        .def_readwrite("_last_bad_reply", &Instrument::last_bad_reply);

    bind_slots(cls);
    bind_waits(cls);
    bind_refusals(cls);
    bind_queries(cls);
}

void bind_leadership(py::module_& m) {
    m.def("_leadership_fault", &orvak::grammar::leadership_fault, "reply"_a, "code"_a = py::none(),
          "Operator-facing reason when a refusal means the USB cable is not on the chain's "
          "leader, else None.");
    py::dict codes;
    for (const auto& [code, cause] : orvak::grammar::leadership_codes()) {
        codes[orvakpy::to_pystr(code)] = orvakpy::to_pystr(cause);
    }
    m.attr("_LEADERSHIP_CODES") = codes;
    py::list prose;
    for (const auto phrase : orvak::grammar::leadership_prose()) {
        prose.append(orvakpy::to_pystr(phrase));
    }
    m.attr("_LEADERSHIP_PROSE") = py::tuple(prose);
    m.attr("_HOMED_RE") = py::module_::import("re").attr("compile")(
        R"(([A-Z])\s*HOMED:\s*([01]))", py::module_::import("re").attr("IGNORECASE"));
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
    bind_instrument(m);
    bind_leadership(m);
    bind_text_checks(m);
    // Set by orvaklab.progress while someone watches long operations.
    m.attr("_progress_observer") = py::none();
}
