// Element sizes of dtypes and the byte-plane transpose that groups like bytes of the elements
// of a tensor together, which makes float data far more compressible.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// Bytes per element of a dtype name (exact, case-sensitive match): 16, 8, 4 or 2 for the wide
// types, 1 for every other name, unknown names included.
std::size_t element_size(std::string_view dtype);

// Writes the planes of the whole n-byte elements of `in` to `out`: byte 0 of every element, then
// byte 1 of every element, and so on; the trailing in.size() % n bytes are copied unchanged.
// With n < 2 or fewer than n bytes, a plain copy. `out` must be as long as `in` and must not
// overlap it. Runs on the calling thread's pool.
void shuffle_into(ByteView in, std::size_t n, MutableByteView out);

// The exact inverse of shuffle_into for the same n and length; same requirements.
void unshuffle_into(ByteView in, std::size_t n, MutableByteView out);

// shuffle_into / unshuffle_into into a fresh buffer; a Compression error when it cannot be
// allocated.
[[nodiscard]] Result<Bytes> shuffle(ByteView in, std::size_t n);
[[nodiscard]] Result<Bytes> unshuffle(ByteView in, std::size_t n);

}  // namespace tarnwick
