#include "formats/pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

}  // namespace

void PrintTo(const TarnwickError& error, std::ostream* out) { *out << error.message(); }

namespace {

const Uuid kSnapshotId = *Uuid::parse("0f0e0d0c-0b0a-4908-8706-050403020100");
const Uuid kBaseId = *Uuid::parse("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
const std::string kPackKey = rank_pack_key(kSnapshotId, 1);

Snapshot snapshot_record() {
  Snapshot snapshot;
  snapshot.id = kSnapshotId;
  snapshot.step = 42;
  snapshot.created_at = Timestamp(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1)) + 5ms;
  snapshot.base_snapshot_id = kBaseId;
  snapshot.metadata = {{"epoch", "3"}};
  snapshot.compression = CompressionAlgo::zstd(3);
  return snapshot;
}

PackTensor tensor(std::string name, TensorStorage storage, std::optional<std::string_view> stored,
                  std::uint64_t raw_size) {
  PackTensor item;
  item.entry.name = std::move(name);
  item.entry.shape = {raw_size};
  item.entry.dtype = "uint8";
  item.entry.storage = storage;
  item.entry.raw_size = raw_size;
  item.entry.hash_raw = "00112233445566778899aabbccddeeff";
  item.entry.offset = 999;  // whatever the caller left here is replaced
  if (stored) {
    item.stored = as_bytes(*stored);
    item.entry.compressed_size = stored->size();
    item.entry.hash_compressed = "ffeeddccbbaa99887766554433221100";
  }
  if (storage == TensorStorage::Alias) item.entry.alias_of = "a";
  return item;
}

AssembledPack assemble(std::vector<PackTensor> tensors) {
  Result<AssembledPack> pack = assemble_pack(snapshot_record(), 4, 1, kPackKey, std::move(tensors));
  EXPECT_TRUE(pack.has_value()) << pack.error().message();
  return pack ? std::move(*pack) : AssembledPack{};
}

// What put_parts would store: the parts back to back.
Bytes join(const std::vector<ByteView>& parts) {
  Bytes object;
  for (ByteView part : parts) object.insert(object.end(), part.begin(), part.end());
  return object;
}

// As the local backend stores it: zero padding up to a multiple of 4096.
Bytes padded(Bytes object) {
  object.resize((object.size() + 4095) / 4096 * 4096, std::byte{0});
  return object;
}

// A range reader over an object in memory that notes every request.
struct MemoryObject {
  Bytes bytes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> requests;

  ReadRange reader() {
    return [this](std::uint64_t offset, std::uint64_t length) -> Result<Bytes> {
      requests.emplace_back(offset, length);
      if (offset >= bytes.size()) return Bytes{};
      const std::uint64_t count = std::min<std::uint64_t>(length, bytes.size() - offset);
      return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
    };
  }
};

std::uint64_t load_u64(const Bytes& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value |= std::to_integer<std::uint64_t>(bytes[at + i]) << (8 * i);
  return value;
}

void store_u64(Bytes& bytes, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::byte>(value >> (8 * i));
}

std::vector<PackTensor> mixed_tensors() {
  std::vector<PackTensor> tensors;
  tensors.push_back(tensor("a", TensorStorage::Full, "AAAAA", 8));
  tensors.push_back(tensor("b", TensorStorage::Skipped, std::nullopt, 16));
  tensors.push_back(tensor("c", TensorStorage::DeltaXor, "", 0));
  tensors.push_back(tensor("d", TensorStorage::Alias, std::nullopt, 8));
  tensors.push_back(tensor("e", TensorStorage::Full, "EEE", 4));
  tensors.push_back(tensor("f", TensorStorage::DeltaXor, "FFFF", 32));
  return tensors;
}

// ---- Assembly -----------------------------------------------------------------------------

TEST(PackAssembly, AssignsRunningOffsetsFrom32AndCompletesTheRankEntry) {
  const AssembledPack pack = assemble(mixed_tensors());
  const RankEntry& rank = pack.descriptor.rank;
  ASSERT_EQ(rank.tensors.size(), 6u);
  std::vector<std::uint64_t> offsets;
  for (const TensorEntry& entry : rank.tensors) offsets.push_back(entry.offset);
  // The empty DeltaXor entry still takes the running position; Skipped and Alias get 0.
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{32, 0, 37, 0, 37, 40}));
  EXPECT_EQ(rank.rank, 1u);
  EXPECT_EQ(rank.pack_file, kPackKey);
  EXPECT_EQ(rank.total_compressed, 12u);
  EXPECT_EQ(rank.total_raw, 68u);
  EXPECT_EQ(rank.full_count, 2u);
  EXPECT_EQ(rank.delta_count, 2u);
  EXPECT_EQ(rank.skipped_count, 2u);
  EXPECT_EQ(rank.tensors[3].alias_of, "a");

  const Snapshot snapshot = snapshot_record();
  EXPECT_EQ(pack.descriptor.snapshot_id, snapshot.id);
  EXPECT_EQ(pack.descriptor.step, snapshot.step);
  EXPECT_EQ(pack.descriptor.created_at, snapshot.created_at);
  EXPECT_EQ(pack.descriptor.base_snapshot_id, snapshot.base_snapshot_id);
  EXPECT_EQ(pack.descriptor.metadata, snapshot.metadata);
  EXPECT_EQ(pack.descriptor.compression, snapshot.compression);
  EXPECT_EQ(pack.descriptor.world_size, 4u);
  EXPECT_EQ(pack.descriptor_text, write_pack_descriptor(pack.descriptor).value());
}

