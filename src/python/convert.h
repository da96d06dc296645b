// One converter per kind of Python argument, and the one place where an engine error becomes a
// Python exception.
//
// Every converter returns false with a Python exception set when the value does not fit; the
// message names `what` (a parameter name, or a description such as "shape of tensor 'w'").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cast.h"
#include "formats/uuid.h"
#include "runtime/error.h"

namespace tarnwick::python {

// Raises RuntimeError carrying the error's rendered message. Always returns nullptr, so that a
// method can `return raise_error(...)`.
PyObject* raise_error(const TarnwickError& error);

// A `str` (or subclass) as UTF-8.
[[nodiscard]] bool to_string(PyObject* value, std::string_view what, std::string& out);
// A `str`, or None for absent.
[[nodiscard]] bool to_optional_string(PyObject* value, std::string_view what, std::optional<std::string>& out);

// An `int` or any object with __index__: TypeError for other types, OverflowError outside the
// target's range.
[[nodiscard]] bool to_u64(PyObject* value, std::string_view what, std::uint64_t& out);
[[nodiscard]] bool to_u32(PyObject* value, std::string_view what, std::uint32_t& out);
[[nodiscard]] bool to_i32(PyObject* value, std::string_view what, std::int32_t& out);
// An `int` or None for absent.
[[nodiscard]] bool to_optional_u64(PyObject* value, std::string_view what, std::optional<std::uint64_t>& out);

// A `float` or anything with a float conversion (an `int` included).
[[nodiscard]] bool to_double(PyObject* value, std::string_view what, double& out);

// True or False (NumPy booleans included); an `int` is refused.
[[nodiscard]] bool to_bool(PyObject* value, std::string_view what, bool& out);

// A sequence (not a `str`) of non-negative integers.
[[nodiscard]] bool to_shape(PyObject* value, std::string_view what, std::vector<std::uint64_t>& out);

// A sequence (not a `str`) of `str`.
[[nodiscard]] bool to_string_list(PyObject* value, std::string_view what, std::vector<std::string>& out);

// A `str` holding a snapshot id; ValueError tells what is wrong with the text.
[[nodiscard]] bool to_snapshot_id(PyObject* value, std::string_view what, Uuid& out);

// `save_dtype`: None, a dtype name for every tensor, or a dict of glob pattern to dtype name.
// An empty pattern or an unknown dtype name is the engine's error, raised as RuntimeError.
[[nodiscard]] bool to_dtype_policy(PyObject* value, DTypePolicy& out);

// A `dict` (or subclass); refused otherwise. `none_allowed` also accepts None.
[[nodiscard]] bool check_dict(PyObject* value, std::string_view what, bool none_allowed = false);

// Raises `type` with `text`, prefixed by what was being converted.
void raise_for(PyObject* type, std::string_view what, std::string_view text);

// The name of the value's type, for messages.
std::string type_name(PyObject* value);

}  // namespace tarnwick::python
