#include "codec/compression.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "codec/random_bytes.h"

// Records the largest single request made through operator new, so that a test can show that
// decoding a hostile frame never asked for the memory the frame claims to need.
namespace {
std::atomic<std::size_t> largest_request{0};
}  // namespace

void* operator new(std::size_t size) {
  std::size_t seen = largest_request.load(std::memory_order_relaxed);
  while (size > seen && !largest_request.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// Under AddressSanitizer, let a failed allocation reach the code under test as std::bad_alloc
// instead of stopping the process, as it would without the sanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace tarnwick {
namespace {

using testing::random_bytes;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr auto kZstd3 = CompressionAlgo{CompressionAlgo::Kind::Zstd, 3};
constexpr auto kNone = CompressionAlgo{CompressionAlgo::Kind::None, 0};

// Half random, half repeated text: compressible, but not trivially.
Bytes mixed_bytes(std::size_t length, std::uint64_t seed = 1) {
  Bytes bytes = random_bytes(length, seed);
  constexpr std::string_view kText = "weights of layer 12, attention head 3; ";
  for (std::size_t i = 0; i < length; i += 2) bytes[i] = static_cast<std::byte>(kText[(i / 2) % kText.size()]);
  return bytes;
}

struct FrameInfo {
  std::size_t stored_size;
  unsigned long long content_size;
};

std::vector<FrameInfo> frames_of(ByteView stored) {
  std::vector<FrameInfo> frames;
  while (!stored.empty()) {
    const std::size_t size = ZSTD_findFrameCompressedSize(stored.data(), stored.size());
    if (ZSTD_isError(size)) ADD_FAILURE() << ZSTD_getErrorName(size);
    if (ZSTD_isError(size)) break;
    frames.push_back({size, ZSTD_getFrameContentSize(stored.data(), stored.size())});
    stored = stored.subspan(size);
  }
  return frames;
}

Bytes zstd_frame(ByteView raw, int level = 3) {
  Bytes frame(ZSTD_compressBound(raw.size()));
  frame.resize(ZSTD_compress(frame.data(), frame.size(), raw.data(), raw.size(), level));
  return frame;
}

// What compress must produce: the one-shot frame of every 4 MiB chunk, in order.
Bytes one_shot_frames(ByteView raw, int level) {
  Bytes all;
  std::size_t offset = 0;
  do {
    const std::size_t chunk = std::min(kFrameRawBytes, raw.size() - offset);
    const Bytes frame = zstd_frame(raw.subspan(offset, chunk), level);
    all.insert(all.end(), frame.begin(), frame.end());
    offset += chunk;
  } while (offset < raw.size());
  return all;
}

// A frame written by the streaming compressor with the content size left out of its header.
Bytes zstd_frame_without_size(ByteView raw) {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(ctx, ZSTD_c_contentSizeFlag, 0);
  Bytes frame(ZSTD_compressBound(raw.size()) + 64);
  ZSTD_inBuffer input{raw.data(), raw.size(), 0};
  ZSTD_outBuffer output{frame.data(), frame.size(), 0};
  while (ZSTD_compressStream2(ctx, &output, &input, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(ctx);
  frame.resize(output.pos);
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  return frame;
}

// A frame header that claims `declared` content bytes, followed by one raw block of `payload`
// bytes: zstd can measure and parse it, whatever it claims.
Bytes frame_claiming(std::uint64_t declared, std::size_t payload = 4) {
  Bytes frame;
  auto put = [&](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) frame.push_back(static_cast<std::byte>(value >> (8 * i)));
  };
  put(ZSTD_MAGICNUMBER, 4);
  put(0xE0, 1);  // 8-byte content size, single segment, no checksum, no dictionary
  put(declared, 8);
  put(1 | (payload << 3), 3);  // last block, raw, `payload` bytes
  for (std::size_t i = 0; i < payload; ++i) put(0xAB, 1);
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), declared);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());
  return frame;
}

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes all;
  for (ByteView part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Lengths around the 4 MiB frame size; each chunk becomes its own frame.
class FrameLengthTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameLengthTest, CutsFourMiBFramesThatEachRecordTheirSize) {
  const Bytes raw = mixed_bytes(GetParam());
  auto stored = compress(raw, kZstd3);
  ASSERT_TRUE(stored);
  const auto frames = frames_of(*stored);
  const std::size_t expected_frames = raw.empty() ? 1 : (raw.size() + kFrameRawBytes - 1) / kFrameRawBytes;
  ASSERT_EQ(frames.size(), expected_frames);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].content_size, std::min(kFrameRawBytes, raw.size() - i * kFrameRawBytes));
  }
  EXPECT_EQ(*stored, one_shot_frames(raw, 3));
  auto restored = decompress(*stored, kZstd3);
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, raw);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FrameLengthTest,
                         ::testing::Values(0, 1, 1000, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 9 * kMiB + 123),
                         [](const auto& info) { return "bytes" + std::to_string(info.param); });

