// Snapshot load: whole snapshots decoded in parallel, selected tensors one by one, both from
// ranged reads of the packs; aliases filled in from their targets.
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "coordinator/coordinator.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

TarnwickError alias_without_target(const TensorEntry& alias) {
  return TarnwickError::not_found("Alias '" + alias.name + "' has no target");
}

TarnwickError alias_target_missing(const TensorEntry& alias) {
  return TarnwickError::not_found("Alias '" + alias.name + "' points at '" + *alias.alias_of +
                                  "', which is not in this snapshot");
}

// The base rank of a whole load, looked up once and shared by every decoding task.
struct LoadBaseView {
  Uuid id;
  CompressionAlgo compression;
  std::unordered_map<std::string, TensorEntry> entries;
  OwnedPack pack;
};

}  // namespace

Result<std::pair<Snapshot, PinGuard>> Core::pin_snapshot(const Uuid& id) {
  auto lock = lock_manifest();
  for (const auto& snapshot : lock->snapshots) {
    if (snapshot.id != id) continue;
    std::vector<Uuid> ids{snapshot.id};
    if (snapshot.base_snapshot_id) ids.push_back(*snapshot.base_snapshot_id);
    PinGuard pin = inflight_->pin(std::move(ids));
    return std::pair<Snapshot, PinGuard>(snapshot, std::move(pin));
  }
  return fail(TarnwickError::not_found("Snapshot " + id.to_string()));
}

Result<BaseLookup> Core::find_base_tensor_entry_with_pack(const Uuid& base_id, std::string_view name, bool whole_pack) {
  BaseLookup found;
  std::optional<std::string> pack_key;
  {
    auto lock = lock_manifest();
    const Snapshot* base = nullptr;
    for (const auto& snapshot : lock->snapshots) {
      if (snapshot.id == base_id) base = &snapshot;
    }
    if (!base) return fail(TarnwickError::not_found("Base snapshot " + base_id.to_string()));
    const RankEntry* rank = own_rank(*base);
    if (!rank) {
      return fail(TarnwickError::not_found("Rank " + std::to_string(config_.rank) + " not in base snapshot " +
                                           base_id.to_string()));
    }
    auto it = std::find_if(rank->tensors.begin(), rank->tensors.end(),
                           [&](const TensorEntry& entry) { return entry.name == name; });
    if (it == rank->tensors.end()) {
      return fail(TarnwickError::not_found("Tensor '" + std::string(name) + "' not in base snapshot " +
                                           base_id.to_string()));
    }
    found.entry = *it;
    found.compression = base->compression;
    pack_key = rank->pack_file;
  }
  if (pack_key) {
    if (whole_pack) {
      TW_ASSIGN_OR_RETURN(Bytes bytes, storage_->get(*pack_key));
      found.pack = OwnedPack::in_memory(std::make_shared<const Bytes>(std::move(bytes)));
    } else {
      found.pack = OwnedPack::by_key(*pack_key);
    }
  }
  return found;
}

Result<LoadedTensors> Core::load(const Uuid& id) {
  return run_in_pool([&] { return load_in_pool(id); });
}

