// Progress of long operations handed to Python: the observer that the
// instrument trampoline finds in `orvaklab.unitbase._progress_observer` (set
// by orvaklab.progress while someone watches) is called with keyword
// arguments from the waiting thread.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "orvak/progress.hpp"

namespace orvakpy {

namespace py = pybind11;

// The Python observer in force, or null; the caller holds the GIL.
std::shared_ptr<orvak::ProgressObserver> python_progress_observer();

}  // namespace orvakpy
