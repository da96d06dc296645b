// The Python values the methods return: load results, listing and description dictionaries.
// Each builder returns a new reference, or nullptr with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "coordinator/coordinator.h"
#include "formats/timestamp.h"

namespace tarnwick::python {

// {name: bytearray}; each tensor's engine buffer is released as soon as it has been copied.
PyObject* load_result(LoadedTensors tensors);

// [{"step", "id", "is_delta", ...}, ...] in the order given.
PyObject* snapshot_list(const std::vector<SnapshotInfo>& infos);

// {"id", "step", "created_at", ..., "tensors": [...]}.
PyObject* description(const SnapshotDescription& description);

// RFC 3339 in UTC with the offset written as +00:00.
std::string created_at_text(Timestamp time);

// The id in its hyphenated lower-case form, as a `str`.
PyObject* id_text(const Uuid& id);

}  // namespace tarnwick::python
