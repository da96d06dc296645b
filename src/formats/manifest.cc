#include "formats/manifest.h"

#include <charconv>

#include "formats/json_reader.h"
#include "formats/json_writer.h"

namespace tarnwick {

std::string snapshot_prefix(const Uuid& id) {
  std::string key = "snapshots/";
  id.append_to(key);
  return key;
}

std::string rank_pack_key(const Uuid& id, std::uint32_t rank) {
  return snapshot_prefix(id) + "/rank_" + std::to_string(rank) + ".pack";
}

std::string_view tensor_storage_name(TensorStorage storage) {
  switch (storage) {
    case TensorStorage::Full: return "Full";
    case TensorStorage::DeltaXor: return "DeltaXor";
    case TensorStorage::Skipped: return "Skipped";
    case TensorStorage::Alias: return "Alias";
  }
  return "Full";
}

// ---- Writing ------------------------------------------------------------------------------

namespace {

// Upper estimates of the pretty text, so that the output is allocated once: the fixed part of
// a tensor entry (keys, indentation, hashes, numbers) and of a snapshot, and per dimension.
constexpr std::size_t kPrettyTensorBytes = 720;
constexpr std::size_t kPrettyDimensionBytes = 40;
constexpr std::size_t kPrettySnapshotBytes = 1024;

void write_optional_string(JsonWriter& out, const std::optional<std::string>& value) {
  if (value) {
    out.string_value(*value);
  } else {
    out.null_value();
  }
}

void write_optional_uuid(JsonWriter& out, const std::optional<Uuid>& value) {
  if (value) {
    out.string_value(value->to_string());
  } else {
    out.null_value();
  }
}

void write_compression(JsonWriter& out, const CompressionAlgo& compression) {
  if (compression.kind == CompressionAlgo::Kind::None) {
    out.string_value("None");
    return;
  }
  out.begin_object();
  out.key("Zstd");
  out.begin_object();
  out.key("level");
  out.int_value(compression.level);
  out.end_object();
  out.end_object();
}

void write_metadata(JsonWriter& out, const std::map<std::string, std::string>& metadata) {
  out.begin_object();
  for (const auto& [key, value] : metadata) {
    out.key(key);
    out.string_value(value);
  }
  out.end_object();
}

void write_tensor_entry(JsonWriter& out, const TensorEntry& entry) {
  out.begin_object();
  out.key("name");
  out.string_value(entry.name);
  out.key("shape");
  out.begin_array();
  for (const std::uint64_t dimension : entry.shape) out.uint_value(dimension);
  out.end_array();
  out.key("dtype");
  out.string_value(entry.dtype);
  out.key("original_dtype");
  write_optional_string(out, entry.original_dtype);
  out.key("quant_scale");
  if (entry.quant_scale) {
    out.float_value(*entry.quant_scale);
  } else {
    out.null_value();
  }
  out.key("storage");
  out.string_value(tensor_storage_name(entry.storage));
  out.key("alias_of");
  write_optional_string(out, entry.alias_of);
  out.key("filename");
  write_optional_string(out, entry.filename);
  out.key("offset");
  out.uint_value(entry.offset);
  out.key("compressed_size");
  out.uint_value(entry.compressed_size);
  out.key("raw_size");
  out.uint_value(entry.raw_size);
  out.key("hash_raw");
  out.string_value(entry.hash_raw);
  out.key("hash_compressed");
  write_optional_string(out, entry.hash_compressed);
  out.key("shuffled");
  out.bool_value(entry.shuffled);
  out.end_object();
}

void write_rank_entry(JsonWriter& out, const RankEntry& rank) {
  out.begin_object();
  out.key("rank");
  out.uint_value(rank.rank);
  out.key("tensors");
  out.begin_array();
  for (const TensorEntry& entry : rank.tensors) write_tensor_entry(out, entry);
  out.end_array();
  out.key("pack_file");
  write_optional_string(out, rank.pack_file);
  out.key("total_compressed");
  out.uint_value(rank.total_compressed);
  out.key("total_raw");
  out.uint_value(rank.total_raw);
  out.key("skipped_count");
  out.uint_value(rank.skipped_count);
  out.key("delta_count");
  out.uint_value(rank.delta_count);
  out.key("full_count");
  out.uint_value(rank.full_count);
  out.end_object();
}

void write_snapshot(JsonWriter& out, const Snapshot& snapshot) {
  out.begin_object();
  out.key("id");
  out.string_value(snapshot.id.to_string());
  out.key("step");
  out.uint_value(snapshot.step);
  out.key("created_at");
  out.string_value(format_timestamp(snapshot.created_at));
  out.key("ranks");
  out.begin_object();
  for (const auto& [rank, entry] : snapshot.ranks) {
    out.key(std::to_string(rank));
    write_rank_entry(out, entry);
  }
  out.end_object();
  out.key("base_snapshot_id");
  write_optional_uuid(out, snapshot.base_snapshot_id);
  out.key("metadata");
  write_metadata(out, snapshot.metadata);
  out.key("compression");
  write_compression(out, snapshot.compression);
  out.key("finalized");
  out.bool_value(snapshot.finalized);
  out.key("pinned");
  out.bool_value(snapshot.pinned);
  out.end_object();
}

std::size_t estimated_pretty_size(const Manifest& manifest) {
  std::size_t size = kPrettySnapshotBytes;
  for (const Snapshot& snapshot : manifest.snapshots) {
    size += kPrettySnapshotBytes;
    for (const auto& [key, value] : snapshot.metadata) size += 2 * (key.size() + value.size());
    for (const auto& [rank, entry] : snapshot.ranks) {
      size += kPrettySnapshotBytes;
      for (const TensorEntry& tensor : entry.tensors) {
        size += kPrettyTensorBytes + 2 * tensor.name.size() + kPrettyDimensionBytes * tensor.shape.size();
      }
    }
  }
  return size;
}

}  // namespace

Result<std::string> write_manifest(const Manifest& manifest) {
  JsonWriter out(JsonWriter::Style::Pretty, estimated_pretty_size(manifest));
  out.begin_object();
  out.key("format_version");
  out.uint_value(manifest.format_version);
  out.key("world_size");
  out.uint_value(manifest.world_size);
  out.key("snapshots");
  out.begin_array();
  for (const Snapshot& snapshot : manifest.snapshots) write_snapshot(out, snapshot);
  out.end_array();
  out.key("retention");
  out.begin_object();
  out.key("max_full_snapshots");
  out.uint_value(manifest.retention.max_full_snapshots);
  out.key("max_deltas_per_full");
  out.uint_value(manifest.retention.max_deltas_per_full);
  out.key("full_snapshot_every_steps");
  out.uint_value(manifest.retention.full_snapshot_every_steps);
  out.key("max_total_snapshots");
  if (manifest.retention.max_total_snapshots) {
    out.uint_value(*manifest.retention.max_total_snapshots);
  } else {
    out.null_value();
  }
  out.end_object();
  out.key("lineage");
  out.begin_object();
  out.key("rollback_interval_steps");
  out.uint_value(manifest.lineage.rollback_interval_steps);
  out.key("max_rollback_snapshots");
  out.uint_value(manifest.lineage.max_rollback_snapshots);
  out.end_object();
  out.end_object();
  return std::move(out).finish();
}

Result<std::string> write_pack_descriptor(const PackDescriptor& descriptor) {
  JsonWriter out(JsonWriter::Style::Compact);
  out.begin_object();
  out.key("snapshot_id");
  out.string_value(descriptor.snapshot_id.to_string());
  out.key("step");
  out.uint_value(descriptor.step);
  out.key("created_at");
  out.string_value(format_timestamp(descriptor.created_at));
  out.key("base_snapshot_id");
  write_optional_uuid(out, descriptor.base_snapshot_id);
  out.key("metadata");
  write_metadata(out, descriptor.metadata);
  out.key("compression");
  write_compression(out, descriptor.compression);
  out.key("world_size");
  out.uint_value(descriptor.world_size);
  out.key("rank");
  write_rank_entry(out, descriptor.rank);
  out.end_object();
  return std::move(out).finish();
}

// ---- Reading ------------------------------------------------------------------------------

namespace {

using json::FieldAlias;
using json::FieldSpec;
using json::Reader;
using json::RecordSpec;
using json::Value;

constexpr bool kRequired = true;
constexpr bool kOptional = false;

constexpr FieldSpec kManifestFields[] = {
    {"format_version", kRequired}, {"world_size", kRequired}, {"snapshots", kRequired},
    {"retention", kRequired},      {"lineage", kRequired},
};
constexpr FieldSpec kRetentionFields[] = {
    {"max_full_snapshots", kRequired},
    {"max_deltas_per_full", kRequired},
    {"full_snapshot_every_steps", kRequired},
    {"max_total_snapshots", kOptional},
};
constexpr FieldSpec kLineageFields[] = {
    {"rollback_interval_steps", kRequired},
    {"max_rollback_snapshots", kRequired},
};
constexpr FieldSpec kSnapshotFields[] = {
    {"id", kRequired},       {"step", kRequired},        {"created_at", kRequired},
    {"ranks", kRequired},    {"base_snapshot_id", kOptional}, {"metadata", kRequired},
    {"compression", kRequired}, {"finalized", kRequired}, {"pinned", kOptional},
};
constexpr FieldSpec kRankFields[] = {
    {"rank", kRequired},           {"tensors", kRequired},   {"pack_file", kOptional},
    {"total_compressed", kRequired}, {"total_raw", kRequired}, {"skipped_count", kRequired},
    {"delta_count", kRequired},    {"full_count", kRequired},
};
constexpr FieldSpec kTensorFields[] = {
    {"name", kRequired},        {"shape", kRequired},           {"dtype", kRequired},
    {"original_dtype", kOptional}, {"quant_scale", kOptional},  {"storage", kRequired},
    {"alias_of", kOptional},    {"filename", kOptional},        {"offset", kOptional},
    {"compressed_size", kRequired}, {"raw_size", kRequired},    {"hash_raw", kRequired},
    {"hash_compressed", kOptional}, {"shuffled", kOptional},
};
enum TensorSlot : std::size_t { kHashRawSlot = 11, kHashCompressedSlot = 12 };
constexpr FieldAlias kTensorAliases[] = {
    {"sha256_raw", kHashRawSlot},
    {"sha256_compressed", kHashCompressedSlot},
};
constexpr FieldSpec kDescriptorFields[] = {
    {"snapshot_id", kRequired}, {"step", kRequired},        {"created_at", kRequired},
    {"base_snapshot_id", kOptional}, {"metadata", kRequired}, {"compression", kRequired},
    {"world_size", kRequired},  {"rank", kRequired},
};
constexpr FieldSpec kZstdFields[] = {{"level", kRequired}};

constexpr RecordSpec kManifestSpec{"struct Manifest", kManifestFields};
constexpr RecordSpec kRetentionSpec{"struct RetentionPolicy", kRetentionFields};
constexpr RecordSpec kLineageSpec{"struct LineageConfig", kLineageFields};
constexpr RecordSpec kSnapshotSpec{"struct Snapshot", kSnapshotFields};
constexpr RecordSpec kRankSpec{"struct RankEntry", kRankFields};
constexpr RecordSpec kTensorSpec{"struct TensorEntry", kTensorFields, kTensorAliases};
constexpr RecordSpec kDescriptorSpec{"struct PackDescriptor", kDescriptorFields};
constexpr RecordSpec kZstdSpec{"struct variant CompressionAlgo::Zstd", kZstdFields};

std::string quoted_string(std::string_view text) { return "string \"" + json::excerpt(text) + "\""; }

Status read_uuid(Reader& reader, Value& value, Uuid& out) {
  TW_ASSIGN_OR_RETURN(const std::string_view text, reader.string(value, "a UUID string"));
  const std::optional<Uuid> id = Uuid::parse(text);
  if (!id) {
    return fail(reader.value_error("invalid value: " + quoted_string(text) + ", expected a hyphenated UUID", value));
  }
  out = *id;
  return {};
}

Status read_optional_uuid(Reader& reader, Value& value, std::optional<Uuid>& out) {
  TW_ASSIGN_OR_RETURN(const bool null, reader.is_null(value));
  if (null) {
    out.reset();
    return {};
  }
  Uuid id;
  TW_RETURN_IF_ERROR(read_uuid(reader, value, id));
  out = id;
  return {};
}

Status read_timestamp(Reader& reader, Value& value, Timestamp& out) {
  TW_ASSIGN_OR_RETURN(const std::string_view text, reader.string(value, "an RFC 3339 timestamp"));
  const std::optional<Timestamp> time = parse_timestamp(text);
  if (!time) {
    return fail(
        reader.value_error("invalid value: " + quoted_string(text) + ", expected an RFC 3339 timestamp", value));
  }
  out = *time;
  return {};
}

Status read_storage(Reader& reader, Value& value, TensorStorage& out) {
  TW_ASSIGN_OR_RETURN(const std::string_view name, reader.string(value, "a TensorStorage variant name"));
  for (const TensorStorage storage :
       {TensorStorage::Full, TensorStorage::DeltaXor, TensorStorage::Skipped, TensorStorage::Alias}) {
    if (name == tensor_storage_name(storage)) {
      out = storage;
      return {};
    }
  }
  return fail(reader.value_error(
      "unknown variant `" + json::excerpt(name) + "`, expected one of `Full`, `DeltaXor`, `Skipped`, `Alias`", value));
}

std::string unknown_compression(std::string_view name) {
  return "unknown variant `" + json::excerpt(name) + "`, expected `None` or `Zstd`";
}

// "None", or {"Zstd": {"level": n}}.
Status read_compression(Reader& reader, Value& value, CompressionAlgo& out) {
  simdjson::ondemand::json_type type;
  if (value.type().get(type) == simdjson::SUCCESS && type == simdjson::ondemand::json_type::string) {
    TW_ASSIGN_OR_RETURN(const std::string_view name, reader.string(value, "a CompressionAlgo"));
    if (name == "None") {
      out = CompressionAlgo::none();
      return {};
    }
    if (name == "Zstd") {
      return fail(
          reader.value_error("invalid type: unit variant, expected struct variant `Zstd` with field `level`", value));
    }
    return fail(reader.value_error(unknown_compression(name), value));
  }
  bool have_variant = false;
  const auto read_variant = [&](std::string_view name, const char* position, Value& inner) -> Status {
    if (have_variant) {
      return fail(reader.error_at("invalid value: map with more than one key, expected a CompressionAlgo", position));
    }
    have_variant = true;
    if (name == "None") {
      return fail(reader.error_at("invalid type: map, expected the unit variant `None` as a string", position));
    }
    if (name != "Zstd") return fail(reader.error_at(unknown_compression(name), position));
    std::int32_t level = 0;
    TW_RETURN_IF_ERROR(
        reader.record(inner, kZstdSpec, [&](std::size_t, Value& field) { return reader.read(field, level); }));
    out = CompressionAlgo::zstd(level);
    return {};
  };
  TW_RETURN_IF_ERROR(reader.members(value, "a CompressionAlgo", read_variant));
  if (!have_variant) {
    return fail(
        reader.error_at("invalid value: empty map, expected a CompressionAlgo", reader.last_closing_bracket()));
  }
  return {};
}

Status read_metadata(Reader& reader, Value& value, std::map<std::string, std::string>& out) {
  const auto read_member = [&](std::string_view key, const char* position, Value& item) -> Status {
    TW_ASSIGN_OR_RETURN(const std::string_view text, reader.string(item, "a string"));
    if (!out.try_emplace(std::string(key), text).second) {
      return fail(reader.error_at("duplicate key `" + json::excerpt(key) + "`", position));
    }
    return {};
  };
  return reader.members(value, "a map of strings", read_member);
}

Status read_tensor_entry(Reader& reader, Value& value, TensorEntry& entry) {
  return reader.record(value, kTensorSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return reader.read(field, entry.name);
      case 1:
        return reader.elements(field, "a sequence of u64", [&](Value& dimension) -> Status {
          std::uint64_t size;
          TW_RETURN_IF_ERROR(reader.read(dimension, size));
          entry.shape.push_back(size);
          return {};
        });
      case 2: return reader.read(field, entry.dtype);
      case 3: return reader.read(field, entry.original_dtype);
      case 4: return reader.read(field, entry.quant_scale);
      case 5: return read_storage(reader, field, entry.storage);
      case 6: return reader.read(field, entry.alias_of);
      case 7: return reader.read(field, entry.filename);
      case 8: return reader.read(field, entry.offset);
      case 9: return reader.read(field, entry.compressed_size);
      case 10: return reader.read(field, entry.raw_size);
      case kHashRawSlot: return reader.read(field, entry.hash_raw);
      case kHashCompressedSlot: return reader.read(field, entry.hash_compressed);
      default: return reader.read(field, entry.shuffled);
    }
  });
}

