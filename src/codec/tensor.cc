#include "codec/tensor.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>

#include "codec/buffers.h"
#include "codec/compression.h"
#include "codec/delta.h"
#include "codec/hash.h"
#include "codec/shuffle.h"
#include "runtime/pool.h"
#include "runtime/profile.h"

namespace tarnwick {
namespace {

// Tensors shorter than this are never stored as deltas.
constexpr std::size_t kMinDeltaBytes = 4096;
// The probe reads at most this many stored bytes of a base tensor ...
constexpr std::uint64_t kSamplePrefixBytes = 262144;
// ... and decodes at most this many raw bytes from them.
constexpr std::size_t kSampleBytes = 65536;
// A shorter sample says nothing pays_off would not say yes to anyway.
constexpr std::size_t kMinSampleBytes = 8192;
// Lookups made while following aliases inside a base: seven hops and the target.
constexpr int kMaxBaseLookups = 8;

std::string quoted_name(std::string_view name) { return "'" + std::string(name) + "'"; }

// Runs `op`, turning anything it throws into an error: a whole snapshot is decoded in parallel,
// and one damaged entry or one failed allocation must not take the process down.
template <class Op>
auto contained(std::string_view doing, Op&& op) -> decltype(op()) {
  try {
    return op();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  } catch (...) {
    return fail(TarnwickError::compression("unexpected failure " + std::string(doing) + ": " +
                                           panic_message(std::current_exception())));
  }
  return fail(TarnwickError::compression("out of memory " + std::string(doing)));
}

// decompress, bounded by the raw size the entry promises. A None-compressed buffer that the
// caller read for this entry alone is handed on rather than copied.
Result<Bytes> decompress_stored(StoredBytes stored, const CompressionAlgo& compression, std::uint64_t raw_size) {
  if (compression.kind == CompressionAlgo::Kind::None && stored.owns_view() && stored.view.size() <= raw_size) {
    return std::move(stored.owned);
  }
  return decompress(stored.view, compression, raw_size);
}

// ---- Encoding ---------------------------------------------------------------------------------

// One zstd stream decoder per thread, reused: its window buffer is worth keeping between probes.
ZSTD_DStream* thread_sample_decoder() {
  struct Free {
    void operator()(ZSTD_DStream* stream) const { ZSTD_freeDStream(stream); }
  };
  thread_local std::unique_ptr<ZSTD_DStream, Free> stream{ZSTD_createDStream()};
  return stream.get();
}

// Up to kSampleBytes raw bytes decoded from the start of a tensor's stored bytes. The prefix
// usually ends inside a frame, so it is decoded as a stream and whatever came out before the
// input ran out, or before an error, is the sample.
std::optional<Bytes> decode_sample(ByteView prefix, const CompressionAlgo& compression) {
  if (compression.kind == CompressionAlgo::Kind::None) {
    return to_bytes(prefix.first(std::min(prefix.size(), kSampleBytes)));
  }
  ZSTD_DStream* stream = thread_sample_decoder();
  if (stream == nullptr || ZSTD_isError(ZSTD_initDStream(stream))) return std::nullopt;
  Bytes sample(kSampleBytes);
  ZSTD_inBuffer input{prefix.data(), prefix.size(), 0};
  ZSTD_outBuffer output{sample.data(), sample.size(), 0};
  while (output.pos < output.size && input.pos < input.size) {
    const std::size_t consumed = input.pos;
    const std::size_t produced = output.pos;
    if (ZSTD_isError(ZSTD_decompressStream(stream, &output, &input))) break;
    if (input.pos == consumed && output.pos == produced) break;
  }
  if (output.pos == 0) return std::nullopt;
  sample.resize(output.pos);
  return sample;
}

// The sample of a base tensor, or nothing when its bytes cannot be read or decoded. Read
// failures are dropped: they only leave the pays-off question open.
std::optional<Bytes> sample_base(const TensorEntry& base_entry, const BaseCache& base) {
  const std::uint64_t length = std::min(base_entry.compressed_size, kSamplePrefixBytes);
  Result<Bytes> prefix = fail(TarnwickError::not_found(base_entry.name));
  if (base.pack_key) {
    prefix = base.storage->get_range(*base.pack_key, base_entry.offset, length);
  } else if (base_entry.filename) {
    prefix = base.storage->get_range(*base_entry.filename, 0, length);
  }
  if (!prefix) return std::nullopt;
  return decode_sample(*prefix, base.compression);
}

// The whole base tensor's raw bytes, or nothing when the base is unavailable (a short read from
// the pack, or any trouble reading the tensor's own object). A failed read from the pack and a
// failed decompression are errors.
Result<std::optional<Bytes>> load_base_tensor(const TensorEntry& base_entry, const BaseCache& base) {
  Bytes stored;
  if (base.pack_key) {
    TW_ASSIGN_OR_RETURN(stored, base.storage->get_range(*base.pack_key, base_entry.offset, base_entry.compressed_size));
    if (stored.size() != base_entry.compressed_size) return std::nullopt;
  } else {
    if (!base_entry.filename) return std::nullopt;
    Result<Bytes> object = base_entry.compressed_size == 0
                               ? base.storage->get(*base_entry.filename)
                               : base.storage->get_range(*base_entry.filename, 0, base_entry.compressed_size);
    if (!object) return std::nullopt;
    stored = std::move(*object);
  }
  TW_ASSIGN_OR_RETURN(Bytes raw, decompress_stored(StoredBytes::owning(std::move(stored)), base.compression,
                                                   base_entry.raw_size));
  return raw;
}

// A base tensor's raw bytes, borrowed from the retained tensors or read for this tensor alone:
// the same owned-or-borrowed holder as stored bytes.
using BaseBytes = StoredBytes;

struct DeltaRequest {
  const std::string& name;
  ByteView raw;
  std::size_t element_size;
  const TensorEntry& base_entry;
  const BaseCache& base;
  const EncodeParams& params;
};

bool delta_pays_off(ByteView base_bytes, const DeltaRequest& request) {
  return profile::time(profile::PaysOffProbe, [&] {
    return pays_off(base_bytes, request.raw, request.params.compression, request.element_size,
                    request.params.delta_max_ratio);
  });
}

// The base bytes to XOR against, or nothing when the tensor is to be stored Full: the delta does
// not pay off, or the base cannot be had.
Result<std::optional<BaseBytes>> base_for_delta(const DeltaRequest& request) {
  if (request.base.retained) {
    if (auto found = request.base.retained->find(request.name); found != request.base.retained->end()) {
      if (!delta_pays_off(found->second, request)) return std::nullopt;
      return BaseBytes::borrowing(found->second);
    }
  }

  const std::optional<Bytes> sample =
      profile::time(profile::SamplePrefix, [&] { return sample_base(request.base_entry, request.base); });
  const bool settled = sample && sample->size() >= kMinSampleBytes;
  if (settled && !delta_pays_off(*sample, request)) return std::nullopt;

  TW_ASSIGN_OR_RETURN(std::optional<Bytes> whole, profile::time(profile::BaseDecompress, [&] {
                        return load_base_tensor(request.base_entry, request.base);
                      }));
  if (!whole) return std::nullopt;
  if (!settled && !delta_pays_off(*whole, request)) return std::nullopt;
  return BaseBytes::owning(std::move(*whole));
}

struct EncodedDelta {
  Bytes stored;
  bool shuffled = false;
};

// XOR against the base (which is released once used), shuffle by element size, compress.
// Nothing when the bytes cannot make a delta after all.
Result<std::optional<EncodedDelta>> encode_delta(const DeltaRequest& request, BaseBytes base_bytes) {
  const ByteView raw = request.raw;
  ScratchPool local_scratch;  // used when the save brings no pool of its own
  ScratchPool& scratch = request.params.scratch ? *request.params.scratch : local_scratch;
  // Equal bytes under another hash text come from a base hashed some other way.
  auto xor_delta = [&]() -> std::optional<Bytes> {
    if (base_bytes.view.size() != raw.size() || raw.size() < kMinDeltaBytes || buffers_equal(base_bytes.view, raw)) {
      return std::nullopt;
    }
    Bytes delta = scratch.acquire(raw.size());
    xor_into(raw, base_bytes.view, delta);
    return delta;
  };
  std::optional<Bytes> delta = profile::time(profile::XorDelta, xor_delta);
  base_bytes = BaseBytes();
  if (!delta) return std::nullopt;

  EncodedDelta encoded;
  if (request.element_size > 1) {
    Bytes shuffled = scratch.acquire(delta->size());
    profile::time(profile::Shuffle, [&] { shuffle_into(*delta, request.element_size, shuffled); });
    scratch.release(std::exchange(*delta, std::move(shuffled)));
    encoded.shuffled = true;
  }
  auto stored = profile::time(profile::CompressDelta, [&] { return compress(*delta, request.params.compression); });
  scratch.release(std::move(*delta));
  if (!stored) return fail(std::move(stored).error());
  encoded.stored = std::move(*stored);
  return encoded;
}

// Steps 5 to 8 of a tensor that has a same-named base entry with other content.
Result<std::optional<EncodedDelta>> try_delta(const DeltaRequest& request) {
  const TensorEntry& base_entry = request.base_entry;
  if (base_entry.storage != TensorStorage::Full || base_entry.raw_size != request.raw.size() ||
      request.raw.size() < kMinDeltaBytes) {
    return std::nullopt;
  }
  TW_ASSIGN_OR_RETURN(std::optional<BaseBytes> base_bytes, base_for_delta(request));
  if (!base_bytes) return std::nullopt;
  return encode_delta(request, std::move(*base_bytes));
}

// The stored bytes of a Full tensor. With None compression a buffer the cast produced is
// handed on as it is.
Result<Bytes> compress_full(ByteView raw, std::optional<Bytes>& converted, const CompressionAlgo& compression) {
  return profile::time(profile::CompressFull, [&]() -> Result<Bytes> {
    if (compression.kind == CompressionAlgo::Kind::None && converted) return std::move(*converted);
    return compress(raw, compression);
  });
}

ProcessedTensor with_stored_bytes(TensorEntry entry, TensorStorage storage, Bytes stored, bool shuffled) {
  entry.storage = storage;
  entry.shuffled = shuffled;
  entry.compressed_size = stored.size();
  entry.hash_compressed = hash_hex(stored);
  return {std::move(entry), std::move(stored)};
}

Result<ProcessedTensor> encode_tensor(const TensorData& tensor, const EncodeParams& params,
                                      const std::string* received_hash) {
  static const DTypePolicy kNoCasts;
  TW_ASSIGN_OR_RETURN(CastResult cast, cast_for_storage(tensor.name, tensor.dtype, tensor.data,
                                                        params.policy ? *params.policy : kNoCasts));
  const ByteView raw = cast.stored_bytes(tensor.data);

  TensorEntry entry;
  entry.name = tensor.name;
  entry.shape = tensor.shape;
  entry.dtype = cast.dtype;
  entry.original_dtype = cast.original_dtype;
  entry.quant_scale = cast.quant_scale;
  entry.raw_size = raw.size();
  if (received_hash && !cast.converted) {
    entry.hash_raw = *received_hash;
  } else {
    entry.hash_raw = profile::time(profile::RawHash, [&] { return hash_hex(raw); });
  }

  if (params.base) {
    if (auto found = params.base->entries.find(tensor.name); found != params.base->entries.end()) {
      const TensorEntry& base_entry = found->second;
      if (base_entry.hash_raw == entry.hash_raw) {
        entry.storage = TensorStorage::Skipped;
        return ProcessedTensor{std::move(entry), std::nullopt};
      }
      const DeltaRequest request{tensor.name, raw, element_size(entry.dtype), base_entry, *params.base, params};
      TW_ASSIGN_OR_RETURN(std::optional<EncodedDelta> delta, try_delta(request));
      if (delta) {
        return with_stored_bytes(std::move(entry), TensorStorage::DeltaXor, std::move(delta->stored), delta->shuffled);
      }
    }
  }
  TW_ASSIGN_OR_RETURN(Bytes stored, compress_full(raw, cast.converted, params.compression));
  return with_stored_bytes(std::move(entry), TensorStorage::Full, std::move(stored), false);
}

// ---- Decoding ---------------------------------------------------------------------------------

Result<Bytes> load_raw(const TensorEntry& entry, const DecodeContext& context);

// The raw bytes of the base tensor that holds `name`, decoded in the base snapshot's context.
Result<Bytes> load_from_base(const TensorEntry& entry, const DecodeContext& context) {
  if (context.resolver == nullptr) {
    return fail(TarnwickError::delta("Tensor " + quoted_name(entry.name) + " needs base snapshot " +
                                     context.base_id->to_string() + " but no base resolver was given"));
  }
  TW_ASSIGN_OR_RETURN(BaseLookup lookup, resolve_base_entry(*context.base_id, entry.name, *context.resolver));
  const DecodeContext base_context{context.storage, lookup.compression, &lookup.pack, std::nullopt, nullptr};
  return load_raw(lookup.entry, base_context);
}

Result<Bytes> load_full(const TensorEntry& entry, const DecodeContext& context) {
  TW_ASSIGN_OR_RETURN(StoredBytes stored, extract_compressed(entry, *context.storage, *context.pack));
  if (entry.hash_compressed) {
    std::string found = hash_hex(stored.view);
    if (found != *entry.hash_compressed) {
      return fail(TarnwickError::integrity(*entry.hash_compressed, std::move(found)));
    }
  }
  return decompress_stored(std::move(stored), context.compression, entry.raw_size);
}

// Base XOR unshuffled delta, checked against hash_raw.
Result<Bytes> load_delta(const TensorEntry& entry, const DecodeContext& context) {
  TW_ASSIGN_OR_RETURN(StoredBytes stored, extract_compressed(entry, *context.storage, *context.pack));
  TW_ASSIGN_OR_RETURN(Bytes delta, decompress_stored(std::move(stored), context.compression, entry.raw_size));
  if (!context.base_id) {
    return fail(TarnwickError::delta("Delta tensor " + quoted_name(entry.name) + " has no base snapshot"));
  }
  TW_ASSIGN_OR_RETURN(const Bytes base, load_from_base(entry, context));

  Bytes restored;
  const std::size_t n = element_size(entry.dtype);
  if (entry.shuffled && base.size() == delta.size()) {
    // The unshuffled delta goes to a second buffer and the XOR back into the first, so the two
    // buffers a shuffled delta needs anyway are the only ones.
    TW_ASSIGN_OR_RETURN(const Bytes unshuffled, unshuffle(delta, n));
    xor_into(base, unshuffled, delta);
    restored = std::move(delta);
  } else {
    TW_ASSIGN_OR_RETURN(restored, apply_delta(base, delta));
  }
  std::string found = hash_hex(restored);
  if (found != entry.hash_raw) return fail(TarnwickError::integrity(entry.hash_raw, std::move(found)));
  return restored;
}

Result<Bytes> load_raw(const TensorEntry& entry, const DecodeContext& context) {
  switch (entry.storage) {
    case TensorStorage::Full:
      return load_full(entry, context);
    case TensorStorage::DeltaXor:
      return load_delta(entry, context);
    case TensorStorage::Skipped:
      if (!context.base_id) {
        return fail(TarnwickError::delta("Tensor " + quoted_name(entry.name) + " is skipped but snapshot has no base"));
      }
      return load_from_base(entry, context);
    case TensorStorage::Alias:
      break;
  }
  return fail(TarnwickError::not_found("Tensor " + quoted_name(entry.name) + " is an alias of " +
                                       quoted_name(entry.alias_of.value_or("?")) +
                                       " and must be resolved after the snapshot's other tensors"));
}

}  // namespace

Bytes ScratchPool::acquire(std::size_t size) {
  Bytes buffer;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    }
  }
  buffer.clear();  // growing an empty buffer copies nothing
  buffer.resize(size);
  return buffer;
}

