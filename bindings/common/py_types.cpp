#include "common/py_types.hpp"

#include "common/python_runtime.hpp"

namespace orvakpy {

namespace {

// The scope's own mapping `name`, created on first use: a subclass records
// its constants beside, not into, those of its base.
py::object own_mapping(py::handle scope, const char* name) {
    const py::object own = scope.attr("__dict__");
    if (own.contains(name)) return own[name];
    py::dict mapping;
    py::setattr(scope, name, mapping);
    return mapping;
}

}  // namespace

void declare_attribute(py::handle cls, std::string_view name, std::string_view type,
                       std::string_view doc) {
    const py::str key = to_pystr(name);
    own_mapping(cls, "__constant_docs__")[key] = to_pystr(doc);
    own_mapping(cls, "__constant_types__")[key] = to_pystr(type);
}

void record_constant(py::handle scope, std::string_view name, const py::object& value,
                     std::string_view doc, std::string_view type) {
    const py::str key = to_pystr(name);
    py::setattr(scope, key, value);
    own_mapping(scope, "__constant_docs__")[key] = to_pystr(doc);
    if (!type.empty()) own_mapping(scope, "__constant_types__")[key] = to_pystr(type);
}

}  // namespace orvakpy