TEST(CompressTest, FramesOfVeryDifferentSizesAreMovedTogetherInOrder) {
  // Chunks 0, 5 and 10 are incompressible and the others all zeros, so frames finish at
  // different times and most land far below their worst-case slots.
  Bytes raw = random_bytes(11 * kFrameRawBytes + 999, 5);
  for (std::size_t chunk = 1; chunk < 10; ++chunk) {
    if (chunk != 5) std::fill_n(raw.begin() + chunk * kFrameRawBytes, kFrameRawBytes, std::byte{0});
  }
  auto stored = compress(raw, kZstd3);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, one_shot_frames(raw, 3));
  auto restored = decompress(*stored, kZstd3, raw.size());
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, raw);
}

class LevelTest : public ::testing::TestWithParam<int> {};

TEST_P(LevelTest, UsesTheLevelAndRoundTrips) {
  const Bytes raw = mixed_bytes(5 * kMiB + 7, 9);
  auto stored = compress(raw, CompressionAlgo::zstd(GetParam()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, one_shot_frames(raw, GetParam()));
  auto restored = decompress(*stored, CompressionAlgo::zstd(GetParam()));
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, raw);
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelTest, ::testing::Values(-5, 0, 1, 3, 9), [](const auto& info) {
  return (info.param < 0 ? "minus" : "") + std::to_string(std::abs(info.param));
});

TEST(CompressNoneTest, StoresAndReturnsACopy) {
  const Bytes raw = mixed_bytes(1000);
  auto stored = compress(raw, kNone);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, raw);
  auto restored = decompress(*stored, kNone);
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, raw);
}

TEST(DecompressTest, EmptyInputGivesEmptyOutputForEitherAlgorithm) {
  for (const auto& algo : {kNone, kZstd3}) {
    auto restored = decompress(ByteView{}, algo);
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->empty());
  }
}

// Stored bytes made elsewhere: any sequence of zstd frames decodes to the concatenation.
struct ForeignCase {
  std::string name;
  std::vector<std::size_t> frame_lengths;
  // Which frames leave their content size out (decoded by the streaming path).
  std::vector<bool> without_size;
};

class ForeignFramesTest : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(ForeignFramesTest, DecodesToTheConcatenation) {
  const auto& c = GetParam();
  Bytes raw, stored;
  for (std::size_t i = 0; i < c.frame_lengths.size(); ++i) {
    const Bytes part = mixed_bytes(c.frame_lengths[i], i + 1);
    const Bytes frame = c.without_size[i] ? zstd_frame_without_size(part) : zstd_frame(part, 1 + static_cast<int>(i));
    raw.insert(raw.end(), part.begin(), part.end());
    stored.insert(stored.end(), frame.begin(), frame.end());
  }
  auto restored = decompress(stored, kZstd3);
  ASSERT_TRUE(restored) << restored.error().message();
  EXPECT_EQ(*restored, raw);
  // A bound of exactly the decoded size is accepted on either path.
  auto bounded = decompress(stored, kZstd3, raw.size());
  ASSERT_TRUE(bounded) << bounded.error().message();
  EXPECT_EQ(*bounded, raw);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForeignFramesTest,
    ::testing::Values(ForeignCase{"SeveralFramesOfOddSizes", {1000, 3 * kMiB + 5, 0, 77}, {false, false, false, false}},
                      ForeignCase{"OneFrameWithoutSize", {300000}, {true}},
                      ForeignCase{"LargeFrameWithoutSize", {5 * kMiB + 1}, {true}},
                      ForeignCase{"SizedThenUnsized", {100000, 20000}, {false, true}},
                      ForeignCase{"UnsizedThenSized", {20000, 100000}, {true, false}}),
    [](const auto& info) { return info.param.name; });

