// How a snapshot's stored tensor bytes are compressed.
#pragma once

#include <cstdint>

namespace tarnwick {

struct CompressionAlgo {
  enum class Kind : std::uint8_t { None, Zstd };

  Kind kind = Kind::None;
  std::int32_t level = 0;  // meaningful for Zstd only; 0 for None

  static constexpr CompressionAlgo none() { return {}; }
  static constexpr CompressionAlgo zstd(std::int32_t level) { return {Kind::Zstd, level}; }

  friend bool operator==(const CompressionAlgo&, const CompressionAlgo&) = default;
};

}  // namespace tarnwick
