// The labelling job and what follows it, for tavrin.labeling: the job over a table or a CSV
// file (blocking, or settling an asyncio future), results files read back, their tally,
// calibration, review, export and the HTML report.
#pragma once

#include <pybind11/pybind11.h>

namespace tavrin::python {

namespace py = pybind11;

void bind_labeling(py::module_& module);

}  // namespace tavrin::python
