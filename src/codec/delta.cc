#include "codec/delta.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "codec/buffers.h"
#include "codec/compression.h"
#include "codec/shuffle.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// Tensors shorter than this are always tried as deltas.
constexpr std::size_t kSmallTensorBytes = 8192;
// The prefix that pays_off compresses.
constexpr std::size_t kSampleBytes = 65536;

std::size_t chunk_count(std::size_t length) { return (length + kChunkBytes - 1) / kChunkBytes; }

void xor_kernel(const unsigned char* __restrict a, const unsigned char* __restrict b, unsigned char* __restrict out,
                std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = a[i] ^ b[i];
}

void xor_kernel(ByteView a, ByteView b, MutableByteView out) {
  xor_kernel(reinterpret_cast<const unsigned char*>(a.data()), reinterpret_cast<const unsigned char*>(b.data()),
             reinterpret_cast<unsigned char*>(out.data()), out.size());
}

#if defined(__SSE2__)
// Outputs at least this long are far larger than what the caches would keep for the next step,
// so they are written with streaming stores: these skip reading every output line in before
// overwriting it, which leaves the memory bandwidth to the two inputs.
constexpr std::size_t kStreamingBytes = std::size_t{16} << 20;
// How far ahead of the loop the inputs are requested; the hardware prefetcher alone leaves one
// core short of the memory bandwidth with two input streams.
constexpr std::size_t kPrefetchBytes = 1024;

void xor_streaming(ByteView a, ByteView b, MutableByteView out) {
  const auto* x = reinterpret_cast<const char*>(a.data());
  const auto* y = reinterpret_cast<const char*>(b.data());
  auto* z = reinterpret_cast<char*>(out.data());
  const std::size_t length = out.size();
  auto xor16 = [&](std::size_t at) {
    const __m128i value = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + at)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + at)));
    _mm_stream_si128(reinterpret_cast<__m128i*>(z + at), value);
  };
  // Streaming stores need 16-byte aligned addresses.
  std::size_t i = std::min(length, (16 - reinterpret_cast<std::uintptr_t>(z) % 16) % 16);
  xor_kernel(a.first(i), b.first(i), out.first(i));
  for (; i + 64 <= length; i += 64) {
    _mm_prefetch(x + i + kPrefetchBytes, _MM_HINT_T0);
    _mm_prefetch(y + i + kPrefetchBytes, _MM_HINT_T0);
    xor16(i);
    xor16(i + 16);
    xor16(i + 32);
    xor16(i + 48);
  }
  for (; i + 16 <= length; i += 16) xor16(i);
  xor_kernel(a.subspan(i), b.subspan(i), out.subspan(i));
  _mm_sfence();  // streaming stores are weakly ordered: make them visible before the chunk is done
}
#endif

}  // namespace

void xor_into(ByteView a, ByteView b, MutableByteView out) {
  if (a.size() != b.size() || out.size() != a.size()) programming_error("xor_bytes requires equal lengths");
  auto kernel = [&](std::size_t offset, std::size_t length) {
#if defined(__SSE2__)
    if (out.size() >= kStreamingBytes) {
      return xor_streaming(a.subspan(offset, length), b.subspan(offset, length), out.subspan(offset, length));
    }
#endif
    xor_kernel(a.subspan(offset, length), b.subspan(offset, length), out.subspan(offset, length));
  };
  parallel_for(chunk_count(a.size()), [&](std::size_t chunk) {
    const std::size_t offset = chunk * kChunkBytes;
    kernel(offset, std::min(kChunkBytes, a.size() - offset));
  });
}

Result<Bytes> xor_bytes(ByteView a, ByteView b) {
  if (a.size() != b.size()) programming_error("xor_bytes requires equal lengths");
  TW_ASSIGN_OR_RETURN(Bytes out, allocate_bytes(a.size()));
  xor_into(a, b, out);
  return out;
}

Result<Bytes> apply_delta(ByteView base, ByteView delta) {
  if (base.size() != delta.size()) {
    return fail(TarnwickError::delta("base length " + std::to_string(base.size()) + " != delta length " +
                                     std::to_string(delta.size())));
  }
  return xor_bytes(base, delta);
}

bool buffers_equal(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  std::atomic<bool> differs{false};
  parallel_for(chunk_count(a.size()), [&](std::size_t chunk) {
    if (differs.load(std::memory_order_relaxed)) return;
    const std::size_t offset = chunk * kChunkBytes;
    const std::size_t length = std::min(kChunkBytes, a.size() - offset);
    if (std::memcmp(a.data() + offset, b.data() + offset, length) != 0) {
      differs.store(true, std::memory_order_relaxed);
    }
  });
  return !differs.load(std::memory_order_relaxed);
}

bool pays_off(ByteView base, ByteView updated, const CompressionAlgo& compression, std::size_t n, double ratio) {
  const std::size_t common = std::min(base.size(), updated.size());
  if (common < kSmallTensorBytes) return true;
  const std::size_t sample = std::min(common, kSampleBytes);
  const ByteView plain = updated.first(sample);

  // The sample is small enough to XOR on this thread; a failed allocation leaves the question open.
  auto delta = allocate_bytes(sample);
  if (!delta) return true;
  xor_kernel(base.first(sample), plain, *delta);
  if (n > 1) {
    delta = shuffle(*delta, n);
    if (!delta) return true;
  }
  auto compressed_delta = compress(*delta, compression);
  auto compressed_plain = compress(plain, compression);
  if (!compressed_delta || !compressed_plain || compressed_plain->empty()) return true;
  return ratio * static_cast<double>(compressed_plain->size()) > static_cast<double>(compressed_delta->size());
}

}  // namespace tarnwick
