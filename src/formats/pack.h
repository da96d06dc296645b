// Rank pack files: a 32-byte header, the stored bytes of every tensor back to back, and the
// compact JSON descriptor that repeats the snapshot's identity and the rank's entry.
//
//   offset  length  field
//   0       8       magic "TARNPACK"
//   8       4       version 1 (little-endian)
//   12      4       reserved, written as 0, never examined
//   16      8       descriptor offset = 32 + total stored bytes (little-endian)
//   24      8       descriptor length (little-endian)
//   32      ...     data region, then the descriptor; zero padding may follow
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/manifest.h"
#include "formats/uuid.h"
#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

inline constexpr std::string_view kPackMagic = "TARNPACK";
inline constexpr std::uint32_t kPackVersion = 1;
inline constexpr std::size_t kPackHeaderSize = 32;
// The largest range `read_pack_descriptor` requests at once.
inline constexpr std::uint64_t kDescriptorReadPieceSize = 16 << 20;

using PackHeaderBytes = std::array<std::byte, kPackHeaderSize>;

struct PackHeader {
  std::uint64_t descriptor_offset = 0;
  std::uint64_t descriptor_length = 0;

  friend bool operator==(const PackHeader&, const PackHeader&) = default;
};

PackHeaderBytes encode_pack_header(const PackHeader& header);
// Nothing when fewer than 32 bytes are given, the magic differs or the version is not 1.
std::optional<PackHeader> decode_pack_header(ByteView bytes);

// Whether a key found under a snapshot prefix names a pack.
bool is_pack_key(std::string_view key);

// One tensor going into a pack: its entry and, for Full and DeltaXor, its stored bytes (which
// may be empty); Skipped and Alias entries have none.
struct PackTensor {
  TensorEntry entry;
  std::optional<ByteView> stored;
};

struct AssembledPack {
  // The pack's descriptor; `descriptor.rank` is the completed rank entry for the manifest.
  PackDescriptor descriptor;
  PackHeaderBytes header{};
  std::string descriptor_text;
  // The stored bytes in entry order; views into the caller's buffers.
  std::vector<ByteView> stored;

  // The slices for `put_parts`: header, stored bytes, descriptor text. They view this object
  // and the caller's buffers, so take them from the object that stays put, after any move.
  std::vector<ByteView> parts() const;
};

// Lays out one rank's pack: assigns offsets from 32 in entry order to every entry with stored
// bytes (empty ones included; entries without stored bytes get 0), completes the rank entry
// (pack_file, totals, counts) and serializes the descriptor. Fails (Serialization) when an
// entry's stored bytes do not match its storage kind or its compressed_size, or when the
// descriptor cannot be written.
[[nodiscard]] Result<AssembledPack> assemble_pack(const Snapshot& snapshot, std::uint32_t world_size,
                                                  std::uint32_t rank, std::string pack_key,
                                                  std::vector<PackTensor> tensors);

// Reads at most `length` bytes of the pack from `offset`; shorter when the object ends first.
using ReadRange = std::function<Result<Bytes>(std::uint64_t offset, std::uint64_t length)>;

// Reads and checks the header and the descriptor of the pack `pack_key`, never its data region.
// The descriptor is fetched in bounded pieces, so a damaged length costs no more memory than
// the bytes that actually exist. Storage errors from `read_range` are passed on; otherwise:
//   Storage "<key> has no pack header"
//   Storage "<key> is truncated: the rank that wrote it did not finish"
//   Serialization "<key>: <parser message>"
//   Storage "<key> belongs to snapshot <found>, not <expected>"
[[nodiscard]] Result<PackDescriptor> read_pack_descriptor(std::string_view pack_key, const ReadRange& read_range,
                                                          std::optional<Uuid> expected_snapshot);

}  // namespace tarnwick
