// Opt-in timing of the hot steps of a save (TARNWICK_PROFILE=1): process-wide counters per
// phase, and the report that a save prints and resets.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace tarnwick::profile {

enum Phase : std::size_t {
  DedupHash,
  RawHash,
  SamplePrefix,
  PaysOffProbe,
  BaseDecompress,
  XorDelta,
  Shuffle,
  CompressDelta,
  CompressFull,
  PackWrite,
  kPhaseCount,
};

// The label each phase prints in the report.
const char* phase_label(Phase phase);

// Whether a TARNWICK_PROFILE value turns profiling on: exactly "1" or "true".
bool switch_from(const char* value);

// switch_from(TARNWICK_PROFILE), read once per process.
bool enabled();

// Adds one call of `nanos` to a phase's counters.
void record(Phase phase, std::uint64_t nanos);

// Runs `op` and, when profiling is on, counts its elapsed time against `phase`, whatever it
// returns. With profiling off this costs one read of a cached flag.
template <class Op>
decltype(auto) time(Phase phase, Op&& op) {
  if (!enabled()) return std::forward<Op>(op)();
  struct Timer {
    Phase phase;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~Timer() {
      auto elapsed = std::chrono::steady_clock::now() - start;
      record(phase, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
    }
  } timer{phase};
  return std::forward<Op>(op)();
}

// Builds the report of one save and resets the counters: the one-time header (first report of
// the process only), the save line, one line per phase that was called, and the total line.
std::string take_report(std::uint64_t step, std::chrono::nanoseconds wall, std::uint64_t raw_bytes);

// Prints take_report(...) to standard error in one write.
void print_report(std::uint64_t step, std::chrono::nanoseconds wall, std::uint64_t raw_bytes);

// The line printed when a save waited for the previous background save; empty when profiling is
// off or the wait was under 1 ms.
std::string queue_wait_line(std::chrono::nanoseconds waited);

}  // namespace tarnwick::profile
