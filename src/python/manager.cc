#include "python/manager.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "coordinator/coordinator.h"
#include "python/convert.h"
#include "python/intake.h"
#include "python/py_ref.h"
#include "python/results.h"
#include "storage/storage.h"

namespace tarnwick::python {
namespace {

struct ManagerObject {
  PyObject_HEAD
  // Owned; deleted by the type's dealloc.
  Coordinator* coordinator;
};

Coordinator& coordinator_of(PyObject* self) { return *reinterpret_cast<ManagerObject*>(self)->coordinator; }

// Keeps C++ exceptions (allocation failures in the binding's own containers) from crossing
// into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

// PyArg_ParseTupleAndKeywords wants a mutable keyword list before Python 3.13.
template <std::size_t N>
char** keywords(const char* const (&names)[N]) {
  return const_cast<char**>(names);
}

// ---- Construction --------------------------------------------------------------------------

struct ManagerOptions {
  std::string storage_root = "./checkpoints";
  std::int32_t compression_level = 3;
  std::uint64_t max_full_snapshots = 5;
  std::uint64_t max_deltas_per_full = 10;
  std::uint64_t full_every_steps = 5000;
  double delta_max_ratio = 0.95;
  std::uint32_t world_size = 1;
  std::uint32_t rank = 0;
  std::uint64_t merge_stride = 0;
  std::uint64_t merge_max_chain = 10;
  std::uint64_t rollback_interval_steps = 10000;
  std::uint64_t max_rollback_snapshots = 3;
  std::optional<std::uint64_t> max_total_snapshots;
  std::optional<std::string> s3_bucket;
  std::string s3_region = "us-east-1";
  std::string s3_prefix;
  std::optional<std::string> s3_endpoint;
  std::optional<std::string> s3_access_key;
  std::optional<std::string> s3_secret_key;
  bool s3_path_style = false;
  std::uint64_t sync_every_n_saves = 100;
  DTypePolicy save_dtype;
  bool async_save = true;
  bool keep_base_in_memory = true;
};

constexpr const char* kConstructorKeywords[] = {
    "storage_root",        "compression_level",       "max_full_snapshots",     "max_deltas_per_full",
    "full_every_steps",    "delta_max_ratio",         "world_size",             "rank",
    "merge_stride",        "merge_max_chain",         "rollback_interval_steps", "max_rollback_snapshots",
    "max_total_snapshots", "s3_bucket",               "s3_region",              "s3_prefix",
    "s3_endpoint",         "s3_access_key",           "s3_secret_key",          "s3_path_style",
    "sync_every_n_saves",  "save_dtype",              "async_save",             "keep_base_in_memory",
    nullptr};

// Binds and converts the arguments in parameter order; the first failure raises.
bool parse_options(PyObject* args, PyObject* kwargs, ManagerOptions& o) {
  PyObject* a[24] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOOOOOOOOOOOOOOOOOO:TarnwickManager",
                                   keywords(kConstructorKeywords), &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6],
                                   &a[7], &a[8], &a[9], &a[10], &a[11], &a[12], &a[13], &a[14], &a[15], &a[16],
                                   &a[17], &a[18], &a[19], &a[20], &a[21], &a[22], &a[23])) {
    return false;
  }
  const char* const* name = kConstructorKeywords;
  // Absent arguments keep their defaults.
  auto given = [&](int i, auto convert) { return !a[i] || convert(a[i], name[i]); };
  return given(0, [&](PyObject* v, const char* n) { return to_string(v, n, o.storage_root); }) &&
         given(1, [&](PyObject* v, const char* n) { return to_i32(v, n, o.compression_level); }) &&
         given(2, [&](PyObject* v, const char* n) { return to_u64(v, n, o.max_full_snapshots); }) &&
         given(3, [&](PyObject* v, const char* n) { return to_u64(v, n, o.max_deltas_per_full); }) &&
         given(4, [&](PyObject* v, const char* n) { return to_u64(v, n, o.full_every_steps); }) &&
         given(5, [&](PyObject* v, const char* n) { return to_double(v, n, o.delta_max_ratio); }) &&
         given(6, [&](PyObject* v, const char* n) { return to_u32(v, n, o.world_size); }) &&
         given(7, [&](PyObject* v, const char* n) { return to_u32(v, n, o.rank); }) &&
         given(8, [&](PyObject* v, const char* n) { return to_u64(v, n, o.merge_stride); }) &&
         given(9, [&](PyObject* v, const char* n) { return to_u64(v, n, o.merge_max_chain); }) &&
         given(10, [&](PyObject* v, const char* n) { return to_u64(v, n, o.rollback_interval_steps); }) &&
         given(11, [&](PyObject* v, const char* n) { return to_u64(v, n, o.max_rollback_snapshots); }) &&
         given(12, [&](PyObject* v, const char* n) { return to_optional_u64(v, n, o.max_total_snapshots); }) &&
         given(13, [&](PyObject* v, const char* n) { return to_optional_string(v, n, o.s3_bucket); }) &&
         given(14, [&](PyObject* v, const char* n) { return to_string(v, n, o.s3_region); }) &&
         given(15, [&](PyObject* v, const char* n) { return to_string(v, n, o.s3_prefix); }) &&
         given(16, [&](PyObject* v, const char* n) { return to_optional_string(v, n, o.s3_endpoint); }) &&
         given(17, [&](PyObject* v, const char* n) { return to_optional_string(v, n, o.s3_access_key); }) &&
         given(18, [&](PyObject* v, const char* n) { return to_optional_string(v, n, o.s3_secret_key); }) &&
         given(19, [&](PyObject* v, const char* n) { return to_bool(v, n, o.s3_path_style); }) &&
         given(20, [&](PyObject* v, const char* n) { return to_u64(v, n, o.sync_every_n_saves); }) &&
         given(22, [&](PyObject* v, const char* n) { return to_bool(v, n, o.async_save); }) &&
         given(23, [&](PyObject* v, const char* n) { return to_bool(v, n, o.keep_base_in_memory); }) &&
         // save_dtype is converted last: its errors come after every plain argument's.
         given(21, [&](PyObject* v, const char*) { return to_dtype_policy(v, o.save_dtype); });
}

