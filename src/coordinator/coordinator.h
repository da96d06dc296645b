// The engine behind one manager: the shared state (`Core`) that saves, loads, retention and the
// background workers use, and the `Coordinator` that owns it together with the asynchronous saver.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/cast.h"
#include "codec/tensor.h"
#include "coordinator/inflight.h"
#include "formats/manifest.h"
#include "formats/uuid.h"
#include "runtime/error.h"
#include "storage/storage.h"

namespace tarnwick {

using Metadata = std::map<std::string, std::string>;
// Tensor name and bytes, in the order the operation produced them.
using LoadedTensors = std::vector<std::pair<std::string, Bytes>>;

struct CoordinatorConfig {
  RetentionPolicy retention{.max_full_snapshots = 5, .max_deltas_per_full = 10, .full_snapshot_every_steps = 5000};
  std::optional<std::uint64_t> merge_stride;
  std::uint64_t merge_max_chain = 10;
  std::optional<std::uint64_t> sync_every_n_saves;
  DTypePolicy save_dtype;
  CompressionAlgo compression = CompressionAlgo::zstd(3);
  LineageConfig lineage{.rollback_interval_steps = 10000, .max_rollback_snapshots = 3};
  double delta_max_ratio = 0.95;
  StorageHandle remote;
  std::uint32_t world_size = 1;
  std::uint32_t rank = 0;
  bool async_save = true;
  bool keep_base_in_memory = true;
};

// A background worker that follows the saves (the delta merger, the remote syncer): told about
// every completed save, and checked by flush for having stopped.
class SaveFollower {
 public:
  virtual ~SaveFollower() = default;
  virtual void notify_save() = 0;
  virtual bool gone() const = 0;
  // What stopped working when this worker is gone, as flush reports it.
  virtual std::string gone_description() const = 0;
};

// The in-memory manifest behind its mutex. A holder that leaves by an exception marks it
// poisoned; the next holder sees the mark (and clears it), so that the manifest is re-read from
// disk before the next save instead of trusting a half-changed record.
class SharedManifest {
 public:
  explicit SharedManifest(Manifest manifest) : manifest_(std::move(manifest)) {}

  class Lock {
   public:
    // Marks `stale` when a previous holder failed while holding the lock.
    Lock(SharedManifest& owner, std::atomic<bool>& stale);
    Lock(Lock&&) = delete;
    ~Lock();
    Manifest& operator*() { return owner_.manifest_; }
    Manifest* operator->() { return &owner_.manifest_; }

   private:
    SharedManifest& owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_;
  };

 private:
  std::mutex mutex_;
  Manifest manifest_;
  bool poisoned_ = false;
};

// Tensors of the last full snapshot this coordinator wrote, kept for the following deltas.
struct RetainedBase {
  Uuid id;
  std::shared_ptr<const RetainedTensors> tensors;
};

struct SnapshotInfo {
  Uuid id;
  std::uint64_t step = 0;
  bool is_delta = false;
  Metadata metadata;
  std::uint64_t total_compressed = 0;
  std::uint64_t total_raw = 0;
  std::uint64_t skipped_tensors = 0;
  std::uint64_t delta_tensors = 0;
  std::uint64_t full_tensors = 0;
  std::uint64_t ranks = 0;
};

struct TensorDescription {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;         // as handed over by the caller
  std::string stored_dtype;  // as kept on disk
  std::string hash_raw;
  std::optional<std::string> alias_of;
  TensorStorage storage = TensorStorage::Full;
  std::uint64_t raw_size = 0;
  std::uint64_t compressed_size = 0;
};

struct SnapshotDescription {
  Uuid id;
  std::uint64_t step = 0;
  Timestamp created_at{};
  std::optional<Uuid> base_snapshot_id;
  Metadata metadata;
  std::uint32_t rank = 0;
  std::uint64_t ranks = 0;
  std::vector<TensorDescription> tensors;
};

// The state shared by the manager, the saver thread and calls in flight.
class Core {
 public:
  Core(CoordinatorConfig config, StorageHandle storage, Manifest manifest);

  const CoordinatorConfig& config() const { return config_; }
  const StorageHandle& storage() const { return storage_; }
  const std::shared_ptr<InFlight>& inflight() const { return inflight_; }
  const std::shared_ptr<PendingDeletes>& pending_deletes() const { return pending_deletes_; }
  // The background workers that follow saves; absent until they are configured.
  SaveFollower* merger() const { return merger_.get(); }
  SaveFollower* syncer() const { return syncer_.get(); }

  // Takes the manifest lock; a poisoned mark marks the manifest stale.
  SharedManifest::Lock lock_manifest();
  [[nodiscard]] Status persist_manifest(const Manifest& manifest) const;
  [[nodiscard]] Status reload_manifest();

