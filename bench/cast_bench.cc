// Float casting over a 256 MiB tensor of 32-bit floats, against copying the same bytes.
//
// Every case reports bytes_per_second over the 256 MiB of 32-bit input. The copies are the
// reference: "MemcpyFresh" allocates a new output per iteration like the casts do, so the two
// pay the same page faults; "MemcpyReused" copies into a buffer that is already mapped.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "codec/cast.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

constexpr std::size_t kInputBytes = std::size_t{256} << 20;

const Bytes& input_floats() {
  static const Bytes bytes = [] {
    Bytes out(kInputBytes);
    std::mt19937 random(1);
    std::normal_distribution<float> normal(0.0f, 0.02f);
    for (std::size_t i = 0; i < out.size(); i += sizeof(float)) {
      const float value = normal(random);
      std::memcpy(out.data() + i, &value, sizeof(value));
    }
    return out;
  }();
  return bytes;
}

void set_throughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

void BM_MemcpyFresh(benchmark::State& state) {
  const Bytes& input = input_floats();
  for (auto _ : state) {
    Bytes out;
    out.resize(input.size());
    std::memcpy(out.data(), input.data(), input.size());
    benchmark::DoNotOptimize(out.data());
  }
  set_throughput(state);
}

void BM_MemcpyReused(benchmark::State& state) {
  const Bytes& input = input_floats();
  Bytes out(input.size());
  for (auto _ : state) {
    std::memcpy(out.data(), input.data(), input.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_throughput(state);
}

template <class Cast>
void run_cast(benchmark::State& state, Cast cast) {
  const Bytes& input = input_floats();
  for (auto _ : state) {
    run_in_pool([&] {
      auto result = cast(input);
      if (!result) state.SkipWithError("cast failed");
      benchmark::DoNotOptimize(result);
    });
  }
  set_throughput(state);
}

void BM_NarrowToBFloat16(benchmark::State& state) {
  run_cast(state, [](const Bytes& input) { return narrow_from_fp32(input, "bfloat16"); });
}

void BM_NarrowToFloat16(benchmark::State& state) {
  run_cast(state, [](const Bytes& input) { return narrow_from_fp32(input, "float16"); });
}

// The whole 8-bit step of a save: the finite maximum, the scale and the encoding.
void BM_CastToFloat8E4M3(benchmark::State& state) {
  const DTypePolicy policy = DTypePolicy::from_rules(std::vector<std::pair<std::string, std::string>>{{"*", "fp8"}})
                                 .value_or(DTypePolicy());
  run_cast(state, [&](const Bytes& input) { return cast_for_storage("w", "float32", input, policy); });
}

// The 8-bit step of a load: 64 Mi codes decoded to the same 256 MiB of 32-bit floats.
void BM_DecodeFloat8E4M3(benchmark::State& state) {
  const Bytes codes = encode_float8(input_floats(), kFloat8E4M3FN, 0.001f).value_or(Bytes());
  for (auto _ : state) {
    run_in_pool([&] {
      auto result = decode_float8(codes, kFloat8E4M3FN, 0.001f);
      if (!result) state.SkipWithError("decode failed");
      benchmark::DoNotOptimize(result);
    });
  }
  set_throughput(state);
}

BENCHMARK(BM_MemcpyFresh)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyReused)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NarrowToBFloat16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NarrowToFloat16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CastToFloat8E4M3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeFloat8E4M3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
