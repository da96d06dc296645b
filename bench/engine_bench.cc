// Save and load of a ~1 GiB transformer-like float32 state through the coordinator, each figure
// a ratio against the bare codec work measured in the same run.
//
//   TARNWICK_FSYNC=0 ./build-bench/bench/engine_bench [layers]   (store in /dev/shm unless
//   TARNWICK_BENCH_DIR names another directory)
//
// Prints one line per measurement. Memory is measured in a forked child so that its peak
// resident size belongs to one full save alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "codec/compression.h"
#include "codec/delta.h"
#include "codec/shuffle.h"
#include "coordinator/coordinator.h"
#include "runtime/pool.h"
#include "storage/storage.h"

using namespace tarnwick;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Counts the bytes handed out by reads, to show how little a selective load touches.
class CountingStorage final : public StorageBackend {
 public:
  explicit CountingStorage(StorageHandle inner) : inner_(std::move(inner)) {}
  std::uint64_t bytes_read() const { return bytes_read_; }
  void reset() { bytes_read_ = 0; }
  Status put_parts(std::string_view key, std::span<const ByteView> parts) const override {
    return inner_->put_parts(key, parts);
  }
  Result<std::unique_ptr<ObjectWriter>> open_writer(std::string_view key) const override {
    return inner_->open_writer(key);
  }
  Result<Bytes> get(std::string_view key) const override { return count(inner_->get(key)); }
  Result<Bytes> get_range(std::string_view key, std::uint64_t offset, std::uint64_t length) const override {
    return count(inner_->get_range(key, offset, length));
  }
  Result<bool> exists(std::string_view key) const override { return inner_->exists(key); }
  Status delete_object(std::string_view key) const override { return inner_->delete_object(key); }
  Status remove_dir(std::string_view prefix) const override { return inner_->remove_dir(prefix); }
  Result<std::vector<std::string>> list(std::string_view prefix) const override { return inner_->list(prefix); }

 private:
  Result<Bytes> count(Result<Bytes> result) const {
    if (result) bytes_read_ += result->size();
    return result;
  }
  StorageHandle inner_;
  mutable std::atomic<std::uint64_t> bytes_read_{0};
};

TensorData make_tensor(std::string name, std::size_t count, std::mt19937& gen) {
  std::normal_distribution<float> dist(0.0f, 0.02f);
  TensorData tensor{std::move(name), {count}, "float32", {}};
  tensor.data.resize(count * 4);
  auto* out = reinterpret_cast<float*>(tensor.data.data());
  for (std::size_t i = 0; i < count; ++i) out[i] = dist(gen);
  return tensor;
}

// A few large matrices and many small vectors per layer, like a transformer's.
std::vector<TensorData> make_state(int layers) {
  constexpr std::size_t d = 1024;
  std::mt19937 gen(42);
  std::vector<TensorData> state;
  state.push_back(make_tensor("embed", 8192 * d, gen));
  for (int l = 0; l < layers; ++l) {
    std::string p = "layer" + std::to_string(l) + ".";
    for (const char* m : {"q", "k", "v", "o"}) state.push_back(make_tensor(p + m + ".weight", d * d, gen));
    state.push_back(make_tensor(p + "mlp_up.weight", 4 * d * d, gen));
    state.push_back(make_tensor(p + "mlp_down.weight", 4 * d * d, gen));
    for (const char* v : {"q.bias", "k.bias", "v.bias", "o.bias", "ln1.weight", "ln1.bias", "ln2.weight", "ln2.bias"}) {
      state.push_back(make_tensor(p + v, d, gen));
    }
    state.push_back(make_tensor(p + "mlp_up.bias", 4 * d, gen));
    state.push_back(make_tensor(p + "mlp_down.bias", d, gen));
  }
  return state;
}