CoordinatorConfig config_from(ManagerOptions& o) {
  CoordinatorConfig config;
  config.retention = {.max_full_snapshots = o.max_full_snapshots,
                      .max_deltas_per_full = o.max_deltas_per_full,
                      .full_snapshot_every_steps = o.full_every_steps,
                      .max_total_snapshots = o.max_total_snapshots};
  if (o.merge_stride != 0) config.merge_stride = o.merge_stride;
  config.merge_max_chain = o.merge_max_chain;
  config.save_dtype = std::move(o.save_dtype);
  config.compression = o.compression_level == 0 ? CompressionAlgo::none() : CompressionAlgo::zstd(o.compression_level);
  config.lineage = {.rollback_interval_steps = o.rollback_interval_steps,
                    .max_rollback_snapshots = o.max_rollback_snapshots};
  config.delta_max_ratio = o.delta_max_ratio;
  config.world_size = o.world_size;
  config.rank = o.rank;
  config.async_save = o.async_save;
  config.keep_base_in_memory = o.keep_base_in_memory;
  return config;
}

// The S3 parameters are checked as a remote would need them; this build has no remote backend,
// so a manager asked for one is refused rather than run without its off-machine copy.
bool check_remote(const ManagerOptions& o) {
  if (!o.s3_bucket) return true;
  if (!o.s3_access_key) {
    PyErr_SetString(PyExc_ValueError, "s3_access_key required when s3_bucket is set");
    return false;
  }
  if (!o.s3_secret_key) {
    PyErr_SetString(PyExc_ValueError, "s3_secret_key required when s3_bucket is set");
    return false;
  }
  raise_error(TarnwickError::invalid_config("s3_bucket is set, but remote storage is not available in this build"));
  return false;
}

