#include "codec/tensor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/cast.h"
#include "codec/compression.h"
#include "codec/hash.h"
#include "codec/random_bytes.h"
#include "codec/shuffle.h"
#include "formats/pack.h"
#include "runtime/profile.h"
#include "storage/scratch_dir.h"

namespace tarnwick {

// Failed comparisons show the rendered message.
void PrintTo(const TarnwickError& error, std::ostream* out) { *out << error.message(); }

namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pair;
using testing::random_bytes;

// Profiling is switched on once per process, at its first use; switching it on before any test
// runs lets the phase counters show which steps an encode took.
const bool kProfilingOn = [] {
  ::setenv("TARNWICK_PROFILE", "1", 1);
  return true;
}();

constexpr CompressionAlgo kZstd = CompressionAlgo::zstd(3);
constexpr CompressionAlgo kNone = CompressionAlgo::none();

// ---- Data ---------------------------------------------------------------------------------------

TensorData tensor(std::string name, std::string dtype, Bytes data) {
  std::vector<std::uint64_t> shape{data.size() / element_size(dtype)};
  return {std::move(name), std::move(shape), std::move(dtype), std::move(data)};
}

// `bytes` with every `stride`-th byte flipped: a small change whose XOR delta is mostly zeros.
Bytes changed(Bytes bytes, std::size_t stride = 97) {
  for (std::size_t i = 0; i < bytes.size(); i += stride) bytes[i] ^= std::byte{0x5a};
  return bytes;
}

Bytes float_bytes(const std::vector<float>& values) {
  Bytes bytes(values.size() * sizeof(float));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<float> floats_of(ByteView bytes) {
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

// Slowly varying weights, as a model's parameters look to a compressor.
std::vector<float> weights(std::size_t count, float phase = 0.0f) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = std::sin(static_cast<float>(i) * 0.001f + phase);
  return values;
}

// The error of a result that must have failed.
template <class T>
TarnwickError error_of(const Result<T>& result) {
  if (result) {
    ADD_FAILURE() << "expected an error, got a value";
    return TarnwickError::io("no error");
  }
  return result.error();
}

// ---- Profile counters ---------------------------------------------------------------------------

// Calls per phase label since the last report, read from the report's phase lines.
std::map<std::string, std::uint64_t> phase_calls() {
  std::map<std::string, std::uint64_t> calls;
  std::istringstream report(profile::take_report(0, std::chrono::nanoseconds(0), 0));
  for (std::string line; std::getline(report, line);) {
    if (!line.ends_with(" calls") || line.size() < 20) continue;
    std::string label = line.substr(2, 18);
    label.erase(label.find_last_not_of(' ') + 1);
    const std::size_t end = line.size() - std::string_view(" calls").size();
    const std::size_t start = line.find_last_of(' ', end - 1) + 1;
    calls[label] = std::stoull(line.substr(start, end - start));
  }
  return calls;
}

// ---- Snapshots on disk --------------------------------------------------------------------------

// One snapshot's rank 0 as written by a save: its pack on disk and the entries that index it.
struct Written {
  Uuid id;
  CompressionAlgo compression;
  std::optional<Uuid> base_id;
  std::string pack_key;
  OwnedPack pack;
  std::vector<TensorEntry> entries;
  std::vector<ProcessedTensor> processed;

  const TensorEntry& entry(std::string_view name) const {
    for (const TensorEntry& entry : entries) {
      if (entry.name == name) return entry;
    }
    ADD_FAILURE() << "no entry " << name;
    static const TensorEntry kNone;
    return kNone;
  }
};

struct SaveOptions {
  CompressionAlgo compression = kZstd;
  const Written* base = nullptr;
  std::shared_ptr<const RetainedTensors> retained;
  const DTypePolicy* policy = nullptr;
  // Tensors stored as aliases of an encoded tensor of the same save: (alias, target name).
  std::vector<std::pair<TensorData, std::string>> aliases;
};

class TensorCodec : public ::testing::Test {
 protected:
  void SetUp() override { profile::take_report(0, std::chrono::nanoseconds(0), 0); }

  BaseCache base_cache(const Written& base, std::shared_ptr<const RetainedTensors> retained = nullptr) const {
    BaseCache cache{base.compression, {}, base.pack_key, storage_, std::move(retained)};
    for (const TensorEntry& entry : base.entries) cache.entries.emplace(entry.name, entry);
    return cache;
  }

  EncodeParams params(const SaveOptions& options, const BaseCache* cache) const {
    return {cache, options.compression, 0.95, options.policy};
  }

  // Encodes `tensors`, lays out and writes the pack the way a save does, and remembers the
  // snapshot so that later snapshots can decode through it.
  const Written& save(const std::vector<TensorData>& tensors, SaveOptions options = {}) {
    std::optional<BaseCache> cache;
    if (options.base) cache = base_cache(*options.base, options.retained);
    std::vector<const TensorData*> inputs;
    for (const TensorData& tensor : tensors) inputs.push_back(&tensor);
    Result<std::vector<ProcessedTensor>> processed =
        process_tensors_parallel(inputs, params(options, cache ? &*cache : nullptr));
    EXPECT_TRUE(processed.has_value()) << processed.error().message();
    return write(processed ? std::move(*processed) : std::vector<ProcessedTensor>{}, options);
  }

  const Written& write(std::vector<ProcessedTensor> processed, const SaveOptions& options) {
    for (const auto& [alias, target] : options.aliases) {
      auto found = std::find_if(processed.begin(), processed.end(),
                                [&](const ProcessedTensor& item) { return item.entry.name == target; });
      EXPECT_NE(found, processed.end()) << "no alias target " << target;
      if (found != processed.end()) {
        TensorEntry entry = alias_entry(alias, found->entry);
        processed.push_back({std::move(entry), std::nullopt});
      }
    }
    Snapshot snapshot;
    snapshot.id = Uuid::random_v4();
    snapshot.compression = options.compression;
    if (options.base) snapshot.base_snapshot_id = options.base->id;
    std::vector<PackTensor> parts;
    for (const ProcessedTensor& item : processed) {
      parts.push_back({item.entry, item.stored ? std::optional<ByteView>(*item.stored) : std::nullopt});
    }
    const std::string key = rank_pack_key(snapshot.id, 0);
    Result<AssembledPack> pack = assemble_pack(snapshot, 1, 0, key, std::move(parts));
    // gtest reports an exception as the test's failure; nothing after this can go on without a pack.
    if (!pack) throw std::runtime_error(pack.error().message());
    Status written = storage_->put_parts(key, pack->parts());
    if (!written) throw std::runtime_error(written.error().message());

    auto& slot = snapshots_[snapshot.id];
    slot = std::make_unique<Written>(Written{snapshot.id, snapshot.compression, snapshot.base_snapshot_id, key,
                                             OwnedPack::by_key(key), pack->descriptor.rank.tensors,
                                             std::move(processed)});
    return *slot;
  }

  // The resolver the loader provides: a base snapshot's recorded entry for a name.
  BaseResolver resolver() const {
    return [this](const Uuid& base_id, std::string_view name) -> Result<BaseLookup> {
      auto found = snapshots_.find(base_id);
      if (found == snapshots_.end()) return fail(TarnwickError::not_found("Base snapshot " + base_id.to_string()));
      const Written& base = *found->second;
      for (const TensorEntry& entry : base.entries) {
        if (entry.name == name) return BaseLookup{entry, base.compression, base.pack};
      }
      return fail(TarnwickError::not_found("Tensor '" + std::string(name) + "' not in base snapshot " +
                                           base_id.to_string()));
    };
  }

  Result<Bytes> load(const Written& snapshot, std::string_view name) const {
    return load(snapshot, snapshot.entry(name), snapshot.pack);
  }

  Result<Bytes> load(const Written& snapshot, const TensorEntry& entry, const OwnedPack& pack) const {
    const BaseResolver resolve = resolver();
    const DecodeContext context{storage_.get(), snapshot.compression, &pack, snapshot.base_id, &resolve};
    return load_tensor(entry, context);
  }

  Result<Bytes> object(std::string_view key) const { return storage_->get(key); }

  testing::ScratchDir dir_;
  StorageHandle storage_ = std::make_shared<LocalStorage>(dir_.path());
  std::map<Uuid, std::unique_ptr<Written>> snapshots_;
};

// =================================================================================================
// Encoding: the storage each tensor gets against its base, and that every kind reads back.

struct ChoiceCase {
  std::string label;
  TensorData base;          // saved first, as "t" or as the target of an alias "t"
  bool base_is_alias;       // the base's "t" is an Alias entry of "target"
  TensorData updated;       // the tensor "t" of the next save
  CompressionAlgo compression;
  TensorStorage expected;
  bool shuffled;
};

void PrintTo(const ChoiceCase& row, std::ostream* out) { *out << row.label; }

class StorageChoice : public TensorCodec, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(StorageChoice, ChoosesStorageAndReadsBackExactly) {
  const ChoiceCase& row = GetParam();
  SaveOptions base_options{.compression = row.compression};
  std::vector<TensorData> base_tensors{row.base};
  if (row.base_is_alias) {
    base_tensors[0].name = "target";
    base_options.aliases.push_back({row.base, "target"});
  }
  const Written& base = save(base_tensors, base_options);
  const Written& next = save({row.updated}, {.compression = row.compression, .base = &base});

  const TensorEntry& entry = next.entry("t");
  const ProcessedTensor& processed = next.processed.at(0);
  EXPECT_EQ(entry.storage, row.expected) << tensor_storage_name(entry.storage);
  EXPECT_EQ(entry.shuffled, row.shuffled);
  EXPECT_EQ(entry.raw_size, row.updated.data.size());
  EXPECT_EQ(entry.hash_raw, hash_hex(row.updated.data));
  if (row.expected == TensorStorage::Skipped) {
    EXPECT_EQ(entry.compressed_size, 0u);
    EXPECT_FALSE(processed.stored.has_value());
    EXPECT_FALSE(entry.hash_compressed.has_value());
  } else {
    ASSERT_TRUE(processed.stored.has_value());
    EXPECT_EQ(entry.compressed_size, processed.stored->size());
    EXPECT_EQ(entry.hash_compressed, hash_hex(*processed.stored));
  }

  Result<Bytes> loaded = load(next, "t");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_TRUE(*loaded == row.updated.data);
}

const Bytes kRandom64K = random_bytes(65536, 7);
const Bytes kWeights = float_bytes(weights(262144));

Bytes prefix(const Bytes& bytes, std::size_t length) { return Bytes(bytes.begin(), bytes.begin() + length); }

INSTANTIATE_TEST_SUITE_P(
    Table, StorageChoice,
    ::testing::Values(
        ChoiceCase{"identical_is_skipped", tensor("t", "float32", kRandom64K), false,
                   tensor("t", "float32", kRandom64K), kZstd, TensorStorage::Skipped, false},
        ChoiceCase{"identical_to_a_base_alias_is_skipped", tensor("t", "float32", kRandom64K), true,
                   tensor("t", "float32", kRandom64K), kZstd, TensorStorage::Skipped, false},
        ChoiceCase{"changed_4095_bytes_is_full", tensor("t", "int8", prefix(kRandom64K, 4095)), false,
                   tensor("t", "int8", changed(prefix(kRandom64K, 4095))), kZstd, TensorStorage::Full, false},
        ChoiceCase{"changed_4096_bytes_is_a_delta", tensor("t", "int8", prefix(kRandom64K, 4096)), false,
                   tensor("t", "int8", changed(prefix(kRandom64K, 4096))), kZstd, TensorStorage::DeltaXor, false},
        ChoiceCase{"float8_delta_is_not_shuffled", tensor("t", "float8_e4m3fn", kRandom64K), false,
                   tensor("t", "float8_e4m3fn", changed(kRandom64K)), kZstd, TensorStorage::DeltaXor, false},
        ChoiceCase{"float32_delta_is_shuffled", tensor("t", "float32", kRandom64K), false,
                   tensor("t", "float32", changed(kRandom64K)), kZstd, TensorStorage::DeltaXor, true},
        ChoiceCase{"changed_against_a_base_alias_is_full", tensor("t", "float32", kRandom64K), true,
                   tensor("t", "float32", changed(kRandom64K)), kZstd, TensorStorage::Full, false},
        ChoiceCase{"resized_is_full", tensor("t", "float32", kRandom64K), false,
                   tensor("t", "float32", prefix(kRandom64K, 32768)), kZstd, TensorStorage::Full, false},
        ChoiceCase{"float32_base_and_bfloat16_of_same_length_xor_bytewise", tensor("t", "float32", kRandom64K),
                   false, tensor("t", "bfloat16", changed(kRandom64K)), kZstd, TensorStorage::DeltaXor, true},
        ChoiceCase{"unrelated_bytes_are_full_by_the_sample", tensor("t", "float32", kRandom64K), false,
                   tensor("t", "float32", random_bytes(65536, 8)), kZstd, TensorStorage::Full, false},
        ChoiceCase{"large_small_change_is_a_delta", tensor("t", "float32", kWeights), false,
                   tensor("t", "float32", changed(kWeights, 4001)), kZstd, TensorStorage::DeltaXor, true},
        ChoiceCase{"uncompressed_8192_bytes_is_full", tensor("t", "int8", prefix(kRandom64K, 8192)), false,
                   tensor("t", "int8", changed(prefix(kRandom64K, 8192))), kNone, TensorStorage::Full, false},
        ChoiceCase{"uncompressed_8191_bytes_is_a_delta", tensor("t", "int8", prefix(kRandom64K, 8191)), false,
                   tensor("t", "int8", changed(prefix(kRandom64K, 8191))), kNone, TensorStorage::DeltaXor, false},
        ChoiceCase{"uncompressed_4096_bytes_is_a_delta", tensor("t", "int16", prefix(kRandom64K, 4096)), false,
                   tensor("t", "int16", changed(prefix(kRandom64K, 4096))), kNone, TensorStorage::DeltaXor, true}),
    [](const auto& info) { return info.param.label; });

TEST_F(TensorCodec, WithoutBaseEveryTensorIsFullAndReadsBack) {
  const Bytes big = float_bytes(weights(1'500'000));  // more than one 4 MiB frame
  for (CompressionAlgo compression : {kZstd, kNone}) {
    const Written& snapshot =
        save({tensor("big", "float32", big), tensor("empty", "int8", {})}, {.compression = compression});
    for (const auto& [name, data] : {std::pair{"big", big}, std::pair{"empty", Bytes{}}}) {
      EXPECT_EQ(snapshot.entry(name).storage, TensorStorage::Full);
      Result<Bytes> loaded = load(snapshot, name);
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
      EXPECT_TRUE(*loaded == data) << name;
    }
  }
}

TEST_F(TensorCodec, SkippedReadsNothingFromTheBase) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  BaseCache cache = base_cache(base);
  cache.pack_key = "snapshots/missing/rank_0.pack";
  Result<ProcessedTensor> processed = process_tensor(tensor("t", "float32", kRandom64K), {&cache, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(processed->entry.storage, TensorStorage::Skipped);
}

// With the base's raw bytes retained in memory, a delta reads nothing from storage.
TEST_F(TensorCodec, RetainedBaseBytesMakeADeltaWithoutStorage) {
  const Written& base = save({tensor("t", "float32", kWeights)});
  auto retained = std::make_shared<RetainedTensors>();
  retained->emplace("t", kWeights);
  BaseCache cache = base_cache(base, retained);
  cache.pack_key = "snapshots/missing/rank_0.pack";

  const TensorData updated = tensor("t", "float32", changed(kWeights, 1000));
  Result<ProcessedTensor> processed = process_tensor(updated, {&cache, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(processed->entry.storage, TensorStorage::DeltaXor);

  const Written& next = write({std::move(*processed)}, {.base = &base});
  Result<Bytes> loaded = load(next, "t");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_TRUE(*loaded == updated.data);
}

// What an unreadable base does to a delta-eligible tensor: through a pack it fails the save with
// the backend's error; through per-tensor objects it only removes the delta option.
TEST_F(TensorCodec, UnreadableBase) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  const TensorData updated = tensor("t", "float32", changed(kRandom64K));

  BaseCache missing_pack = base_cache(base);
  missing_pack.pack_key = "snapshots/missing/rank_0.pack";
  Result<ProcessedTensor> failed = process_tensor(updated, {&missing_pack, kZstd});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), TarnwickError::not_found("snapshots/missing/rank_0.pack"));

  BaseCache missing_object = base_cache(base);
  missing_object.pack_key.reset();
  missing_object.entries.at("t").filename = "snapshots/missing/t.bin";
  Result<ProcessedTensor> full = process_tensor(updated, {&missing_object, kZstd});
  ASSERT_TRUE(full.has_value()) << full.error().message();
  EXPECT_EQ(full->entry.storage, TensorStorage::Full);

  BaseCache no_filename = base_cache(base);
  no_filename.pack_key.reset();
  full = process_tensor(updated, {&no_filename, kZstd});
  ASSERT_TRUE(full.has_value()) << full.error().message();
  EXPECT_EQ(full->entry.storage, TensorStorage::Full);
}

TEST_F(TensorCodec, BaseReadThroughItsOwnObjectMakesADelta) {
  const Written& base = save({tensor("t", "float32", kWeights)});
  BaseCache cache = base_cache(base);
  cache.pack_key.reset();
  TensorEntry& entry = cache.entries.at("t");
  entry.filename = "snapshots/base/t.bin";
  ASSERT_TRUE(storage_->put(*entry.filename, *base.processed.at(0).stored).has_value());  // padded on disk

  Result<ProcessedTensor> processed = process_tensor(tensor("t", "float32", changed(kWeights, 1000)), {&cache, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(processed->entry.storage, TensorStorage::DeltaXor);
}

// A damaged base entry costs the delta or an error, never an unbounded read or allocation.
TEST_F(TensorCodec, DamagedBaseEntry) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  const TensorData updated = tensor("t", "float32", changed(kRandom64K));

  BaseCache past_end = base_cache(base);
  past_end.entries.at("t").compressed_size = std::uint64_t{1} << 50;
  Result<ProcessedTensor> processed = process_tensor(updated, {&past_end, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(processed->entry.storage, TensorStorage::Full) << "a short read makes the base unavailable";

  BaseCache garbage = base_cache(base);
  garbage.entries.at("t").offset = 0;  // the pack header is no zstd frame
  processed = process_tensor(updated, {&garbage, kZstd});
  ASSERT_FALSE(processed.has_value());
  EXPECT_EQ(processed.error().kind(), ErrorKind::Compression);
}

// ---- Profile phases ------------------------------------------------------------------------------

// How the base holds "t".
enum class BaseForm { InPack, Retained, Alias };

struct PhaseCase {
  std::string label;
  Bytes base;
  Bytes updated;
  BaseForm form;
  std::map<std::string, std::uint64_t> calls;
};

void PrintTo(const PhaseCase& row, std::ostream* out) { *out << row.label; }

class EncodePhases : public TensorCodec, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(EncodePhases, TimesEachStepTaken) {
  const PhaseCase& row = GetParam();
  SaveOptions base_options;
  TensorData base_tensor = tensor("t", "float32", row.base);
  if (row.form == BaseForm::Alias) {
    base_options.aliases.push_back({base_tensor, "target"});
    base_tensor.name = "target";
  }
  const Written& base = save({base_tensor}, base_options);
  auto retained = std::make_shared<RetainedTensors>();
  if (row.form == BaseForm::Retained) retained->emplace("t", row.base);
  const BaseCache cache = base_cache(base, retained);
  phase_calls();  // drops the base save's counts

  Result<ProcessedTensor> processed = process_tensor(tensor("t", "float32", row.updated), {&cache, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(phase_calls(), row.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncodePhases,
    ::testing::Values(
        PhaseCase{"delta_after_sample_and_base_read", kWeights, changed(kWeights, 1000), BaseForm::InPack,
                  {{"raw hash", 1}, {"sample prefix", 1}, {"pays_off probe", 1}, {"base decompress", 1},
                   {"xor delta", 1}, {"shuffle", 1}, {"compress delta", 1}}},
        PhaseCase{"sample_refuses_before_the_base_is_read", kRandom64K, random_bytes(65536, 9), BaseForm::InPack,
                  {{"raw hash", 1}, {"sample prefix", 1}, {"pays_off probe", 1}, {"compress full", 1}}},
        PhaseCase{"retained_base_skips_the_sample", kWeights, changed(kWeights, 1000), BaseForm::Retained,
                  {{"raw hash", 1}, {"pays_off probe", 1}, {"xor delta", 1}, {"shuffle", 1}, {"compress delta", 1}}},
        PhaseCase{"base_alias_is_never_read", kWeights, changed(kWeights, 1000), BaseForm::Alias,
                  {{"raw hash", 1}, {"compress full", 1}}},
        PhaseCase{"resized_base_is_never_read", kWeights, prefix(kWeights, 65536), BaseForm::InPack,
                  {{"raw hash", 1}, {"compress full", 1}}},
        PhaseCase{"identical_costs_one_hash", kWeights, kWeights, BaseForm::InPack, {{"raw hash", 1}}}),
    [](const auto& info) { return info.param.label; });

// A backend that fails the way a library may: by throwing.
class ThrowingStorage final : public StorageBackend {
 public:
  Status put_parts(std::string_view, std::span<const ByteView>) const override { throw std::bad_alloc(); }
  Result<Bytes> get(std::string_view) const override { throw std::bad_alloc(); }
  Result<Bytes> get_range(std::string_view, std::uint64_t, std::uint64_t) const override { throw std::bad_alloc(); }
  Result<bool> exists(std::string_view) const override { throw std::bad_alloc(); }
  Status delete_object(std::string_view) const override { throw std::bad_alloc(); }
  Status remove_dir(std::string_view) const override { throw std::bad_alloc(); }
  Result<std::vector<std::string>> list(std::string_view) const override { throw std::bad_alloc(); }
};

TEST_F(TensorCodec, ThrownFailuresBecomeErrors) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  BaseCache cache = base_cache(base);
  cache.storage = std::make_shared<ThrowingStorage>();
  Result<ProcessedTensor> encoded = process_tensor(tensor("t", "float32", changed(kRandom64K)), {&cache, kZstd});
  EXPECT_EQ(error_of(encoded), TarnwickError::compression("out of memory encoding tensor 't'"));

  const ThrowingStorage throwing;
  const DecodeContext context{&throwing, kZstd, &base.pack, std::nullopt, nullptr};
  EXPECT_EQ(error_of(load_tensor(base.entry("t"), context)),
            TarnwickError::compression("out of memory reading tensor 't'"));

  const Written& next = save({tensor("t", "float32", changed(kRandom64K))}, {.base = &base});
  const BaseResolver throws_text = [](const Uuid&, std::string_view) -> Result<BaseLookup> {
    throw std::runtime_error("resolver broke");
  };
  const DecodeContext with_resolver{storage_.get(), kZstd, &next.pack, base.id, &throws_text};
  EXPECT_EQ(error_of(load_tensor(next.entry("t"), with_resolver)),
            TarnwickError::compression("unexpected failure resolving base tensor 't': resolver broke"));
}

// Notes every ranged read it passes on to the backend below it.
class RecordingStorage final : public StorageBackend {
 public:
  explicit RecordingStorage(StorageHandle inner) : inner_(std::move(inner)) {}

  Status put_parts(std::string_view key, std::span<const ByteView> parts) const override {
    return inner_->put_parts(key, parts);
  }
  Result<Bytes> get(std::string_view key) const override { return inner_->get(key); }
  Result<Bytes> get_range(std::string_view key, std::uint64_t offset, std::uint64_t length) const override {
    std::lock_guard lock(mutex_);
    ranges_.emplace_back(offset, length);
    return inner_->get_range(key, offset, length);
  }
  Result<bool> exists(std::string_view key) const override { return inner_->exists(key); }
  Status delete_object(std::string_view key) const override { return inner_->delete_object(key); }
  Status remove_dir(std::string_view prefix) const override { return inner_->remove_dir(prefix); }
  Result<std::vector<std::string>> list(std::string_view prefix) const override { return inner_->list(prefix); }

  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges() const {
    std::lock_guard lock(mutex_);
    return ranges_;
  }

 private:
  StorageHandle inner_;
  mutable std::mutex mutex_;
  mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

// The probe reads a bounded prefix of the base tensor; the whole tensor follows only because the
// sample says the delta pays off.
TEST_F(TensorCodec, ProbeReadsAtMost256KiBBeforeTheWholeBase) {
  const Bytes data = random_bytes(1 << 20, 12);
  const Written& base = save({tensor("t", "float32", data)});
  const TensorEntry& entry = base.entry("t");
  ASSERT_GT(entry.compressed_size, 262144u);
  BaseCache cache = base_cache(base);
  auto recording = std::make_shared<RecordingStorage>(storage_);
  cache.storage = recording;

  Result<ProcessedTensor> processed = process_tensor(tensor("t", "float32", changed(data, 5000)), {&cache, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  EXPECT_EQ(processed->entry.storage, TensorStorage::DeltaXor);
  EXPECT_THAT(recording->ranges(), ElementsAre(Pair(entry.offset, 262144u), Pair(entry.offset, entry.compressed_size)));
}

// ---- Parallel driver, dedup hashes and aliases ------------------------------------------------------

TEST_F(TensorCodec, ParallelResultsComeInInputOrder) {
  std::vector<TensorData> tensors;
  for (int i = 0; i < 40; ++i) {
    tensors.push_back(tensor("t" + std::to_string(i), "int32", random_bytes(4 * (i + 1), i)));
  }
  std::vector<const TensorData*> inputs;
  for (const TensorData& t : tensors) inputs.push_back(&t);

  Result<std::vector<ProcessedTensor>> processed = process_tensors_parallel(inputs, {nullptr, kZstd});
  ASSERT_TRUE(processed.has_value()) << processed.error().message();
  ASSERT_EQ(processed->size(), tensors.size());
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    Result<ProcessedTensor> alone = process_tensor(tensors[i], {nullptr, kZstd});
    ASSERT_TRUE(alone.has_value());
    EXPECT_EQ((*processed)[i].entry, alone->entry);
    EXPECT_TRUE((*processed)[i].stored == alone->stored);
  }
}

TEST_F(TensorCodec, TwoFailingTasksGiveExactlyOneOfTheirErrors) {
  Result<DTypePolicy> policy = DTypePolicy::from_rules(std::vector<std::pair<std::string, std::string>>{{"*", "fp8"}});
  ASSERT_TRUE(policy.has_value());
  std::vector<TensorData> tensors;
  for (int i = 0; i < 16; ++i) tensors.push_back(tensor("ok" + std::to_string(i), "float32", float_bytes(weights(64))));
  tensors.insert(tensors.begin() + 3, tensor("bad1", "float32", random_bytes(6)));
  tensors.push_back(tensor("bad2", "float32", random_bytes(10)));
  std::vector<const TensorData*> inputs;
  for (const TensorData& t : tensors) inputs.push_back(&t);

  Result<std::vector<ProcessedTensor>> processed = process_tensors_parallel(inputs, {nullptr, kZstd, 0.95, &*policy});
  ASSERT_FALSE(processed.has_value());
  EXPECT_THAT(processed.error(), AnyOf(TarnwickError::invalid_config("fp32 data length 6 is not a multiple of 4"),
                                       TarnwickError::invalid_config("fp32 data length 10 is not a multiple of 4")));
}

TEST(DedupPlan, HashesEveryTensorAsReceivedInOrder) {
  std::vector<TensorData> tensors;
  for (int i = 0; i < 20; ++i) tensors.push_back(tensor("t" + std::to_string(i), "float32", random_bytes(4 * i, i)));
  tensors.push_back(tensor("again", "float32", random_bytes(8, 2)));
  std::vector<std::string> expected;
  for (const TensorData& t : tensors) expected.push_back(hash_hex(t.data));
  const std::vector<std::string> hashes = dedup_plan(tensors);
  EXPECT_EQ(hashes, expected);
  EXPECT_EQ(hashes.back(), hashes[2]);
}

TEST_F(TensorCodec, AliasOfANarrowedTargetReadsAsTheTarget) {
  Result<DTypePolicy> policy =
      DTypePolicy::from_rules(std::vector<std::pair<std::string, std::string>>{{"model/*", "bf16"}});
  ASSERT_TRUE(policy.has_value());
  const TensorData target = tensor("model/w", "float32", float_bytes(weights(2048)));
  TensorData alias = tensor("other/w", "float32", target.data);
  alias.shape = {32, 64};

  Result<ProcessedTensor> encoded = process_tensor(target, {nullptr, kZstd, 0.95, &*policy});
  ASSERT_TRUE(encoded.has_value());
  const TensorEntry entry = alias_entry(alias, encoded->entry);
  EXPECT_EQ(entry.name, "other/w");
  EXPECT_THAT(entry.shape, ElementsAre(32u, 64u));
  EXPECT_EQ(entry.dtype, "bfloat16");
  EXPECT_EQ(entry.original_dtype, "float32");
  EXPECT_EQ(entry.quant_scale, std::nullopt);
  EXPECT_EQ(entry.storage, TensorStorage::Alias);
  EXPECT_EQ(entry.alias_of, "model/w");
  EXPECT_EQ(entry.raw_size, 4096u);
  EXPECT_EQ(entry.hash_raw, encoded->entry.hash_raw);
  EXPECT_EQ(entry.compressed_size, 0u);
  EXPECT_EQ(entry.hash_compressed, std::nullopt);
  EXPECT_EQ(entry.filename, std::nullopt);
  EXPECT_FALSE(entry.shuffled);
}

// ---- Narrowed tensors -----------------------------------------------------------------------------

TEST_F(TensorCodec, NarrowedTensorsRestoreTheirValues) {
  Result<DTypePolicy> policy = DTypePolicy::from_rules(
      std::vector<std::pair<std::string, std::string>>{{"bf/*", "bf16"}, {"e4m3/*", "fp8"}});
  ASSERT_TRUE(policy.has_value());
  // bfloat16 keeps 8 significant bits: 1 + 2^-7 survives, 1 + 2^-9 rounds to 1.
  std::vector<float> bf_values = weights(4096);
  bf_values[0] = 1.0f + 0x1p-7f;
  bf_values[1] = 1.0f + 0x1p-9f;
  std::vector<float> bf_expected(bf_values.size());
  for (std::size_t i = 0; i < bf_values.size(); ++i) {
    bf_expected[i] = bfloat16_to_float(float_to_bfloat16(bf_values[i]));
  }
  ASSERT_EQ(bf_expected[0], 1.0f + 0x1p-7f);
  ASSERT_EQ(bf_expected[1], 1.0f);
  // With 448 the largest magnitude the scale is 1, and these values are all E4M3 codes.
  const std::vector<float> e4m3_values{448.0f, 1.0f, -1.5f, 0.25f, 0.0f, -448.0f, 3.5f, 0.015625f};

  const Written& base = save({tensor("bf/w", "float32", float_bytes(bf_values)),
                              tensor("e4m3/m", "float32", float_bytes(e4m3_values))},
                             {.policy = &*policy});
  EXPECT_EQ(base.entry("bf/w").dtype, "bfloat16");
  EXPECT_EQ(base.entry("e4m3/m").dtype, "float8_e4m3fn");
  EXPECT_EQ(base.entry("e4m3/m").quant_scale, 1.0f);
  for (const auto& [name, expected] : {std::pair{"bf/w", bf_expected}, std::pair{"e4m3/m", e4m3_values}}) {
    Result<Bytes> loaded = load(base, name);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
    EXPECT_THAT(floats_of(*loaded), ElementsAreArray(expected)) << name;
  }

  // The next save narrows again and stores the bfloat16 bytes as a shuffled delta.
  std::vector<float> moved = bf_values;
  for (std::size_t i = 0; i < moved.size(); i += 50) moved[i] += 0.25f;
  const Written& next = save({tensor("bf/w", "float32", float_bytes(moved))}, {.base = &base, .policy = &*policy});
  const TensorEntry& entry = next.entry("bf/w");
  EXPECT_EQ(entry.storage, TensorStorage::DeltaXor);
  EXPECT_TRUE(entry.shuffled);
  EXPECT_EQ(entry.original_dtype, "float32");
  Result<Bytes> loaded = load(next, "bf/w");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  const std::vector<float> restored = floats_of(*loaded);
  ASSERT_EQ(restored.size(), moved.size());
  for (std::size_t i = 0; i < moved.size(); ++i) {
    ASSERT_EQ(restored[i], bfloat16_to_float(float_to_bfloat16(moved[i]))) << i;
  }
}

// =================================================================================================
// Decoding.

TEST_F(TensorCodec, TamperedFullFailsOnItsCompressedHashUnlessItHasNone) {
  const Bytes data = random_bytes(5000, 3);
  const Written& snapshot = save({tensor("t", "int8", data)}, {.compression = kNone});
  const TensorEntry& entry = snapshot.entry("t");
  Result<Bytes> pack = object(snapshot.pack_key);
  ASSERT_TRUE(pack.has_value());
  (*pack)[entry.offset + 10] ^= std::byte{1};
  const Bytes tampered(pack->begin() + entry.offset, pack->begin() + entry.offset + entry.compressed_size);
  const OwnedPack in_memory = OwnedPack::in_memory(std::make_shared<const Bytes>(std::move(*pack)));

  Result<Bytes> loaded = load(snapshot, entry, in_memory);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error(), TarnwickError::integrity(*entry.hash_compressed, hash_hex(tampered)));

  TensorEntry unchecked = entry;
  unchecked.hash_compressed.reset();
  loaded = load(snapshot, unchecked, in_memory);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_TRUE(*loaded == tampered);
}

TEST_F(TensorCodec, DeltaOverAChangedBaseFailsOnItsRawHash) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  const Written& next = save({tensor("t", "float32", changed(kRandom64K))}, {.base = &base});
  ASSERT_EQ(next.entry("t").storage, TensorStorage::DeltaXor);

  // The base pack is replaced by a sound pack of other bytes at the same place.
  const Written& other = save({tensor("t", "float32", random_bytes(65536, 11))});
  Result<Bytes> other_pack = object(other.pack_key);
  ASSERT_TRUE(other_pack.has_value());
  ASSERT_TRUE(storage_->put(base.pack_key, *other_pack).has_value());
  snapshots_.at(base.id)->entries = other.entries;

  Result<Bytes> loaded = load(next, "t");
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().kind(), ErrorKind::Integrity);
  EXPECT_EQ(loaded.error().text(), next.entry("t").hash_raw);
}

TEST_F(TensorCodec, SkippedReadsTheBaseAndRestoresWithItsOwnDtypeFields) {
  const std::vector<float> values{1.0f, -2.5f, 0.125f, 3.0f};
  Bytes bf16(values.size() * 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint16_t bits = float_to_bfloat16(values[i]);
    std::memcpy(bf16.data() + 2 * i, &bits, 2);
  }
  const Written& base = save({tensor("t", "bfloat16", bf16)});
  EXPECT_EQ(base.entry("t").original_dtype, std::nullopt);

  TensorEntry skipped = base.entry("t");
  skipped.storage = TensorStorage::Skipped;
  skipped.original_dtype = "float32";
  skipped.compressed_size = 0;
  skipped.hash_compressed.reset();
  const Written& next = write({{skipped, std::nullopt}}, {.base = &base});

  Result<Bytes> loaded = load(next, "t");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_THAT(floats_of(*loaded), ElementsAreArray(values));
}

// A base resolver over a chain of `aliases` Alias entries a0 -> a1 -> ... ending at "target".
BaseResolver alias_chain(int aliases) {
  return [aliases](const Uuid&, std::string_view name) -> Result<BaseLookup> {
    TensorEntry entry;
    entry.name = name;
    if (name != "target") {
      const int index = std::stoi(std::string(name.substr(1)));
      entry.storage = TensorStorage::Alias;
      entry.alias_of = index + 1 < aliases ? "a" + std::to_string(index + 1) : "target";
    }
    return BaseLookup{entry, kZstd, OwnedPack::none()};
  };
}

TEST(ResolveBaseEntry, FollowsSevenAliasesButNotEight) {
  const Uuid base_id = Uuid::random_v4();
  Result<BaseLookup> seven = resolve_base_entry(base_id, "a0", alias_chain(7));
  ASSERT_TRUE(seven.has_value()) << seven.error().message();
  EXPECT_EQ(seven->entry.name, "target");

  Result<BaseLookup> eight = resolve_base_entry(base_id, "a0", alias_chain(8));
  ASSERT_FALSE(eight.has_value());
  EXPECT_EQ(eight.error(), TarnwickError::delta("Alias chain starting at 'a0' in base snapshot " +
                                                base_id.to_string() + " does not end"));
}

TEST(ResolveBaseEntry, AliasWithoutTargetAndResolverErrors) {
  const Uuid base_id = Uuid::random_v4();
  BaseResolver dangling = [](const Uuid&, std::string_view name) -> Result<BaseLookup> {
    TensorEntry entry;
    entry.name = name;
    entry.storage = TensorStorage::Alias;
    if (name == "a") entry.alias_of = "b";
    return BaseLookup{entry, kZstd, OwnedPack::none()};
  };
  Result<BaseLookup> found = resolve_base_entry(base_id, "a", dangling);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error(), TarnwickError::not_found("Alias 'b' in the base has no target"));

  BaseResolver missing = [](const Uuid&, std::string_view) -> Result<BaseLookup> {
    return fail(TarnwickError::not_found("Tensor 'x' not in base snapshot y"));
  };
  found = resolve_base_entry(base_id, "x", missing);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error(), TarnwickError::not_found("Tensor 'x' not in base snapshot y"));
}

TEST_F(TensorCodec, EntriesThatCannotBeDecodedHere) {
  const Written& snapshot = save({tensor("t", "float32", kRandom64K)});
  const TensorEntry& full = snapshot.entry("t");
  const BaseResolver resolve = resolver();
  const DecodeContext no_base{storage_.get(), kZstd, &snapshot.pack, std::nullopt, &resolve};

  TensorEntry alias = full;
  alias.name = "copy";
  alias.storage = TensorStorage::Alias;
  alias.alias_of = "t";
  EXPECT_EQ(error_of(load_tensor_raw(alias, no_base)),
            TarnwickError::not_found(
                "Tensor 'copy' is an alias of 't' and must be resolved after the snapshot's other tensors"));
  alias.alias_of.reset();
  EXPECT_EQ(error_of(load_tensor(alias, no_base)),
            TarnwickError::not_found(
                "Tensor 'copy' is an alias of '?' and must be resolved after the snapshot's other tensors"));

  TensorEntry delta = full;
  delta.storage = TensorStorage::DeltaXor;
  delta.hash_compressed.reset();
  EXPECT_EQ(error_of(load_tensor(delta, no_base)), TarnwickError::delta("Delta tensor 't' has no base snapshot"));

  TensorEntry skipped = full;
  skipped.storage = TensorStorage::Skipped;
  skipped.compressed_size = 0;
  skipped.hash_compressed.reset();
  EXPECT_EQ(error_of(load_tensor(skipped, no_base)),
            TarnwickError::delta("Tensor 't' is skipped but snapshot has no base"));

  // A base whose own entry is not Full is decoded without a base of its own, so it fails.
  const Written& next = write({{skipped, std::nullopt}}, {.base = &snapshot});
  const Written& after = write({{skipped, std::nullopt}}, {.base = &next});
  EXPECT_EQ(error_of(load(after, "t")), TarnwickError::delta("Tensor 't' is skipped but snapshot has no base"));
}

// ---- Where stored bytes come from ----------------------------------------------------------------

TEST_F(TensorCodec, PackReadsReturnExactlyTheStoredBytes) {
  const Written& snapshot =
      save({tensor("a", "int8", random_bytes(3000, 1)), tensor("b", "int8", random_bytes(5000, 2))});
  Result<Bytes> pack = object(snapshot.pack_key);
  ASSERT_TRUE(pack.has_value());
  ASSERT_EQ(pack->size() % LocalStorage::kBlockSize, 0u) << "the local backend pads the pack";
  const auto shared_pack = std::make_shared<const Bytes>(std::move(*pack));

  for (std::size_t i = 0; i < 2; ++i) {
    const TensorEntry& entry = snapshot.entries[i];
    const Bytes& expected = *snapshot.processed[i].stored;

    Result<StoredBytes> by_key = extract_compressed(entry, *storage_, snapshot.pack);
    ASSERT_TRUE(by_key.has_value()) << by_key.error().message();
    EXPECT_TRUE(to_bytes(by_key->view) == expected) << entry.name;

    Result<StoredBytes> in_memory = extract_compressed(entry, *storage_, OwnedPack::in_memory(shared_pack));
    ASSERT_TRUE(in_memory.has_value()) << in_memory.error().message();
    EXPECT_EQ(in_memory->view.data(), shared_pack->data() + entry.offset) << "a view into the pack, not a copy";
    EXPECT_EQ(in_memory->view.size(), entry.compressed_size);
  }
}

TEST_F(TensorCodec, ShortRangeReadIsAStorageError) {
  const Written& snapshot = save({tensor("t", "int8", random_bytes(3000, 1))});
  TensorEntry entry = snapshot.entry("t");
  Result<Bytes> pack = object(snapshot.pack_key);
  ASSERT_TRUE(pack.has_value());
  entry.offset = pack->size() - 100;
  entry.compressed_size = 1000;
  Result<StoredBytes> stored = extract_compressed(entry, *storage_, snapshot.pack);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error(), TarnwickError::storage("Tensor 't' wanted 1000 bytes at offset " +
                                                   std::to_string(entry.offset) + " of '" + snapshot.pack_key +
                                                   "', got 100"));
}

TEST_F(TensorCodec, InMemoryPackTooShortFallsBackToTheFilename) {
  const Written& snapshot = save({tensor("t", "int8", random_bytes(3000, 1))});
  TensorEntry entry = snapshot.entry("t");
  const OwnedPack short_pack = OwnedPack::in_memory(std::make_shared<const Bytes>(random_bytes(100)));

  Result<StoredBytes> stored = extract_compressed(entry, *storage_, short_pack);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error(), TarnwickError::not_found("No filename for tensor 't'"));

  entry.filename = "snapshots/loose/t.bin";
  ASSERT_TRUE(storage_->put(*entry.filename, *snapshot.processed[0].stored).has_value());
  stored = extract_compressed(entry, *storage_, short_pack);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  EXPECT_TRUE(to_bytes(stored->view) == *snapshot.processed[0].stored);
}

// Rank entries written without a pack keep each tensor in its own (padded) object.
TEST_F(TensorCodec, TensorsWithoutAPackReadTheirOwnObjects) {
  const Bytes data = float_bytes(weights(10000));
  Result<ProcessedTensor> processed = process_tensor(tensor("t", "float32", data), {nullptr, kZstd});
  ASSERT_TRUE(processed.has_value());
  TensorEntry entry = processed->entry;
  entry.filename = "snapshots/legacy/t.zst";
  ASSERT_TRUE(storage_->put(*entry.filename, *processed->stored).has_value());
  const OwnedPack none = OwnedPack::none();
  const DecodeContext context{storage_.get(), kZstd, &none, std::nullopt, nullptr};

  Result<Bytes> loaded = load_tensor(entry, context);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_TRUE(*loaded == data);

  // Without a compressed_size the whole object, padding included, is the stored bytes.
  entry.compressed_size = 0;
  entry.hash_compressed.reset();
  Result<StoredBytes> whole = extract_compressed(entry, *storage_, none);
  ASSERT_TRUE(whole.has_value());
  const std::uint64_t block = LocalStorage::kBlockSize;
  EXPECT_EQ(whole->view.size(), (processed->stored->size() + block - 1) / block * block);
}

// ---- Damaged and hostile entries ------------------------------------------------------------------

// A frame that declares 2^40 bytes of content and holds none: trusted, it would make the
// decoder allocate a terabyte.
Bytes frame_declaring_a_terabyte() {
  const unsigned char frame[] = {
      0x28, 0xb5, 0x2f, 0xfd,                          // magic
      0xe0,                                            // 8-byte content size, single segment
      0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // content size 2^40, little-endian
      0x01, 0x00, 0x00,                                // last block, raw, empty
  };
  Bytes bytes(sizeof frame);
  std::memcpy(bytes.data(), frame, sizeof frame);
  return bytes;
}

Bytes compressed(ByteView raw) { return *compress(raw, kZstd); }

struct HostileCase {
  std::string label;
  Bytes pack;              // the pack object, in memory or on disk
  bool in_memory;
  TensorEntry entry;
  CompressionAlgo compression;
  ErrorKind expected;
  std::string message_part = {};
};

void PrintTo(const HostileCase& row, std::ostream* out) { *out << row.label; }

TensorEntry hostile_entry(TensorStorage storage, std::uint64_t offset, std::uint64_t compressed_size,
                          std::uint64_t raw_size) {
  TensorEntry entry;
  entry.name = "t";
  entry.dtype = "float32";
  entry.storage = storage;
  entry.offset = offset;
  entry.compressed_size = compressed_size;
  entry.raw_size = raw_size;
  entry.shuffled = storage == TensorStorage::DeltaXor;
  return entry;
}

Bytes with_header(ByteView stored) {
  Bytes pack(kPackHeaderSize, std::byte{0});
  pack.insert(pack.end(), stored.begin(), stored.end());
  return pack;
}

class HostileEntry : public TensorCodec, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileEntry, FailsWithAnErrorAndNothingElse) {
  const HostileCase& row = GetParam();
  OwnedPack pack = OwnedPack::in_memory(std::make_shared<const Bytes>(row.pack));
  if (!row.in_memory) {
    ASSERT_TRUE(storage_->put("snapshots/hostile/rank_0.pack", row.pack).has_value());
    pack = OwnedPack::by_key("snapshots/hostile/rank_0.pack");
  }
  const Uuid base_id = Uuid::random_v4();
  const BaseResolver unused = alias_chain(0);
  const DecodeContext context{storage_.get(), row.compression, &pack, base_id, &unused};

