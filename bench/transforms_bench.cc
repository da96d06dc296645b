// Throughput of the byte transforms, each as a ratio against a reference measured in the same
// run: the single-thread kernels against memcpy of the same size, hash_hex against the bare
// hash, and compression on two pool threads against one.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_BENCH=ON
//   cmake --build build-bench --target transforms_bench
//   ./build-bench/bench/transforms_bench --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
//
// The table printed at the end uses the fastest repetition of each benchmark. Other load on the
// machine shows as wall time above CPU time and spoils the thread-scaling ratios in particular:
// run it on an otherwise idle machine.

#include <benchmark/benchmark.h>
#include <xxhash.h>

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fastest_reporter.h"
#include "codec/compression.h"
#include "codec/delta.h"
#include "codec/hash.h"
#include "codec/shuffle.h"

namespace {

using namespace tarnwick;

constexpr std::size_t kBufferBytes = std::size_t{256} << 20;

Bytes random_bytes(std::size_t length, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  Bytes bytes(length);
  for (std::size_t i = 0; i + 8 <= length; i += 8) {
    const std::uint64_t word = engine();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  return bytes;
}

// A page-faulted buffer for kernels to write into, so that the first run does not pay for
// the kernel's page faults.
Bytes faulted_output(std::size_t length) {
  Bytes bytes(length);
  std::memset(bytes.data(), 0x5a, length);
  return bytes;
}

// float32 weights as a trained layer holds them: normally distributed around zero, each a
// small relative step away from a smooth value, so the data is neither constant nor noise.
Bytes float_weights(std::size_t length) {
  std::mt19937_64 engine(42);
  std::normal_distribution<float> weight(0.0f, 0.02f);
  std::normal_distribution<float> step(0.0f, 1e-3f);
  std::vector<float> values(length / sizeof(float));
  for (float& value : values) value = weight(engine) * (1.0f + step(engine));
  Bytes bytes(length);
  std::memcpy(bytes.data(), values.data(), length);
  return bytes;
}

struct Buffers {
  Bytes a = random_bytes(kBufferBytes, 1);
  Bytes b = random_bytes(kBufferBytes, 2);
  Bytes a_copy = Bytes(a);
  Bytes out = faulted_output(kBufferBytes);
  Bytes weights = float_weights(kBufferBytes);
  Bytes compressed;
};

Buffers& buffers() {
  static Buffers* const made = [] {
    auto* made = new Buffers;
    made->compressed = *compress(made->weights, CompressionAlgo::zstd(3));
    return made;
  }();
  return *made;
}

// Runs `op` on `threads` pool threads per iteration, counting `bytes` per iteration.
void run_on(benchmark::State& state, int threads, std::size_t bytes, const std::function<void()>& op) {
  oneapi::tbb::task_arena arena(threads);
  for (auto _ : state) {
    arena.execute(op);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void register_all() {
  auto add = [](const std::string& name, int threads, std::function<void()> op) {
    benchmark::RegisterBenchmark(name.c_str(), [threads, op](benchmark::State& state) {
      run_on(state, threads, kBufferBytes, op);
    })->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
  };
  add("memcpy", 1, [] {
    auto& bufs = buffers();
    std::memcpy(bufs.out.data(), bufs.a.data(), kBufferBytes);
  });
  add("xor_bytes", 1, [] {
    auto& bufs = buffers();
    xor_into(bufs.a, bufs.b, bufs.out);
  });
  add("buffers_equal", 1, [] {
    auto& bufs = buffers();
    benchmark::DoNotOptimize(buffers_equal(bufs.a, bufs.a_copy));
  });
  for (std::size_t n : {2, 4}) {
    add("shuffle/" + std::to_string(n), 1, [n] {
      auto& bufs = buffers();
      shuffle_into(bufs.a, n, bufs.out);
    });
    add("unshuffle/" + std::to_string(n), 1, [n] {
      auto& bufs = buffers();
      unshuffle_into(bufs.a, n, bufs.out);
    });
  }
  add("XXH3_128bits", 1, [] {
    auto& bufs = buffers();
    benchmark::DoNotOptimize(XXH3_128bits(bufs.a.data(), kBufferBytes));
  });
  add("hash_hex", 1, [] {
    auto& bufs = buffers();
    benchmark::DoNotOptimize(hash_hex(bufs.a));
  });
  for (int threads : {1, 2}) {
    add("compress/threads:" + std::to_string(threads), threads, [] {
      auto& bufs = buffers();
      benchmark::DoNotOptimize(compress(bufs.weights, CompressionAlgo::zstd(3)));
    });
    add("decompress/threads:" + std::to_string(threads), threads, [] {
      auto& bufs = buffers();
      benchmark::DoNotOptimize(decompress(bufs.compressed, CompressionAlgo::zstd(3), kBufferBytes));
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  buffers();  // build the inputs before anything is timed
  register_all();
  FastestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  struct Ratio {
    const char* measured;
    const char* reference;
    double target;
    // Whether the calling thread does all the work, so that its CPU time is a second measure
    // that is less disturbed by other processes on the machine.
    bool single_thread;
  };
  // Ratio = reference time / measured time: the measured operation's throughput relative to
  // the reference's over the same bytes. The target applies to the wall-time ratio.
  const Ratio ratios[] = {
      {"xor_bytes", "memcpy", 0.6, true},
      {"buffers_equal", "memcpy", 0.6, true},
      {"shuffle/2", "memcpy", 0.4, true},
      {"shuffle/4", "memcpy", 0.4, true},
      {"unshuffle/2", "memcpy", 0.4, true},
      {"unshuffle/4", "memcpy", 0.4, true},
      {"hash_hex", "XXH3_128bits", 0.9, true},
      {"compress/threads:2", "compress/threads:1", 1.8, false},
      {"decompress/threads:2", "decompress/threads:1", 1.8, false},
  };
  std::printf("\n%-22s %-22s %8s %8s %8s\n", "measured", "reference", "wall", "cpu", "target");
  for (const Ratio& ratio : ratios) {
    auto measured = reporter.fastest.find(ratio.measured);
    auto reference = reporter.fastest.find(ratio.reference);
    if (measured == reporter.fastest.end() || reference == reporter.fastest.end()) continue;
    const double wall = reference->second.real / measured->second.real;
    const double cpu = reference->second.cpu / measured->second.cpu;
    char cpu_text[16] = "-";
    if (ratio.single_thread) std::snprintf(cpu_text, sizeof cpu_text, "%.2f", cpu);
    std::printf("%-22s %-22s %8.2f %8s %8.2f %s\n", ratio.measured, ratio.reference, wall, cpu_text, ratio.target,
                wall >= ratio.target ? "met" : "MISSED");
  }
  benchmark::Shutdown();
  return 0;
}