void ScratchPool::release(Bytes buffer) {
  std::lock_guard lock(mutex_);
  free_.push_back(std::move(buffer));
}

std::vector<std::string> dedup_plan(std::span<const TensorData> tensors) {
  std::vector<std::string> hashes(tensors.size());
  parallel_for(tensors.size(), [&](std::size_t i) { hashes[i] = hash_hex(tensors[i].data); });
  return hashes;
}

Result<ProcessedTensor> process_tensor(const TensorData& tensor, const EncodeParams& params,
                                       const std::string* received_hash) {
  return contained("encoding tensor " + quoted_name(tensor.name),
                   [&] { return encode_tensor(tensor, params, received_hash); });
}

Result<std::vector<ProcessedTensor>> process_tensors_parallel(std::span<const TensorData* const> tensors,
                                                              const EncodeParams& params,
                                                              std::span<const std::string> received_hashes,
                                                              const EncodedSink* sink) {
  return contained("encoding tensors", [&]() -> Result<std::vector<ProcessedTensor>> {
    std::vector<std::optional<ProcessedTensor>> results(tensors.size());
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::optional<TarnwickError> first_error;
    parallel_for(tensors.size(), [&](std::size_t i) {
      if (stop.load(std::memory_order_relaxed)) return;
      const std::string* known = received_hashes.empty() ? nullptr : &received_hashes[i];
      Result<ProcessedTensor> result = process_tensor(*tensors[i], params, known);
      Status status;
      if (result) {
        results[i] = std::move(*result);
        if (sink) status = (*sink)(i, *results[i]);
        if (status) return;
      } else {
        status = fail(std::move(result).error());
      }
      std::lock_guard lock(error_mutex);
      if (!first_error) first_error = std::move(status).error();
      stop.store(true, std::memory_order_relaxed);
    });
    if (first_error) return fail(std::move(*first_error));

    std::vector<ProcessedTensor> ordered;
    ordered.reserve(results.size());
    for (auto& result : results) ordered.push_back(std::move(*result));
    return ordered;
  });
}

