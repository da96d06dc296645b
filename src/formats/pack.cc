#include "formats/pack.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace tarnwick {
namespace {

void store_le(std::byte* out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint64_t load_le(const std::byte* in, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::to_integer<std::uint64_t>(in[i]) << (8 * i);
  return value;
}

Status check_stored_bytes(const std::string& pack_key, const PackTensor& tensor) {
  const TensorEntry& entry = tensor.entry;
  const auto problem = [&](const std::string& what) {
    return fail(TarnwickError::serialization("cannot assemble " + pack_key + ": tensor `" + entry.name + "` " + what));
  };
  if (has_stored_bytes(entry.storage) != tensor.stored.has_value()) {
    return problem(std::string("is `") + std::string(tensor_storage_name(entry.storage)) +
                   (tensor.stored ? "` but has stored bytes" : "` but has no stored bytes"));
  }
  const std::uint64_t stored_size = tensor.stored ? tensor.stored->size() : 0;
  if (entry.compressed_size != stored_size) {
    return problem("records compressed_size " + std::to_string(entry.compressed_size) + " but has " +
                   std::to_string(stored_size) + " stored bytes");
  }
  return {};
}

TarnwickError truncated(std::string_view pack_key) {
  return TarnwickError::storage(std::string(pack_key) + " is truncated: the rank that wrote it did not finish");
}

// Reads exactly `length` bytes at `offset` in bounded pieces, so that a damaged length field
// never makes a backend or this reader allocate more than what is really there; fails as
// truncated when the object ends first.
Result<Bytes> read_descriptor_bytes(std::string_view pack_key, const ReadRange& read_range, std::uint64_t offset,
                                    std::uint64_t length) {
  if (length > std::numeric_limits<std::uint64_t>::max() - offset) return fail(truncated(pack_key));
  Bytes text;
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t want = std::min(length - done, kDescriptorReadPieceSize);
    TW_ASSIGN_OR_RETURN(Bytes piece, read_range(offset + done, want));
    if (piece.size() < want) return fail(truncated(pack_key));
    if (done == 0 && want == length) {
      piece.resize(want);
      return piece;
    }
    try {
      text.insert(text.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(want));
    } catch (const std::bad_alloc&) {
      return fail(TarnwickError::storage("out of memory reading the descriptor of " + std::string(pack_key)));
    }
    done += want;
  }
  return text;
}

}  // namespace

PackHeaderBytes encode_pack_header(const PackHeader& header) {
  PackHeaderBytes bytes{};
  std::memcpy(bytes.data(), kPackMagic.data(), kPackMagic.size());
  store_le(bytes.data() + 8, kPackVersion, 4);
  store_le(bytes.data() + 12, 0, 4);
  store_le(bytes.data() + 16, header.descriptor_offset, 8);
  store_le(bytes.data() + 24, header.descriptor_length, 8);
  return bytes;
}

std::optional<PackHeader> decode_pack_header(ByteView bytes) {
  if (bytes.size() < kPackHeaderSize) return std::nullopt;
  if (std::memcmp(bytes.data(), kPackMagic.data(), kPackMagic.size()) != 0) return std::nullopt;
  if (load_le(bytes.data() + 8, 4) != kPackVersion) return std::nullopt;
  return PackHeader{load_le(bytes.data() + 16, 8), load_le(bytes.data() + 24, 8)};
}

bool is_pack_key(std::string_view key) { return key.ends_with(".pack"); }

std::vector<ByteView> AssembledPack::parts() const {
  std::vector<ByteView> slices;
  slices.reserve(stored.size() + 2);
  slices.emplace_back(header);
  slices.insert(slices.end(), stored.begin(), stored.end());
  slices.push_back(as_bytes(descriptor_text));
  return slices;
}

Result<AssembledPack> assemble_pack(const Snapshot& snapshot, std::uint32_t world_size, std::uint32_t rank,
                                    std::string pack_key, std::vector<PackTensor> tensors) {
  AssembledPack pack;
  RankEntry& entry = pack.descriptor.rank;
  entry.rank = rank;
  entry.tensors.reserve(tensors.size());
  pack.stored.reserve(tensors.size());
  std::uint64_t position = kPackHeaderSize;
  for (PackTensor& tensor : tensors) {
    TW_RETURN_IF_ERROR(check_stored_bytes(pack_key, tensor));
    TensorEntry& placed = entry.tensors.emplace_back(std::move(tensor.entry));
    placed.offset = 0;
    if (tensor.stored) {
      placed.offset = position;
      position += tensor.stored->size();
      pack.stored.push_back(*tensor.stored);
    }
    entry.total_compressed += placed.compressed_size;
    entry.total_raw += placed.raw_size;
    switch (placed.storage) {
      case TensorStorage::Full: ++entry.full_count; break;
      case TensorStorage::DeltaXor: ++entry.delta_count; break;
      case TensorStorage::Skipped:
      case TensorStorage::Alias: ++entry.skipped_count; break;
    }
  }
  entry.pack_file = std::move(pack_key);

  pack.descriptor.snapshot_id = snapshot.id;
  pack.descriptor.step = snapshot.step;
  pack.descriptor.created_at = snapshot.created_at;
  pack.descriptor.base_snapshot_id = snapshot.base_snapshot_id;
  pack.descriptor.metadata = snapshot.metadata;
  pack.descriptor.compression = snapshot.compression;
  pack.descriptor.world_size = world_size;
  TW_ASSIGN_OR_RETURN(pack.descriptor_text, write_pack_descriptor(pack.descriptor));
  pack.header = encode_pack_header({position, pack.descriptor_text.size()});
  return pack;
}

Result<PackDescriptor> read_pack_descriptor(std::string_view pack_key, const ReadRange& read_range,
                                            std::optional<Uuid> expected_snapshot) {
  TW_ASSIGN_OR_RETURN(const Bytes header_bytes, read_range(0, kPackHeaderSize));
  const std::optional<PackHeader> header = decode_pack_header(header_bytes);
  if (!header) return fail(TarnwickError::storage(std::string(pack_key) + " has no pack header"));

  TW_ASSIGN_OR_RETURN(
      const Bytes text,
      read_descriptor_bytes(pack_key, read_range, header->descriptor_offset, header->descriptor_length));
  Result<PackDescriptor> descriptor = parse_pack_descriptor(text);
  if (!descriptor) {
    return fail(TarnwickError::serialization(std::string(pack_key) + ": " + descriptor.error().text()));
  }
  if (expected_snapshot && descriptor->snapshot_id != *expected_snapshot) {
    return fail(TarnwickError::storage(std::string(pack_key) + " belongs to snapshot " +
                                       descriptor->snapshot_id.to_string() + ", not " +
                                       expected_snapshot->to_string()));
  }
  return descriptor;
}

}  // namespace tarnwick
