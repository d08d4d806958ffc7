#include "common/py_description.hpp"

#include <stdexcept>

#include "common/python_runtime.hpp"

namespace orvakpy {

namespace {

py::object value_to_python(const orvak::DescribedValue& value) {
    struct Convert {
        py::object operator()(std::monostate) const { return py::none(); }
        py::object operator()(bool flag) const { return py::bool_(flag); }
        py::object operator()(long long whole) const { return py::int_(whole); }
        py::object operator()(double real) const { return py::float_(real); }
        py::object operator()(const std::string& text) const { return to_pystr(text); }
    };
    return std::visit(Convert{}, value);
}

py::object optional_number(const std::optional<double>& value) {
    return value ? py::object(py::float_(*value)) : py::object(py::none());
}

py::dict parameter_to_python(const orvak::ParameterInfo& parameter) {
    py::list choices;
    for (const auto& choice : parameter.choices) choices.append(value_to_python(choice));
    py::dict out;
    out["name"] = to_pystr(parameter.name);
    out["type"] = to_pystr(parameter.type);
    out["unit"] = to_pystr(parameter.unit);
    out["minimum"] = optional_number(parameter.minimum);
    out["maximum"] = optional_number(parameter.maximum);
    out["choices"] = choices;
    out["required"] = py::bool_(!parameter.default_value);
    out["default"] = parameter.default_value ? value_to_python(*parameter.default_value)
                                             : py::object(py::none());
    return out;
}

py::dict result_to_python(const orvak::ResultInfo& result) {
    py::list fields;
    for (const auto& field : result.fields) {
        py::dict entry;
        entry["name"] = to_pystr(field.name);
        entry["type"] = to_pystr(field.type);
        entry["unit"] = to_pystr(field.unit);
        fields.append(entry);
    }
    py::dict out;
    out["type"] = to_pystr(result.type);
    out["unit"] = to_pystr(result.unit);
    out["fields"] = fields;
    return out;
}

py::dict operation_to_python(const orvak::OperationInfo& operation) {
    py::list parameters;
    for (const auto& parameter : operation.parameters) {
        parameters.append(parameter_to_python(parameter));
    }
    py::dict out;
    out["name"] = to_pystr(operation.name);
    out["kind"] = to_pystr(orvak::kind_name(operation.kind));
    out["parameters"] = parameters;
    out["result"] = result_to_python(operation.result);
    out["doc"] = to_pystr(operation.doc);
    return out;
}

py::dict reading_to_python(const orvak::ReadingInfo& reading) {
    py::dict arguments;
    for (const auto& [name, value] : reading.arguments) {
        arguments[to_pystr(name)] = value_to_python(value);
    }
    py::dict out;
    out["name"] = to_pystr(reading.name);
    out["unit"] = to_pystr(reading.unit);
    out["type"] = to_pystr(reading.type);
    out["operation"] = to_pystr(reading.operation);
    out["arguments"] = arguments;
    out["field"] = reading.field.empty() ? py::object(py::none()) : to_pystr(reading.field);
    return out;
}

}  // namespace

py::dict description_to_python(const orvak::Description& description) {
    py::list operations;
    for (const auto& operation : description.operations) {
        operations.append(operation_to_python(operation));
    }
    py::list readings;
    for (const auto& reading : description.readings) readings.append(reading_to_python(reading));
    py::dict out;
    out["operations"] = operations;
    out["readings"] = readings;
    return out;
}

std::string doc_of(const orvak::Description& description, std::string_view operation) {
    const auto* found = description.find(operation);
    if (found == nullptr) {
        throw std::logic_error("operation " + std::string(operation) +
                               " is bound but not described");
    }
    return orvak::docstring(*found);
}

}  // namespace orvakpy