Result<LoadedTensors> Core::load_in_pool(const Uuid& id) {
  TW_ASSIGN_OR_RETURN(auto pinned, pin_snapshot(id));
  const Snapshot& snapshot = pinned.first;
  TW_ASSIGN_OR_RETURN(const RankEntry* rank, rank_of(snapshot, config_.rank));
  // Each decoding task reads its own byte range of the pack: every stored byte is still read
  // once, but the reads run in parallel with the decompression instead of before it, and no
  // pack-sized buffer is held beside the results.
  OwnedPack pack = rank->pack_file ? OwnedPack::by_key(*rank->pack_file) : OwnedPack::none();

  std::optional<LoadBaseView> base_view;
  bool needs_base = std::any_of(rank->tensors.begin(), rank->tensors.end(),
                                [](const TensorEntry& entry) { return entry.storage != TensorStorage::Full; });
  if (needs_base && snapshot.base_snapshot_id) {
    std::optional<Snapshot> base;
    {
      auto lock = lock_manifest();
      for (const auto& candidate : lock->snapshots) {
        if (candidate.id == *snapshot.base_snapshot_id) base = candidate;
      }
    }
    const RankEntry* base_rank = base ? own_rank(*base) : nullptr;
    if (base_rank) {
      base_view.emplace(LoadBaseView{.id = base->id, .compression = base->compression});
      for (const auto& entry : base_rank->tensors) base_view->entries.emplace(entry.name, entry);
      if (base_rank->pack_file) base_view->pack = OwnedPack::by_key(*base_rank->pack_file);
    }
  }

  BaseResolver resolver = [&](const Uuid& base_id, std::string_view name) -> Result<BaseLookup> {
    if (base_view && base_view->id == base_id) {
      auto it = base_view->entries.find(std::string(name));
      if (it == base_view->entries.end()) {
        return fail(TarnwickError::not_found("Tensor '" + std::string(name) + "' not in base snapshot " +
                                             base_id.to_string()));
      }
      return BaseLookup{it->second, base_view->compression, base_view->pack};
    }
    return find_base_tensor_entry_with_pack(base_id, name, true);
  };

  std::vector<const TensorEntry*> to_decode;
  for (const auto& entry : rank->tensors) {
    if (entry.storage != TensorStorage::Alias) to_decode.push_back(&entry);
  }
  std::vector<Bytes> decoded(to_decode.size());
  std::atomic<bool> stop{false};
  std::mutex error_mutex;
  std::optional<TarnwickError> first_error;
  DecodeContext context{.storage = storage_.get(),
                        .compression = snapshot.compression,
                        .pack = &pack,
                        .base_id = snapshot.base_snapshot_id,
                        .resolver = &resolver};
  parallel_for(to_decode.size(), [&](std::size_t i) {
    if (stop.load(std::memory_order_relaxed)) return;
    auto bytes = load_tensor(*to_decode[i], context);
    if (bytes) {
      decoded[i] = std::move(*bytes);
      return;
    }
    std::lock_guard lock(error_mutex);
    if (!first_error) first_error = bytes.error();
    stop = true;
  });
  if (first_error) return fail(*first_error);

  LoadedTensors result;
  result.reserve(rank->tensors.size());
  std::unordered_map<std::string_view, std::size_t> position;
  for (std::size_t i = 0; i < to_decode.size(); ++i) {
    position.emplace(to_decode[i]->name, result.size());
    result.emplace_back(to_decode[i]->name, std::move(decoded[i]));
  }
  for (const auto& entry : rank->tensors) {
    if (entry.storage != TensorStorage::Alias) continue;
    if (!entry.alias_of) return fail(alias_without_target(entry));
    auto it = position.find(*entry.alias_of);
    if (it == position.end()) return fail(alias_target_missing(entry));
    Bytes copy = result[it->second].second;
    result.emplace_back(entry.name, std::move(copy));
  }
  return result;
}

Result<LoadedTensors> Core::load_tensors(const Uuid& id, std::span<const std::string> names) {
  TW_ASSIGN_OR_RETURN(auto pinned, pin_snapshot(id));
  const Snapshot& snapshot = pinned.first;
  TW_ASSIGN_OR_RETURN(const RankEntry* rank, rank_of(snapshot, config_.rank));
  std::unordered_map<std::string_view, const TensorEntry*> by_name;
  for (const auto& entry : rank->tensors) by_name.emplace(entry.name, &entry);

  OwnedPack pack = rank->pack_file ? OwnedPack::by_key(*rank->pack_file) : OwnedPack::none();
  BaseResolver resolver = [&](const Uuid& base_id, std::string_view name) {
    return find_base_tensor_entry_with_pack(base_id, name, false);
  };
  DecodeContext context{.storage = storage_.get(),
                        .compression = snapshot.compression,
                        .pack = &pack,
                        .base_id = snapshot.base_snapshot_id,
                        .resolver = &resolver};

  LoadedTensors result;
  std::unordered_map<std::string, std::size_t> position;
  for (const auto& name : names) {
    auto it = by_name.find(name);
    if (it == by_name.end()) {
      return fail(TarnwickError::not_found("Tensor '" + name + "' not in snapshot " + id.to_string()));
    }
    const TensorEntry* entry = it->second;
    if (entry->storage == TensorStorage::Alias) {
      if (!entry->alias_of) return fail(alias_without_target(*entry));
      auto target = by_name.find(*entry->alias_of);
      if (target == by_name.end()) return fail(alias_target_missing(*entry));
      entry = target->second;
    }
    TW_ASSIGN_OR_RETURN(Bytes bytes, load_tensor(*entry, context));
    if (auto [slot, inserted] = position.try_emplace(name, result.size()); inserted) {
      result.emplace_back(name, std::move(bytes));
    } else {
      result[slot->second].second = std::move(bytes);
    }
  }
  return result;
}

}  // namespace tarnwick
