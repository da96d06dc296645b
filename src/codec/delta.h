// The XOR delta between two versions of a tensor, the equality test that precedes it, and the
// cheap estimate of whether storing the delta beats storing the tensor.
#pragma once

#include <cstddef>

#include "formats/compression_algo.h"
#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// out[i] = a[i] ^ b[i], in 1 MiB chunks on the calling thread's pool. All three must have the
// same length (else the program stops) and `out` must not overlap the inputs.
void xor_into(ByteView a, ByteView b, MutableByteView out);

// xor_into into a fresh buffer. Callers check the lengths first: unequal lengths stop the
// program with "xor_bytes requires equal lengths". A Compression error when the buffer cannot
// be allocated.
[[nodiscard]] Result<Bytes> xor_bytes(ByteView a, ByteView b);

// The bytes that `delta` was made from against `base`; a Delta error when the lengths differ.
[[nodiscard]] Result<Bytes> apply_delta(ByteView base, ByteView delta);

// Whether both lengths and all bytes are equal. Compares 1 MiB chunks in parallel and stops
// early once any chunk differs.
bool buffers_equal(ByteView a, ByteView b);

// Whether an XOR delta of `updated` against `base` is worth trying: compresses the delta and the
// plain bytes of a prefix of at most 64 KiB (the delta shuffled by `n` when n > 1) and says yes
// when ratio x plain > delta. Small tensors (under 8192 bytes) and failed compressions say yes.
bool pays_off(ByteView base, ByteView updated, const CompressionAlgo& compression, std::size_t n, double ratio);

}  // namespace tarnwick
