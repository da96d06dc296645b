// Turning the `tensors` dictionary of a save into the tensors the engine encodes, in two steps:
// collection with the interpreter lock held (validation; framework tensors and `bytes` are only
// located, not copied), then the copy into the save's own memory with the lock released, on the
// worker pool.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "coordinator/coordinator.h"
#include "python/py_ref.h"
#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick::python {

struct PendingTensor {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  // Borrowed memory of a Python object, or bytes already owned by the save.
  std::variant<ByteView, Bytes> data;
};

// The tensors of one save between collection and the copy. `owners` holds a reference to every
// value of the dictionary, so that memory a borrowed view points into stays alive even if
// another thread empties the dictionary while the lock is released. Destroy with the lock held.
struct CollectedTensors {
  PyRef owners;
  std::vector<PendingTensor> tensors;
};

// Validates every (name, value) of `tensors` in dictionary order. False with a Python exception
// set on the first bad entry.
[[nodiscard]] bool collect_tensors(PyObject* tensors, CollectedTensors& out);

// Copies every borrowed tensor into owned bytes on the worker pool; same order. Runs without
// the interpreter lock and never touches a Python object; fails only when memory runs out.
[[nodiscard]] Result<std::vector<TensorData>> materialize_tensors(std::vector<PendingTensor> tensors);

// The metadata dictionary (or None) as a text map. False with a Python exception set when a key
// or value is not a `str`.
[[nodiscard]] bool extract_metadata(PyObject* metadata, Metadata& out);

// Bytes per element of a framework dtype name ("float32", "bfloat16", ...); 0 when unsupported.
std::uint64_t framework_element_size(std::string_view dtype);

}  // namespace tarnwick::python
