#include "codec/compression.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "codec/buffers.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

// The output a streaming decode produces per call.
constexpr std::size_t kStreamStepBytes = 8192;

TarnwickError out_of_memory() { return TarnwickError::compression("out of memory"); }

TarnwickError too_large(std::uint64_t max_size) {
  return TarnwickError::compression("decompressed size exceeds the expected " + std::to_string(max_size) + " bytes");
}

// One zstd context of each kind per thread, reused across calls so that each frame does not
// allocate and set up a fresh workspace (zstd itself shrinks a workspace that a high level left
// oversized once it stays unused).
ZSTD_CCtx* thread_compressor() {
  struct Free {
    void operator()(ZSTD_CCtx* ctx) const { ZSTD_freeCCtx(ctx); }
  };
  thread_local std::unique_ptr<ZSTD_CCtx, Free> ctx{ZSTD_createCCtx()};
  return ctx.get();
}

ZSTD_DCtx* thread_decompressor() {
  struct Free {
    void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
  };
  thread_local std::unique_ptr<ZSTD_DCtx, Free> ctx{ZSTD_createDCtx()};
  return ctx.get();
}

// The first failure of a parallel loop; once set, units not yet started skip their work.
class FirstFailure {
 public:
  bool happened() const { return happened_.load(std::memory_order_relaxed); }
  void record(std::string text) {
    std::lock_guard lock(mutex_);
    if (happened_.load(std::memory_order_relaxed)) return;
    text_ = std::move(text);
    happened_.store(true, std::memory_order_relaxed);
  }
  std::unexpected<TarnwickError> error() const { return fail(TarnwickError::compression(text_)); }

 private:
  std::atomic<bool> happened_{false};
  std::mutex mutex_;
  std::string text_;
};

// Moves compressed frames from their worst-case slots down to their final places while later
// frames are still being compressed, so that little of the moving is left once the last frame
// is done. Frames move strictly in order, one mover at a time: a frame's final place can overlap
// only the slots of frames before it, which have already moved, never a slot still being written.
class FrameCompactor {
 public:
  FrameCompactor(std::byte* buffer, const std::vector<std::size_t>& slot_start)
      : buffer_(buffer),
        slot_start_(slot_start),
        size_(slot_start.size() - 1, 0),
        done_(slot_start.size() - 1, false) {}

  // Records that `frame` was compressed to `size` bytes; the caller may then move it and any
  // frames after it that are done.
  void finished(std::size_t frame, std::size_t size) {
    std::unique_lock lock(mutex_);
    size_[frame] = size;
    done_[frame] = true;
    if (moving_) return;  // the current mover will pick this frame up
    moving_ = true;
    while (next_ < done_.size() && done_[next_]) {
      const std::size_t from = slot_start_[next_], to = end_, length = size_[next_];
      lock.unlock();
      if (to != from) std::memmove(buffer_ + to, buffer_ + from, length);
      lock.lock();
      end_ += length;
      ++next_;
    }
    moving_ = false;
  }

  // The length of the compacted frames, once every frame has finished.
  std::size_t end() const { return end_; }

 private:
  std::byte* const buffer_;
  const std::vector<std::size_t>& slot_start_;
  std::mutex mutex_;
  std::vector<std::size_t> size_;
  std::vector<bool> done_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  bool moving_ = false;
};

// Compresses chunk i of `raw` into slot i of one buffer sized for the worst case of every
// chunk, moving the frames together as they finish.
Result<Bytes> compress_frames(ByteView raw, int level) {
  const std::size_t frames = std::max<std::size_t>(1, (raw.size() + kFrameRawBytes - 1) / kFrameRawBytes);
  auto chunk = [&](std::size_t i) {
    const std::size_t start = i * kFrameRawBytes;
    return raw.subspan(start, std::min(kFrameRawBytes, raw.size() - start));
  };
  std::vector<std::size_t> slot_start(frames + 1, 0);
  for (std::size_t i = 0; i < frames; ++i) slot_start[i + 1] = slot_start[i] + ZSTD_compressBound(chunk(i).size());
  TW_ASSIGN_OR_RETURN(Bytes out, allocate_bytes(slot_start[frames]));

  FrameCompactor compactor(out.data(), slot_start);
  FirstFailure failure;
  parallel_for(frames, [&](std::size_t i) {
    if (failure.happened()) return;
    ZSTD_CCtx* ctx = thread_compressor();
    if (ctx == nullptr) return failure.record("out of memory creating a zstd compression context");
    const ByteView source = chunk(i);
    const std::size_t written = ZSTD_compressCCtx(ctx, out.data() + slot_start[i], slot_start[i + 1] - slot_start[i],
                                                  source.data(), source.size(), level);
    if (ZSTD_isError(written)) return failure.record(ZSTD_getErrorName(written));
    compactor.finished(i, written);
  });
  if (failure.happened()) return failure.error();

  out.resize(compactor.end());
  // Well-compressible data would otherwise keep up to its raw size reserved for as long as the
  // stored bytes live; copying what is left is cheap exactly when that waste is large.
  if (out.capacity() / 2 > out.size()) out.shrink_to_fit();
  return out;
}

