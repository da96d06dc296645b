// Output buffers and argument checks shared by the byte transforms.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// A buffer of `size` uninitialised bytes, or a Compression error when the memory cannot be had,
// so that an oversized request fails the one operation instead of the process.
[[nodiscard]] Result<Bytes> allocate_bytes(std::size_t size);

// A copy of `bytes` in a fresh buffer, or the allocation failure as above.
[[nodiscard]] Result<Bytes> copy_bytes(ByteView bytes);

// Stops the program with `message` on standard error. For misuse by a caller that is obliged to
// check its arguments first, never for bad data.
[[noreturn]] void programming_error(std::string_view message);

}  // namespace tarnwick
