// Pruning of the manifest after a save: the full-snapshot and total caps, the rollback lineage
// kept beside them, and the user's pins in "pins.json". Every function here expects the caller
// to hold the manifest lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/uuid.h"
#include "runtime/error.h"
#include "storage/storage.h"

namespace tarnwick {

// Writes the pretty manifest text as "manifest.json".
[[nodiscard]] Status persist_manifest(const StorageBackend& storage, const Manifest& manifest);

// The steps listed in "pins.json" (trailing zero bytes dropped), in file order; nothing when the
// file does not exist. Anything but a JSON array of u64 is a Serialization error.
[[nodiscard]] Result<std::optional<std::vector<std::uint64_t>>> read_pins(const StorageBackend& storage);

// Sets `pinned` on every finalized snapshot from whether "pins.json" lists its step; without the
// file nothing changes. Unfinalized snapshots keep their flag.
[[nodiscard]] Status sync_pins(const StorageBackend& storage, std::vector<Snapshot>& snapshots);

// Takes every snapshot whose id is listed out of the manifest; returns them in manifest order.
std::vector<Snapshot> remove_snapshots(Manifest& manifest, std::span<const Uuid> ids);

// Prunes the manifest by its retention policy, keeping the rollback lineage, pinned snapshots,
// the bases of pinned deltas and the newest finalized snapshot, then persists it (even when
// nothing was removed). Returns the removed records in removal order for the caller to unlink.
[[nodiscard]] Result<std::vector<Snapshot>> apply_retention(Manifest& manifest, const StorageBackend& storage);

// Pins or unpins the last finalized snapshot with `step` and rewrites "pins.json"; false (and
// nothing written) when no finalized snapshot has that step.
[[nodiscard]] Result<bool> set_pinned(Manifest& manifest, const StorageBackend& storage, std::uint64_t step,
                                      bool pinned);

// The ascending, duplicate-free steps of finalized pinned snapshots, after refreshing the flags
// from "pins.json" (a file that cannot be read leaves the flags as they are). Nothing is persisted.
std::vector<std::uint64_t> pinned_steps(Manifest& manifest, const StorageBackend& storage);

// The compact "pins.json" text, e.g. "[100,500]" or "[]".
std::string pins_text(std::span<const std::uint64_t> sorted_unique_steps);

}  // namespace tarnwick
