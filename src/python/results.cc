#include "python/results.h"

#include "python/py_ref.h"

namespace tarnwick::python {
namespace {

PyRef text(std::string_view value) {
  return PyRef(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

PyRef integer(std::uint64_t value) { return PyRef(PyLong_FromUnsignedLongLong(value)); }

PyRef boolean(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : PyRef::borrow(Py_None);
}

// Adds `value` under `key`; false (exception set) when building the value failed.
bool put(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef metadata_dict(const Metadata& metadata) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : metadata) {
    PyRef key_object = text(key);
    PyRef value_object = text(value);
    if (!key_object || !value_object || PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) != 0) {
      return PyRef();
    }
  }
  return dict;
}

PyRef shape_list(const std::vector<std::uint64_t>& shape) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(shape.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyRef dim = integer(shape[i]);
    if (!dim) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dim.release());
  }
  return list;
}

PyRef snapshot_info(const SnapshotInfo& info) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  PyObject* d = dict.get();
  bool ok = put(d, "step", integer(info.step)) &&
            put(d, "id", text(info.id.to_string())) &&
            put(d, "is_delta", boolean(info.is_delta)) &&
            put(d, "total_compressed", integer(info.total_compressed)) &&
            put(d, "total_raw", integer(info.total_raw)) &&
            put(d, "skipped_tensors", integer(info.skipped_tensors)) &&
            put(d, "delta_tensors", integer(info.delta_tensors)) &&
            put(d, "full_tensors", integer(info.full_tensors)) &&
            put(d, "ranks", integer(info.ranks)) &&
            put(d, "metadata", metadata_dict(info.metadata));
  return ok ? std::move(dict) : PyRef();
}

std::string_view storage_text(TensorStorage storage) {
  switch (storage) {
    case TensorStorage::Full: return "full";
    case TensorStorage::DeltaXor: return "delta";
    case TensorStorage::Skipped: return "skipped";
    case TensorStorage::Alias: return "alias";
  }
  return "full";
}

PyRef tensor_description(const TensorDescription& tensor) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  PyObject* d = dict.get();
  bool ok = put(d, "name", text(tensor.name)) &&
            put(d, "shape", shape_list(tensor.shape)) &&
            put(d, "dtype", text(tensor.dtype)) &&
            put(d, "stored_dtype", text(tensor.stored_dtype)) &&
            put(d, "storage", text(storage_text(tensor.storage))) &&
            put(d, "alias_of", optional_text(tensor.alias_of)) &&
            put(d, "raw_size", integer(tensor.raw_size)) &&
            put(d, "compressed_size", integer(tensor.compressed_size)) &&
            put(d, "hash_raw", text(tensor.hash_raw));
  return ok ? std::move(dict) : PyRef();
}

}  // namespace

std::string created_at_text(Timestamp time) {
  std::string formatted = format_timestamp(time);
  if (formatted.ends_with('Z')) formatted.replace(formatted.size() - 1, 1, "+00:00");
  return formatted;
}

PyObject* id_text(const Uuid& id) { return text(id.to_string()).release(); }

PyObject* load_result(LoadedTensors tensors) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (auto& [name, bytes] : tensors) {
    PyRef key = text(name);
    PyRef value(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
    Bytes().swap(bytes);
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* snapshot_list(const std::vector<SnapshotInfo>& infos) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(infos.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < infos.size(); ++i) {
    PyRef entry = snapshot_info(infos[i]);
    if (!entry) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list.release();
}

PyObject* description(const SnapshotDescription& description) {
  PyRef tensors(PyList_New(static_cast<Py_ssize_t>(description.tensors.size())));
  if (!tensors) return nullptr;
  for (std::size_t i = 0; i < description.tensors.size(); ++i) {
    PyRef entry = tensor_description(description.tensors[i]);
    if (!entry) return nullptr;
    PyList_SET_ITEM(tensors.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  PyRef base = description.base_snapshot_id ? text(description.base_snapshot_id->to_string()) : PyRef::borrow(Py_None);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  bool ok = put(d, "id", text(description.id.to_string())) &&
            put(d, "step", integer(description.step)) &&
            put(d, "created_at", text(created_at_text(description.created_at))) &&
            put(d, "is_delta", boolean(description.base_snapshot_id.has_value())) &&
            put(d, "base_snapshot_id", std::move(base)) &&
            put(d, "rank", integer(description.rank)) &&
            put(d, "ranks", integer(description.ranks)) &&
            put(d, "metadata", metadata_dict(description.metadata)) &&
            put(d, "tensors", std::move(tensors));
  return ok ? dict.release() : nullptr;
}

}  // namespace tarnwick::python
