// tavrin._native: the C++ library for the package's Python modules. Not imported by hosts
// directly: tavrin.brollin, tavrin.palisk, ... and quellin give it the host's conventions.
#include <pybind11/pybind11.h>

#include "python/native/errors.hpp"
#include "python/native/labeling.hpp"
#include "python/native/operations.hpp"
#include "python/native/transport.hpp"
#include "python/native/vectorstore.hpp"

PYBIND11_MODULE(_native, module) {
  namespace python = tavrin::python;
  module.doc() = "The C++ library behind the tavrin package.";
  python::bind_errors(module);
  python::bind_vectorstore(module);
  python::bind_operations(module);
  python::bind_transport(module);
  python::bind_labeling(module);
}
