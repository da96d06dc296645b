#include "coordinator/inflight.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace tarnwick {

InFlight::PinGuard& InFlight::PinGuard::operator=(PinGuard&& other) noexcept {
  if (this != &other) {
    release();
    registry_ = std::move(other.registry_);
    ids_ = std::move(other.ids_);
  }
  return *this;
}

void InFlight::PinGuard::release() {
  if (registry_) registry_->unpin(ids_);
  registry_.reset();
  ids_.clear();
}

InFlight::ClaimGuard::~ClaimGuard() {
  if (registry_) registry_->unclaim(ids_);
}

InFlight::PinGuard InFlight::pin(std::vector<Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    for (const auto& id : ids) ++readers_[id];
  }
  return PinGuard(shared_from_this(), std::move(ids));
}

void InFlight::unpin(std::span<const Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    for (const auto& id : ids) {
      auto it = readers_.find(id);
      if (it == readers_.end()) continue;
      if (it->second >= 2) {
        --it->second;
      } else {
        readers_.erase(it);
      }
    }
  }
  pin_released_.notify_all();
}

std::optional<InFlight::ClaimGuard> InFlight::claim(std::vector<Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    if (any_read_locked(ids)) return std::nullopt;
    doomed_.insert(ids.begin(), ids.end());
  }
  return ClaimGuard(shared_from_this(), std::move(ids));
}

void InFlight::unclaim(std::span<const Uuid> ids) {
  std::lock_guard lock(mutex_);
  for (const auto& id : ids) doomed_.erase(id);
}

bool InFlight::is_doomed(const Uuid& id) const {
  std::lock_guard lock(mutex_);
  return doomed_.contains(id);
}

std::uint64_t InFlight::readers_of(const Uuid& id) const {
  std::lock_guard lock(mutex_);
  auto it = readers_.find(id);
  return it == readers_.end() ? 0 : it->second;
}

bool InFlight::any_read_locked(std::span<const Uuid> ids) const {
  return std::any_of(ids.begin(), ids.end(), [&](const Uuid& id) { return readers_.contains(id); });
}

bool InFlight::wait_until_unread(std::span<const Uuid> ids, std::chrono::steady_clock::duration wait) {
  std::unique_lock lock(mutex_);
  return pin_released_.wait_for(lock, wait, [&] { return !any_read_locked(ids); });
}

void PendingDeletes::push(std::string key) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  keys_.push_back(std::move(key));
}

std::vector<std::string> PendingDeletes::take_all() {
  std::lock_guard lock(mutex_);
  return std::exchange(keys_, {});
}

namespace {

void delete_and_queue(const StorageBackend& storage, PendingDeletes& pending, const std::string& key) {
  (void)storage.delete_object(key);  // a file that cannot be deleted is left for recovery
  pending.push(key);
}

}  // namespace

void unlink_snapshots(const StorageBackend& storage, PendingDeletes& pending, InFlight& inflight,
                      std::span<const Snapshot> snapshots, std::chrono::seconds wait) {
  if (snapshots.empty()) return;
  std::vector<Uuid> ids;
  ids.reserve(snapshots.size());
  for (const auto& snapshot : snapshots) ids.push_back(snapshot.id);

  if (!inflight.wait_until_unread(ids, wait)) {
    std::string line = "[Tarnwick] " + std::to_string(snapshots.size()) +
                       " dropped snapshot(s) are still being read after " + std::to_string(wait.count()) +
                       "s; leaving their files rather than unlinking under the reader\n";
    std::fputs(line.c_str(), stderr);
    return;
  }
  for (const auto& snapshot : snapshots) {
    for (const auto& [rank, entry] : snapshot.ranks) {
      if (entry.pack_file) delete_and_queue(storage, pending, *entry.pack_file);
      for (const auto& tensor : entry.tensors) {
        if (tensor.filename) delete_and_queue(storage, pending, *tensor.filename);
      }
    }
    (void)storage.remove_dir("snapshots/" + snapshot.id.to_string());
  }
}

}  // namespace tarnwick
