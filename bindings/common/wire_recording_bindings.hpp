// RecordingPort and ReplayPort for Python (part of orvaklab.seriallink).
#pragma once

#include <pybind11/pybind11.h>

namespace orvakpy {

void bind_wire_recording(pybind11::module_& m);

}  // namespace orvakpy
