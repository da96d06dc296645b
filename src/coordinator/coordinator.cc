#include "coordinator/coordinator.h"

#include <exception>

#include "coordinator/retention.h"
#include "coordinator/saver.h"

namespace tarnwick {

SharedManifest::Lock::Lock(SharedManifest& owner, std::atomic<bool>& stale)
    : owner_(owner), lock_(owner.mutex_), exceptions_at_entry_(std::uncaught_exceptions()) {
  if (std::exchange(owner_.poisoned_, false)) stale = true;
}

SharedManifest::Lock::~Lock() {
  if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
}

namespace {

// The manifest of an existing store, or a fresh one built from the configuration.
Result<Manifest> load_manifest(const StorageBackend& storage, const CoordinatorConfig& config) {
  auto bytes = storage.get(kManifestKey);
  if (!bytes) {
    if (bytes.error().kind() != ErrorKind::CheckpointNotFound) return fail(bytes.error());
    Manifest fresh;
    fresh.format_version = 2;
    fresh.world_size = config.world_size;
    fresh.retention = config.retention;
    fresh.lineage = config.lineage;
    return fresh;
  }
  return read_manifest(*bytes);
}

const Snapshot* latest_finalized(const Manifest& manifest) {
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend(); ++it) {
    if (it->finalized) return &*it;
  }
  return nullptr;
}

const Snapshot* find_snapshot(const Manifest& manifest, const Uuid& id) {
  for (const auto& snapshot : manifest.snapshots) {
    if (snapshot.id == id) return &snapshot;
  }
  return nullptr;
}

SnapshotInfo info_of(const Snapshot& snapshot) {
  SnapshotInfo info{.id = snapshot.id,
                    .step = snapshot.step,
                    .is_delta = snapshot.base_snapshot_id.has_value(),
                    .metadata = snapshot.metadata,
                    .ranks = snapshot.ranks.size()};
  for (const auto& [rank, entry] : snapshot.ranks) {
    info.total_compressed += entry.total_compressed;
    info.total_raw += entry.total_raw;
    info.skipped_tensors += entry.skipped_count;
    info.delta_tensors += entry.delta_count;
    info.full_tensors += entry.full_count;
  }
  return info;
}

}  // namespace

Core::Core(CoordinatorConfig config, StorageHandle storage, Manifest manifest)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      manifest_(std::move(manifest)),
      inflight_(InFlight::create()),
      pending_deletes_(std::make_shared<PendingDeletes>(config_.remote && config_.sync_every_n_saves)) {}

SharedManifest::Lock Core::lock_manifest() { return SharedManifest::Lock(manifest_, manifest_stale_); }

Status Core::persist_manifest(const Manifest& manifest) const { return tarnwick::persist_manifest(*storage_, manifest); }

Status Core::reload_manifest() {
  auto bytes = storage_->get(kManifestKey);
  if (!bytes) {
    if (bytes.error().kind() != ErrorKind::CheckpointNotFound) return fail(bytes.error());
    manifest_stale_ = false;
    return {};
  }
  TW_ASSIGN_OR_RETURN(Manifest fresh, read_manifest(*bytes));
  auto lock = lock_manifest();
  *lock = std::move(fresh);
  manifest_stale_ = false;
  return {};
}

void Core::notify_followers() const {
  if (merger_) merger_->notify_save();
  if (syncer_) syncer_->notify_save();
}

const RankEntry* Core::own_rank(const Snapshot& snapshot) const {
  auto it = snapshot.ranks.find(config_.rank);
  return it == snapshot.ranks.end() ? nullptr : &it->second;
}

std::vector<SnapshotInfo> Core::list_snapshots() {
  auto lock = lock_manifest();
  std::vector<SnapshotInfo> infos;
  for (const auto& snapshot : lock->snapshots) {
    if (snapshot.finalized) infos.push_back(info_of(snapshot));
  }
  return infos;
}

Result<const RankEntry*> rank_of(const Snapshot& snapshot, std::uint32_t rank) {
  auto it = snapshot.ranks.find(rank);
  if (it == snapshot.ranks.end()) {
    return fail(TarnwickError::not_found("Rank " + std::to_string(rank) + " not found in snapshot " +
                                         snapshot.id.to_string()));
  }
  return &it->second;
}

Result<SnapshotDescription> Core::describe_snapshot(const Snapshot& snapshot, std::uint32_t rank) {
  TW_ASSIGN_OR_RETURN(const RankEntry* entry, rank_of(snapshot, rank));
  SnapshotDescription description{.id = snapshot.id,
                                  .step = snapshot.step,
                                  .created_at = snapshot.created_at,
                                  .base_snapshot_id = snapshot.base_snapshot_id,
                                  .metadata = snapshot.metadata,
                                  .rank = rank,
                                  .ranks = snapshot.ranks.size()};
  description.tensors.reserve(entry->tensors.size());
  for (const auto& tensor : entry->tensors) {
    description.tensors.push_back({.name = tensor.name,
                                   .shape = tensor.shape,
                                   .dtype = tensor.original_dtype.value_or(tensor.dtype),
                                   .stored_dtype = tensor.dtype,
                                   .hash_raw = tensor.hash_raw,
                                   .alias_of = tensor.alias_of,
                                   .storage = tensor.storage,
                                   .raw_size = tensor.raw_size,
                                   .compressed_size = tensor.compressed_size});
  }
  return description;
}

