#include "codec/shuffle.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "codec/random_bytes.h"

namespace tarnwick {
namespace {

using testing::random_bytes;

Bytes bytes_of(std::initializer_list<int> values) {
  Bytes bytes;
  for (int value : values) bytes.push_back(static_cast<std::byte>(value));
  return bytes;
}

// The transpose written straight from its definition, to check the vectorised kernels against.
Bytes reference_shuffle(ByteView in, std::size_t n) {
  Bytes out(in.begin(), in.end());
  if (n < 2 || in.size() < n) return out;
  const std::size_t elements = in.size() / n;
  for (std::size_t p = 0; p < n; ++p) {
    for (std::size_t e = 0; e < elements; ++e) out[p * elements + e] = in[e * n + p];
  }
  return out;
}

struct DtypeCase {
  std::string dtype;
  std::size_t size;
};

class ElementSizeTest : public ::testing::TestWithParam<DtypeCase> {};

TEST_P(ElementSizeTest, MatchesTheDtypeTable) { EXPECT_EQ(element_size(GetParam().dtype), GetParam().size); }

INSTANTIATE_TEST_SUITE_P(
    Dtypes, ElementSizeTest,
    ::testing::Values(DtypeCase{"complex128", 16}, DtypeCase{"float64", 8}, DtypeCase{"int64", 8},
                      DtypeCase{"uint64", 8}, DtypeCase{"complex64", 8}, DtypeCase{"float32", 4},
                      DtypeCase{"int32", 4}, DtypeCase{"uint32", 4}, DtypeCase{"complex32", 4},
                      DtypeCase{"float16", 2}, DtypeCase{"bfloat16", 2}, DtypeCase{"int16", 2},
                      DtypeCase{"uint16", 2}, DtypeCase{"int8", 1}, DtypeCase{"uint8", 1}, DtypeCase{"bool", 1},
                      DtypeCase{"float8_e4m3fn", 1}, DtypeCase{"float8_e5m2", 1},
                      DtypeCase{"float8_e8m0fnu", 1}, DtypeCase{"float8_e4m3fnuz", 1},
                      DtypeCase{"float8_e5m2fnuz", 1},
                      // Only the exact, whole name counts.
                      DtypeCase{"Float32", 1}, DtypeCase{"float32 ", 1}, DtypeCase{"torch.float32", 1},
                      DtypeCase{"", 1}, DtypeCase{"float128", 1}),
    [](const auto& info) {
      std::string name = info.param.dtype.empty() ? "empty" : info.param.dtype;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

struct KnownCase {
  std::string name;
  Bytes packed;
  std::size_t n;
  Bytes planar;
};

class ShuffleKnownTest : public ::testing::TestWithParam<KnownCase> {};

TEST_P(ShuffleKnownTest, ShufflesToThePlanesAndBack) {
  const auto& c = GetParam();
  auto planar = shuffle(c.packed, c.n);
  ASSERT_TRUE(planar);
  EXPECT_EQ(*planar, c.planar);
  auto packed = unshuffle(c.planar, c.n);
  ASSERT_TRUE(packed);
  EXPECT_EQ(*packed, c.packed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShuffleKnownTest,
    ::testing::Values(
        KnownCase{"TwoFloat32", bytes_of({0xb0, 0xb1, 0xb2, 0xb3, 0xc0, 0xc1, 0xc2, 0xc3}), 4,
                  bytes_of({0xb0, 0xc0, 0xb1, 0xc1, 0xb2, 0xc2, 0xb3, 0xc3})},
        KnownCase{"SingleByteElementsAreCopied", bytes_of({1, 2, 3, 4, 5}), 1, bytes_of({1, 2, 3, 4, 5})},
        KnownCase{"ElementSizeZeroIsACopy", bytes_of({1, 2, 3}), 0, bytes_of({1, 2, 3})},
        KnownCase{"ShorterThanOneElementIsCopied", bytes_of({1, 2, 3}), 4, bytes_of({1, 2, 3})},
        KnownCase{"TailStaysAtTheEnd", bytes_of({1, 2, 3, 4, 5}), 2, bytes_of({1, 3, 2, 4, 5})},
        KnownCase{"ThreeByteElementsWithTail", bytes_of({1, 2, 3, 4, 5, 6, 7, 8}), 3,
                  bytes_of({1, 4, 2, 5, 3, 6, 7, 8})},
        KnownCase{"Empty", Bytes{}, 4, Bytes{}}),
    [](const auto& info) { return info.param.name; });

// Lengths around the 16-element vector width and the 8192-element parallel block, with and
// without a tail, for every element size the dtypes use and a few they do not.
class ShuffleReferenceTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShuffleReferenceTest, MatchesTheDefinitionAndRoundTrips) {
  const std::size_t n = GetParam();
  for (std::size_t elements : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{17}, std::size_t{100},
                               std::size_t{8191}, std::size_t{8192}, std::size_t{8193}, std::size_t{3 * 8192 + 31}}) {
    for (std::size_t tail : {std::size_t{0}, n / 2, n > 1 ? n - 1 : 0}) {
      const Bytes input = random_bytes(elements * n + tail, elements + tail);
      SCOPED_TRACE(::testing::Message() << "n=" << n << " length=" << input.size());
      auto planar = shuffle(input, n);
      ASSERT_TRUE(planar);
      ASSERT_EQ(*planar, reference_shuffle(input, n));
      auto packed = unshuffle(*planar, n);
      ASSERT_TRUE(packed);
      ASSERT_EQ(*packed, input);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ElementSizes, ShuffleReferenceTest, ::testing::Values(1, 2, 3, 4, 5, 8, 16, 24),
                         [](const auto& info) { return "n" + std::to_string(info.param); });

TEST(ShuffleIntoTest, WritesIntoTheCallersBuffer) {
  const Bytes input = random_bytes(4 * 1000 + 3);
  Bytes planar(input.size()), packed(input.size());
  shuffle_into(input, 4, planar);
  EXPECT_EQ(planar, reference_shuffle(input, 4));
  unshuffle_into(planar, 4, packed);
  EXPECT_EQ(packed, input);
}

TEST(ShuffleIntoDeathTest, OutputOfAnotherLengthIsAProgrammingError) {
  const Bytes input = random_bytes(64);
  Bytes shorter(63);
  EXPECT_DEATH(shuffle_into(input, 4, shorter), "require an output as long as the input");
}

}  // namespace
}  // namespace tarnwick
