// Cost of the per-tensor encoder and decoder on a 64 MiB float32 tensor, each as a ratio against
// a reference measured in the same run:
//   - encoding against an unrelated base (the probe refuses the delta) against encoding with no
//     base at all: what the probe costs a tensor that ends up Full;
//   - encoding a delta against retained base bytes, and decoding a delta, against the same
//     transforms called one after another through their allocating forms;
//   - decoding an uncompressed Full tensor from an in-memory pack against a copy into a warm
//     buffer plus a hash, and against the same into a fresh buffer (as a decode must return).
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_BENCH=ON
//   cmake --build build-bench --target tensor_bench
//   ./build-bench/bench/tensor_bench --benchmark_repetitions=3
//
// The table printed at the end uses the fastest repetition of each benchmark.

#include <benchmark/benchmark.h>

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fastest_reporter.h"
#include "codec/compression.h"
#include "codec/delta.h"
#include "codec/hash.h"
#include "codec/shuffle.h"
#include "codec/tensor.h"
#include "formats/pack.h"
#include "storage/storage.h"

namespace {

using namespace tarnwick;

constexpr std::size_t kTensorBytes = std::size_t{64} << 20;
constexpr CompressionAlgo kZstd = CompressionAlgo::zstd(3);
constexpr int kThreads = 2;

// float32 weights as a trained layer holds them: normally distributed around zero.
Bytes float_weights(std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<float> weight(0.0f, 0.02f);
  std::vector<float> values(kTensorBytes / sizeof(float));
  for (float& value : values) value = weight(engine);
  Bytes bytes(kTensorBytes);
  std::memcpy(bytes.data(), values.data(), kTensorBytes);
  return bytes;
}

// One optimizer step: a small relative change to one weight in 64.
Bytes stepped(const Bytes& weights) {
  std::vector<float> values(kTensorBytes / sizeof(float));
  std::memcpy(values.data(), weights.data(), kTensorBytes);
  for (std::size_t i = 0; i < values.size(); i += 64) values[i] *= 1.001f;
  Bytes bytes(kTensorBytes);
  std::memcpy(bytes.data(), values.data(), kTensorBytes);
  return bytes;
}

TensorData tensor(const Bytes& data) { return {"layer.weight", {data.size() / 4}, "float32", data}; }

struct Fixture {
  std::filesystem::path root;
  StorageHandle storage;
  Bytes base_weights = float_weights(1);
  Bytes unrelated_weights = float_weights(2);
  Bytes updated_weights = stepped(base_weights);
  TensorData updated = tensor(updated_weights);
  TensorData unrelated = tensor(unrelated_weights);
  BaseCache base_in_pack;
  BaseCache base_retained;

  // The delta snapshot's pack in memory, and the base it was made against.
  OwnedPack delta_pack;
  TensorEntry delta_entry;
  BaseResolver resolver;
  Uuid base_id = Uuid::random_v4();

  // An uncompressed Full tensor in an in-memory pack.
  OwnedPack plain_pack;
  TensorEntry plain_entry;

  Bytes copy_target = Bytes(kTensorBytes);
};

// Writes one tensor's encoding as a pack and returns its laid-out entry and the pack bytes.
std::pair<TensorEntry, std::shared_ptr<const Bytes>> pack_of(const ProcessedTensor& processed, const Uuid& id,
                                                             CompressionAlgo compression, const StorageBackend& storage) {
  Snapshot snapshot;
  snapshot.id = id;
  snapshot.compression = compression;
  const std::string key = rank_pack_key(id, 0);
  std::vector<PackTensor> parts{{processed.entry, ByteView(*processed.stored)}};
  AssembledPack pack = *assemble_pack(snapshot, 1, 0, key, std::move(parts));
  if (!storage.put_parts(key, pack.parts())) std::abort();
  auto bytes = std::make_shared<Bytes>();
  for (ByteView part : pack.parts()) bytes->insert(bytes->end(), part.begin(), part.end());
  return {pack.descriptor.rank.tensors.at(0), std::move(bytes)};
}

Fixture& fixture() {
  static Fixture* const made = [] {
    auto* made = new Fixture;
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    made->root = pattern;
    made->storage = std::make_shared<LocalStorage>(made->root);

    oneapi::tbb::task_arena arena(kThreads);
    arena.execute([&] {
      const ProcessedTensor base = *process_tensor(tensor(made->base_weights), {nullptr, kZstd});
      auto [base_entry, base_bytes] = pack_of(base, made->base_id, kZstd, *made->storage);
      made->base_in_pack = {kZstd, {{base_entry.name, base_entry}}, rank_pack_key(made->base_id, 0), made->storage, {}};
      made->base_retained = made->base_in_pack;
      auto retained = std::make_shared<RetainedTensors>();
      retained->emplace(base_entry.name, made->base_weights);
      made->base_retained.retained = std::move(retained);

      const ProcessedTensor delta = *process_tensor(made->updated, {&made->base_retained, kZstd});
      if (delta.entry.storage != TensorStorage::DeltaXor) std::abort();
      auto [delta_entry, delta_bytes] = pack_of(delta, Uuid::random_v4(), kZstd, *made->storage);
      made->delta_entry = delta_entry;
      made->delta_pack = OwnedPack::in_memory(delta_bytes);
      const OwnedPack base_pack = OwnedPack::in_memory(base_bytes);
      made->resolver = [entry = base_entry, base_pack](const Uuid&, std::string_view) -> Result<BaseLookup> {
        return BaseLookup{entry, kZstd, base_pack};
      };

      const ProcessedTensor plain = *process_tensor(made->updated, {nullptr, CompressionAlgo::none()});
      auto [plain_entry, plain_bytes] = pack_of(plain, Uuid::random_v4(), CompressionAlgo::none(), *made->storage);
      made->plain_entry = plain_entry;
      made->plain_pack = OwnedPack::in_memory(plain_bytes);
    });
    std::memset(made->copy_target.data(), 0x5a, kTensorBytes);
    return made;
  }();
  return *made;
}

template <class T>
void check(const Result<T>& result) {
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().message().c_str());
    std::abort();
  }
}

