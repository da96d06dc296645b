#include "codec/hash.h"

#include <xxhash.h>

#include <array>

namespace tarnwick {
namespace {

// The two hexadecimal digits of every byte value, so that formatting costs one lookup per byte.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> pairs{};
  for (std::size_t value = 0; value < 256; ++value) pairs[value] = {kDigits[value >> 4], kDigits[value & 15]};
  return pairs;
}();

void write_hex(std::uint64_t value, char* out) {
  for (int byte = 7; byte >= 0; --byte) {
    const auto& pair = kHexPairs[(value >> (8 * byte)) & 0xff];
    *out++ = pair[0];
    *out++ = pair[1];
  }
}

}  // namespace

std::string hash128_hex(std::uint64_t high, std::uint64_t low) {
  std::string text(32, '\0');
  write_hex(high, text.data());
  write_hex(low, text.data() + 16);
  return text;
}

std::string hash_hex(ByteView bytes) {
  const XXH128_hash_t hash = XXH3_128bits(bytes.data(), bytes.size());
  return hash128_hex(hash.high64, hash.low64);
}

}  // namespace tarnwick
