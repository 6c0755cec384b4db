// The C++ transport for Python's asyncio: requests run on one I/O thread of the process's own
// and settle the caller's futures through the loop's thread-safe call, so a hundred requests in
// flight cost no thread each; cancelling one cancels its request.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <memory>

namespace tavrin::python {

namespace py = pybind11;

/// A Python object that may be copied and dropped without the GIL (on the I/O thread): the last
/// owner takes the GIL to release it.
using SharedObject = std::shared_ptr<py::object>;
SharedObject share(py::object object);

/// Calls settle(result, None) or settle(None, exception) under the GIL, `result` made by
/// `make_result` (called under the GIL too). A loop that closed meanwhile is left alone.
void settle_with(const SharedObject& settle, const std::exception_ptr& failure,
                 const std::function<py::object()>& make_result);

void bind_transport(py::module_& module);

}  // namespace tavrin::python