  // Saving (the whole save runs in the worker pool).
  [[nodiscard]] Status save_sync(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors,
                                 Metadata metadata);
  [[nodiscard]] Result<RankEntry> save_rank_tensors(const Uuid& id, const std::string& prefix,
                                                    const std::optional<Snapshot>& base,
                                                    std::vector<TensorData> tensors, Metadata metadata,
                                                    std::uint64_t step, Timestamp created_at);

  // Loading and describing this process's rank.
  [[nodiscard]] Result<LoadedTensors> load(const Uuid& id);
  [[nodiscard]] Result<LoadedTensors> load_tensors(const Uuid& id, std::span<const std::string> names);
  [[nodiscard]] Result<BaseLookup> find_base_tensor_entry_with_pack(const Uuid& base_id, std::string_view name,
                                                                    bool whole_pack);
  [[nodiscard]] static Result<SnapshotDescription> describe_snapshot(const Snapshot& snapshot, std::uint32_t rank);
  [[nodiscard]] Result<SnapshotDescription> describe(const Uuid& id);
  [[nodiscard]] Result<SnapshotDescription> describe_latest();
  [[nodiscard]] Result<Uuid> latest_id();
  std::vector<SnapshotInfo> list_snapshots();

  // Pins (by step).
  [[nodiscard]] Result<bool> set_pinned(std::uint64_t step, bool pinned);
  std::vector<std::uint64_t> pinned_steps();

 private:
  Result<LoadedTensors> load_in_pool(const Uuid& id);
  // Pins the snapshot and its base, and copies it out; fails when it is not in the manifest.
  Result<std::pair<Snapshot, PinGuard>> pin_snapshot(const Uuid& id);
  const RankEntry* own_rank(const Snapshot& snapshot) const;
  void warn_unmatched_patterns(std::span<const TensorData> tensors);
  std::shared_ptr<const RetainedTensors> retained_for(const Uuid& base_id);
  void retain(const Uuid& id, std::shared_ptr<const RetainedTensors> tensors);
  void notify_followers() const;

  const CoordinatorConfig config_;
  const StorageHandle storage_;
  std::unique_ptr<SaveFollower> merger_;
  std::unique_ptr<SaveFollower> syncer_;
  SharedManifest manifest_;
  const std::shared_ptr<InFlight> inflight_;
  const std::shared_ptr<PendingDeletes> pending_deletes_;
  std::mutex retained_mutex_;
  std::optional<RetainedBase> retained_base_;
  std::atomic<bool> dtype_patterns_checked_{false};
  std::atomic<bool> manifest_stale_{false};
};

class AsyncSaver;

// What a manager owns: the shared core and, for single-rank asynchronous saving, the saver.
class Coordinator {
 public:
  [[nodiscard]] static Result<std::unique_ptr<Coordinator>> open(StorageHandle storage, CoordinatorConfig config);
  ~Coordinator();
  Coordinator(const Coordinator&) = delete;
  Coordinator& operator=(const Coordinator&) = delete;

  Core& core() { return *core_; }

  // Saves on the calling thread, or hands the save to the saver (waiting for the previous one).
  [[nodiscard]] Status save(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors, Metadata metadata);
  // Waits for the saver; reports a background save failure once, and background workers gone.
  [[nodiscard]] Status flush();
  // Waits until no save is queued or running; reports nothing.
  void wait_idle();
  std::chrono::nanoseconds last_queue_wait() const;

  // The caller-facing operations, each settling the saver as it should first.
  [[nodiscard]] Result<LoadedTensors> load(const Uuid& id);
  [[nodiscard]] Result<std::pair<Uuid, LoadedTensors>> load_latest();
  [[nodiscard]] Result<LoadedTensors> load_tensors(const Uuid& id, std::span<const std::string> names);
  [[nodiscard]] Result<SnapshotDescription> describe(const Uuid& id);
  [[nodiscard]] Result<SnapshotDescription> describe_latest();
  std::vector<SnapshotInfo> list_snapshots();
  [[nodiscard]] Result<bool> pin(std::uint64_t step);
  [[nodiscard]] Result<bool> unpin(std::uint64_t step);
  std::vector<std::uint64_t> pinned_steps();

 private:
  Coordinator(std::shared_ptr<Core> core, std::unique_ptr<AsyncSaver> saver);

  std::shared_ptr<Core> core_;
  std::unique_ptr<AsyncSaver> saver_;
};

// The entry of `rank` in `snapshot`; CheckpointNotFound "Rank r not found in snapshot id" without it.
[[nodiscard]] Result<const RankEntry*> rank_of(const Snapshot& snapshot, std::uint32_t rank);

// The base a new save at `step` is encoded against, or none for a full snapshot.
const Snapshot* choose_base(const Manifest& manifest, std::uint64_t step, const InFlight& inflight);

}  // namespace tarnwick
