#include "runtime/profile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnwick::profile {
namespace {

std::array<std::atomic<std::uint64_t>, kPhaseCount> g_calls{};
std::array<std::atomic<std::uint64_t>, kPhaseCount> g_nanos{};
std::atomic<bool> g_header_shown{false};

constexpr std::array<const char*, kPhaseCount> kLabels = {
    "dedup hash",      "raw hash",  "sample prefix", "pays_off probe", "base decompress",
    "xor delta",       "shuffle",   "compress delta", "compress full", "pack write",
};

template <class... Args>
void append_format(std::string& out, const char* format, Args... args) {
  char line[256];
  int n = std::snprintf(line, sizeof line, format, args...);
  if (n > 0) out.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
}

}  // namespace

const char* phase_label(Phase phase) { return kLabels[phase]; }

bool switch_from(const char* value) {
  return value != nullptr && (std::strcmp(value, "1") == 0 || std::strcmp(value, "true") == 0);
}

bool enabled() {
  static const bool on = switch_from(std::getenv("TARNWICK_PROFILE"));
  return on;
}

void record(Phase phase, std::uint64_t nanos) {
  g_nanos[phase].fetch_add(nanos, std::memory_order_relaxed);
  g_calls[phase].fetch_add(1, std::memory_order_relaxed);
}

std::string take_report(std::uint64_t step, std::chrono::nanoseconds wall, std::uint64_t raw_bytes) {
  std::string out;
  if (!g_header_shown.exchange(true)) {
    out += "\n[tarnwick profile] phase totals are CPU time across the tbb pool, so they sum to more than the wall time\n";
  }
  double wall_seconds = wall.count() > 0 ? static_cast<double>(wall.count()) / 1e9 : 0.0;
  double gib = static_cast<double>(raw_bytes) / static_cast<double>(1ULL << 30);
  double gbps = wall_seconds > 0 ? static_cast<double>(raw_bytes) / wall_seconds / 1e9 : 0.0;
  append_format(out, "\n[tarnwick profile] step %llu: %.0f ms wall, %.2f GiB raw (%.2f GB/s)\n",
                static_cast<unsigned long long>(step), wall_seconds * 1e3, gib, gbps);

  std::uint64_t total = 0;
  for (auto& nanos : g_nanos) total += nanos.load();
  for (std::size_t phase = 0; phase < kPhaseCount; ++phase) {
    std::uint64_t nanos = g_nanos[phase].exchange(0);
    std::uint64_t calls = g_calls[phase].exchange(0);
    if (calls == 0) continue;
    double share = total == 0 ? 0.0 : 100.0 * static_cast<double>(nanos) / static_cast<double>(total);
    append_format(out, "  %-18s%9.0f ms  %5.1f%%  %5llu calls\n", kLabels[phase], static_cast<double>(nanos) / 1e6,
                  share, static_cast<unsigned long long>(calls));
  }
  append_format(out, "  %-18s%9.0f ms\n", "total CPU", static_cast<double>(total) / 1e6);
  return out;
}

void print_report(std::uint64_t step, std::chrono::nanoseconds wall, std::uint64_t raw_bytes) {
  std::string report = take_report(step, wall, raw_bytes);
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

std::string queue_wait_line(std::chrono::nanoseconds waited) {
  if (!enabled() || waited < std::chrono::milliseconds(1)) return {};
  std::string out;
  append_format(out, "[tarnwick profile] save waited %.0f ms for the previous one to drain (caller blocked, before any work started)\n",
                static_cast<double>(waited.count()) / 1e6);
  return out;
}

}  // namespace tarnwick::profile