// 90 % of the tensors nudged multiplicatively (one optimiser step), 10 % left alone.
std::vector<TensorData> perturb(const std::vector<TensorData>& state) {
  std::vector<TensorData> next = state;
  std::mt19937 gen(7);
  std::normal_distribution<float> noise(0.0f, 1e-3f);
  for (std::size_t t = 0; t < next.size(); ++t) {
    if (t % 10 == 9) continue;
    auto* v = reinterpret_cast<float*>(next[t].data.data());
    std::size_t n = next[t].data.size() / 4;
    for (std::size_t i = 0; i < n; ++i) v[i] *= 1.0f + noise(gen);
  }
  return next;
}

std::uint64_t raw_size(const std::vector<TensorData>& state) {
  std::uint64_t total = 0;
  for (const auto& t : state) total += t.data.size();
  return total;
}

// The pool's time to compress every tensor, the work a full save cannot avoid.
double time_compress(const std::vector<TensorData>& state, const CompressionAlgo& algo) {
  auto start = Clock::now();
  run_in_pool([&] {
    parallel_for(state.size(), [&](std::size_t i) { (void)compress(state[i].data, algo); });
  });
  return seconds_since(start);
}

// XOR, shuffle and compress of the changed tensors only: the work a delta save cannot avoid.
double time_delta_codec(const std::vector<TensorData>& base, const std::vector<TensorData>& next,
                        const CompressionAlgo& algo) {
  auto start = Clock::now();
  run_in_pool([&] {
    parallel_for(next.size(), [&](std::size_t i) {
      if (buffers_equal(base[i].data, next[i].data)) return;
      Bytes delta = xor_bytes(base[i].data, next[i].data).value();
      Bytes shuffled = shuffle(delta, 4).value();
      (void)compress(shuffled, algo);
    });
  });
  return seconds_since(start);
}

std::unique_ptr<Coordinator> open_store(const fs::path& root, StorageHandle storage, bool keep_base) {
  fs::remove_all(root);
  fs::create_directories(root);
  CoordinatorConfig config;
  config.async_save = false;
  config.keep_base_in_memory = keep_base;
  return std::move(Coordinator::open(std::move(storage), config).value());
}

double timed_save(Coordinator& coordinator, Uuid id, std::uint64_t step, std::vector<TensorData> state) {
  auto start = Clock::now();
  auto saved = coordinator.save(id, step, std::move(state), {});
  double elapsed = seconds_since(start);
  if (!saved) {
    std::fprintf(stderr, "save failed: %s\n", saved.error().message().c_str());
    std::exit(1);
  }
  return elapsed;
}

