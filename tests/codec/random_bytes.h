// Reproducible test data for the codec tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "runtime/bytes.h"

namespace tarnwick::testing {

// `length` uniformly random bytes from a fixed seed.
inline Bytes random_bytes(std::size_t length, std::uint64_t seed = 1) {
  std::mt19937_64 engine(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::byte>(engine());
  return bytes;
}

}  // namespace tarnwick::testing
