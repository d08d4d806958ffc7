// orvaklab.instruments.ventrix: the two-channel mass flow controller.
//
// The per-instance full scales and recorded setpoints are ordinary dicts in
// the instance dictionary (`_full_scale`, a fresh copy of FULL_SCALE, and
// `_last_setpoint`); the core reads and writes them through the trampoline,
// so what a user sees there is what the driver uses.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_description.hpp"
#include "common/py_instrument.hpp"
#include "common/py_types.hpp"
#include "common/python_runtime.hpp"
#include "orvak/instruments/flow_controller.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvak::FlowController;

namespace {

class PyFlowController final : public orvakpy::PyInstrument<FlowController> {
  public:
    using PyInstrument::PyInstrument;

    [[nodiscard]] std::optional<double> stored_full_scale(long long channel) const override {
        return entry("_full_scale", channel);
    }
    void store_full_scale(long long channel, double value) override {
        store("_full_scale", channel, value);
    }
    [[nodiscard]] std::optional<double> stored_setpoint(long long channel) const override {
        return entry("_last_setpoint", channel);
    }
    void store_setpoint(long long channel, double value) override {
        store("_last_setpoint", channel, value);
    }

  private:
    [[nodiscard]] std::optional<double> entry(const char* table, long long channel) const {
        const orvakpy::AcquireGil gil;
        try {
            const py::object value =
                python_self().attr(table).attr("get")(py::int_(channel), py::none());
            if (value.is_none()) return std::nullopt;
            return py::float_(value).cast<double>();
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }

    void store(const char* table, long long channel, double value) {
        const orvakpy::AcquireGil gil;
        try {
            python_self().attr(table)[py::int_(channel)] = value;
        } catch (py::error_already_set& e) {
            orvakpy::rethrow_python_error(e);
        }
    }
};

using FlowClass = py::class_<FlowController, PyFlowController, orvak::Instrument, py::smart_holder>;

// One M300 reading, a dict of the keys FlowReading names.
using Reading = orvakpy::Typed<"orvaklab.shapes.FlowReading">;

long long channel_of(const FlowController& self, const py::object& channel,
                     std::string_view where) {
    return orvakpy::ranged_integer_argument(
        channel, where, "channel", [&](const std::string& got) { return self.channel_error(got); });
}

Reading reading_to_python(const orvak::FlowReading& reading) {
    py::dict out;
    out["channel"] = reading.channel;
    out["flow"] = reading.flow;
    out["setpoint"] = reading.setpoint;
    out["temperature"] = reading.temperature;
    out["units"] = orvakpy::to_pystr(reading.units);
    out["full_scale"] = reading.full_scale;
    out["error"] = orvakpy::to_pystr(reading.error);
    return Reading(out);
}

// One slot, or a tuple of slots tried in order.
std::vector<orvak::ReplySlot*> slots_of(const py::object& flags) {
    const auto slot = [](py::handle item) {
        if (!py::isinstance<orvak::ReplySlot>(item)) {
            orvakpy::raise_argument_type("_wait_for_reply()", "flags",
                                         "a reply slot or a tuple of reply slots", item);
        }
        return item.cast<orvak::ReplySlot*>();
    };
    std::vector<orvak::ReplySlot*> slots;
    if (py::isinstance<py::tuple>(flags)) {
        for (const auto item : flags) slots.push_back(slot(item));
    } else {
        slots.push_back(slot(flags));
    }
    return slots;
}

// A per-channel reading of one value.
template <class Read>
auto channel_call(Read read, const char* where) {
    return [read, where](FlowController& self, const orvakpy::Integer& channel) {
        const auto number = channel_of(self, channel, where);
        const std::string_view call(where);  // "serial_number()"
        return orvakpy::exclusive(self, call.substr(0, call.find('(')),
                                  [&] { return (self.*read)(number); });
    };
}

// The docstring of an operation, from the driver's description.
std::string doc(std::string_view operation) {
    return orvakpy::doc_of(FlowController().describe(), operation);
}

void bind_queries(FlowClass& cls) {
    cls.def("device_name", orvakpy::operation("device_name", &FlowController::device_name),
            doc("device_name").c_str())
        .def("board_info", orvakpy::operation("board_info", &FlowController::board_info),
             doc("board_info").c_str())
        .def("firmware_code", orvakpy::operation("firmware_code", &FlowController::firmware_code),
             doc("firmware_code").c_str())
        .def("status", orvakpy::operation("status", &FlowController::status), doc("status").c_str())
        .def("status_code", orvakpy::operation("status_code", &FlowController::status_code),
             doc("status_code").c_str())
        .def("is_ok", orvakpy::operation("is_ok", &FlowController::is_ok), doc("is_ok").c_str())
        .def("serial_number", channel_call(&FlowController::serial_number, "serial_number()"),
             "channel"_a = 1, doc("serial_number").c_str())
        .def(
            "read_channel",
            [](FlowController& self, const orvakpy::Integer& channel, const orvakpy::Flag&) {
                const auto number = channel_of(self, channel, "read_channel()");
                return reading_to_python(orvakpy::exclusive(
                    self, "read_channel", [&] { return self.read_channel(number); }));
            },
            "channel"_a = 1, "wait"_a = true, doc("read_channel").c_str())
        .def("read_flow", channel_call(&FlowController::read_flow, "read_flow()"), "channel"_a = 1,
             doc("read_flow").c_str())
        .def("read_setpoint", channel_call(&FlowController::read_setpoint, "read_setpoint()"),
             "channel"_a = 1, doc("read_setpoint").c_str())
        .def("read_temperature",
             channel_call(&FlowController::read_temperature, "read_temperature()"), "channel"_a = 1,
             doc("read_temperature").c_str());
}

void bind_setpoints(FlowClass& cls) {
    cls.def(
           "full_scale",
           [](FlowController& self, const orvakpy::Integer& channel) {
               return self.full_scale(channel_of(self, channel, "full_scale()"));
           },
           "channel"_a = 1, doc("full_scale").c_str())
        .def(
            "set_full_scale",
            [](FlowController& self, const orvakpy::Integer& channel, const orvakpy::Real& value) {
                const auto number = channel_of(self, channel, "set_full_scale()");
                self.set_full_scale(number,
                                    orvakpy::real_argument(value, "set_full_scale()", "value"));
            },
            "channel"_a, "value"_a, doc("set_full_scale").c_str())
        .def(
            "last_setpoint",
            [](FlowController& self, const orvakpy::Integer& channel) {
                return self.last_setpoint(channel_of(self, channel, "last_setpoint()"));
            },
            "channel"_a = 1, doc("last_setpoint").c_str())
        .def(
            "set_setpoint",
            [](FlowController& self, const orvakpy::Integer& channel, const orvakpy::Real& value,
               const orvakpy::Flag& wait, const orvakpy::OptionalReal& tolerance,
               const orvakpy::OptionalReal& timeout) {
                constexpr std::string_view where = "set_setpoint()";
                const auto number = channel_of(self, channel, where);
                const double target = orvakpy::real_argument(value, where, "value");
                const bool waiting = orvakpy::truth(wait);
                const auto band = orvakpy::optional_real_argument(tolerance, where, "tolerance");
                const auto limit = orvakpy::optional_real_argument(timeout, where, "timeout");
                orvakpy::exclusive(self, "set_setpoint", [&] {
                    self.set_setpoint(number, target, waiting, band, limit);
                });
            },
            "channel"_a, "value"_a, "wait"_a = false, "tolerance"_a = py::none(),
            "timeout"_a = py::none(), doc("set_setpoint").c_str())
        .def("zero_all", orvakpy::operation("zero_all", &FlowController::zero_all),
             doc("zero_all").c_str())
        .def("estimate_run_time", &FlowController::estimate_run_time,
             doc("estimate_run_time").c_str());
    orvakpy::bind_controls<FlowController>(cls, FlowController().describe());
}

void bind_internals(FlowClass& cls) {
    cls.def(
           "_check_channel",
           [](FlowController& self, const orvakpy::Integer& channel) {
               return self.check_channel(channel_of(self, channel, "_check_channel()"));
           },
           "channel"_a)
        .def(
            "_wait_for_reply",
            [](FlowController& self,
               const orvakpy::Typed<"orvaklab.seriallink.ReplySlot | "
                                    "tuple[orvaklab.seriallink.ReplySlot, ...]">& flags,
               const std::string& what, const orvakpy::OptionalReal& timeout) {
                const auto slots = slots_of(flags);
                const auto limit =
                    orvakpy::optional_real_argument(timeout, "_wait_for_reply()", "timeout");
                return orvakpy::to_pystr(orvakpy::exclusive(self, "_wait_for_reply", [&] {
                    return self.wait_for_reply(slots, what, limit);
                }));
            },
            "flags"_a, "what"_a = "query", "timeout"_a = py::none())
        .def(
            "_query",
            [](FlowController& self, const std::string& gcode, const std::string& what) {
                return orvakpy::to_pystr(
                    orvakpy::exclusive(self, "_query", [&] { return self.query(gcode, what); }));
            },
            "gcode"_a, "what"_a)
        .def(
            "_send_setpoint",
            [](FlowController& self, const orvakpy::Integer& channel, const orvakpy::Real& value) {
                const auto number = channel_of(self, channel, "_send_setpoint()");
                const double target = orvakpy::real_argument(value, "_send_setpoint()", "value");
                orvakpy::exclusive(self, "_send_setpoint",
                                   [&] { self.send_setpoint(number, target); });
            },
            "channel"_a, "value"_a)
        .def(
            "_wait_until_settled",
            [](FlowController& self, const orvakpy::Integer& channel, const orvakpy::Real& target,
               const orvakpy::OptionalReal& tolerance, const orvakpy::OptionalReal& timeout) {
                constexpr std::string_view where = "_wait_until_settled()";
                const auto number = channel_of(self, channel, where);
                const double value = orvakpy::real_argument(target, where, "target");
                const auto band = orvakpy::optional_real_argument(tolerance, where, "tolerance");
                const auto limit = orvakpy::optional_real_argument(timeout, where, "timeout");
                orvakpy::exclusive(self, "_wait_until_settled",
                                   [&] { self.wait_until_settled(number, value, band, limit); });
            },
            "channel"_a, "target"_a, "tolerance"_a = py::none(), "timeout"_a = py::none());
}

}  // namespace

PYBIND11_MODULE(ventrix, m) {
    m.doc() = "Driver of the Orvak two-channel mass flow controller.";
    py::module_::import("orvaklab.unitbase");
    orvakpy::register_error_translator();

    FlowClass cls(m, FlowController::kind.class_name.data(),
                  orvakpy::kind_class_doc(FlowController::kind,
                                          "the two-channel board: setpoints, readings and "
                                          "settling per channel, each with its own full scale.")
                      .c_str(),
                  py::dynamic_attr(), orvakpy::collectable_instance_dict());
    orvakpy::numbered_constructor(cls, [](const py::object& self, const py::object& parent) {
        orvakpy::set_group_and_axes(self, parent);
        // Read through the instance, so a subclass's defaults apply; a
        // copy, so changing one driver's full scale changes no other.
        // (py::dict of a dict would share it.)
        py::dict full_scale;
        full_scale.attr("update")(self.attr("FULL_SCALE"));
        self.attr("_full_scale") = full_scale;
        py::dict setpoints;
        const auto channels =
            orvakpy::integer_argument(self.attr("NUM_CHANNELS"), "OrvakVentrix()", "NUM_CHANNELS");
        for (long long channel = 1; channels && channel <= *channels; ++channel) {
            setpoints[py::int_(channel)] = 0.0;
        }
        self.attr("_last_setpoint") = setpoints;
    });
    orvakpy::declare_attribute(cls, "_full_scale", "dict[int, float]", "");
    orvakpy::declare_attribute(cls, "_last_setpoint", "dict[int, float]", "");

    // Class constants: plain class attributes, so a subclass or an instance
    // can override them and the core reads the value in force.
    orvakpy::constant(cls, "NUM_CHANNELS", FlowController::default_num_channels,
                      "Channels, numbered from 1.");
    py::dict full_scale;
    for (const auto& [channel, value] : FlowController::default_full_scale()) {
        full_scale[py::int_(channel)] = value;
    }
    orvakpy::constant(cls, "FULL_SCALE", full_scale,
                      "Default full scale per channel in UNITS; each driver starts from a copy.",
                      "dict[int, float]");
    orvakpy::constant(cls, "UNITS_CODE", FlowController::default_units_code,
                      "Units code of both channels' readings.");
    orvakpy::constant(cls, "UNITS", FlowController::default_units,
                      "Unit of flows, setpoints and full scales (standard litres per minute).");
    orvakpy::constant(cls, "REPLY_TIMEOUT", FlowController::default_reply_timeout,
                      "Seconds a query waits for its reply by default.");
    orvakpy::constant(cls, "SETTLE_TOLERANCE", FlowController::default_settle_tolerance,
                      "Default settling band, as a fraction of the channel's full scale.");
    orvakpy::constant(cls, "SETTLE_TIMEOUT", FlowController::default_settle_timeout,
                      "Seconds a waited setpoint allows for settling by default.");
    orvakpy::constant(cls, "SETTLE_POLL", FlowController::default_settle_poll,
                      "Longest sleep in seconds between settling reads.");

    orvakpy::bind_identity_and_estimate<FlowController>(cls);
    bind_queries(cls);
    bind_setpoints(cls);
    bind_internals(cls);

    m.attr("OrvakMFC") = cls;
}
