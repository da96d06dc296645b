// Per-tensor encoding (cast, hash, skip / XOR delta / full decision, compression) and decoding
// (fetch, verify, decompress, undo shuffle and delta, restore the caller's dtype).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "codec/cast.h"
#include "formats/manifest.h"
#include "formats/uuid.h"
#include "runtime/bytes.h"
#include "runtime/error.h"
#include "storage/storage.h"

namespace tarnwick {

// One input tensor of a save, owned by the save.
struct TensorData {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  Bytes data;
};

// Raw bytes of the last full snapshot's uncast Full tensors, kept in memory by the coordinator;
// immutable once shared.
using RetainedTensors = std::unordered_map<std::string, Bytes>;

// What the encoder knows about the base snapshot of a delta save; shared read-only by all
// encoder tasks.
struct BaseCache {
  CompressionAlgo compression;  // decodes base bytes only; new bytes use the save's own
  std::unordered_map<std::string, TensorEntry> entries;
  std::optional<std::string> pack_key;  // absent: base tensors are objects named by `filename`
  StorageHandle storage;                // must be set
  std::shared_ptr<const RetainedTensors> retained;
};

// Intermediate buffers (XOR, shuffle) reused across the tensors of one save, so that each delta
// does not fault in fresh memory. Shared by the encoder tasks; the memory goes with the pool.
class ScratchPool {
 public:
  // A buffer of exactly `size` bytes, uninitialised; reuses a released one when there is one.
  Bytes acquire(std::size_t size);
  void release(Bytes buffer);

 private:
  std::mutex mutex_;
  std::vector<Bytes> free_;
};

// Settings shared by every tensor of one save.
struct EncodeParams {
  const BaseCache* base = nullptr;  // absent: every tensor is Full
  CompressionAlgo compression;
  double delta_max_ratio = 0.95;
  const DTypePolicy* policy = nullptr;  // absent: nothing is cast
  ScratchPool* scratch = nullptr;       // absent: intermediates are allocated per tensor
};

// One encoder result: the entry (offset 0 until the pack layout assigns it) and, for Full and
// DeltaXor, the stored bytes.
struct ProcessedTensor {
  TensorEntry entry;
  std::optional<Bytes> stored;
};

// hash_hex of every tensor's bytes as received, in input order, computed in parallel.
std::vector<std::string> dedup_plan(std::span<const TensorData> tensors);

// Casts, hashes and stores one tensor as Skipped, DeltaXor or Full. No failure (allocation
// included) escapes as an exception.
// `received_hash`, when given, is hash_hex of the tensor's bytes as received (the dedup plan
// computed it already); it is reused as the raw hash when the cast leaves the bytes unchanged.
[[nodiscard]] Result<ProcessedTensor> process_tensor(const TensorData& tensor, const EncodeParams& params,
                                                     const std::string* received_hash = nullptr);

// Called on the encoding thread as each tensor is done, with its index and result; an error it
// returns fails the whole call like an encoding error.
using EncodedSink = std::function<Status(std::size_t index, const ProcessedTensor& result)>;

// Encodes the listed tensors in parallel, one task per tensor; results in input order, or the
// first error (the remaining tasks stop early). `received_hashes`, when not empty, holds each
// tensor's received_hash.
[[nodiscard]] Result<std::vector<ProcessedTensor>> process_tensors_parallel(
    std::span<const TensorData* const> tensors, const EncodeParams& params,
    std::span<const std::string> received_hashes = {}, const EncodedSink* sink = nullptr);

// The entry of a tensor that duplicates an already encoded target of the same save.
TensorEntry alias_entry(const TensorData& alias, const TensorEntry& target);

// Where the stored bytes of one rank entry come from: the whole pack in memory, the pack's key
// (ranged reads), or nothing (tensors are separate objects named by `filename`).
struct OwnedPack {
  std::variant<std::monostate, std::shared_ptr<const Bytes>, std::string> source;

  static OwnedPack none() { return {}; }
  static OwnedPack in_memory(std::shared_ptr<const Bytes> bytes) { return {std::move(bytes)}; }
  static OwnedPack by_key(std::string key) { return {std::move(key)}; }
};

// A tensor's stored bytes: a view into an in-memory pack, or bytes read for this tensor alone.
// Move-only, because `view` may point into `owned`: a copy would view the original's buffer.
struct StoredBytes {
  Bytes owned;
  ByteView view;  // always the bytes to use; points into `owned` or into the shared pack

  StoredBytes() = default;
  StoredBytes(StoredBytes&&) = default;
  StoredBytes& operator=(StoredBytes&&) = default;
  StoredBytes(const StoredBytes&) = delete;
  StoredBytes& operator=(const StoredBytes&) = delete;

  // Bytes that this value owns and views whole.
  static StoredBytes owning(Bytes bytes) {
    StoredBytes stored;
    stored.owned = std::move(bytes);
    stored.view = stored.owned;
    return stored;
  }
  // A slice of a buffer that outlives this value (an in-memory pack).
  static StoredBytes borrowing(ByteView slice) {
    StoredBytes stored;
    stored.view = slice;
    return stored;
  }
  // Whether `view` is exactly `owned`, so that the buffer can be handed on without a copy.
  bool owns_view() const { return view.data() == owned.data() && view.size() == owned.size(); }
};

// The base entry that holds a name's bytes, with the base snapshot's compression and pack.
struct BaseLookup {
  TensorEntry entry;
  CompressionAlgo compression;
  OwnedPack pack;
};

using BaseResolver = std::function<Result<BaseLookup>(const Uuid& base_id, std::string_view name)>;

// What decoding one entry needs besides the entry. `storage` and `pack` must be set; `resolver`
// is consulted only for Skipped and DeltaXor entries of a snapshot with a base.
struct DecodeContext {
  const StorageBackend* storage = nullptr;
  CompressionAlgo compression;
  const OwnedPack* pack = nullptr;
  std::optional<Uuid> base_id;
  const BaseResolver* resolver = nullptr;
};

// The entry's stored bytes: a slice of an in-memory pack that holds them, one ranged read of a
// pack key, or the entry's own object named by `filename`.
[[nodiscard]] Result<StoredBytes> extract_compressed(const TensorEntry& entry, const StorageBackend& storage,
                                                     const OwnedPack& pack);
// The bytes in the stored dtype; refuses Alias entries. Every decompression is bounded by the
// entry's raw_size, and no failure (allocation included) escapes as an exception, so a damaged
// or hostile entry costs an error, never the process.
[[nodiscard]] Result<Bytes> load_tensor_raw(const TensorEntry& entry, const DecodeContext& context);
// load_tensor_raw followed by the restore of the caller's dtype.
[[nodiscard]] Result<Bytes> load_tensor(const TensorEntry& entry, const DecodeContext& context);
// Follows Alias entries inside the base (at most seven hops).
[[nodiscard]] Result<BaseLookup> resolve_base_entry(const Uuid& base_id, std::string_view name,
                                                    const BaseResolver& resolver);

}  // namespace tarnwick
