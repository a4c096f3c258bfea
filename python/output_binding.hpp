#pragma once

#include <pybind11/pybind11.h>

namespace qel::python {

// Adds OutputLevel, set_output_level, get_output_level, set_repeat_interval,
// use_python_logging and flush_output to the module.
void bindOutput(pybind11::module_& m);

}  // namespace qel::python