std::uint64_t stored_bytes(Coordinator& coordinator, const Uuid& id) {
  for (const auto& info : coordinator.list_snapshots()) {
    if (info.id == id) return info.total_compressed;
  }
  return 0;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Peak resident memory a full save adds beyond its input, in a child process of its own.
void report_full_save_memory(const std::vector<TensorData>& state, const fs::path& root) {
  pid_t child = fork();
  if (child == 0) {
    std::vector<TensorData> input = state;  // the save takes ownership of its own copy
    long before = resident_kib();
    auto coordinator = open_store(root, std::make_shared<LocalStorage>(root), true);
    timed_save(*coordinator, Uuid::random_v4(), 0, std::move(input));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("full save peak memory beyond input: %.2f GiB (peak %.2f GiB, input resident %.2f GiB)\n",
                static_cast<double>(usage.ru_maxrss - before) / (1 << 20),
                static_cast<double>(usage.ru_maxrss) / (1 << 20), static_cast<double>(before) / (1 << 20));
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  int layers = argc > 1 ? std::atoi(argv[1]) : 20;
  const CompressionAlgo algo = CompressionAlgo::zstd(3);
  // The store lives in memory by default, so that the figures measure this engine and not the
  // disk's write-back (TARNWICK_BENCH_DIR chooses another place).
  const char* dir = std::getenv("TARNWICK_BENCH_DIR");
  const fs::path root = fs::path(dir ? dir : "/dev/shm") / "tarnwick-engine-bench";
  auto state = make_state(layers);
  auto next = perturb(state);
  const double gib = static_cast<double>(raw_size(state)) / (1 << 30);
  std::printf("state: %zu tensors, %.2f GiB float32, pool of %d threads\n", state.size(), gib,
              pool() ? pool()->max_concurrency() : 0);

  std::fflush(stdout);
  report_full_save_memory(state, root);

  // Full save against the pool compressing the same bytes.
  double compress_ref = time_compress(state, algo);
  auto counting = std::make_shared<CountingStorage>(std::make_shared<LocalStorage>(root));
  auto coordinator = open_store(root, counting, true);
  Uuid full_id = Uuid::random_v4();
  double full_save = timed_save(*coordinator, full_id, 0, state);
  std::printf("full save: %.3f s vs compress %.3f s -> ratio %.2f (target <= 1.15)\n", full_save, compress_ref,
              full_save / compress_ref);

  // Delta save with the retained base against the bare delta codec work.
  double delta_ref = time_delta_codec(state, next, algo);
  Uuid delta_id = Uuid::random_v4();
  double delta_save = timed_save(*coordinator, delta_id, 1, next);
  std::printf("delta save (retained base): %.3f s vs xor+shuffle+compress %.3f s -> ratio %.2f (target <= 1.25)\n",
              delta_save, delta_ref, delta_save / delta_ref);

  // Loads: whole snapshot against decompressing its stored bytes; 1 % of the tensors by bytes read.
  auto pack = counting->get(snapshot_prefix(full_id) + "/rank_0.pack").value();
  auto description = coordinator->describe(full_id).value();
  auto manifest = read_manifest(counting->get("manifest.json").value()).value();
  auto full_snapshot = std::find_if(manifest.snapshots.begin(), manifest.snapshots.end(),
                                    [&](const Snapshot& s) { return s.id == full_id; });
  const RankEntry& full_rank = full_snapshot->ranks.at(0);
  auto dstart = Clock::now();
  run_in_pool([&] {
    parallel_for(full_rank.tensors.size(), [&](std::size_t i) {
      const auto& e = full_rank.tensors[i];
      (void)decompress(ByteView(pack).subspan(e.offset, e.compressed_size), algo, e.raw_size);
    });
  });
  double decompress_ref = seconds_since(dstart);
  auto lstart = Clock::now();
  auto loaded = coordinator->load(full_id);
  double load_time = seconds_since(lstart);
  if (!loaded) return 1;
  loaded->clear();
  std::printf("whole load: %.3f s vs decompress %.3f s -> ratio %.2f (target <= 1.15)\n", load_time, decompress_ref,
              load_time / decompress_ref);

  // Every hundredth tensor from the middle of the list: a mix of matrices and vectors.
  std::vector<std::string> few;
  std::uint64_t few_stored = 0;
  for (std::size_t i = 50; i < description.tensors.size(); i += 100) {
    few.push_back(description.tensors[i].name);
    few_stored += description.tensors[i].compressed_size;
  }
  counting->reset();
  auto picked = coordinator->load_tensors(full_id, few);
  if (!picked) return 1;
  std::uint64_t pack_bytes = stored_bytes(*coordinator, full_id);
  std::printf("load_tensors of %zu/%zu tensors read %.2f %% of the pack bytes (target <= 2 %%); "
              "%.3f x the stored bytes of those tensors\n",
              few.size(), description.tensors.size(), 100.0 * static_cast<double>(counting->bytes_read()) / pack_bytes,
              static_cast<double>(counting->bytes_read()) / static_cast<double>(few_stored));

  std::printf("stored/raw: full %.3f, delta %.3f\n", static_cast<double>(stored_bytes(*coordinator, full_id)) / raw_size(state),
              static_cast<double>(stored_bytes(*coordinator, delta_id)) / raw_size(next));

  // Delta save reading its base back from storage.
  coordinator.reset();
  auto cold = open_store(root, std::make_shared<LocalStorage>(root), false);
  timed_save(*cold, Uuid::random_v4(), 0, state);
  double cold_delta = timed_save(*cold, Uuid::random_v4(), 1, next);
  std::printf("delta save (base from storage): %.3f s -> %.2f x the retained-base save (target <= 1.6)\n", cold_delta,
              cold_delta / delta_save);
  cold.reset();
  fs::remove_all(root);
  return 0;
}