struct CorruptCase {
  std::string name;
  Bytes stored;
};

class CorruptInputTest : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptInputTest, IsACompressionError) {
  auto restored = decompress(GetParam().stored, kZstd3);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
  EXPECT_FALSE(restored.error().text().empty());
}

Bytes truncated(Bytes bytes, std::size_t drop) {
  bytes.resize(bytes.size() - drop);
  return bytes;
}

Bytes with_flipped_byte(Bytes bytes, std::size_t at) {
  bytes[at] ^= std::byte{0xFF};
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorruptInputTest,
    ::testing::Values(CorruptCase{"NotZstd", mixed_bytes(100)},
                      CorruptCase{"TruncatedSizedFrame", truncated(zstd_frame(mixed_bytes(100000)), 10)},
                      CorruptCase{"TruncatedUnsizedFrame", truncated(zstd_frame_without_size(mixed_bytes(100000)), 10)},
                      CorruptCase{"TrailingGarbage", concat({zstd_frame(mixed_bytes(1000)), mixed_bytes(7)})},
                      CorruptCase{"DamagedBlock", with_flipped_byte(zstd_frame(mixed_bytes(100000)), 20)},
                      CorruptCase{"FrameShorterThanItClaims", frame_claiming(1000)},
                      CorruptCase{"FrameLongerThanItClaims", frame_claiming(2)}),
    [](const auto& info) { return info.param.name; });

// A corrupt or hostile frame may claim any content size. With the expected size given, decoding
// must fail before allocating what the frame claims; and claims that add up past 64 bits must
// not wrap around into a small buffer.
class DeclaredSizeBoundTest : public ::testing::Test {
 protected:
  void SetUp() override { largest_request = 0; }
  // Well below any claim the tests make, well above what the tests legitimately decode.
  static constexpr std::size_t kModestRequest = 64 * kMiB;
};

TEST_F(DeclaredSizeBoundTest, HugeClaimWithASmallBoundFailsWithoutAllocating) {
  const Bytes stored = frame_claiming(std::uint64_t{1} << 40);
  auto restored = decompress(stored, kZstd3, 4096);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
  EXPECT_LT(largest_request.load(), kModestRequest);
}

TEST_F(DeclaredSizeBoundTest, ClaimsAreSummedOverFrames) {
  const Bytes frame = zstd_frame(mixed_bytes(1000));
  const Bytes stored = concat({frame, frame, frame});
  auto restored = decompress(stored, kZstd3, 2999);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
  ASSERT_TRUE(decompress(stored, kZstd3, 3000));
}

TEST_F(DeclaredSizeBoundTest, ClaimsOverflowingSixtyFourBitsFailCleanly) {
  const Bytes half = frame_claiming(std::uint64_t{1} << 63);
  auto restored = decompress(concat({frame_claiming(4), half, half}), kZstd3);
  ASSERT_FALSE(restored);
  // Refused as unallocatable before any frame is decoded; a wrapped sum would have handed the
  // frames slices far outside a 4-byte buffer.
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
  EXPECT_TRUE(restored.error().text().starts_with("out of memory")) << restored.error().text();
  EXPECT_LT(largest_request.load(), kModestRequest);
}

TEST_F(DeclaredSizeBoundTest, UnallocatableClaimWithoutABoundIsAnErrorNotACrash) {
  // 256 GiB: more than this machine can back, less than what sanitizers refuse outright.
  auto restored = decompress(frame_claiming(std::uint64_t{1} << 38), kZstd3);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
}

TEST_F(DeclaredSizeBoundTest, StreamThatOutgrowsTheBoundStopsThere) {
  const Bytes stored = zstd_frame_without_size(Bytes(16 * kMiB, std::byte{0}));
  largest_request = 0;
  auto restored = decompress(stored, kZstd3, 4096);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
  EXPECT_LT(largest_request.load(), kMiB);
}

TEST_F(DeclaredSizeBoundTest, UncompressedLongerThanTheBoundFails) {
  auto restored = decompress(mixed_bytes(100), kNone, 99);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().kind(), ErrorKind::Compression);
}

}  // namespace
}  // namespace tarnwick
