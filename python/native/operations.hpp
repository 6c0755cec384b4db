// The specified operations' C++ work for the package's Python modules, which bind and test
// the arguments the host's way first: a table crosses as its column names and cells.
#pragma once

#include <pybind11/pybind11.h>

namespace tavrin::python {

namespace py = pybind11;

void bind_operations(py::module_& module);

}  // namespace tavrin::python
