#include "python/convert.h"

#include <limits>

#include "python/py_ref.h"
#include "python/uuid_text.h"

namespace tarnwick::python {

PyObject* raise_error(const TarnwickError& error) {
  PyErr_SetString(PyExc_RuntimeError, error.message().c_str());
  return nullptr;
}

std::string type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

void raise_for(PyObject* type, std::string_view what, std::string_view text) {
  std::string message(what);
  message += ": ";
  message += text;
  PyErr_SetString(type, message.c_str());
}

namespace {

void raise_wrong_type(PyObject* value, std::string_view what, std::string_view expected) {
  raise_for(PyExc_TypeError, what, "expected " + std::string(expected) + ", got " + type_name(value));
}

// The value as an exact Python int, through __index__; TypeError naming `what` otherwise.
PyRef as_index(PyObject* value, std::string_view what) {
  if (!PyIndex_Check(value)) {
    raise_wrong_type(value, what, "int");
    return PyRef();
  }
  return PyRef(PyNumber_Index(value));
}

void raise_out_of_range(PyObject* integer, std::string_view what, std::string_view range) {
  PyRef text(PyObject_Str(integer));
  const char* digits = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!digits) return;  // the failure to render is the exception left set
  raise_for(PyExc_OverflowError, what, std::string(digits) + " is outside " + std::string(range));
}

template <class Int>
bool to_bounded_signed(PyObject* value, std::string_view what, std::string_view range, Int& out) {
  PyRef integer = as_index(value, what);
  if (!integer) return false;
  int overflow = 0;
  long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (wide == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || wide < std::numeric_limits<Int>::min() || wide > std::numeric_limits<Int>::max()) {
    raise_out_of_range(integer.get(), what, range);
    return false;
  }
  out = static_cast<Int>(wide);
  return true;
}

template <class Int>
bool to_bounded_unsigned(PyObject* value, std::string_view what, std::string_view range, Int& out) {
  PyRef integer = as_index(value, what);
  if (!integer) return false;
  unsigned long long wide = PyLong_AsUnsignedLongLong(integer.get());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    raise_out_of_range(integer.get(), what, range);
    return false;
  }
  if (wide > std::numeric_limits<Int>::max()) {
    raise_out_of_range(integer.get(), what, range);
    return false;
  }
  out = static_cast<Int>(wide);
  return true;
}

bool is_numpy_bool(PyObject* value) {
  std::string_view name = Py_TYPE(value)->tp_name;
  return name == "numpy.bool" || name == "numpy.bool_";
}

}  // namespace

bool to_string(PyObject* value, std::string_view what, std::string& out) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(value, what, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool to_optional_string(PyObject* value, std::string_view what, std::optional<std::string>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!to_string(value, what, text)) return false;
  out = std::move(text);
  return true;
}

bool to_u64(PyObject* value, std::string_view what, std::uint64_t& out) {
  return to_bounded_unsigned(value, what, "the range of an unsigned 64-bit integer", out);
}

bool to_u32(PyObject* value, std::string_view what, std::uint32_t& out) {
  return to_bounded_unsigned(value, what, "the range of an unsigned 32-bit integer", out);
}

bool to_i32(PyObject* value, std::string_view what, std::int32_t& out) {
  return to_bounded_signed(value, what, "the range of a signed 32-bit integer", out);
}

bool to_optional_u64(PyObject* value, std::string_view what, std::optional<std::uint64_t>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t number = 0;
  if (!to_u64(value, what, number)) return false;
  out = number;
  return true;
}

bool to_double(PyObject* value, std::string_view what, double& out) {
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_wrong_type(value, what, "float");
    }
    return false;
  }
  out = number;
  return true;
}

bool to_bool(PyObject* value, std::string_view what, bool& out) {
  if (!PyBool_Check(value) && !is_numpy_bool(value)) {
    raise_wrong_type(value, what, "bool");
    return false;
  }
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool to_shape(PyObject* value, std::string_view what, std::vector<std::uint64_t>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    raise_wrong_type(value, what, "a sequence of int");
    return false;
  }
  Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  std::vector<std::uint64_t> shape(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    if (!item) return false;
    if (!to_u64(item.get(), std::string(what) + "[" + std::to_string(i) + "]", shape[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  out = std::move(shape);
  return true;
}

bool to_string_list(PyObject* value, std::string_view what, std::vector<std::string>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    raise_wrong_type(value, what, "a sequence of str");
    return false;
  }
  Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  std::vector<std::string> texts(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    if (!item) return false;
    if (!to_string(item.get(), std::string(what) + "[" + std::to_string(i) + "]", texts[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  out = std::move(texts);
  return true;
}

bool to_snapshot_id(PyObject* value, std::string_view what, Uuid& out) {
  std::string text;
  if (!to_string(value, what, text)) return false;
  auto id = parse_snapshot_id(text);
  if (!id) {
    PyErr_SetString(PyExc_ValueError, id.error().c_str());
    return false;
  }
  out = *id;
  return true;
}

namespace {

// The (pattern, dtype name) pairs of a save_dtype dict, in its order.
bool dtype_rules(PyObject* dict, std::vector<std::pair<std::string, std::string>>& rules) {
  PyObject* pattern = nullptr;
  PyObject* dtype = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(dict, &position, &pattern, &dtype)) {
    if (!PyUnicode_Check(pattern)) {
      PyErr_SetString(PyExc_TypeError,
                      "save_dtype keys must be strings: they are glob patterns matched against tensor names, e.g. "
                      "'optimizer/*'");
      return false;
    }
    std::string pattern_text;
    if (!to_string(pattern, "save_dtype key", pattern_text)) return false;
    if (!PyUnicode_Check(dtype)) {
      std::string message =
          "save_dtype['" + pattern_text + "'] must be a string such as 'bf16' or 'none', not a torch.dtype";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    std::string dtype_text;
    if (!to_string(dtype, "save_dtype['" + pattern_text + "']", dtype_text)) return false;
    rules.emplace_back(std::move(pattern_text), std::move(dtype_text));
  }
  return true;
}

}  // namespace

bool to_dtype_policy(PyObject* value, DTypePolicy& out) {
  std::vector<std::pair<std::string, std::string>> rules;
  if (PyUnicode_Check(value)) {
    // One name for every tensor; "none" (or nothing) means no rule at all.
    std::string text;
    if (!to_string(value, "save_dtype", text)) return false;
    auto dtype = DType::parse(text);
    if (!dtype) {
      raise_error(dtype.error());
      return false;
    }
    if (*dtype) rules.emplace_back("*", std::move(text));
  } else if (PyDict_Check(value)) {
    if (!dtype_rules(value, rules)) return false;
  } else if (value != Py_None) {
    std::string message =
        "save_dtype must be a string ('bf16') or a dict of glob pattern to dtype ({'optimizer/*': 'bf16'}), not " +
        std::string(Py_TYPE(value)->tp_name);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  auto policy = DTypePolicy::from_rules(rules);
  if (!policy) {
    raise_error(policy.error());
    return false;
  }
  out = std::move(*policy);
  return true;
}

bool check_dict(PyObject* value, std::string_view what, bool none_allowed) {
  if (PyDict_Check(value) || (none_allowed && value == Py_None)) return true;
  raise_wrong_type(value, what, none_allowed ? "dict or None" : "dict");
  return false;
}

}  // namespace tarnwick::python