TensorEntry alias_entry(const TensorData& alias, const TensorEntry& target) {
  TensorEntry entry;
  entry.name = alias.name;
  entry.shape = alias.shape;
  entry.dtype = target.dtype;
  entry.original_dtype = target.original_dtype;
  entry.quant_scale = target.quant_scale;
  entry.storage = TensorStorage::Alias;
  entry.alias_of = target.name;
  entry.raw_size = target.raw_size;
  entry.hash_raw = target.hash_raw;
  return entry;
}

Result<StoredBytes> extract_compressed(const TensorEntry& entry, const StorageBackend& storage, const OwnedPack& pack) {
  return contained("reading tensor " + quoted_name(entry.name), [&]() -> Result<StoredBytes> {
    const std::uint64_t offset = entry.offset;
    const std::uint64_t length = entry.compressed_size;
    if (const auto* in_memory = std::get_if<std::shared_ptr<const Bytes>>(&pack.source); in_memory && *in_memory) {
      const ByteView bytes = **in_memory;
      // Written so that a damaged offset or length cannot overflow past the check.
      if (offset <= bytes.size() && length <= bytes.size() - offset) {
        return StoredBytes::borrowing(bytes.subspan(offset, length));
      }
    } else if (const auto* key = std::get_if<std::string>(&pack.source)) {
      TW_ASSIGN_OR_RETURN(Bytes bytes, storage.get_range(*key, offset, length));
      if (bytes.size() != length) {
        return fail(TarnwickError::storage("Tensor " + quoted_name(entry.name) + " wanted " + std::to_string(length) +
                                           " bytes at offset " + std::to_string(offset) + " of " + quoted_name(*key) +
                                           ", got " + std::to_string(bytes.size())));
      }
      return StoredBytes::owning(std::move(bytes));
    }

    if (!entry.filename) return fail(TarnwickError::not_found("No filename for tensor " + quoted_name(entry.name)));
    // A ranged read gives the first compressed_size bytes, or all of a shorter object, without
    // reading more of the object than the entry can use.
    TW_ASSIGN_OR_RETURN(Bytes bytes, length == 0 ? storage.get(*entry.filename)
                                                 : storage.get_range(*entry.filename, 0, length));
    return StoredBytes::owning(std::move(bytes));
  });
}

