#include "runtime/pool.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_scheduler_observer.h>
#include <simdjson.h>

namespace tarnwick {
namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

// Unsigned decimal with one optional leading '+', nothing else.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Gives each worker that enters the pool a stable name "tarnwick-tbb-<index>".
class WorkerNamer : public oneapi::tbb::task_scheduler_observer {
 public:
  explicit WorkerNamer(oneapi::tbb::task_arena& arena) : task_scheduler_observer(arena) { observe(true); }
  void on_scheduler_entry(bool is_worker) override {
    if (!is_worker) return;
    thread_local int index = -1;
    if (index >= 0) return;
    index = next_index_.fetch_add(1);
    std::string name = std::string(kWorkerNamePrefix) + std::to_string(index);
    name.resize(std::min<std::size_t>(name.size(), 15));  // the kernel's limit for thread names
    pthread_setname_np(pthread_self(), name.c_str());
  }

 private:
  std::atomic<int> next_index_{0};
};

struct PrivatePool {
  std::unique_ptr<oneapi::tbb::global_control> parallelism;
  std::unique_ptr<oneapi::tbb::task_arena> arena;
  std::unique_ptr<WorkerNamer> namer;
};

PrivatePool* build_pool() {
  auto local_world_size = positive_env("LOCAL_WORLD_SIZE");
  auto threads = positive_env("TARNWICK_THREADS");
  std::size_t count = pool_thread_count(available_cpus(), local_world_size, threads);
  try {
    auto built = std::make_unique<PrivatePool>();
    // The scheduler caps workers at the CPU count by default; a larger explicit request is honoured.
    if (count > static_cast<std::size_t>(oneapi::tbb::info::default_concurrency())) {
      built->parallelism = std::make_unique<oneapi::tbb::global_control>(
          oneapi::tbb::global_control::max_allowed_parallelism, count);
    }
    built->arena = std::make_unique<oneapi::tbb::task_arena>(static_cast<int>(count));
    built->arena->initialize();
    built->namer = std::make_unique<WorkerNamer>(*built->arena);
    return built.release();
  } catch (const std::exception& e) {
    std::string line = std::string("[Tarnwick] Could not build a private thread pool (") + e.what() +
                       "); using the shared default tbb arena\n";
    std::fputs(line.c_str(), stderr);
    return nullptr;
  }
}

}  // namespace

std::string quoted(std::string_view raw) {
  std::string out = "\"";
  for (char ch : raw) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::optional<std::uint64_t> positive_env(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr || !simdjson::validate_utf8(raw, std::strlen(raw))) return std::nullopt;
  std::string_view trimmed = trim(raw);
  if (trimmed.empty()) return std::nullopt;
  if (auto value = parse_unsigned(trimmed); value && *value != 0) return value;
  std::string line = std::string("[Tarnwick] Ignoring ") + name + "=" + quoted(raw) + ": expected a positive integer\n";
  std::fputs(line.c_str(), stderr);
  return std::nullopt;
}

std::size_t available_cpus() {
  std::size_t count = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<std::size_t>(CPU_COUNT(&set));
  // A cgroup v2 quota ("<quota> <period>", or "max" for none) limits the CPUs too.
  std::ifstream cpu_max("/sys/fs/cgroup/cpu.max");
  std::string quota;
  std::uint64_t period = 0;
  if (cpu_max >> quota >> period && quota != "max" && period > 0) {
    if (auto q = parse_unsigned(quota); q && *q > 0) {
      auto limit = static_cast<std::size_t>(std::ceil(static_cast<double>(*q) / static_cast<double>(period)));
      if (count == 0 || limit < count) count = limit;
    }
  }
  return count == 0 ? 1 : count;
}

std::size_t pool_thread_count(std::size_t available, std::optional<std::uint64_t> local_world_size,
                              std::optional<std::uint64_t> threads) {
  std::uint64_t count = available;
  if (threads) {
    count = *threads;
  } else if (local_world_size) {
    count = available / *local_world_size;
  }
  return count == 0 ? 1 : static_cast<std::size_t>(count);
}

oneapi::tbb::task_arena* pool() {
  static PrivatePool* const built = build_pool();  // thread-safe once-only initialisation
  return built ? built->arena.get() : nullptr;
}

}  // namespace tarnwick