Result<std::unique_ptr<Coordinator>> open_store(const std::string& root, CoordinatorConfig config) {
  std::error_code error;
  std::filesystem::create_directories(root, error);
  if (error) return fail(TarnwickError::from_errno(error.value()));
  auto storage = std::make_shared<const LocalStorage>(root, LocalStorage::kBlockSize);
  return Coordinator::open(std::move(storage), std::move(config));
}

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ManagerOptions options;
    if (!parse_options(args, kwargs, options) || !check_remote(options)) return nullptr;
    auto opened = open_store(options.storage_root, config_from(options));
    if (!opened) return raise_error(opened.error());
    std::unique_ptr<Coordinator> coordinator = std::move(*opened);
    PyObject* self = PyBaseObject_Type.tp_alloc(type, 0);
    if (!self) return nullptr;  // the coordinator shuts down as it goes out of scope
    reinterpret_cast<ManagerObject*>(self)->coordinator = coordinator.release();
    return self;
  });
}

void manager_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Waits for a running background save and stops the saver thread.
  delete reinterpret_cast<ManagerObject*>(self)->coordinator;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Saving --------------------------------------------------------------------------------

PyObject* save_tensors(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"step", "tensors", "metadata", nullptr};
  PyObject* step_arg = nullptr;
  PyObject* tensors_arg = nullptr;
  PyObject* metadata_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:save_tensors", keywords(kKeywords), &step_arg, &tensors_arg,
                                   &metadata_arg)) {
    return nullptr;
  }
  std::uint64_t step = 0;
  if (!to_u64(step_arg, "step", step) || !check_dict(tensors_arg, "tensors") ||
      !check_dict(metadata_arg, "metadata", /*none_allowed=*/true)) {
    return nullptr;
  }
  CollectedTensors collected;
  Metadata metadata;
  if (!collect_tensors(tensors_arg, collected) || !extract_metadata(metadata_arg, metadata)) return nullptr;

  Coordinator& coordinator = coordinator_of(self);
  Result<Uuid> saved = without_gil([&]() -> Result<Uuid> {
    // The shadow copy: after it the caller's tensors are no longer read.
    TW_ASSIGN_OR_RETURN(std::vector<TensorData> tensors, materialize_tensors(std::move(collected.tensors)));
    if (coordinator.core().config().world_size != 1) {
      return fail(TarnwickError::invalid_config(
          "Multi-rank save requires explicit create_snapshot/save_rank/finalize flow. Use save_rank() instead."));
    }
    const Uuid id = Uuid::random_v4();
    TW_RETURN_IF_ERROR(coordinator.save(id, step, std::move(tensors), std::move(metadata)));
    return id;
  });
  if (!saved) return raise_error(saved.error());
  return id_text(*saved);
}

PyObject* last_queue_wait(PyObject* self) {
  const std::uint64_t nanos = static_cast<std::uint64_t>(coordinator_of(self).last_queue_wait().count());
  constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
  const double seconds = static_cast<double>(nanos / kNanosPerSecond) +
                         static_cast<double>(nanos % kNanosPerSecond) / static_cast<double>(kNanosPerSecond);
  return PyFloat_FromDouble(seconds);
}

PyObject* flush(PyObject* self) {
  Coordinator& coordinator = coordinator_of(self);
  Status flushed = without_gil([&] { return coordinator.flush(); });
  if (!flushed) return raise_error(flushed.error());
  Py_RETURN_NONE;
}

// ---- Loading -------------------------------------------------------------------------------

// Parses the one `snap_id` argument of a method.
bool parse_id_argument(PyObject* args, PyObject* kwargs, const char* format, Uuid& id) {
  static const char* const kKeywords[] = {"snap_id", nullptr};
  PyObject* snap_id = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(kKeywords), &snap_id) &&
         to_snapshot_id(snap_id, "snap_id", id);
}

PyObject* load(PyObject* self, PyObject* args, PyObject* kwargs) {
  Uuid id;
  if (!parse_id_argument(args, kwargs, "O:load", id)) return nullptr;
  Coordinator& coordinator = coordinator_of(self);
  auto loaded = without_gil([&] { return coordinator.load(id); });
  if (!loaded) return raise_error(loaded.error());
  return load_result(std::move(*loaded));
}

