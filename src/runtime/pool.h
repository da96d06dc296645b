// The process-wide private worker pool on which all data-parallel work runs, and the reader of
// numeric environment switches that sizes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace tarnwick {

// Reads `name` as a positive integer. Unset, non-UTF-8 or blank values give nothing silently;
// anything else that is not a positive decimal integer gives nothing and prints
// "[Tarnwick] Ignoring NAME="raw": expected a positive integer" on standard error.
std::optional<std::uint64_t> positive_env(const char* name);

// The text of `raw` in double quotes, with backslash escapes for quotes, backslashes and
// non-printable characters.
std::string quoted(std::string_view raw);

// The CPUs this process may run on, after affinity and cgroup quotas; 1 if unknown.
std::size_t available_cpus();

// Worker count from the available CPUs and the two switches: TARNWICK_THREADS wins, else
// available / LOCAL_WORLD_SIZE, else available; never 0.
std::size_t pool_thread_count(std::size_t available, std::optional<std::uint64_t> local_world_size,
                              std::optional<std::uint64_t> threads);

// The private pool, built on the first call from the environment and kept for the life of the
// process; nullptr when it could not be built (a warning was printed, work then falls back to
// the shared default arena).
oneapi::tbb::task_arena* pool();

// The prefix of every worker's thread name; the worker's index follows it.
inline constexpr std::string_view kWorkerNamePrefix = "tarnwick-tbb-";

// Runs `work` inside the private pool and waits for it; data-parallel loops inside then use the
// pool's threads. Without a pool, runs `work` on the calling thread.
template <class Work>
decltype(auto) run_in_pool(Work&& work) {
  if (auto* arena = pool()) return arena->execute(std::forward<Work>(work));
  return std::forward<Work>(work)();
}

// Runs body(i) for every i in [0, count) on the pool of the calling thread: the pool the caller
// belongs to, or the shared default arena. Each index is one unit of work.
template <class Body>
void parallel_for(std::size_t count, const Body& body) {
  if (count == 0) return;
  if (count == 1) {
    body(std::size_t{0});
    return;
  }
  oneapi::tbb::parallel_for(std::size_t{0}, count, body);
}

}  // namespace tarnwick
