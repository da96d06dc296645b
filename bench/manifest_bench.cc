// Writing and reading manifest.json for 100,000 tensor entries, in MB/s of JSON text. References
// measured in the same run: a plain copy of the text, and simdjson's generic DOM parse of it
// (no records built, no checks of ours).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstring>
#include <string>

#include "formats/manifest.h"

namespace tarnwick {
namespace {

constexpr std::size_t kEntries = 100'000;

// `snapshots` snapshots of one rank each, kEntries entries in all, shaped like a real model.
Manifest make_manifest(std::size_t snapshots) {
  Manifest manifest;
  manifest.world_size = 1;
  manifest.retention = {3, 10, 1000, std::nullopt};
  manifest.lineage = {5000, 4};
  const std::size_t per_snapshot = kEntries / snapshots;
  for (std::size_t s = 0; s < snapshots; ++s) {
    Snapshot snapshot;
    snapshot.id = Uuid::random_v4();
    snapshot.step = 1000 * s;
    snapshot.created_at = Timestamp(std::chrono::seconds(1'740'830'405 + s)) + std::chrono::milliseconds(250);
    snapshot.compression = CompressionAlgo::zstd(3);
    snapshot.metadata = {{"epoch", std::to_string(s)}, {"run", "bench"}};
    snapshot.finalized = true;
    RankEntry& rank = snapshot.ranks[0];
    rank.pack_file = rank_pack_key(snapshot.id, 0);
    std::uint64_t offset = 32;
    for (std::size_t i = 0; i < per_snapshot; ++i) {
      TensorEntry entry;
      entry.name = "model.layers." + std::to_string(i / 8) + ".mlp.proj_" + std::to_string(i % 8) + ".weight";
      entry.shape = {4096, 1024 + i % 7};
      entry.dtype = i % 3 == 0 ? "float8_e4m3fn" : "bfloat16";
      if (i % 3 == 0) {
        entry.original_dtype = "float32";
        entry.quant_scale = 0.001953125f * static_cast<float>(1 + i % 97);
      }
      entry.storage = i % 2 == 0 ? TensorStorage::Full : TensorStorage::DeltaXor;
      entry.compressed_size = 3'000'000 + i;
      entry.raw_size = 8'388'608;
      entry.offset = offset;
      offset += entry.compressed_size;
      entry.hash_raw = "0123456789abcdef0123456789abcdef";
      entry.hash_compressed = "fedcba9876543210fedcba9876543210";
      entry.shuffled = entry.storage == TensorStorage::DeltaXor;
      rank.total_compressed += entry.compressed_size;
      rank.total_raw += entry.raw_size;
      (entry.storage == TensorStorage::Full ? rank.full_count : rank.delta_count) += 1;
      rank.tensors.push_back(std::move(entry));
    }
    manifest.snapshots.push_back(std::move(snapshot));
  }
  return manifest;
}

const std::string& manifest_text(std::size_t snapshots) {
  static std::string one = write_manifest(make_manifest(1)).value();
  static std::string hundred = write_manifest(make_manifest(100)).value();
  return snapshots == 1 ? one : hundred;
}

void BM_WriteManifest(benchmark::State& state) {
  const Manifest manifest = make_manifest(static_cast<std::size_t>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    Result<std::string> text = write_manifest(manifest);
    bytes = text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// padded = 1: as stored by the local backend, zero padding up to a multiple of 4096 (at least
// 64 bytes here, so the text is parsed in place); padded = 0: the bare text, copied once.
void BM_ReadManifest(benchmark::State& state) {
  std::string text = manifest_text(static_cast<std::size_t>(state.range(0)));
  const std::size_t size = text.size();
  if (state.range(1) != 0) text.resize((size + 64 + 4095) / 4096 * 4096, '\0');
  for (auto _ : state) {
    Result<Manifest> manifest = read_manifest(as_bytes(text));
    if (!manifest) state.SkipWithError(manifest.error().message().c_str());
    benchmark::DoNotOptimize(manifest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_ReferenceCopy(benchmark::State& state) {
  const std::string& text = manifest_text(1);
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ReferenceDomParse(benchmark::State& state) {
  const simdjson::padded_string text(manifest_text(1));
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(text).get(root)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_WriteManifest)->ArgName("snapshots")->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadManifest)->ArgNames({"snapshots", "padded"})->Args({1, 1})->Args({1, 0})->Args({100, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceDomParse)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
