// Which driver class each module kind gets: the type-code table and the name
// rules. Each driver module makes itself known by adding its rows to the
// table in registry.cpp; the name rules only ever select registered classes,
// so a chain naming a driver that is not built yet fails as an unknown name.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "orvak/export.hpp"

namespace orvak::registry {

// One buildable driver: where its class lives and the extra constructor
// argument (the piston pump's volume) that its row passes.
struct DriverRow {
    int type_code;
    std::string_view module;      // extension module under orvaklab.instruments
    std::string_view class_name;  // class in that module
    std::optional<double> pump_volume;
    std::string_view label;  // the group's documentation label, or empty
};

ORVAK_EXPORT std::span<const DriverRow> rows();

// An identifier as the user declared it: an integer type code, or any other
// value already turned into its text form.
using Identifier = std::variant<long long, std::string>;

// The row an identifier selects. Throws ValueError with the reserved-code,
// unknown-code or unrecognised-name message.
ORVAK_EXPORT const DriverRow& resolve(const Identifier& identifier);
ORVAK_EXPORT const DriverRow& resolve_code(long long code);
ORVAK_EXPORT const DriverRow& resolve_name(std::string_view name);

// The reserved codes that never name a module kind, with their explanations.
struct ReservedCode {
    long long code;
    std::string_view message;
};
ORVAK_EXPORT std::span<const ReservedCode> reserved_codes();

}  // namespace orvak::registry
