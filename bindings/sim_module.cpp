// orvaklab.sim: the bench emulator.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(sim, m) { m.doc() = "Bench emulator: a simulated chain of modules."; }