struct Frame {
  ByteView stored;
  std::uint64_t content_start;
  std::uint64_t content_size;
};

// The frames of `stored` with their places in the output when they tile it exactly and all
// declare their content size; nothing otherwise. `total` receives the sum of the declared sizes,
// saturated at the largest 64-bit value.
std::optional<std::vector<Frame>> declared_frames(ByteView stored, std::uint64_t& total) {
  std::vector<Frame> frames;
  total = 0;
  while (!stored.empty()) {
    const std::size_t frame_bytes = ZSTD_findFrameCompressedSize(stored.data(), stored.size());
    if (ZSTD_isError(frame_bytes) || frame_bytes > stored.size()) return std::nullopt;
    const unsigned long long content = ZSTD_getFrameContentSize(stored.data(), stored.size());
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR) return std::nullopt;
    frames.push_back({stored.first(frame_bytes), total, content});
    total = content > std::numeric_limits<std::uint64_t>::max() - total ? std::numeric_limits<std::uint64_t>::max()
                                                                          : total + content;
    stored = stored.subspan(frame_bytes);
  }
  return frames;
}

// Decodes every frame straight into its own slice of one buffer, in parallel.
Result<Bytes> decompress_frames(const std::vector<Frame>& frames, std::uint64_t total,
                                std::optional<std::uint64_t> max_size) {
  if (max_size && total > *max_size) return fail(too_large(*max_size));
  if (total > std::numeric_limits<std::size_t>::max()) return fail(out_of_memory());
  TW_ASSIGN_OR_RETURN(Bytes out, allocate_bytes(static_cast<std::size_t>(total)));
  FirstFailure failure;
  parallel_for(frames.size(), [&](std::size_t i) {
    const Frame& frame = frames[i];
    if (frame.content_size == 0 || failure.happened()) return;
    ZSTD_DCtx* ctx = thread_decompressor();
    if (ctx == nullptr) return failure.record("out of memory creating a zstd decompression context");
    const std::size_t produced = ZSTD_decompressDCtx(ctx, out.data() + frame.content_start, frame.content_size,
                                                     frame.stored.data(), frame.stored.size());
    if (ZSTD_isError(produced)) return failure.record(ZSTD_getErrorName(produced));
    if (produced != frame.content_size) {
      failure.record("frame decompressed to " + std::to_string(produced) + " bytes, expected " +
                     std::to_string(frame.content_size));
    }
  });
  if (failure.happened()) return failure.error();
  return out;
}

// Decodes `stored` as a stream of frames into a growing buffer, for frames that do not declare
// their size or do not tile the input.
Result<Bytes> decompress_stream(ByteView stored, std::optional<std::uint64_t> max_size) {
  ZSTD_DCtx* ctx = thread_decompressor();
  if (ctx == nullptr) return fail(TarnwickError::compression("out of memory creating a zstd decompression context"));
  ZSTD_DCtx_reset(ctx, ZSTD_reset_session_and_parameters);
  ZSTD_inBuffer input{stored.data(), stored.size(), 0};
  Bytes out;
  std::size_t produced = 0;
  while (true) {
    // With a bound, never make room for more than one byte past it: that byte proves the excess.
    std::size_t room = kStreamStepBytes;
    if (max_size && *max_size - produced < room) room = static_cast<std::size_t>(*max_size - produced) + 1;
    out.resize(produced + room);
    ZSTD_outBuffer output{out.data() + produced, room, 0};
    const std::size_t hint = ZSTD_decompressStream(ctx, &output, &input);
    if (ZSTD_isError(hint)) return fail(TarnwickError::compression(ZSTD_getErrorName(hint)));
    produced += output.pos;
    if (max_size && produced > *max_size) return fail(too_large(*max_size));
    // The decoder has flushed everything once it leaves output room unused with no input left.
    if (input.pos == input.size && output.pos < output.size) {
      if (hint != 0) return fail(TarnwickError::compression("input ends inside a zstd frame"));
      break;
    }
  }
  out.resize(produced);
  return out;
}

Result<Bytes> decompress_zstd(ByteView stored, std::optional<std::uint64_t> max_size) {
  std::uint64_t total = 0;
  if (auto frames = declared_frames(stored, total)) return decompress_frames(*frames, total, max_size);
  return decompress_stream(stored, max_size);
}

}  // namespace

Result<Bytes> compress(ByteView raw, const CompressionAlgo& compression) {
  try {
    if (compression.kind == CompressionAlgo::Kind::None) return copy_bytes(raw);
    return compress_frames(raw, compression.level);
  } catch (const std::bad_alloc&) {
    return fail(out_of_memory());
  }
}

Result<Bytes> decompress(ByteView stored, const CompressionAlgo& compression, std::optional<std::uint64_t> max_size) {
  try {
    if (stored.empty()) return Bytes{};
    if (compression.kind == CompressionAlgo::Kind::None) {
      if (max_size && stored.size() > *max_size) return fail(too_large(*max_size));
      return copy_bytes(stored);
    }
    return decompress_zstd(stored, max_size);
  } catch (const std::bad_alloc&) {
    return fail(out_of_memory());
  }
}

}  // namespace tarnwick
