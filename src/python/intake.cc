#include "python/intake.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "codec/buffers.h"
#include "python/convert.h"
#include "runtime/pool.h"

namespace tarnwick::python {
namespace {

struct ElementSize {
  std::string_view dtype;
  std::uint64_t size;
};

constexpr std::array<ElementSize, 22> kElementSizes = {{
    {"bool", 1},          {"int8", 1},           {"uint8", 1},          {"float8_e5m2", 1},
    {"float8_e4m3fn", 1}, {"float8_e8m0fnu", 1}, {"float8_e4m3fnuz", 1}, {"float8_e5m2fnuz", 1},
    {"float8_e4m3b11fnuz", 1},
    {"int16", 2},         {"uint16", 2},         {"float16", 2},        {"bfloat16", 2},
    {"int32", 4},         {"uint32", 4},         {"float32", 4},        {"complex32", 4},
    {"int64", 8},         {"uint64", 8},         {"float64", 8},        {"complex64", 8},
    {"complex128", 16},
}};

constexpr std::string_view kTorchPrefix = "torch.";

std::string quoted_name(std::string_view name) { return "tensor '" + std::string(name) + "'"; }

// The attribute, or an empty reference with no exception set when the object has none; any
// other failure of the lookup stays set.
PyRef optional_attribute(PyObject* object, const char* name) {
  PyRef value(PyObject_GetAttrString(object, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return value;
}

PyRef call_method(PyObject* object, const char* name) {
  PyRef method(PyObject_GetAttrString(object, name));
  if (!method) return method;
  return PyRef(PyObject_CallNoArgs(method.get()));
}

// Data given as a generic sequence: every item an integer from 0 to 255.
bool sequence_bytes(PyObject* data, std::string_view what, Bytes& out) {
  Py_ssize_t size = PySequence_Size(data);
  if (size < 0) return false;
  Bytes bytes(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item(PySequence_GetItem(data, i));
    if (!item) return false;
    if (!PyIndex_Check(item.get())) {
      raise_for(PyExc_TypeError, std::string(what) + "[" + std::to_string(i) + "]",
                "expected int, got " + type_name(item.get()));
      return false;
    }
    PyRef integer(PyNumber_Index(item.get()));
    if (!integer) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    bytes[static_cast<std::size_t>(i)] = static_cast<std::byte>(value);
  }
  out = std::move(bytes);
  return true;
}

// A `(shape, dtype, data)` tuple; items past the third are ignored.
bool collect_tuple(PyObject* value, PendingTensor& tensor) {
  const std::string what = quoted_name(tensor.name);
  PyObject* shape = PyTuple_GetItem(value, 0);
  if (!shape || !to_shape(shape, what + " shape", tensor.shape)) return false;
  PyObject* dtype = PyTuple_GetItem(value, 1);
  if (!dtype || !to_string(dtype, what + " dtype", tensor.dtype)) return false;
  PyObject* data = PyTuple_GetItem(value, 2);
  if (!data) return false;

  if (PyBytes_Check(data)) {
    tensor.data = ByteView(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(data)),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    return true;
  }
  if (PyByteArray_Check(data)) {
    // A bytearray can be resized by another thread, so its bytes are copied now.
    const auto* start = reinterpret_cast<const std::byte*>(PyByteArray_AS_STRING(data));
    tensor.data = Bytes(start, start + PyByteArray_GET_SIZE(data));
    return true;
  }
  if (PyUnicode_Check(data) || !PySequence_Check(data)) {
    raise_for(PyExc_TypeError, what + " data",
              "expected bytes, bytearray or a sequence of int, got " + type_name(data));
    return false;
  }
  Bytes bytes;
  if (!sequence_bytes(data, what + " data", bytes)) return false;
  tensor.data = std::move(bytes);
  return true;
}

// An object with `data_ptr`, read as a framework tensor in host memory.
bool collect_framework_tensor(PyObject* value, PendingTensor& tensor) {
  const std::string what = quoted_name(tensor.name);

  PyRef shape(PyObject_GetAttrString(value, "shape"));
  if (!shape || !to_shape(shape.get(), what + " shape", tensor.shape)) return false;

  PyRef dtype(PyObject_GetAttrString(value, "dtype"));
  if (!dtype) return false;
  PyRef dtype_text(PyObject_Str(dtype.get()));
  if (!dtype_text || !to_string(dtype_text.get(), what + " dtype", tensor.dtype)) return false;
  if (tensor.dtype.starts_with(kTorchPrefix)) {
    tensor.dtype.erase(0, kTorchPrefix.size());
  }

  PyRef device(PyObject_GetAttrString(value, "device"));
  if (!device) return false;
  PyRef device_type_object(PyObject_GetAttrString(device.get(), "type"));
  std::string device_type;
  if (!device_type_object || !to_string(device_type_object.get(), what + " device.type", device_type)) return false;
  if (device_type != "cpu") {
    std::string message = "tensor '" + tensor.name + "' is on device '" + device_type +
                          "'; move it to CPU first (t.detach().cpu()) — Tarnwick reads host memory directly";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }

  PyRef contiguous(call_method(value, "is_contiguous"));
  if (!contiguous) return false;
  if (!PyBool_Check(contiguous.get())) {
    raise_for(PyExc_TypeError, what + " is_contiguous()", "expected bool, got " + type_name(contiguous.get()));
    return false;
  }
  if (contiguous.get() != Py_True) {
    std::string message = "tensor '" + tensor.name +
                          "' is not contiguous; call .contiguous() first — Tarnwick reads the bytes that follow "
                          "data_ptr()";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }

  PyRef numel_object(call_method(value, "numel"));
  std::uint64_t numel = 0;
  if (!numel_object || !to_u64(numel_object.get(), what + " numel()", numel)) return false;
  PyRef address_object(call_method(value, "data_ptr"));
  std::uint64_t address = 0;
  if (!address_object || !to_u64(address_object.get(), what + " data_ptr()", address)) return false;

  const std::uint64_t element_size = framework_element_size(tensor.dtype);
  if (element_size == 0) {
    PyErr_SetString(PyExc_ValueError, ("unsupported dtype " + tensor.dtype).c_str());
    return false;
  }
  std::uint64_t length = 0;
  if (__builtin_mul_overflow(numel, element_size, &length) || length > PY_SSIZE_T_MAX) {
    raise_for(PyExc_OverflowError, what, "numel() of " + std::to_string(numel) + " is too large for its dtype");
    return false;
  }
  if (address == 0 && length != 0) {
    raise_for(PyExc_ValueError, what, "data_ptr() is 0 but numel() is " + std::to_string(numel));
    return false;
  }
  tensor.data = ByteView(reinterpret_cast<const std::byte*>(static_cast<std::uintptr_t>(address)),
                         static_cast<std::size_t>(length));
  return true;
}

bool collect_one(PyObject* key, PyObject* value, PendingTensor& tensor) {
  if (!to_string(key, "tensor name", tensor.name)) return false;
  if (PyTuple_Check(value)) return collect_tuple(value, tensor);
  PyRef data_ptr = optional_attribute(value, "data_ptr");
  if (!data_ptr) {
    if (PyErr_Occurred()) return false;
    std::string message = "Value for '" + tensor.name + "' is not a supported type (must be tuple or torch.Tensor)";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  return collect_framework_tensor(value, tensor);
}

// Copies are cut into pieces of this size, so that one large tensor still uses every worker.
constexpr std::size_t kCopyPiece = std::size_t{8} << 20;

struct CopyPiece {
  const std::byte* from;
  std::byte* to;
  std::size_t length;
};

}  // namespace

std::uint64_t framework_element_size(std::string_view dtype) {
  auto found = std::ranges::find(kElementSizes, dtype, &ElementSize::dtype);
  return found == kElementSizes.end() ? 0 : found->size;
}

bool collect_tensors(PyObject* tensors, CollectedTensors& out) {
  PyRef items(PyDict_Items(tensors));
  if (!items) return false;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  std::vector<PendingTensor> collected(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (!collect_one(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), collected[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  out.owners = std::move(items);
  out.tensors = std::move(collected);
  return true;
}

Result<std::vector<TensorData>> materialize_tensors(std::vector<PendingTensor> tensors) {
  std::vector<TensorData> owned(tensors.size());
  std::vector<CopyPiece> pieces;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    PendingTensor& pending = tensors[i];
    TensorData& tensor = owned[i];
    tensor.name = std::move(pending.name);
    tensor.shape = std::move(pending.shape);
    tensor.dtype = std::move(pending.dtype);
    if (auto* bytes = std::get_if<Bytes>(&pending.data)) {
      tensor.data = std::move(*bytes);
      continue;
    }
    ByteView source = std::get<ByteView>(pending.data);
    TW_ASSIGN_OR_RETURN(tensor.data, allocate_bytes(source.size()));
    for (std::size_t offset = 0; offset < source.size(); offset += kCopyPiece) {
      pieces.push_back({source.data() + offset, tensor.data.data() + offset,
                        std::min(kCopyPiece, source.size() - offset)});
    }
  }
  run_in_pool([&] {
    parallel_for(pieces.size(), [&](std::size_t i) { std::memcpy(pieces[i].to, pieces[i].from, pieces[i].length); });
  });
  return owned;
}

bool extract_metadata(PyObject* metadata, Metadata& out) {
  out.clear();
  if (!metadata || metadata == Py_None) return true;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(metadata, &position, &key, &value)) {
    std::string key_text;
    std::string value_text;
    if (!to_string(key, "metadata key", key_text)) return false;
    if (!to_string(value, "metadata['" + key_text + "']", value_text)) return false;
    out.insert_or_assign(std::move(key_text), std::move(value_text));
  }
  return true;
}

}  // namespace tarnwick::python