TEST(PackAssembly, PartsAreHeaderStoredBytesInEntryOrderThenDescriptor) {
  const AssembledPack pack = assemble(mixed_tensors());
  const Bytes object = join(pack.parts());
  const std::string_view text = as_text(object);

  EXPECT_EQ(text.substr(0, 8), "TARNPACK");
  EXPECT_EQ(text.substr(8, 8), std::string_view("\x01\x00\x00\x00\x00\x00\x00\x00", 8));  // version 1, reserved 0
  EXPECT_EQ(load_u64(object, 16), 44u);
  EXPECT_EQ(load_u64(object, 24), pack.descriptor_text.size());
  EXPECT_EQ(text.substr(32, 12), "AAAAAEEEFFFF");
  EXPECT_EQ(text.substr(44), pack.descriptor_text);
  EXPECT_EQ(pack.descriptor_text.find_first_of(" \n"), std::string::npos);
}

TEST(PackAssembly, AllSkippedRankPutsTheDescriptorRightAfterTheHeader) {
  std::vector<PackTensor> tensors;
  tensors.push_back(tensor("x", TensorStorage::Skipped, std::nullopt, 4));
  tensors.push_back(tensor("y", TensorStorage::Alias, std::nullopt, 4));
  const AssembledPack pack = assemble(std::move(tensors));
  const Bytes object = join(pack.parts());
  EXPECT_EQ(object.size(), 32 + pack.descriptor_text.size());
  EXPECT_EQ(load_u64(object, 16), 32u);
  EXPECT_EQ(pack.descriptor.rank.skipped_count, 2u);
  EXPECT_EQ(pack.descriptor.rank.total_compressed, 0u);
}

struct AssemblyFault {
  const char* name;
  PackTensor tensor;
  std::string message;
};

class PackAssemblyFault : public ::testing::TestWithParam<AssemblyFault> {};

TEST_P(PackAssemblyFault, StoredBytesMustMatchTheEntry) {
  std::vector<PackTensor> tensors;
  tensors.push_back(tensor("ok", TensorStorage::Full, "x", 1));
  tensors.push_back(GetParam().tensor);
  Result<AssembledPack> pack = assemble_pack(snapshot_record(), 4, 1, kPackKey, std::move(tensors));
  ASSERT_FALSE(pack.has_value());
  EXPECT_EQ(pack.error(), TarnwickError::serialization("cannot assemble " + kPackKey + ": " + GetParam().message));
}

PackTensor with_compressed_size(PackTensor item, std::uint64_t size) {
  item.entry.compressed_size = size;
  return item;
}

