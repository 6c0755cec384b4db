// Values across the language boundary: a tavrin::Value is a Python object and back, keeping a
// mapping's key order, and a table crosses column by column.
//
//   Value v = to_value(py::dict(...));   // {"a": [1, 2.5, None]} -> {"a":[1,2.5,null]}
//   py::object o = to_python(v);         // and back, a dict in the same key order
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "tavrin/core/value.hpp"
#include "tavrin/frame/dataframe.hpp"

namespace tavrin::python {

namespace py = pybind11;

/// `object` as a Value: None, bool, int (within 64 bits, signed or not), float, str, bytes,
/// list or tuple, dict with text keys, and what offers `tolist` (numpy arrays and scalars).
/// TypeError naming `what` and the object's type for anything else; ValueError for an int
/// beyond 64 bits. Text crosses as UTF-8, a lone surrogate as the byte it escapes.
Value to_value(py::handle object, const std::string& what);

/// A table cell: as to_value, but a value of another kind (a Timestamp, a Decimal) crosses as
/// its str() text, the form a row's text gives it.
Value cell_value(py::handle object);

/// `value` as a Python object: None, bool, int, float, str, list, dict (in key order), bytes.
py::object to_python(const Value& value);

/// A table from its column names and one list of cells per column (what the package's pandas
/// side hands over). ValueError for a repeated column name or columns of different lengths.
frame::DataFrame frame_from_columns(const py::list& names, const py::list& columns);

}  // namespace tavrin::python