Status read_rank_entry(Reader& reader, Value& value, RankEntry& rank) {
  return reader.record(value, kRankSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return reader.read(field, rank.rank);
      case 1:
        return reader.elements(field, "a sequence of TensorEntry", [&](Value& item) {
          return read_tensor_entry(reader, item, rank.tensors.emplace_back());
        });
      case 2: return reader.read(field, rank.pack_file);
      case 3: return reader.read(field, rank.total_compressed);
      case 4: return reader.read(field, rank.total_raw);
      case 5: return reader.read(field, rank.skipped_count);
      case 6: return reader.read(field, rank.delta_count);
      default: return reader.read(field, rank.full_count);
    }
  });
}

// A rank key is the rank in canonical decimal: digits only, no leading zeros, within u32.
std::optional<std::uint32_t> parse_rank_key(std::string_view key) {
  if (key.empty() || (key.size() > 1 && key[0] == '0') || key[0] < '0' || key[0] > '9') return std::nullopt;
  std::uint32_t rank;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), rank);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  return rank;
}

Status read_ranks(Reader& reader, Value& value, std::map<std::uint32_t, RankEntry>& ranks) {
  const auto read_member = [&](std::string_view key, const char* position, Value& item) -> Status {
    const std::optional<std::uint32_t> rank = parse_rank_key(key);
    if (!rank) {
      return fail(reader.error_at("invalid value: " + quoted_string(key) + ", expected a decimal u32 rank", position));
    }
    const auto [slot, inserted] = ranks.try_emplace(*rank);
    if (!inserted) return fail(reader.error_at("duplicate key `" + json::excerpt(key) + "`", position));
    return read_rank_entry(reader, item, slot->second);
  };
  return reader.members(value, "a map of RankEntry", read_member);
}

