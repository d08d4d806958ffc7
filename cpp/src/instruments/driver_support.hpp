// Small pieces every driver's command building shares: axis
// letters read from resolved constants, and constants shown in messages as
// Python prints them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "orvak/errors.hpp"
#include "orvak/instrument.hpp"
#include "orvak/pytext.hpp"

namespace orvak::drivers {

// An axis letter from a resolved `primary_axis`-like constant; `fallback`
// when it is absent.
inline std::string axis_constant(const ConstantValue& value, std::string_view what,
                                 std::string_view fallback = "X") {
    if (std::holds_alternative<std::monostate>(value)) return std::string(fallback);
    if (auto axis = constant_as_text(value)) return std::move(*axis);
    throw ArgumentTypeError(std::string(what) + " must be text");
}

// A driver's own axis attribute as a constant request value (absent when unset).
inline ConstantValue axis_request(const std::optional<std::string>& axis) {
    return axis ? ConstantValue(*axis) : ConstantValue();
}

// str() of a numeric constant: "45.0" for a float, "45" for an int.
inline std::string constant_text(const ConstantValue& value) {
    if (const auto* i = std::get_if<long long>(&value)) return text::integer(*i);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
    return text::number(constant_as_double(value, 0.0));
}

// The home-required code and noun a driver answers when there is no host.
inline void answer_home_required(std::span<ConstantRequest> requests, std::string_view code,
                                 std::string_view noun) {
    for (auto& request : requests) {
        if (request.name == "_HOME_REQUIRED_CODE") {
            request.value = std::string(code);
        } else if (request.name == "_HOME_REQUIRED_NOUN") {
            request.value = std::string(noun);
        }
    }
}

}  // namespace orvak::drivers