PackTensor with_storage(PackTensor item, TensorStorage storage) {
  item.entry.storage = storage;
  return item;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PackAssemblyFault,
    ::testing::Values(
        AssemblyFault{"full_without_bytes", tensor("t", TensorStorage::Full, std::nullopt, 4),
                      "tensor `t` is `Full` but has no stored bytes"},
        AssemblyFault{"delta_without_bytes", tensor("t", TensorStorage::DeltaXor, std::nullopt, 4),
                      "tensor `t` is `DeltaXor` but has no stored bytes"},
        AssemblyFault{"skipped_with_bytes", with_storage(tensor("t", TensorStorage::Full, "abc", 4), TensorStorage::Skipped),
                      "tensor `t` is `Skipped` but has stored bytes"},
        AssemblyFault{"size_differs", with_compressed_size(tensor("t", TensorStorage::Full, "abc", 4), 4),
                      "tensor `t` records compressed_size 4 but has 3 stored bytes"},
        AssemblyFault{"alias_with_size", with_compressed_size(tensor("t", TensorStorage::Alias, std::nullopt, 4), 2),
                      "tensor `t` records compressed_size 2 but has 0 stored bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Reading ------------------------------------------------------------------------------

TEST(PackReading, ReadsTheDescriptorByTheHeaderWithOrWithoutPadding) {
  const AssembledPack pack = assemble(mixed_tensors());
  for (const bool pad : {false, true}) {
    MemoryObject object{pad ? padded(join(pack.parts())) : join(pack.parts())};
    Result<PackDescriptor> descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId);
    ASSERT_TRUE(descriptor.has_value()) << descriptor.error().message();
    EXPECT_EQ(*descriptor, pack.descriptor);
    // Only the header and the descriptor are read, never the data region.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {{0, 32}, {44, pack.descriptor_text.size()}};
    EXPECT_EQ(object.requests, expected);
  }
  MemoryObject object{join(pack.parts())};
  EXPECT_TRUE(read_pack_descriptor(kPackKey, object.reader(), std::nullopt).has_value());
}

TEST(PackReading, OffsetsInTheManifestAndTheDescriptorAreIdentical) {
  const AssembledPack pack = assemble(mixed_tensors());
  Manifest manifest;
  Snapshot snapshot = snapshot_record();
  snapshot.ranks[1] = pack.descriptor.rank;
  manifest.snapshots.push_back(snapshot);
  const Manifest back = read_manifest(as_bytes(write_manifest(manifest).value())).value();

  MemoryObject object{padded(join(pack.parts()))};
  const PackDescriptor descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId).value();
  EXPECT_EQ(back.snapshots[0].ranks.at(1), descriptor.rank);
}

using Mutation = std::function<void(Bytes&)>;

struct ReadFault {
  const char* name;
  Mutation mutate;
  TarnwickError error;
};

class PackReadFault : public ::testing::TestWithParam<ReadFault> {};

TEST_P(PackReadFault, IsReportedWithThePackKey) {
  MemoryObject object{join(assemble(mixed_tensors()).parts())};
  GetParam().mutate(object.bytes);
  Result<PackDescriptor> descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId);
  ASSERT_FALSE(descriptor.has_value());
  EXPECT_EQ(descriptor.error(), GetParam().error);
  for (const auto& [offset, length] : object.requests) EXPECT_LE(length, kDescriptorReadPieceSize);
}

const TarnwickError kNoHeader = TarnwickError::storage(kPackKey + " has no pack header");
const TarnwickError kTruncated =
    TarnwickError::storage(kPackKey + " is truncated: the rank that wrote it did not finish");

Mutation cut_to(std::size_t size) {
  return [size](Bytes& bytes) { bytes.resize(size); };
}
Mutation cut_last(std::size_t count) {
  return [count](Bytes& bytes) { bytes.resize(bytes.size() - count); };
}
Mutation set_u64(std::size_t at, std::uint64_t value) {
  return [at, value](Bytes& bytes) { store_u64(bytes, at, value); };
}

