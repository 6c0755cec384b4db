#include "python/native/errors.hpp"

#include <filesystem>
#include <string>

#include "quellin/quellin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/label_run.hpp"

namespace tavrin::python {
namespace {

struct ErrorTypes {
  py::object http_error;
  py::object transport_error;
  py::object timeout_error;
  py::object job_stopped;
};

// Created once, at the module's import, and kept for the life of the interpreter.
ErrorTypes& error_types() {
  static auto* types = new ErrorTypes();
  return *types;
}

py::object new_type(py::module_& module, const char* name, py::handle bases, const char* doc) {
  const std::string qualified = std::string("tavrin._native.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
  if (type == nullptr) throw py::error_already_set();
  py::object object = py::reinterpret_steal<py::object>(type);
  module.attr(name) = object;
  return object;
}

py::object builtin(PyObject* type, const char* message) {
  return py::reinterpret_borrow<py::object>(type)(message);
}

py::object http_error(const quellin::HttpError& e) {
  py::object error = error_types().http_error(e.what());
  error.attr("status") = e.status();
  error.attr("reason") = e.reason();
  error.attr("body") = py::bytes(e.body()).attr("decode")("utf-8", "replace");
  return error;
}

}  // namespace

py::object exception_object(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (const labeling::LabelRunEnded& e) {
    return exception_object(e.cause());  // what ended the job, as it was raised
  } catch (const quellin::HttpError& e) {
    return http_error(e);
  } catch (const quellin::TimeoutError& e) {
    return error_types().timeout_error(e.what());
  } catch (const quellin::TransportError& e) {
    return error_types().transport_error(e.what());
  } catch (const TypeError& e) {
    return builtin(PyExc_TypeError, e.what());
  } catch (const ValueError& e) {
    return builtin(PyExc_ValueError, e.what());
  } catch (const SyntaxError& e) {
    return builtin(PyExc_SyntaxError, e.what());
  } catch (const KeyError& e) {
    return builtin(PyExc_KeyError, e.what());
  } catch (const IndexError& e) {
    return builtin(PyExc_IndexError, e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    return builtin(PyExc_OSError, e.what());
  } catch (const labeling::JobStopped& e) {
    return error_types().job_stopped(e.what());
  } catch (const labeling::Interrupted& e) {
    return builtin(PyExc_KeyboardInterrupt, e.what());
  } catch (const std::bad_alloc&) {
    return builtin(PyExc_MemoryError, "out of memory");
  } catch (const std::exception& e) {
    return builtin(PyExc_RuntimeError, e.what());
  }
}

void bind_errors(py::module_& module) {
  ErrorTypes& types = error_types();
  types.http_error = new_type(module, "HttpError", PyExc_Exception,
                              "The endpoint answered with a status outside 2xx: .status, .reason "
                              "and .body (its first KiB; header values read ***).");
  types.transport_error =
      new_type(module, "TransportError", PyExc_ConnectionError,
               "The exchange failed on the way: name resolution, connection, TLS, a broken or "
               "too long reply.");
  types.timeout_error = new_type(
      module, "TimeoutError", py::make_tuple(types.transport_error, py::handle(PyExc_TimeoutError)),
      "A time limit of the exchange ran out.");
  types.job_stopped = new_type(module, "JobStopped", PyExc_RuntimeError,
                               "The labelling job stopped: too many records in a row failed the "
                               "same way. The records not asked are left for a run again.");
  py::register_exception_translator([](std::exception_ptr failure) {
    if (!failure) return;
    try {
      std::rethrow_exception(failure);
    } catch (const py::error_already_set&) {
      throw;  // pybind11's own translation restores it
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const std::exception&) {
      const py::object error = exception_object(failure);
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    }
  });
}

}  // namespace tavrin::python