  Result<Bytes> loaded = load_tensor(row.entry, context);
  ASSERT_FALSE(loaded.has_value()) << "decoded " << loaded->size() << " bytes";
  EXPECT_EQ(loaded.error().kind(), row.expected) << loaded.error().message();
  EXPECT_THAT(loaded.error().message(), ::testing::HasSubstr(row.message_part));
}

const Bytes kFrame = compressed(random_bytes(1000, 4));
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TensorEntry with_filename(TensorEntry entry, std::string filename) {
  entry.filename = std::move(filename);
  return entry;
}

TensorEntry with_hash(TensorEntry entry, ByteView stored) {
  entry.hash_compressed = hash_hex(stored);
  return entry;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileEntry,
    ::testing::Values(
        HostileCase{"frame_declares_more_than_raw_size", with_header(frame_declaring_a_terabyte()), true,
                    hostile_entry(TensorStorage::Full, 32, 16, 100), kZstd, ErrorKind::Compression,
                    "exceeds the expected 100 bytes"},
        HostileCase{"delta_frame_declares_more_than_raw_size", with_header(frame_declaring_a_terabyte()), false,
                    hostile_entry(TensorStorage::DeltaXor, 32, 16, 100), kZstd, ErrorKind::Compression,
                    "exceeds the expected 100 bytes"},
        HostileCase{"frame_decodes_past_raw_size", with_header(kFrame), true,
                    hostile_entry(TensorStorage::Full, 32, kFrame.size(), 999), kZstd, ErrorKind::Compression},
        HostileCase{"uncompressed_bytes_past_raw_size", with_header(random_bytes(100)), true,
                    hostile_entry(TensorStorage::Full, 32, 100, 50), kNone, ErrorKind::Compression},
        HostileCase{"truncated_frame", with_header(kFrame), true,
                    hostile_entry(TensorStorage::Full, 32, kFrame.size() - 10, 1000), kZstd, ErrorKind::Compression},
        HostileCase{"garbage_with_a_matching_hash", with_header(random_bytes(64, 5)), true,
                    with_hash(hostile_entry(TensorStorage::Full, 32, 64, 1000), random_bytes(64, 5)), kZstd,
                    ErrorKind::Compression},
        HostileCase{"offset_and_size_wrap_around_in_memory", with_header(kFrame), true,
                    hostile_entry(TensorStorage::Full, kMax - 8, 16, 1000), kZstd, ErrorKind::CheckpointNotFound},
        HostileCase{"size_past_the_pack_on_disk", with_header(kFrame), false,
                    hostile_entry(TensorStorage::Full, 32, std::uint64_t{1} << 50, 1000), kZstd, ErrorKind::Storage},
        HostileCase{"offset_past_any_file", with_header(kFrame), false,
                    hostile_entry(TensorStorage::Full, kMax, 16, 1000), kZstd, ErrorKind::Io},
        HostileCase{"filename_outside_the_store", with_header(kFrame), true,
                    with_filename(hostile_entry(TensorStorage::Full, kMax, 16, 1000), "../outside"), kZstd,
                    ErrorKind::Storage}),
    [](const auto& info) { return info.param.label; });

TEST_F(TensorCodec, DeltaOfAnotherLengthThanItsBaseIsADeltaError) {
  const Written& base = save({tensor("t", "float32", kRandom64K)});
  const Written& next = save({tensor("t", "float32", changed(kRandom64K))}, {.base = &base});
  TensorEntry entry = next.entry("t");
  ASSERT_EQ(entry.storage, TensorStorage::DeltaXor);
  // The base now holds a sound tensor of half the length.
  Written& base_record = *snapshots_.at(base.id);
  const Bytes shorter = compressed(random_bytes(32768, 1));
  TensorEntry& base_entry = base_record.entries.at(0);
  base_entry.offset = kPackHeaderSize;
  base_entry.compressed_size = shorter.size();
  base_entry.raw_size = 32768;
  base_entry.hash_compressed = hash_hex(shorter);
  base_record.pack = OwnedPack::in_memory(std::make_shared<const Bytes>(with_header(shorter)));

  Result<Bytes> loaded = load(next, "t");
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error(), TarnwickError::delta("base length 32768 != delta length 65536"));
}

}  // namespace
}  // namespace tarnwick
