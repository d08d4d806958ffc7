// Which driver each identifier a user declares gets: type codes select rows
// of the module kinds (kinds.hpp), names select them through the name rules,
// and the reserved codes explain why they never name a kind.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "orvak/export.hpp"
#include "orvak/kinds.hpp"

namespace orvak::registry {

// One buildable driver: where its class lives and the extra constructor
// argument (the piston pump's volume) its model passes.
using DriverRow = kinds::Kind;

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