Status read_snapshot(Reader& reader, Value& value, Snapshot& snapshot) {
  return reader.record(value, kSnapshotSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return read_uuid(reader, field, snapshot.id);
      case 1: return reader.read(field, snapshot.step);
      case 2: return read_timestamp(reader, field, snapshot.created_at);
      case 3: return read_ranks(reader, field, snapshot.ranks);
      case 4: return read_optional_uuid(reader, field, snapshot.base_snapshot_id);
      case 5: return read_metadata(reader, field, snapshot.metadata);
      case 6: return read_compression(reader, field, snapshot.compression);
      case 7: return reader.read(field, snapshot.finalized);
      default: return reader.read(field, snapshot.pinned);
    }
  });
}

Status read_retention(Reader& reader, Value& value, RetentionPolicy& retention) {
  return reader.record(value, kRetentionSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return reader.read(field, retention.max_full_snapshots);
      case 1: return reader.read(field, retention.max_deltas_per_full);
      case 2: return reader.read(field, retention.full_snapshot_every_steps);
      default: return reader.read(field, retention.max_total_snapshots);
    }
  });
}

Status read_lineage(Reader& reader, Value& value, LineageConfig& lineage) {
  return reader.record(value, kLineageSpec, [&](std::size_t slot, Value& field) -> Status {
    return slot == 0 ? reader.read(field, lineage.rollback_interval_steps)
                     : reader.read(field, lineage.max_rollback_snapshots);
  });
}

