// Snapshot save: base choice, alias planning, parallel encoding, the rank pack, the manifest
// record, retention and the unlinking of what retention dropped.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "coordinator/coordinator.h"
#include "coordinator/retention.h"
#include "formats/pack.h"
#include "runtime/pool.h"
#include "runtime/profile.h"

namespace tarnwick {
namespace {

constexpr std::size_t kMinAliasBytes = 4096;
constexpr std::chrono::seconds kRetentionReaderWait{30};

// Whether retention can keep at least two snapshots, so that a delta can outlive its base's
// neighbours at all.
bool retention_keeps_two(const RetentionPolicy& retention) {
  if (retention.max_total_snapshots) return *retention.max_total_snapshots >= 2;
  // (max_deltas_per_full + 1) * max_full_snapshots >= 2, without overflow.
  return retention.max_full_snapshots >= 2 || (retention.max_full_snapshots == 1 && retention.max_deltas_per_full >= 1);
}

// For every tensor, the index of the earlier tensor it duplicates (same hash and dtype, at least
// 4096 bytes), or itself.
std::vector<std::size_t> plan_aliases(std::span<const TensorData> tensors, const std::vector<std::string>& hashes) {
  std::vector<std::size_t> target(tensors.size());
  std::unordered_map<std::string, std::size_t> first_by_key;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    target[i] = i;
    if (tensors[i].data.size() < kMinAliasBytes) continue;
    auto [it, inserted] = first_by_key.try_emplace(hashes[i] + '\0' + tensors[i].dtype, i);
    if (!inserted) target[i] = it->second;
  }
  return target;
}

// Appends the stored bytes of encoded tensors to the pack in entry order as they become ready, so
// that the pack is written while later tensors are still being encoded. Whichever encoding task
// completes the next tensor in order writes it, and every ready one after it.
class OrderedPackWriter {
 public:
  OrderedPackWriter(ObjectWriter& writer, std::size_t count) : writer_(writer), pieces_(count), ready_(count, 0) {}

  Status offer(std::size_t index, const ProcessedTensor& result) {
    std::unique_lock lock(mutex_);
    if (result.stored) pieces_[index] = ByteView(*result.stored);
    ready_[index] = 1;
    if (draining_) return {};
    draining_ = true;
    Status status;
    while (status && next_ < ready_.size() && ready_[next_]) {
      ByteView piece = pieces_[next_++];
      if (piece.empty()) continue;
      lock.unlock();
      status = profile::time(profile::PackWrite, [&] {
        ByteView parts[] = {piece};
        return writer_.append(parts);
      });
      lock.lock();
      if (status) written_ += piece.size();
    }
    draining_ = false;
    return status;
  }

  // Stored bytes written so far; all of them once every tensor was offered.
  std::uint64_t written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  ObjectWriter& writer_;
  std::mutex mutex_;
  std::vector<ByteView> pieces_;
  std::vector<char> ready_;
  std::size_t next_ = 0;
  bool draining_ = false;
  std::uint64_t written_ = 0;
};

}  // namespace

const Snapshot* choose_base(const Manifest& manifest, std::uint64_t step, const InFlight& inflight) {
  const auto& snapshots = manifest.snapshots;
  if (snapshots.empty() || !retention_keeps_two(manifest.retention)) return nullptr;
  const Snapshot* candidate = nullptr;
  for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
    if (!it->base_snapshot_id && it->finalized) {
      candidate = &*it;
      break;
    }
  }
  if (!candidate) return nullptr;
  std::uint64_t gap = step > candidate->step ? step - candidate->step : 0;
  if (gap >= manifest.retention.full_snapshot_every_steps) return nullptr;
  std::uint64_t trailing_deltas = 0;
  for (auto it = snapshots.rbegin(); it != snapshots.rend() && it->base_snapshot_id; ++it) ++trailing_deltas;
  if (trailing_deltas >= manifest.retention.max_deltas_per_full) return nullptr;
  if (inflight.is_doomed(candidate->id)) return nullptr;
  return candidate;
}