INSTANTIATE_TEST_SUITE_P(
    Table, PackReadFault,
    ::testing::Values(
        ReadFault{"empty_object", cut_to(0), kNoHeader}, ReadFault{"header_cut_short", cut_to(31), kNoHeader},
        ReadFault{"other_magic", [](Bytes& bytes) { bytes[7] = std::byte{'X'}; }, kNoHeader},
        ReadFault{"other_version", [](Bytes& bytes) { bytes[8] = std::byte{2}; }, kNoHeader},
        ReadFault{"descriptor_cut_off", cut_last(1), kTruncated},
        ReadFault{"nothing_after_header", cut_to(32), kTruncated},
        ReadFault{"data_region_cut_off", cut_to(40), kTruncated},
        ReadFault{"length_past_the_end", [](Bytes& bytes) { store_u64(bytes, 24, load_u64(bytes, 24) + 1); },
                  kTruncated},
        ReadFault{"huge_length", set_u64(24, std::uint64_t{1} << 62), kTruncated},
        ReadFault{"largest_length", set_u64(24, std::numeric_limits<std::uint64_t>::max()), kTruncated},
        ReadFault{"offset_past_the_end", set_u64(16, std::uint64_t{1} << 40), kTruncated},
        ReadFault{"offset_and_length_overflow",
                  [](Bytes& bytes) {
                    store_u64(bytes, 16, std::numeric_limits<std::uint64_t>::max() - 10);
                    store_u64(bytes, 24, 100);
                  },
                  kTruncated},
        ReadFault{"descriptor_names_another_snapshot",
                  [](Bytes& bytes) {
                    const std::string id = kSnapshotId.to_string();
                    auto at = std::search(bytes.begin(), bytes.end(), as_bytes(id).begin(), as_bytes(id).end());
                    *at = std::byte{'1'};
                  },
                  TarnwickError::storage(kPackKey + " belongs to snapshot 1f0e0d0c-0b0a-4908-8706-050403020100, not " +
                                         kSnapshotId.to_string())}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackReading, ReservedHeaderFieldIsNotExamined) {
  MemoryObject object{join(assemble(mixed_tensors()).parts())};
  object.bytes[12] = std::byte{0xFF};
  EXPECT_TRUE(read_pack_descriptor(kPackKey, object.reader(), kSnapshotId).has_value());
}

TEST(PackReading, InvalidDescriptorIsASerializationErrorWithThePosition) {
  const AssembledPack pack = assemble(mixed_tensors());
  MemoryObject object{join(pack.parts())};
  const std::string_view step = R"("step":)";
  auto at = std::search(object.bytes.begin(), object.bytes.end(), as_bytes(step).begin(), as_bytes(step).end());
  at[2] = std::byte{'a'};  // "stap"
  Result<PackDescriptor> descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId);
  ASSERT_FALSE(descriptor.has_value());
  // Noticed at the descriptor's closing brace, its last byte.
  EXPECT_EQ(descriptor.error(),
            TarnwickError::serialization(kPackKey + ": missing field `step` at line 1 column " +
                                         std::to_string(pack.descriptor_text.size())));

  // Taking the zero padding of a padded object into the descriptor is not valid either.
  object.bytes = padded(join(pack.parts()));
  store_u64(object.bytes, 24, pack.descriptor_text.size() + 1);
  descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId);
  ASSERT_FALSE(descriptor.has_value());
  EXPECT_EQ(descriptor.error().kind(), ErrorKind::Serialization);
  EXPECT_TRUE(descriptor.error().text().starts_with(kPackKey + ": ")) << descriptor.error().text();
}

TEST(PackReading, StorageErrorsArePassedOnUnchanged) {
  const TarnwickError broken = TarnwickError::io("connection reset");
  for (const std::uint64_t failing_offset : {std::uint64_t{0}, std::uint64_t{44}}) {
    MemoryObject object{join(assemble(mixed_tensors()).parts())};
    const ReadRange inner = object.reader();
    const ReadRange reader = [&](std::uint64_t offset, std::uint64_t length) -> Result<Bytes> {
      if (offset == failing_offset) return fail(broken);
      return inner(offset, length);
    };
    Result<PackDescriptor> descriptor = read_pack_descriptor(kPackKey, reader, kSnapshotId);
    ASSERT_FALSE(descriptor.has_value());
    EXPECT_EQ(descriptor.error(), broken);
  }
}

TEST(PackReading, LongDescriptorIsFetchedInBoundedPieces) {
  // Whitespace after the descriptor value is allowed, which makes a long descriptor cheaply.
  const AssembledPack pack = assemble(mixed_tensors());
  MemoryObject object{join(pack.parts())};
  const std::size_t extra = kDescriptorReadPieceSize + 1000;
  object.bytes.resize(object.bytes.size() + extra, std::byte{' '});
  store_u64(object.bytes, 24, pack.descriptor_text.size() + extra);
  Result<PackDescriptor> descriptor = read_pack_descriptor(kPackKey, object.reader(), kSnapshotId);
  ASSERT_TRUE(descriptor.has_value()) << descriptor.error().message();
  EXPECT_EQ(*descriptor, pack.descriptor);
  ASSERT_EQ(object.requests.size(), 3u);
  for (const auto& [offset, length] : object.requests) EXPECT_LE(length, kDescriptorReadPieceSize);
}

TEST(PackHeader, EncodesAndDecodesLittleEndian) {
  const PackHeader header{0x0102030405060708, 0x1112131415161718};
  const PackHeaderBytes bytes = encode_pack_header(header);
  EXPECT_EQ(bytes[16], std::byte{0x08});
  EXPECT_EQ(bytes[23], std::byte{0x01});
  EXPECT_EQ(decode_pack_header(bytes), header);
  EXPECT_EQ(decode_pack_header(ByteView(bytes).first(31)), std::nullopt);
}

TEST(PackKeys, OnlyKeysEndingInDotPackArePacks) {
  EXPECT_TRUE(is_pack_key(kPackKey));
  EXPECT_TRUE(is_pack_key("snapshots/x/rank_12.pack"));
  EXPECT_FALSE(is_pack_key("snapshots/x/rank_0.pack.tmp"));
  EXPECT_FALSE(is_pack_key("snapshots/x/rank_0"));
}

}  // namespace
}  // namespace tarnwick
