// The store's key layout and the manifest document: the records that index every snapshot,
// their pretty JSON text in "manifest.json", and the strict reader of that text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/compression_algo.h"
#include "formats/timestamp.h"
#include "formats/uuid.h"
#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// ---- Store layout -------------------------------------------------------------------------

inline constexpr std::string_view kManifestKey = "manifest.json";
inline constexpr std::string_view kPinsKey = "pins.json";

// "snapshots/<id>": the prefix under which one snapshot's files live.
std::string snapshot_prefix(const Uuid& id);
// "snapshots/<id>/rank_<rank>.pack".
std::string rank_pack_key(const Uuid& id, std::uint32_t rank);

// ---- Records ------------------------------------------------------------------------------

// How a tensor's bytes are kept; the numbering is part of the format.
enum class TensorStorage : std::uint8_t { Full = 0, DeltaXor = 1, Skipped = 2, Alias = 3 };

std::string_view tensor_storage_name(TensorStorage storage);
// Full and DeltaXor entries own bytes in the pack; Skipped and Alias entries own none.
constexpr bool has_stored_bytes(TensorStorage storage) {
  return storage == TensorStorage::Full || storage == TensorStorage::DeltaXor;
}

struct RetentionPolicy {
  std::uint64_t max_full_snapshots = 0;
  std::uint64_t max_deltas_per_full = 0;
  std::uint64_t full_snapshot_every_steps = 0;
  std::optional<std::uint64_t> max_total_snapshots;  // absent: no cap

  friend bool operator==(const RetentionPolicy&, const RetentionPolicy&) = default;
};

struct LineageConfig {
  std::uint64_t rollback_interval_steps = 0;
  std::uint64_t max_rollback_snapshots = 0;

  friend bool operator==(const LineageConfig&, const LineageConfig&) = default;
};

struct TensorEntry {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::optional<std::string> original_dtype;
  std::optional<float> quant_scale;
  TensorStorage storage = TensorStorage::Full;
  std::optional<std::string> alias_of;
  std::optional<std::string> filename;
  std::uint64_t offset = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t raw_size = 0;
  std::string hash_raw;
  std::optional<std::string> hash_compressed;
  bool shuffled = false;

  friend bool operator==(const TensorEntry&, const TensorEntry&) = default;
};

struct RankEntry {
  std::uint32_t rank = 0;
  std::vector<TensorEntry> tensors;
  std::optional<std::string> pack_file;
  std::uint64_t total_compressed = 0;
  std::uint64_t total_raw = 0;
  std::uint64_t skipped_count = 0;  // Skipped and Alias entries together
  std::uint64_t delta_count = 0;
  std::uint64_t full_count = 0;

  friend bool operator==(const RankEntry&, const RankEntry&) = default;
};

struct Snapshot {
  Uuid id;
  std::uint64_t step = 0;
  Timestamp created_at{};
  std::map<std::uint32_t, RankEntry> ranks;
  std::optional<Uuid> base_snapshot_id;
  std::map<std::string, std::string> metadata;
  CompressionAlgo compression;
  bool finalized = false;
  bool pinned = false;

  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

struct Manifest {
  std::uint32_t format_version = 2;
  std::uint32_t world_size = 1;
  std::vector<Snapshot> snapshots;
  RetentionPolicy retention;
  LineageConfig lineage;

  friend bool operator==(const Manifest&, const Manifest&) = default;
};

// The compact record at the end of every rank pack.
struct PackDescriptor {
  Uuid snapshot_id;
  std::uint64_t step = 0;
  Timestamp created_at{};
  std::optional<Uuid> base_snapshot_id;
  std::map<std::string, std::string> metadata;
  CompressionAlgo compression;
  std::uint32_t world_size = 0;
  RankEntry rank;

  friend bool operator==(const PackDescriptor&, const PackDescriptor&) = default;
};

// ---- Text forms ---------------------------------------------------------------------------

// The pretty manifest text. Fails (Serialization) only when a text field is not valid UTF-8,
// which would otherwise produce a document no reader accepts.
[[nodiscard]] Result<std::string> write_manifest(const Manifest& manifest);

// Drops trailing zero bytes (object padding), then strictly parses one Manifest. Errors are
// Serialization with the reader's message and, where it has one, " at line L column C".
[[nodiscard]] Result<Manifest> read_manifest(ByteView bytes);

// The compact descriptor text (no whitespace at all).
[[nodiscard]] Result<std::string> write_pack_descriptor(const PackDescriptor& descriptor);
// Strictly parses one PackDescriptor; trailing zero bytes are not removed.
[[nodiscard]] Result<PackDescriptor> parse_pack_descriptor(ByteView bytes);

}  // namespace tarnwick
