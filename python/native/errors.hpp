// C++ failures as Python exceptions of the matching kind: tavrin's TypeError, ValueError,
// KeyError, IndexError and SyntaxError as Python's own; the transport's HttpError (with its
// status), TransportError (a ConnectionError) and TimeoutError; a file system failure as
// OSError; a stopped job as JobStopped or KeyboardInterrupt.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace tavrin::python {

namespace py = pybind11;

/// Adds the exception types to `module` and registers their translation.
void bind_errors(py::module_& module);

/// The Python exception object that `failure` is raised as: for an awaitable's future.
py::object exception_object(std::exception_ptr failure);

}  // namespace tavrin::python
