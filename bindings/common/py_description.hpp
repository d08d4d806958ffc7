// Driver descriptions handed to Python as plain data (dicts and lists that
// JSON carries), and the docstrings the bindings take from them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "orvak/description.hpp"

namespace orvakpy {

namespace py = pybind11;

// {"operations": [...], "readings": [...]}, shaped as orvaklab.shapes.Description.
py::dict description_to_python(const orvak::Description& description);

// The docstring of a described operation; an operation bound without a
// description is a build mistake, reported when the module is imported.
std::string doc_of(const orvak::Description& description, std::string_view operation);

}  // namespace orvakpy
