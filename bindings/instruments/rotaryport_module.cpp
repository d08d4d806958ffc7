// orvaklab.instruments.rotaryport: the rotary selector valves.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(rotaryport, m) { m.doc() = "Rotary selector valves."; }
