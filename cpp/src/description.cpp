#include "orvak/description.hpp"

#include <algorithm>
#include <cmath>

#include "orvak/pytext.hpp"

namespace orvak {

std::string_view kind_name(OperationKind kind) {
    switch (kind) {
        case OperationKind::motion:
            return "motion";
        case OperationKind::query:
            return "query";
        case OperationKind::setting:
            return "setting";
        case OperationKind::action:
            break;
    }
    return "action";
}

const OperationInfo* Description::find(std::string_view name) const {
    const auto found = std::find_if(operations.begin(), operations.end(),
                                    [&](const OperationInfo& op) { return op.name == name; });
    return found == operations.end() ? nullptr : &*found;
}

void Description::declare(OperationInfo operation) {
    const auto found =
        std::find_if(operations.begin(), operations.end(),
                     [&](const OperationInfo& op) { return op.name == operation.name; });
    if (found == operations.end()) {
        operations.push_back(std::move(operation));
    } else {
        *found = std::move(operation);
    }
}

void Description::declare_controls(std::string stop, std::string resume, std::string reset) {
    for (auto [name, doc] : {std::pair{"stop", &stop}, {"resume", &resume}, {"reset", &reset}}) {
        declare({.name = name, .kind = OperationKind::action, .doc = std::move(*doc)});
    }
}

void Description::declare_homing(std::string home, std::string estimate) {
    declare({.name = "home",
             .kind = OperationKind::motion,
             .parameters = {wait_parameter(true)},
             .result = {.type = "bool"},
             .doc = std::move(home)});
    declare({.name = "estimate_home_time",
             .kind = OperationKind::query,
             .parameters = {wait_parameter(true)},
             .result = {.type = "float", .unit = units::second},
             .doc = std::move(estimate)});
}

ParameterInfo wait_parameter(bool by_default) {
    return {.name = "wait", .type = "bool", .default_value = DescribedValue(by_default)};
}

ParameterInfo timeout_parameter(double by_default) {
    return {.name = "timeout",
            .type = "float",
            .unit = units::second,
            .minimum = 0.0,
            .default_value = DescribedValue(by_default)};
}

namespace {

// A value as Python would write it.
std::string shown(const DescribedValue& value) {
    struct Show {
        std::string operator()(std::monostate) const { return "None"; }
        std::string operator()(bool flag) const { return flag ? "True" : "False"; }
        std::string operator()(long long whole) const { return text::integer(whole); }
        std::string operator()(double real) const { return text::number(real); }
        std::string operator()(const std::string& words) const { return text::repr(words); }
    };
    return std::visit(Show{}, value);
}

// A limit as the documentation shows it: whole numbers without a decimal point.
std::string limit(double value) {
    if (std::trunc(value) == value && std::fabs(value) < 1e15) {
        return text::integer(static_cast<long long>(value));
    }
    return text::number(value);
}

std::string with_unit(std::string value, std::string_view unit) {
    if (!unit.empty()) value += " " + std::string(unit);
    return value;
}

std::string parameter_line(const ParameterInfo& parameter) {
    std::string line = "    " + parameter.name + " (" + parameter.type;
    if (!parameter.unit.empty()) line += ", " + parameter.unit;
    line += ")";
    std::optional<std::string> maximum;
    if (!parameter.maximum_from.empty()) {
        maximum = parameter.maximum_from;
    } else if (parameter.maximum) {
        maximum = limit(*parameter.maximum);
    }
    if (parameter.minimum && maximum) {
        line += ": " + limit(*parameter.minimum) + " to " + with_unit(*maximum, parameter.unit);
    } else if (parameter.minimum) {
        line += ": at least " + with_unit(limit(*parameter.minimum), parameter.unit);
    } else if (maximum) {
        line += ": at most " + with_unit(*maximum, parameter.unit);
    }
    if (!parameter.choices.empty()) {
        line += parameter.minimum || maximum ? "; one of " : ": one of ";
        for (std::size_t i = 0; i < parameter.choices.size(); ++i) {
            line += (i == 0 ? "" : ", ") + shown(parameter.choices[i]);
        }
    }
    return line;
}

}  // namespace

std::string docstring(const OperationInfo& operation) {
    std::string doc = operation.doc;
    if (!operation.parameters.empty()) {
        doc += "\n\nParameters:";
        for (const auto& parameter : operation.parameters) doc += "\n" + parameter_line(parameter);
    }
    if (!operation.result.unit.empty()) {
        doc += "\n\nReturns " + operation.result.type + " in " +
               std::string(operation.result.unit) + ".";
    }
    return doc;
}

}  // namespace orvak