void register_all() {
  auto add = [](const std::string& name, std::function<void()> op) {
    benchmark::RegisterBenchmark(name.c_str(), [op](benchmark::State& state) {
      oneapi::tbb::task_arena arena(kThreads);
      for (auto _ : state) {
        arena.execute(op);
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTensorBytes));
    })->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
  };

  add("encode/no_base", [] { check(process_tensor(fixture().unrelated, {nullptr, kZstd})); });
  add("encode/unrelated_base", [] {
    Fixture& f = fixture();
    Result<ProcessedTensor> processed = process_tensor(f.unrelated, {&f.base_in_pack, kZstd});
    check(processed);
    if (processed->entry.storage != TensorStorage::Full) std::abort();
  });

  add("encode/delta_retained", [] {
    Fixture& f = fixture();
    Result<ProcessedTensor> processed = process_tensor(f.updated, {&f.base_retained, kZstd});
    check(processed);
    if (processed->entry.storage != TensorStorage::DeltaXor) std::abort();
  });
  add("encode/delta_steps", [] {
    Fixture& f = fixture();
    benchmark::DoNotOptimize(hash_hex(f.updated_weights));
    benchmark::DoNotOptimize(buffers_equal(f.base_weights, f.updated_weights));
    Result<Bytes> delta = xor_bytes(f.updated_weights, f.base_weights);
    Result<Bytes> shuffled = shuffle(*delta, 4);
    Result<Bytes> stored = compress(*shuffled, kZstd);
    check(stored);
    benchmark::DoNotOptimize(hash_hex(*stored));
  });

  add("decode/delta", [] {
    Fixture& f = fixture();
    const DecodeContext context{f.storage.get(), kZstd, &f.delta_pack, f.base_id, &f.resolver};
    check(load_tensor(f.delta_entry, context));
  });
  add("decode/delta_steps", [] {
    Fixture& f = fixture();
    const BaseLookup base = *f.resolver(f.base_id, f.delta_entry.name);
    const Bytes& base_pack = *std::get<std::shared_ptr<const Bytes>>(base.pack.source);
    const Bytes& delta_pack = *std::get<std::shared_ptr<const Bytes>>(f.delta_pack.source);
    const ByteView base_stored = ByteView(base_pack).subspan(base.entry.offset, base.entry.compressed_size);
    benchmark::DoNotOptimize(hash_hex(base_stored));
    Result<Bytes> base_raw = decompress(base_stored, kZstd, kTensorBytes);
    Result<Bytes> delta = decompress(to_bytes(ByteView(delta_pack).subspan(f.delta_entry.offset,
                                                                          f.delta_entry.compressed_size)),
                                     kZstd, kTensorBytes);
    Result<Bytes> unshuffled = unshuffle(*delta, 4);
    Result<Bytes> restored = apply_delta(*base_raw, *unshuffled);
    check(restored);
    benchmark::DoNotOptimize(hash_hex(*restored));
  });

  add("decode/plain_in_memory", [] {
    Fixture& f = fixture();
    const DecodeContext context{f.storage.get(), CompressionAlgo::none(), &f.plain_pack, std::nullopt, nullptr};
    check(load_tensor(f.plain_entry, context));
  });
  add("copy_and_hash", [] {
    Fixture& f = fixture();
    benchmark::DoNotOptimize(hash_hex(f.updated_weights));
    std::memcpy(f.copy_target.data(), f.updated_weights.data(), kTensorBytes);
  });
  // A decode hands back a new buffer, so it also pays for faulting in fresh pages.
  add("fresh_copy_and_hash", [] {
    Fixture& f = fixture();
    benchmark::DoNotOptimize(hash_hex(f.updated_weights));
    Bytes copy(kTensorBytes);
    std::memcpy(copy.data(), f.updated_weights.data(), kTensorBytes);
    benchmark::DoNotOptimize(copy.data());
  });
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fixture();  // build the inputs before anything is timed
  register_all();
  FastestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  struct Ratio {
    const char* measured;
    const char* reference;
    double target;
  };
  // Ratio = reference time / measured time.
  const Ratio ratios[] = {
      {"encode/unrelated_base", "encode/no_base", 0.95},
      {"encode/delta_retained", "encode/delta_steps", 0.95},
      {"decode/delta", "decode/delta_steps", 1.0},
      {"decode/plain_in_memory", "copy_and_hash", 0.9},
      {"decode/plain_in_memory", "fresh_copy_and_hash", 0.9},
  };
  std::printf("\n%-24s %-22s %8s %8s\n", "measured", "reference", "ratio", "target");
  for (const Ratio& ratio : ratios) {
    auto measured = reporter.fastest.find(ratio.measured);
    auto reference = reporter.fastest.find(ratio.reference);
    if (measured == reporter.fastest.end() || reference == reporter.fastest.end()) continue;
    const double value = reference->second.real / measured->second.real;
    std::printf("%-24s %-22s %8.2f %8.2f %s\n", ratio.measured, ratio.reference, value, ratio.target,
                value >= ratio.target ? "met" : "MISSED");
  }
  std::error_code ignored;
  std::filesystem::remove_all(fixture().root, ignored);
  benchmark::Shutdown();
  return 0;
}