Status read_manifest_record(Reader& reader, Value& value, Manifest& manifest) {
  return reader.record(value, kManifestSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return reader.read(field, manifest.format_version);
      case 1: return reader.read(field, manifest.world_size);
      case 2:
        return reader.elements(field, "a sequence of Snapshot", [&](Value& item) {
          return read_snapshot(reader, item, manifest.snapshots.emplace_back());
        });
      case 3: return read_retention(reader, field, manifest.retention);
      default: return read_lineage(reader, field, manifest.lineage);
    }
  });
}

Status read_descriptor_record(Reader& reader, Value& value, PackDescriptor& descriptor) {
  return reader.record(value, kDescriptorSpec, [&](std::size_t slot, Value& field) -> Status {
    switch (slot) {
      case 0: return read_uuid(reader, field, descriptor.snapshot_id);
      case 1: return reader.read(field, descriptor.step);
      case 2: return read_timestamp(reader, field, descriptor.created_at);
      case 3: return read_optional_uuid(reader, field, descriptor.base_snapshot_id);
      case 4: return read_metadata(reader, field, descriptor.metadata);
      case 5: return read_compression(reader, field, descriptor.compression);
      case 6: return reader.read(field, descriptor.world_size);
      default: return read_rank_entry(reader, field, descriptor.rank);
    }
  });
}

}  // namespace

Result<Manifest> read_manifest(ByteView bytes) {
  std::size_t length = bytes.size();
  while (length > 0 && bytes[length - 1] == std::byte{0}) --length;
  Manifest manifest;
  TW_RETURN_IF_ERROR(Reader::parse(bytes.first(length), bytes.size() - length, [&](Reader& reader, Value& root) {
    return read_manifest_record(reader, root, manifest);
  }));
  return manifest;
}

Result<PackDescriptor> parse_pack_descriptor(ByteView bytes) {
  PackDescriptor descriptor;
  TW_RETURN_IF_ERROR(Reader::parse(bytes, 0, [&](Reader& reader, Value& root) {
    return read_descriptor_record(reader, root, descriptor);
  }));
  return descriptor;
}

}  // namespace tarnwick