Status Core::save_sync(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors, Metadata metadata) {
  { auto probe = lock_manifest(); }  // notices a poisoned manifest
  if (manifest_stale_) {
    if (auto reloaded = reload_manifest(); !reloaded) {
      manifest_stale_ = true;
      return reloaded;
    }
  }
  return run_in_pool([&]() -> Status {
    const std::string prefix = snapshot_prefix(id);
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t raw_bytes = 0;
    for (const auto& tensor : tensors) raw_bytes += tensor.data.size();

    std::optional<Snapshot> base;
    std::optional<PinGuard> base_pin;
    {
      auto lock = lock_manifest();
      if (const Snapshot* chosen = choose_base(*lock, step, *inflight_)) {
        base = *chosen;
        base_pin.emplace(inflight_->pin({chosen->id}));
      }
    }
    const Timestamp created_at = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
    TW_ASSIGN_OR_RETURN(RankEntry entry,
                        save_rank_tensors(id, prefix, base, std::move(tensors), metadata, step, created_at));

    Snapshot snapshot{.id = id,
                      .step = step,
                      .created_at = created_at,
                      .ranks = {{config_.rank, std::move(entry)}},
                      .base_snapshot_id = base ? std::optional(base->id) : std::nullopt,
                      .metadata = std::move(metadata),
                      .compression = config_.compression,
                      .finalized = true,
                      .pinned = false};
    std::vector<Snapshot> dropped;
    {
      auto lock = lock_manifest();
      // Until manifest.json on disk names the snapshot, nobody may see it: a failed persist
      // puts the in-memory manifest back as it was.
      std::vector<Snapshot> before = lock->snapshots;
      lock->snapshots.push_back(std::move(snapshot));
      auto retained = apply_retention(*lock, *storage_);
      if (!retained) {
        lock->snapshots = std::move(before);
        return fail(retained.error());
      }
      dropped = std::move(*retained);
    }
    base_pin.reset();
    unlink_snapshots(*storage_, *pending_deletes_, *inflight_, dropped, kRetentionReaderWait);
    notify_followers();
    if (profile::enabled()) {
      profile::print_report(step, std::chrono::steady_clock::now() - started, raw_bytes);
    }
    return {};
  });
}

std::shared_ptr<const RetainedTensors> Core::retained_for(const Uuid& base_id) {
  std::lock_guard lock(retained_mutex_);
  if (retained_base_ && retained_base_->id == base_id) return retained_base_->tensors;
  return nullptr;
}

void Core::retain(const Uuid& id, std::shared_ptr<const RetainedTensors> tensors) {
  std::lock_guard lock(retained_mutex_);
  retained_base_ = RetainedBase{id, std::move(tensors)};
}

void Core::warn_unmatched_patterns(std::span<const TensorData> tensors) {
  if (dtype_patterns_checked_.exchange(true)) return;
  std::string unmatched;
  for (const auto& rule : config_.save_dtype.rules()) {
    bool matched = std::any_of(tensors.begin(), tensors.end(),
                               [&](const TensorData& t) { return glob_match(rule.pattern, t.name); });
    if (matched) continue;
    if (!unmatched.empty()) unmatched += ", ";
    unmatched += rule.pattern;
  }
  if (unmatched.empty()) return;
  std::string example = tensors.empty() ? "model/weight" : tensors.front().name;
  std::string line = "[Tarnwick] save_dtype pattern(s) " + unmatched + " matched none of this rank's " +
                     std::to_string(tensors.size()) +
                     " tensors, so they cast nothing. Patterns are globs over the full tensor name (e.g. '" + example +
                     "'); '*' matches any run of characters.\n";
  std::fputs(line.c_str(), stderr);
}

