// The parts of the _qelcomm module, each defined in its own file.
#pragma once

#include <pybind11/pybind11.h>

namespace qelcomm::python {

void BindControl(pybind11::module_& m);
void BindParameterSets(pybind11::module_& m);

}  // namespace qelcomm::python
