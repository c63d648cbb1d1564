#pragma once

#include <pybind11/pybind11.h>

namespace fp::python {

// frameprobe.GrabInfo, how one image arrived, and frameprobe.Counters, what the driver counted;
// both read-only.
void BindGrabInfo(pybind11::module_& module);

}  // namespace fp::python
