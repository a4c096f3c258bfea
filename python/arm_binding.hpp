#pragma once

#include <pybind11/pybind11.h>

namespace qel::python {

// Adds InterfacesPy (the controller), State, JointStatus, ThreadSettings and
// RealtimeOptions to the module.
void bindController(pybind11::module_& m);

}  // namespace qel::python
