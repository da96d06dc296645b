#include "codec/hash.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdio>
#include <string>

#include "codec/random_bytes.h"

namespace tarnwick {
namespace {

using testing::random_bytes;

// The library's canonical big-endian form of the hash, printed byte by byte.
std::string canonical_hex(ByteView bytes) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_withSeed(bytes.data(), bytes.size(), 0));
  std::string text;
  char pair[3];
  for (unsigned char byte : canonical.digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

bool is_lower_hex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(HashHexTest, EmptyInputHasThePublishedValue) {
  EXPECT_EQ(hash_hex(ByteView{}), "99aa06d3014798d86001c324468d497f");
}

// Lengths that take each of the hash's internal code paths (up to 16, 128, 240 bytes, and long
// inputs over several stripes and blocks).
class HashLengthTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HashLengthTest, IsTheCanonicalFormInLowercaseHex) {
  const Bytes bytes = random_bytes(GetParam(), GetParam());
  const std::string text = hash_hex(bytes);
  EXPECT_EQ(text.size(), 32u);
  EXPECT_TRUE(is_lower_hex(text)) << text;
  EXPECT_EQ(text, canonical_hex(bytes));
}

INSTANTIATE_TEST_SUITE_P(Lengths, HashLengthTest,
                         ::testing::Values(1, 3, 4, 8, 9, 16, 17, 128, 129, 240, 241, 1024, 100000, 1 << 20),
                         [](const auto& info) { return "bytes" + std::to_string(info.param); });

TEST(HashHexTest, KeepsLeadingZeros) {
  // About one input in 16 hashes to a leading zero digit; take the first such small integer.
  for (std::uint32_t value = 0;; ++value) {
    const ByteView bytes(reinterpret_cast<const std::byte*>(&value), sizeof value);
    const std::string text = hash_hex(bytes);
    if (text.front() != '0') continue;
    EXPECT_EQ(text.size(), 32u);
    EXPECT_EQ(text, canonical_hex(bytes));
    break;
  }
}

struct Hash128Case {
  std::uint64_t high;
  std::uint64_t low;
  std::string text;
};

class Hash128HexTest : public ::testing::TestWithParam<Hash128Case> {};

TEST_P(Hash128HexTest, WritesHighThenLowZeroPadded) {
  EXPECT_EQ(hash128_hex(GetParam().high, GetParam().low), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, Hash128HexTest,
                         ::testing::Values(Hash128Case{0, 0, "00000000000000000000000000000000"},
                                           Hash128Case{0, 1, "00000000000000000000000000000001"},
                                           Hash128Case{1, 0, "00000000000000010000000000000000"},
                                           Hash128Case{0x0123456789ABCDEF, 0xFEDCBA9876543210,
                                                       "0123456789abcdeffedcba9876543210"},
                                           Hash128Case{~0ull, ~0ull, "ffffffffffffffffffffffffffffffff"}));

}  // namespace
}  // namespace tarnwick
