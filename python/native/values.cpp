#include "python/native/values.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "tavrin/core/errors.hpp"

namespace tavrin::python {
namespace {

// As deep as a Value's own text forms go; deeper would risk the stack.
constexpr int kMaxDepth = 1000;

std::string type_name(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

std::string utf8_of(py::handle text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
    return {data, static_cast<std::size_t>(size)};
  }
  // A lone surrogate U+DC80..U+DCFF is the byte it escapes (as repr shows such a byte); any
  // other surrogate is the codec's UnicodeEncodeError.
  PyErr_Clear();
  const py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape"));
  if (!bytes) throw py::error_already_set();
  return std::string(py::reinterpret_borrow<py::bytes>(bytes));
}

Value integer_value(py::handle object, const std::string& what) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    return Value(static_cast<std::int64_t>(value));
  }
  if (overflow > 0) {
    const unsigned long long big = PyLong_AsUnsignedLongLong(object.ptr());
    if (!PyErr_Occurred()) return Value(static_cast<std::uint64_t>(big));
    PyErr_Clear();
  }
  throw ValueError(what + ": the integer " + std::string(py::str(object)).substr(0, 40) +
                   " does not fit in 64 bits");
}

Value convert(py::handle object, const std::string& what, bool as_cell, int depth);

Value array_of(py::handle sequence, const std::string& what, bool as_cell, int depth) {
  const py::sequence items = py::reinterpret_borrow<py::sequence>(sequence);
  Value array = Value::array();
  array.get_ref<Value::array_t&>().reserve(items.size());
  for (const py::handle item : items) array.push_back(convert(item, what, as_cell, depth + 1));
  return array;
}

Value object_of(py::handle mapping, const std::string& what, bool as_cell, int depth) {
  Value object = Value::object();
  for (const auto& [key, item] : py::reinterpret_borrow<py::dict>(mapping)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw TypeError(what + ": a mapping key must be text, not " + type_name(key));
    }
    object[utf8_of(key)] = convert(item, what, as_cell, depth + 1);
  }
  return object;
}

Value convert(py::handle object, const std::string& what, bool as_cell, int depth) {
  if (depth > kMaxDepth) throw ValueError(what + ": nested deeper than 1000 levels");
  PyObject* o = object.ptr();
  if (o == Py_None) return Value(nullptr);
  if (PyUnicode_Check(o)) return Value(utf8_of(object));
  if (PyBool_Check(o)) return Value(o == Py_True);
  if (PyLong_Check(o)) return integer_value(object, what);
  if (PyFloat_Check(o)) return Value(PyFloat_AS_DOUBLE(o));
  if (PyList_Check(o) || PyTuple_Check(o)) return array_of(object, what, as_cell, depth);
  if (PyDict_Check(o)) return object_of(object, what, as_cell, depth);
  if (PyBytes_Check(o)) {
    const std::string_view bytes(PyBytes_AS_STRING(o),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return Value::binary(Value::binary_t::container_type(bytes.begin(), bytes.end()));
  }
  // numpy scalars and arrays: their plain Python form.
  if (py::hasattr(object, "tolist") && !PyType_Check(o)) {
    return convert(object.attr("tolist")(), what, as_cell, depth + 1);
  }
  if (as_cell) return Value(utf8_of(py::str(object)));
  throw TypeError(what + ": a " + type_name(object) +
                  " cannot cross to tavrin (None, bool, int, float, str, bytes, list, tuple or "
                  "dict can)");
}

}  // namespace

Value to_value(py::handle object, const std::string& what) {
  return convert(object, what, false, 0);
}

Value cell_value(py::handle object) { return convert(object, "a table cell", true, 0); }

py::object to_python(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return py::none();
    case Value::value_t::boolean:
      return py::bool_(value.get<bool>());
    case Value::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case Value::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case Value::value_t::number_float:
      return py::float_(value.get<double>());
    case Value::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                               "surrogateescape");
      if (decoded == nullptr) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(decoded);
    }
    case Value::value_t::array: {
      py::list list(value.size());
      std::size_t i = 0;
      for (const Value& item : value) list[i++] = to_python(item);
      return list;
    }
    case Value::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[to_python(Value(key))] = to_python(item);
      return dict;
    }
    case Value::value_t::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
  }
  return py::none();
}

frame::DataFrame frame_from_columns(const py::list& names, const py::list& columns) {
  if (names.size() != columns.size()) {
    throw ValueError("a table needs one list of cells per column name");
  }
  Value table = Value::object();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string name = utf8_of(py::str(names[i]));
    if (table.contains(name)) throw ValueError("the table has two columns named " + name);
    const py::list cells = columns[i];
    Value column = Value::array();
    column.get_ref<Value::array_t&>().reserve(cells.size());
    for (const py::handle cell : cells) column.push_back(cell_value(cell));
    table[name] = std::move(column);
  }
  return frame::DataFrame(std::move(table));
}

}  // namespace tavrin::python
