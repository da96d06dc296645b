#include "codec/delta.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/random_bytes.h"

namespace tarnwick {
namespace {

using testing::random_bytes;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Lengths on both sides of the 1 MiB chunk boundary.
class DeltaLengthTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DeltaLengthTest, XorIsBytewiseAndApplyDeltaUndoesIt) {
  const Bytes base = random_bytes(GetParam(), 1);
  const Bytes updated = random_bytes(GetParam(), 2);
  auto delta = xor_bytes(updated, base);
  ASSERT_TRUE(delta);
  ASSERT_EQ(delta->size(), base.size());
  for (std::size_t i = 0; i < base.size(); ++i) {
    ASSERT_EQ((*delta)[i], updated[i] ^ base[i]) << "at " << i;
  }
  auto restored = apply_delta(base, *delta);
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, updated);
}

INSTANTIATE_TEST_SUITE_P(Lengths, DeltaLengthTest,
                         ::testing::Values(0, 1, 4095, kMiB - 1, kMiB, kMiB + 1, 3 * kMiB + 17, 17 * kMiB + 5),
                         [](const auto& info) { return "bytes" + std::to_string(info.param); });

// Large outputs take another store path; it must cope with an output at any address.
TEST(XorIntoTest, LargeOutputAtAnOddAddress) {
  const std::size_t length = 17 * kMiB + 5;
  const Bytes a = random_bytes(length, 1);
  const Bytes b = random_bytes(length, 2);
  Bytes storage(length + 3);
  const MutableByteView out = MutableByteView(storage).subspan(3, length);
  xor_into(a, b, out);
  for (std::size_t i = 0; i < length; ++i) {
    ASSERT_EQ(out[i], a[i] ^ b[i]) << "at " << i;
  }
}

TEST(ApplyDeltaTest, LengthsThatDifferAreADeltaError) {
  auto restored = apply_delta(random_bytes(10), random_bytes(12));
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error(), TarnwickError::delta("base length 10 != delta length 12"));
}

TEST(XorBytesDeathTest, UnequalLengthsStopTheProgram) {
  const Bytes a = random_bytes(10), b = random_bytes(11);
  EXPECT_DEATH((void)xor_bytes(a, b), "xor_bytes requires equal lengths");
}

struct EqualCase {
  std::string name;
  std::size_t length_a;
  std::size_t length_b;
  // Index of the one byte flipped in b, if any.
  std::optional<std::size_t> flipped;
  bool equal;
};

class BuffersEqualTest : public ::testing::TestWithParam<EqualCase> {};

