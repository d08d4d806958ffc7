// The operations every driver has, as the base class offers them.
#include "orvak/description.hpp"
#include "orvak/instrument.hpp"

namespace orvak {

namespace {

OperationInfo timed_query(std::string name, ResultInfo result, std::string doc) {
    return {.name = std::move(name),
            .kind = OperationKind::query,
            .parameters = {timeout_parameter(Instrument::default_query_timeout)},
            .result = std::move(result),
            .doc = std::move(doc)};
}

OperationInfo control(std::string name, std::string doc) {
    return {.name = std::move(name), .kind = OperationKind::action, .doc = std::move(doc)};
}

}  // namespace

Description Instrument::describe() const {
    Description about;
    about.operations = {
        timed_query("identify", {.type = "int"},
                    "The module's type code, from its M116 reply; waits timeout seconds for it."),
        timed_query("get_firmware_version", {.type = "str | None"},
                    "The firmware line (M115), also kept in firmware_version; the last one "
                    "known, or None, when no answer comes within timeout seconds. Never raises."),
        timed_query("is_homed", {.type = "bool"},
                    "Whether every axis has been homed since power-up; waits timeout seconds."),
        timed_query("homed_axes", {.type = "dict[str, bool]"},
                    "Axis letter -> whether a home has succeeded on it since power-up (M304); "
                    "waits timeout seconds."),
        timed_query("is_leader", {.type = "bool"},
                    "Whether the USB port is on this module, the chain's leader (M115); False "
                    "when no answer comes within timeout seconds."),
        {.name = "has_fault",
         .kind = OperationKind::query,
         .result = {.type = "bool"},
         .doc = "Whether a hardware fault (NOTOK) is pending; does not consume it."},
        {.name = "check_fault",
         .kind = OperationKind::query,
         .doc = "Raises a pending hardware fault as OrvakHardwareError (use after an operation "
                "that did not wait)."},
        {.name = "check_position",
         .kind = OperationKind::query,
         .result = {.type = "object"},
         .doc = "Where the module is, in its own unit; this base version raises "
                "OrvakNotSupportedError."},
        control("stop", "Halts the module; this base version raises OrvakNotSupportedError."),
        control("pause", "Calls stop()."),
        control("abort", "Calls stop(), then reset()."),
        control("resume",
                "Continues after stop(); this base version raises OrvakNotSupportedError."),
        control("reset", "Resets the module; this base version raises OrvakNotSupportedError."),
    };
    return about;
}

}  // namespace orvak