Result<SnapshotDescription> Core::describe(const Uuid& id) {
  auto lock = lock_manifest();
  const Snapshot* snapshot = find_snapshot(*lock, id);
  if (!snapshot) return fail(TarnwickError::not_found("Snapshot " + id.to_string()));
  return describe_snapshot(*snapshot, config_.rank);
}

Result<SnapshotDescription> Core::describe_latest() {
  auto lock = lock_manifest();
  const Snapshot* latest = latest_finalized(*lock);
  if (!latest) return fail(TarnwickError::not_found("No finalized snapshots"));
  return describe_snapshot(*latest, config_.rank);
}

Result<Uuid> Core::latest_id() {
  auto lock = lock_manifest();
  const Snapshot* latest = latest_finalized(*lock);
  if (!latest) return fail(TarnwickError::not_found("No finalized snapshots"));
  return latest->id;
}

Result<bool> Core::set_pinned(std::uint64_t step, bool pinned) {
  auto lock = lock_manifest();
  return tarnwick::set_pinned(*lock, *storage_, step, pinned);
}

std::vector<std::uint64_t> Core::pinned_steps() {
  auto lock = lock_manifest();
  return tarnwick::pinned_steps(*lock, *storage_);
}

Coordinator::Coordinator(std::shared_ptr<Core> core, std::unique_ptr<AsyncSaver> saver)
    : core_(std::move(core)), saver_(std::move(saver)) {}

Coordinator::~Coordinator() {
  saver_.reset();  // waits for a running save, then joins the saver thread
}

Result<std::unique_ptr<Coordinator>> Coordinator::open(StorageHandle storage, CoordinatorConfig config) {
  TW_ASSIGN_OR_RETURN(Manifest manifest, load_manifest(*storage, config));
  bool wants_saver = config.async_save && config.world_size == 1;
  auto core = std::make_shared<Core>(std::move(config), std::move(storage), std::move(manifest));
  std::unique_ptr<AsyncSaver> saver;
  if (wants_saver) {
    TW_ASSIGN_OR_RETURN(saver, AsyncSaver::start(core));
  }
  return std::unique_ptr<Coordinator>(new Coordinator(std::move(core), std::move(saver)));
}

Status Coordinator::save(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors, Metadata metadata) {
  if (saver_) return saver_->submit({id, step, std::move(tensors), std::move(metadata)});
  return core_->save_sync(id, step, std::move(tensors), std::move(metadata));
}

Status Coordinator::flush() {
  if (saver_) {
    if (auto message = saver_->take_error()) {
      return fail(TarnwickError::storage("Background save failed: " + *message));
    }
  }
  std::string gone;
  for (SaveFollower* worker : {core_->merger(), core_->syncer()}) {
    if (!worker || !worker->gone()) continue;
    if (!gone.empty()) gone += "; ";
    gone += worker->gone_description();
  }
  if (!gone.empty()) {
    return fail(TarnwickError::storage("Background thread gone: " + gone +
                                       ". Checkpoints are still being written locally and are still readable."));
  }
  return {};
}

void Coordinator::wait_idle() {
  if (saver_) saver_->wait_idle();
}

std::chrono::nanoseconds Coordinator::last_queue_wait() const {
  return saver_ ? saver_->last_queue_wait() : std::chrono::nanoseconds(0);
}

Result<LoadedTensors> Coordinator::load(const Uuid& id) {
  TW_RETURN_IF_ERROR(flush());
  return core_->load(id);
}

Result<std::pair<Uuid, LoadedTensors>> Coordinator::load_latest() {
  TW_RETURN_IF_ERROR(flush());
  TW_ASSIGN_OR_RETURN(Uuid id, core_->latest_id());
  TW_ASSIGN_OR_RETURN(LoadedTensors tensors, core_->load(id));
  return std::pair{id, std::move(tensors)};
}

Result<LoadedTensors> Coordinator::load_tensors(const Uuid& id, std::span<const std::string> names) {
  TW_RETURN_IF_ERROR(flush());
  return core_->load_tensors(id, names);
}

Result<SnapshotDescription> Coordinator::describe(const Uuid& id) {
  wait_idle();
  return core_->describe(id);
}

Result<SnapshotDescription> Coordinator::describe_latest() {
  wait_idle();
  return core_->describe_latest();
}

std::vector<SnapshotInfo> Coordinator::list_snapshots() {
  wait_idle();
  return core_->list_snapshots();
}

// Pin changes wait for queued saves, so that pinning the step just saved finds its snapshot.
Result<bool> Coordinator::pin(std::uint64_t step) {
  wait_idle();
  return core_->set_pinned(step, true);
}

Result<bool> Coordinator::unpin(std::uint64_t step) {
  wait_idle();
  return core_->set_pinned(step, false);
}

std::vector<std::uint64_t> Coordinator::pinned_steps() {
  wait_idle();
  return core_->pinned_steps();
}

}  // namespace tarnwick