TEST_P(BuffersEqualTest, ComparesLengthsAndEveryByte) {
  const auto& c = GetParam();
  const Bytes a = random_bytes(c.length_a, 7);
  Bytes b = random_bytes(c.length_b, 7);  // same seed: a prefix of, or equal to, a
  if (c.flipped) b[*c.flipped] ^= std::byte{0x01};
  EXPECT_EQ(buffers_equal(a, b), c.equal);
  EXPECT_EQ(buffers_equal(b, a), c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuffersEqualTest,
    ::testing::Values(EqualCase{"BothEmpty", 0, 0, std::nullopt, true},
                      EqualCase{"SameSmall", 100, 100, std::nullopt, true},
                      EqualCase{"SameOverManyChunks", 5 * kMiB + 3, 5 * kMiB + 3, std::nullopt, true},
                      EqualCase{"PrefixIsNotEqual", 2 * kMiB, 2 * kMiB - 1, std::nullopt, false},
                      EqualCase{"EmptyAgainstNonEmpty", 1, 0, std::nullopt, false},
                      EqualCase{"FirstByteDiffers", 5 * kMiB, 5 * kMiB, 0, false},
                      EqualCase{"LastByteOfAChunkDiffers", 5 * kMiB, 5 * kMiB, 2 * kMiB - 1, false},
                      EqualCase{"FirstByteOfAChunkDiffers", 5 * kMiB, 5 * kMiB, 3 * kMiB, false},
                      EqualCase{"LastByteDiffers", 5 * kMiB + 3, 5 * kMiB + 3, 5 * kMiB + 2, false}),
    [](const auto& info) { return info.param.name; });

// float32 weights after a small training step: the sign and exponent bytes rarely change.
Bytes perturbed_floats(ByteView base, std::uint64_t seed) {
  Bytes updated(base.begin(), base.end());
  Bytes noise = random_bytes(base.size() / 4, seed);
  for (std::size_t i = 0; i < noise.size(); ++i) updated[4 * i] ^= noise[i];  // lowest mantissa byte only
  return updated;
}

struct PaysOffCase {
  std::string name;
  std::size_t base_length;
  std::size_t updated_length;
  // How `updated` relates to `base` over the first 64 KiB, and after it.
  enum Relation { Identical, Unrelated, NearlyEqualFloats } prefix, rest;
  CompressionAlgo compression;
  std::size_t n;
  double ratio;
  bool expected;
};

class PaysOffTest : public ::testing::TestWithParam<PaysOffCase> {};

TEST_P(PaysOffTest, EstimatesOnThePrefix) {
  const auto& c = GetParam();
  const Bytes base = random_bytes(c.base_length, 3);
  const Bytes unrelated = random_bytes(c.updated_length, 4);
  const Bytes nearly = perturbed_floats(random_bytes(c.updated_length, 3), 5);
  Bytes updated(c.updated_length);
  for (std::size_t i = 0; i < updated.size(); ++i) {
    const auto relation = i < 65536 ? c.prefix : c.rest;
    const bool in_base = i < base.size();
    updated[i] = relation == PaysOffCase::Unrelated || !in_base ? unrelated[i]
                 : relation == PaysOffCase::Identical          ? base[i]
                                                               : nearly[i];
  }
  EXPECT_EQ(pays_off(base, updated, c.compression, c.n, c.ratio), c.expected);
}

constexpr auto kZstd = CompressionAlgo{CompressionAlgo::Kind::Zstd, 3};
constexpr auto kNone = CompressionAlgo{CompressionAlgo::Kind::None, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, PaysOffTest,
    ::testing::Values(
        PaysOffCase{"ShortBaseIsAlwaysTried", 8191, 100000, PaysOffCase::Unrelated, PaysOffCase::Unrelated, kNone, 4,
                    0.95, true},
        PaysOffCase{"ShortUpdateIsAlwaysTried", 100000, 8191, PaysOffCase::Unrelated, PaysOffCase::Unrelated, kZstd, 4,
                    0.95, true},
        PaysOffCase{"IdenticalRandomDataPaysOff", 65536, 65536, PaysOffCase::Identical, PaysOffCase::Identical, kZstd,
                    1, 0.95, true},
        PaysOffCase{"UnrelatedRandomDataDoesNot", 65536, 65536, PaysOffCase::Unrelated, PaysOffCase::Unrelated, kZstd,
                    1, 0.95, false},
        PaysOffCase{"SmallFloatChangesPayOffShuffled", 200000, 200000, PaysOffCase::NearlyEqualFloats,
                    PaysOffCase::NearlyEqualFloats, kZstd, 4, 0.95, true},
        PaysOffCase{"OnlyThePrefixIsSampledForYes", 200000, 200000, PaysOffCase::Identical, PaysOffCase::Unrelated,
                    kZstd, 4, 0.95, true},
        PaysOffCase{"OnlyThePrefixIsSampledForNo", 200000, 200000, PaysOffCase::Unrelated, PaysOffCase::Identical,
                    kZstd, 4, 0.95, false},
        PaysOffCase{"UncompressedNeverPaysOffAtTheDefaultRatio", 8192, 8192, PaysOffCase::Identical,
                    PaysOffCase::Identical, kNone, 4, 0.95, false},
        PaysOffCase{"UncompressedPaysOffAboveRatioOne", 8192, 8192, PaysOffCase::Unrelated, PaysOffCase::Unrelated,
                    kNone, 4, 1.01, true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