Result<RankEntry> Core::save_rank_tensors(const Uuid& id, const std::string& prefix, const std::optional<Snapshot>& base,
                                          std::vector<TensorData> tensors, Metadata metadata, std::uint64_t step,
                                          Timestamp created_at) {
  std::optional<BaseCache> base_view;
  if (base) {
    if (auto it = base->ranks.find(config_.rank); it != base->ranks.end()) {
      base_view.emplace(BaseCache{.compression = base->compression,
                                  .pack_key = it->second.pack_file,
                                  .storage = storage_,
                                  .retained = retained_for(base->id)});
      for (const auto& entry : it->second.tensors) base_view->entries.emplace(entry.name, entry);
    }
  }
  warn_unmatched_patterns(tensors);

  auto hashes = profile::time(profile::DedupHash, [&] { return dedup_plan(tensors); });
  std::vector<std::size_t> alias_target = plan_aliases(tensors, hashes);
  std::vector<const TensorData*> to_encode;
  std::vector<std::string> to_encode_hashes;
  std::vector<std::size_t> encoded_index(tensors.size());
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (alias_target[i] != i) continue;
    encoded_index[i] = to_encode.size();
    to_encode.push_back(&tensors[i]);
    to_encode_hashes.push_back(std::move(hashes[i]));
  }

  // The pack is streamed: a placeholder header, then each tensor's stored bytes as soon as it and
  // every tensor before it are encoded; the descriptor and the real header follow at the end.
  const std::string pack_key = prefix + "/rank_" + std::to_string(config_.rank) + ".pack";
  TW_ASSIGN_OR_RETURN(std::unique_ptr<ObjectWriter> writer, storage_->open_writer(pack_key));
  const PackHeaderBytes placeholder{};
  const ByteView header_slot[] = {placeholder};
  TW_RETURN_IF_ERROR(writer->append(header_slot));
  OrderedPackWriter ordered(*writer, to_encode.size());
  const EncodedSink sink = [&](std::size_t index, const ProcessedTensor& result) {
    return ordered.offer(index, result);
  };

  ScratchPool scratch;
  EncodeParams params{.base = base_view ? &*base_view : nullptr,
                      .compression = config_.compression,
                      .delta_max_ratio = config_.delta_max_ratio,
                      .policy = &config_.save_dtype,
                      .scratch = &scratch};
  TW_ASSIGN_OR_RETURN(std::vector<ProcessedTensor> processed,
                      process_tensors_parallel(to_encode, params, to_encode_hashes, &sink));

  std::vector<PackTensor> pack_tensors;
  pack_tensors.reserve(tensors.size());
  for (auto& result : processed) {
    std::optional<ByteView> stored;
    if (result.stored) stored = ByteView(*result.stored);
    pack_tensors.push_back({result.entry, stored});
  }
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (alias_target[i] == i) continue;
    pack_tensors.push_back({alias_entry(tensors[i], processed[encoded_index[alias_target[i]]].entry), std::nullopt});
  }

  if (!base && config_.keep_base_in_memory) {
    auto retained = std::make_shared<RetainedTensors>();
    for (std::size_t i = 0; i < tensors.size(); ++i) {
      if (alias_target[i] != i) continue;
      const TensorEntry& entry = processed[encoded_index[i]].entry;
      if (entry.storage == TensorStorage::Full && !entry.original_dtype) {
        retained->emplace(tensors[i].name, std::move(tensors[i].data));
      }
    }
    retain(id, std::move(retained));
  }

  Snapshot identity{.id = id,
                    .step = step,
                    .created_at = created_at,
                    .base_snapshot_id = base ? std::optional(base->id) : std::nullopt,
                    .metadata = std::move(metadata),
                    .compression = config_.compression};
  TW_ASSIGN_OR_RETURN(AssembledPack pack, assemble_pack(identity, config_.world_size, config_.rank, pack_key,
                                                        std::move(pack_tensors)));
  const std::uint64_t data_end = kPackHeaderSize + ordered.written();
  if (decode_pack_header(pack.header)->descriptor_offset != data_end) {
    return fail(TarnwickError::storage(pack_key + ": the streamed data region does not match the pack layout"));
  }
  TW_RETURN_IF_ERROR(profile::time(profile::PackWrite, [&]() -> Status {
    const ByteView descriptor[] = {as_bytes(pack.descriptor_text)};
    TW_RETURN_IF_ERROR(writer->append(descriptor));
    TW_RETURN_IF_ERROR(writer->overwrite(0, pack.header));
    return writer->commit();
  }));
  return std::move(pack.descriptor.rank);
}

}  // namespace tarnwick