PyObject* load_latest(PyObject* self) {
  Coordinator& coordinator = coordinator_of(self);
  auto loaded = without_gil([&] { return coordinator.load_latest(); });
  if (!loaded) return raise_error(loaded.error());
  PyRef id(id_text(loaded->first));
  if (!id) return nullptr;
  PyRef tensors(load_result(std::move(loaded->second)));
  if (!tensors) return nullptr;
  return PyTuple_Pack(2, id.get(), tensors.get());
}

PyObject* load_tensors(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"snap_id", "names", nullptr};
  PyObject* snap_id = nullptr;
  PyObject* names_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:load_tensors", keywords(kKeywords), &snap_id, &names_arg)) {
    return nullptr;
  }
  std::vector<std::string> names;
  Uuid id;
  if (!to_string_list(names_arg, "names", names) || !to_snapshot_id(snap_id, "snap_id", id)) return nullptr;
  Coordinator& coordinator = coordinator_of(self);
  auto loaded = without_gil([&] { return coordinator.load_tensors(id, names); });
  if (!loaded) return raise_error(loaded.error());
  return load_result(std::move(*loaded));
}

// ---- Inspecting ----------------------------------------------------------------------------

PyObject* describe(PyObject* self, PyObject* args, PyObject* kwargs) {
  Uuid id;
  if (!parse_id_argument(args, kwargs, "O:describe", id)) return nullptr;
  Coordinator& coordinator = coordinator_of(self);
  auto described = without_gil([&] { return coordinator.describe(id); });
  if (!described) return raise_error(described.error());
  return description(*described);
}

PyObject* describe_latest(PyObject* self) {
  Coordinator& coordinator = coordinator_of(self);
  auto described = without_gil([&] { return coordinator.describe_latest(); });
  if (!described) return raise_error(described.error());
  return description(*described);
}

PyObject* list_snapshots(PyObject* self) {
  Coordinator& coordinator = coordinator_of(self);
  auto infos = without_gil([&] { return coordinator.list_snapshots(); });
  return snapshot_list(infos);
}

// ---- Pins (the interpreter lock stays held) ------------------------------------------------

bool parse_step(PyObject* args, PyObject* kwargs, const char* format, std::uint64_t& step) {
  static const char* const kKeywords[] = {"step", nullptr};
  PyObject* step_arg = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(kKeywords), &step_arg) &&
         to_u64(step_arg, "step", step);
}

// The pin methods act with the interpreter lock held, but first wait for queued saves (so that
// the step just saved can be pinned) without it, so that other Python threads keep running.
void wait_for_saves(Coordinator& coordinator) {
  without_gil([&] { coordinator.wait_idle(); });
}

PyObject* pin(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::uint64_t step = 0;
  if (!parse_step(args, kwargs, "O:pin", step)) return nullptr;
  wait_for_saves(coordinator_of(self));
  auto changed = coordinator_of(self).pin(step);
  if (!changed) return raise_error(changed.error());
  return PyBool_FromLong(*changed);
}

PyObject* unpin(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::uint64_t step = 0;
  if (!parse_step(args, kwargs, "O:unpin", step)) return nullptr;
  wait_for_saves(coordinator_of(self));
  auto changed = coordinator_of(self).unpin(step);
  if (!changed) return raise_error(changed.error());
  return PyBool_FromLong(*changed);
}

PyObject* pinned_steps(PyObject* self) {
  wait_for_saves(coordinator_of(self));
  const std::vector<std::uint64_t> steps = coordinator_of(self).pinned_steps();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(steps.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    PyObject* step = PyLong_FromUnsignedLongLong(steps[i]);
    if (!step) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), step);
  }
  return list.release();
}

// ---- The type ------------------------------------------------------------------------------

// Method entry points: each runs its body behind `guarded`.
template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyObject* with_arguments(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return Method(self, args, kwargs); });
}

template <PyObject* (*Method)(PyObject*)>
PyObject* without_arguments(PyObject* self, PyObject*) {
  return guarded([&] { return Method(self); });
}

template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyMethodDef method_with_arguments(const char* name, const char* doc) {
  auto entry = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&with_arguments<Method>));
  return {name, entry, METH_VARARGS | METH_KEYWORDS, doc};
}