Result<Bytes> load_tensor_raw(const TensorEntry& entry, const DecodeContext& context) {
  return contained("decoding tensor " + quoted_name(entry.name), [&] { return load_raw(entry, context); });
}

Result<Bytes> load_tensor(const TensorEntry& entry, const DecodeContext& context) {
  return contained("decoding tensor " + quoted_name(entry.name), [&]() -> Result<Bytes> {
    TW_ASSIGN_OR_RETURN(Bytes raw, load_raw(entry, context));
    return restore_after_loading(std::move(raw), entry.dtype, entry.original_dtype, entry.quant_scale);
  });
}

Result<BaseLookup> resolve_base_entry(const Uuid& base_id, std::string_view name, const BaseResolver& resolver) {
  return contained("resolving base tensor " + quoted_name(name), [&]() -> Result<BaseLookup> {
    std::string current(name);
    for (int lookup = 0; lookup < kMaxBaseLookups; ++lookup) {
      TW_ASSIGN_OR_RETURN(BaseLookup found, resolver(base_id, current));
      if (found.entry.storage != TensorStorage::Alias) return found;
      if (!found.entry.alias_of) {
        return fail(TarnwickError::not_found("Alias " + quoted_name(current) + " in the base has no target"));
      }
      current = *found.entry.alias_of;
    }
    return fail(TarnwickError::delta("Alias chain starting at " + quoted_name(name) + " in base snapshot " +
                                     base_id.to_string() + " does not end"));
  });
}

}  // namespace tarnwick
