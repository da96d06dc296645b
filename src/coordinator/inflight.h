// Protection of snapshots in use: readers pin the snapshots they read, a deleter claims the
// snapshots it replaces, and files are unlinked only once no reader holds them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats/manifest.h"
#include "formats/uuid.h"
#include "storage/storage.h"

namespace tarnwick {

class InFlight : public std::enable_shared_from_this<InFlight> {
 public:
  // Unpins its ids once each when released.
  class PinGuard {
   public:
    PinGuard(std::shared_ptr<InFlight> registry, std::vector<Uuid> ids)
        : registry_(std::move(registry)), ids_(std::move(ids)) {}
    PinGuard(PinGuard&&) noexcept = default;
    PinGuard& operator=(PinGuard&& other) noexcept;
    ~PinGuard() { release(); }
    void release();

   private:
    std::shared_ptr<InFlight> registry_;
    std::vector<Uuid> ids_;
  };

  // Clears its ids from the doomed set when released.
  class ClaimGuard {
   public:
    ClaimGuard(std::shared_ptr<InFlight> registry, std::vector<Uuid> ids)
        : registry_(std::move(registry)), ids_(std::move(ids)) {}
    ClaimGuard(ClaimGuard&&) noexcept = default;
    ClaimGuard& operator=(ClaimGuard&&) = delete;
    ~ClaimGuard();

   private:
    std::shared_ptr<InFlight> registry_;
    std::vector<Uuid> ids_;
  };

  static std::shared_ptr<InFlight> create() { return std::shared_ptr<InFlight>(new InFlight()); }

  // Adds one pin per listed id (duplicates count twice). Never waits on anything but the
  // registry lock and never fails.
  PinGuard pin(std::vector<Uuid> ids);
  // Marks every id doomed, unless one of them has a reader: then nothing changes and nothing
  // is returned.
  std::optional<ClaimGuard> claim(std::vector<Uuid> ids);
  bool is_doomed(const Uuid& id) const;
  std::uint64_t readers_of(const Uuid& id) const;
  // Blocks until none of `ids` has a reader (true) or `wait` has passed (false). Wakes on every
  // pin release.
  bool wait_until_unread(std::span<const Uuid> ids, std::chrono::steady_clock::duration wait);

 private:
  InFlight() = default;
  bool any_read_locked(std::span<const Uuid> ids) const;
  void unpin(std::span<const Uuid> ids);
  void unclaim(std::span<const Uuid> ids);

  mutable std::mutex mutex_;
  std::condition_variable pin_released_;
  std::unordered_map<Uuid, std::uint64_t> readers_;
  std::unordered_set<Uuid> doomed_;
};

using PinGuard = InFlight::PinGuard;
using ClaimGuard = InFlight::ClaimGuard;

// Keys deleted locally that the remote syncer still has to delete remotely. Without a remote
// (disabled) every pushed key is dropped.
class PendingDeletes {
 public:
  explicit PendingDeletes(bool enabled) : enabled_(enabled) {}
  void push(std::string key);
  std::vector<std::string> take_all();

 private:
  std::mutex mutex_;
  std::vector<std::string> keys_;
  const bool enabled_;
};

// Deletes the files of snapshots already removed from the manifest, once no reader holds any of
// them. If readers remain after `wait`, prints a warning and deletes nothing. Never fails.
void unlink_snapshots(const StorageBackend& storage, PendingDeletes& pending, InFlight& inflight,
                      std::span<const Snapshot> snapshots, std::chrono::seconds wait);

}  // namespace tarnwick
