// zstd compression of stored tensor bytes: large inputs become independent 4 MiB frames, so
// that one big tensor compresses and decompresses on all pool threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "formats/compression_algo.h"
#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// The raw bytes per zstd frame; longer inputs are cut into consecutive chunks of this size.
inline constexpr std::size_t kFrameRawBytes = std::size_t{4} << 20;

// None: a copy. Zstd: one frame per 4 MiB chunk of `raw` (the last one shorter), each made by
// the one-shot compressor at the given level with its content size recorded, compressed in
// parallel on the calling thread's pool and concatenated in chunk order. A zstd failure is a
// Compression error with zstd's text (the first one recorded when several chunks fail).
[[nodiscard]] Result<Bytes> compress(ByteView raw, const CompressionAlgo& compression);

// The inverse of compress. Zstd accepts any sequence of zstd frames: when every frame declares
// its content size they are decoded in parallel straight into one buffer, else the input is
// decoded as a stream. Empty input gives empty output.
//
// `max_size`, when given, is the most bytes the caller will accept (callers that know the raw
// size pass it): frames declaring more in total fail before anything is allocated, and a stream
// that decodes to more stops there, both with a Compression error. Without it the declared sizes
// are trusted up to what can be allocated. Decoding errors and failed allocations are
// Compression errors.
[[nodiscard]] Result<Bytes> decompress(ByteView stored, const CompressionAlgo& compression,
                                       std::optional<std::uint64_t> max_size = std::nullopt);

}  // namespace tarnwick