template <PyObject* (*Method)(PyObject*)>
PyMethodDef method_without_arguments(const char* name, const char* doc) {
  return {name, &without_arguments<Method>, METH_NOARGS, doc};
}

PyMethodDef kMethods[] = {
    method_with_arguments<save_tensors>("save_tensors",
        "save_tensors($self, step, tensors, metadata=None)\n--\n\n"
        "Save a checkpoint (single-rank mode).\n"
        "\n"
        "Values may be `(shape, dtype, bytes)` tuples or `torch.Tensor` objects.\n"
        "A tensor is read through `data_ptr()` with the GIL released, so its\n"
        "storage must not be mutated, resized or freed for the duration of this\n"
        "call — the calling thread is blocked inside it, so only another Python\n"
        "thread can do that. See the stub in `tarnwick.pyi` for the contract as\n"
        "users see it."),
    method_without_arguments<last_queue_wait>("last_queue_wait",
        "last_queue_wait($self)\n--\n\n"
        "Seconds the last `save_tensors` spent waiting for the previous save.\n"
        "\n"
        "Call it straight after `save_tensors`, on the same thread, and it\n"
        "describes that call. See `Coordinator::last_queue_wait` for what the\n"
        "number is and why it is worth having apart: a caller timing its own\n"
        "save sees the shadow copy and this wait as one duration, and they have\n"
        "different causes and different remedies. `TARNWICK_PROFILE=1` prints it\n"
        "too, but a log line is not available to a program."),
    method_without_arguments<flush>("flush",
        "flush($self)\n--\n\n"
        "Block until any in-flight background save completes.\n"
        "Raises if the background save failed."),
    method_with_arguments<load>("load",
        "load($self, snap_id)\n--\n\n"
        "Load a snapshot. Returns dict of tensor_name → bytearray."),
    method_without_arguments<load_latest>("load_latest",
        "load_latest($self)\n--\n\n"
        "Load the latest snapshot."),
    method_with_arguments<load_tensors>("load_tensors",
        "load_tensors($self, snap_id, names)\n--\n\n"
        "Load only the named tensors. Returns dict of tensor_name → bytearray."),
    method_with_arguments<describe>("describe",
        "describe($self, snap_id)\n--\n\n"
        "What a snapshot holds, without reading any of it."),
    method_without_arguments<describe_latest>("describe_latest",
        "describe_latest($self)\n--\n\n"
        "The newest finalized snapshot, described rather than loaded."),
    method_without_arguments<list_snapshots>("list_snapshots",
        "list_snapshots($self)\n--\n\n"
        "List all finalized snapshots."),
    method_with_arguments<pin>("pin", "pin($self, step)\n--\n\n"),
    method_with_arguments<unpin>("unpin", "unpin($self, step)\n--\n\n"),
    method_without_arguments<pinned_steps>("pinned_steps", "pinned_steps($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kManagerDoc[] =
    "TarnwickManager(storage_root=\"./checkpoints\", compression_level=3, max_full_snapshots=5, "
    "max_deltas_per_full=10, full_every_steps=5000, delta_max_ratio=0.95, world_size=1, rank=0, merge_stride=0, "
    "merge_max_chain=10, rollback_interval_steps=10000, max_rollback_snapshots=3, max_total_snapshots=None, "
    "s3_bucket=None, s3_region=\"us-east-1\", s3_prefix=\"\", s3_endpoint=None, s3_access_key=None, "
    "s3_secret_key=None, s3_path_style=False, sync_every_n_saves=100, save_dtype=None, async_save=True, "
    "keep_base_in_memory=True)\n--\n\n"
    "High-performance checkpoint manager for ML training.";

PyType_Slot kManagerSlots[] = {
    {Py_tp_doc, const_cast<char*>(kManagerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(manager_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(manager_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kManagerSpec = {
    .name = "tarnwick.TarnwickManager",
    .basicsize = sizeof(ManagerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kManagerSlots,
};

}  // namespace

PyObject* create_manager_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kManagerSpec, nullptr); }

}  // namespace tarnwick::python
