#pragma once
#include <cstdint>
namespace tarnwick {
// How a snapshot's stored tensor bytes are compressed.
struct CompressionAlgo {
  enum class Kind { None, Zstd };
  Kind kind = Kind::None;
  std::int32_t level = 0;  // meaningful for Zstd only
  static CompressionAlgo none() { return {}; }
  static CompressionAlgo zstd(std::int32_t level) { return {Kind::Zstd, level}; }
  bool operator==(const CompressionAlgo&) const = default;
};
}
