// The content hash of stored and raw tensor bytes and its text form.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/bytes.h"

namespace tarnwick {

// XXH3-128 (seed 0, default secret) of all of `bytes`, computed in one pass on the calling
// thread, as 32 lowercase hexadecimal digits, most significant first.
std::string hash_hex(ByteView bytes);

// The 32-digit text of the 128-bit value high:low, as hash_hex writes it.
std::string hash128_hex(std::uint64_t high, std::uint64_t low);

}  // namespace tarnwick
