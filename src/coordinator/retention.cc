#include "coordinator/retention.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "formats/json_reader.h"

namespace tarnwick {
namespace {

bool is_full(const Snapshot& snapshot) { return !snapshot.base_snapshot_id.has_value(); }

void sort_unique(std::vector<std::uint64_t>& steps) {
  std::sort(steps.begin(), steps.end());
  steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
}

void sort_unique(std::vector<Uuid>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

bool contains(const std::vector<Uuid>& sorted_ids, const Uuid& id) {
  return std::binary_search(sorted_ids.begin(), sorted_ids.end(), id);
}

// How many finalized snapshots the total cap allows: the explicit cap, or one full snapshot's
// worth of deltas per allowed full snapshot. Saturates, so that huge policy values mean "no
// cap" rather than wrapping round to a small one.
std::uint64_t total_limit(const RetentionPolicy& retention) {
  if (retention.max_total_snapshots) return *retention.max_total_snapshots;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  if (retention.max_deltas_per_full == kMax) return kMax;
  std::uint64_t limit = 0;
  if (__builtin_mul_overflow(retention.max_full_snapshots, retention.max_deltas_per_full + 1, &limit)) return kMax;
  return limit;
}

// The newest `max_rollback_snapshots` full, finalized snapshots whose step is a multiple of the
// rollback interval.
std::vector<Uuid> lineage_ids(const Manifest& manifest) {
  const LineageConfig& lineage = manifest.lineage;
  std::vector<Uuid> ids;
  if (lineage.rollback_interval_steps == 0 || lineage.max_rollback_snapshots == 0) return ids;
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend(); ++it) {
    if (ids.size() >= lineage.max_rollback_snapshots) break;
    if (is_full(*it) && it->finalized && it->step % lineage.rollback_interval_steps == 0) ids.push_back(it->id);
  }
  return ids;
}

// The ids neither cap may remove, sorted: the lineage, every pinned snapshot and the base of
// every pinned delta, and the newest finalized snapshot with its base. The newest one is the
// snapshot the triggering save has just written; without it among the kept ids the full cap
// could remove it (or its base, taking it along) whenever every older full snapshot is kept.
std::vector<Uuid> kept_ids(const Manifest& manifest) {
  std::vector<Uuid> kept = lineage_ids(manifest);
  for (const Snapshot& snapshot : manifest.snapshots) {
    if (!snapshot.pinned) continue;
    kept.push_back(snapshot.id);
    if (snapshot.base_snapshot_id) kept.push_back(*snapshot.base_snapshot_id);
  }
  auto newest = std::find_if(manifest.snapshots.rbegin(), manifest.snapshots.rend(),
                             [](const Snapshot& snapshot) { return snapshot.finalized; });
  if (newest != manifest.snapshots.rend()) {
    kept.push_back(newest->id);
    if (newest->base_snapshot_id) kept.push_back(*newest->base_snapshot_id);
  }
  sort_unique(kept);
  return kept;
}

void append(std::vector<Snapshot>& to, std::vector<Snapshot>&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// Removes the oldest unkept full snapshots, each with all its deltas, while more full finalized
// snapshots exist than the policy allows.
void apply_full_cap(Manifest& manifest, const std::vector<Uuid>& kept, std::vector<Snapshot>& removed) {
  auto full_count = [&] {
    return static_cast<std::uint64_t>(std::count_if(manifest.snapshots.begin(), manifest.snapshots.end(),
                                                    [](const Snapshot& s) { return is_full(s) && s.finalized; }));
  };
  while (full_count() > manifest.retention.max_full_snapshots) {
    auto victim = std::find_if(manifest.snapshots.begin(), manifest.snapshots.end(), [&](const Snapshot& s) {
      return is_full(s) && s.finalized && !contains(kept, s.id);
    });
    if (victim == manifest.snapshots.end()) return;
    std::vector<Uuid> ids{victim->id};
    for (const Snapshot& snapshot : manifest.snapshots) {
      if (snapshot.base_snapshot_id == victim->id) ids.push_back(snapshot.id);
    }
    append(removed, remove_snapshots(manifest, ids));
  }
}

// Removes single snapshots, oldest first, while more finalized snapshots exist than the limit:
// deltas, and full snapshots nothing depends on.
void apply_total_cap(Manifest& manifest, const std::vector<Uuid>& kept, std::vector<Snapshot>& removed) {
  const std::uint64_t limit = total_limit(manifest.retention);
  auto finalized_count = static_cast<std::uint64_t>(std::count_if(
      manifest.snapshots.begin(), manifest.snapshots.end(), [](const Snapshot& s) { return s.finalized; }));
  while (finalized_count > limit) {
    std::vector<Uuid> bases;
    for (const Snapshot& snapshot : manifest.snapshots) {
      if (snapshot.base_snapshot_id) bases.push_back(*snapshot.base_snapshot_id);
    }
    sort_unique(bases);
    auto victim = std::find_if(manifest.snapshots.begin(), manifest.snapshots.end(), [&](const Snapshot& s) {
      return s.finalized && !contains(kept, s.id) && (!is_full(s) || !contains(bases, s.id));
    });
    if (victim == manifest.snapshots.end()) return;
    const Uuid id = victim->id;
    append(removed, remove_snapshots(manifest, std::span(&id, 1)));
    --finalized_count;
  }
}

}  // namespace

Status persist_manifest(const StorageBackend& storage, const Manifest& manifest) {
  TW_ASSIGN_OR_RETURN(const std::string text, write_manifest(manifest));
  return storage.put(kManifestKey, as_bytes(text));
}

Result<std::optional<std::vector<std::uint64_t>>> read_pins(const StorageBackend& storage) {
  Result<Bytes> bytes = storage.get(kPinsKey);
  if (!bytes) {
    if (bytes.error().kind() == ErrorKind::CheckpointNotFound) return std::nullopt;
    return fail(std::move(bytes).error());
  }
  const ByteView padded(*bytes);
  std::size_t length = padded.size();
  while (length > 0 && padded[length - 1] == std::byte{0}) --length;

  std::vector<std::uint64_t> steps;
  auto read_steps = [&](json::Reader& reader, json::Value& root) -> Status {
    return reader.elements(root, "a sequence of u64", [&](json::Value& item) -> Status {
      std::uint64_t step = 0;
      TW_RETURN_IF_ERROR(reader.read(item, step));
      steps.push_back(step);
      return {};
    });
  };
  TW_RETURN_IF_ERROR(json::Reader::parse(padded.first(length), padded.size() - length, read_steps));
  return steps;
}

Status sync_pins(const StorageBackend& storage, std::vector<Snapshot>& snapshots) {
  TW_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint64_t>> pins, read_pins(storage));
  if (!pins) return {};
  sort_unique(*pins);
  for (Snapshot& snapshot : snapshots) {
    if (snapshot.finalized) snapshot.pinned = std::binary_search(pins->begin(), pins->end(), snapshot.step);
  }
  return {};
}

std::vector<Snapshot> remove_snapshots(Manifest& manifest, std::span<const Uuid> ids) {
  std::vector<Snapshot> kept;
  std::vector<Snapshot> removed;
  kept.reserve(manifest.snapshots.size());
  for (Snapshot& snapshot : manifest.snapshots) {
    const bool listed = std::find(ids.begin(), ids.end(), snapshot.id) != ids.end();
    (listed ? removed : kept).push_back(std::move(snapshot));
  }
  manifest.snapshots = std::move(kept);
  return removed;
}

Result<std::vector<Snapshot>> apply_retention(Manifest& manifest, const StorageBackend& storage) {
  TW_RETURN_IF_ERROR(sync_pins(storage, manifest.snapshots));
  const std::vector<Uuid> kept = kept_ids(manifest);
  std::vector<Snapshot> removed;
  apply_full_cap(manifest, kept, removed);
  apply_total_cap(manifest, kept, removed);
  TW_RETURN_IF_ERROR(persist_manifest(storage, manifest));
  return removed;
}

Result<bool> set_pinned(Manifest& manifest, const StorageBackend& storage, std::uint64_t step, bool pinned) {
  auto target = std::find_if(manifest.snapshots.rbegin(), manifest.snapshots.rend(),
                             [&](const Snapshot& s) { return s.finalized && s.step == step; });
  if (target == manifest.snapshots.rend()) return false;
  if (target->pinned != pinned) {
    target->pinned = pinned;
    TW_RETURN_IF_ERROR(persist_manifest(storage, manifest));
  }

  TW_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint64_t>> listed, read_pins(storage));
  std::vector<std::uint64_t> steps;
  if (listed) {
    steps = std::move(*listed);
  } else {
    for (const Snapshot& snapshot : manifest.snapshots) {
      if (snapshot.finalized && snapshot.pinned) steps.push_back(snapshot.step);
    }
  }
  std::erase(steps, step);
  if (pinned) steps.push_back(step);
  sort_unique(steps);
  TW_RETURN_IF_ERROR(storage.put(kPinsKey, as_bytes(pins_text(steps))));
  return true;
}

std::vector<std::uint64_t> pinned_steps(Manifest& manifest, const StorageBackend& storage) {
  (void)sync_pins(storage, manifest.snapshots);  // an unreadable pin list leaves the flags as they are
  std::vector<std::uint64_t> steps;
  for (const Snapshot& snapshot : manifest.snapshots) {
    if (snapshot.finalized && snapshot.pinned) steps.push_back(snapshot.step);
  }
  sort_unique(steps);
  return steps;
}

std::string pins_text(std::span<const std::uint64_t> sorted_unique_steps) {
  std::string text = "[";
  for (std::size_t i = 0; i < sorted_unique_steps.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(sorted_unique_steps[i]);
  }
  text += ']';
  return text;
}

}  // namespace tarnwick
