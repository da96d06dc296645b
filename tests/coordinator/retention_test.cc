#include "coordinator/retention.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;

std::vector<std::uint64_t> steps_of(const std::vector<Snapshot>& snapshots) {
  std::vector<std::uint64_t> steps;
  for (const Snapshot& snapshot : snapshots) steps.push_back(snapshot.step);
  return steps;
}

// A store in a fresh directory and a manifest whose snapshots are built by hand. Snapshots are
// finalized unless a test says otherwise; deltas name their base by its step.
class RetentionTest : public ::testing::Test {
 protected:
  Snapshot& add_full(std::uint64_t step) { return add(step, std::nullopt); }

  Snapshot& add_delta(std::uint64_t step, std::uint64_t base_step) {
    const Snapshot* base = nullptr;
    for (const Snapshot& snapshot : manifest_.snapshots) {
      if (snapshot.step == base_step) base = &snapshot;
    }
    EXPECT_NE(base, nullptr) << "no snapshot at step " << base_step;
    return add(step, base ? std::optional(base->id) : std::nullopt);
  }

  void write(std::string_view key, std::string_view text) { ASSERT_TRUE(storage_.put(key, as_bytes(text))); }

  // The object's text without the backend's zero padding; nothing when it does not exist.
  std::optional<std::string> stored(std::string_view key) const {
    Result<Bytes> bytes = storage_.get(key);
    if (!bytes) {
      EXPECT_EQ(bytes.error().kind(), ErrorKind::CheckpointNotFound) << bytes.error().message();
      return std::nullopt;
    }
    std::string text(as_text(*bytes));
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }

  Manifest persisted() const {
    Result<Bytes> bytes = storage_.get(kManifestKey);
    EXPECT_TRUE(bytes) << bytes.error().message();
    if (!bytes) return {};
    Result<Manifest> manifest = read_manifest(*bytes);
    EXPECT_TRUE(manifest) << manifest.error().message();
    return manifest.value_or(Manifest{});
  }

  std::vector<Snapshot> retain() {
    Result<std::vector<Snapshot>> removed = apply_retention(manifest_, storage_);
    EXPECT_TRUE(removed) << removed.error().message();
    return removed.value_or(std::vector<Snapshot>{});
  }

  testing::ScratchDir scratch_;
  LocalStorage storage_{scratch_.path()};
  Manifest manifest_;

 private:
  Snapshot& add(std::uint64_t step, std::optional<Uuid> base) {
    Uuid::Octets octets{};
    octets[15] = ++ids_drawn_;
    Snapshot snapshot;
    snapshot.id = Uuid(octets);
    snapshot.step = step;
    snapshot.base_snapshot_id = base;
    snapshot.finalized = true;
    manifest_.snapshots.push_back(snapshot);
    return manifest_.snapshots.back();
  }

  std::uint8_t ids_drawn_ = 0;
};

// ---- Caps and lineage -----------------------------------------------------------------------

TEST_F(RetentionTest, FullCapRemovesTheOldestFullTogetherWithItsDeltas) {
  manifest_.retention = {.max_full_snapshots = 2, .max_deltas_per_full = 1};
  // F1 D1 F2 D2 F3, retention after every save as the saver runs it.
  add_full(1);
  EXPECT_THAT(retain(), IsEmpty());
  add_delta(2, 1);
  EXPECT_THAT(retain(), IsEmpty());
  add_full(3);
  EXPECT_THAT(retain(), IsEmpty());
  add_delta(4, 3);
  EXPECT_THAT(retain(), IsEmpty());
  add_full(5);
  EXPECT_THAT(steps_of(retain()), ElementsAre(1, 2));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(3, 4, 5));
}

TEST_F(RetentionTest, TotalCapRemovesDeltasBeforeTheFullTheyDependOn) {
  manifest_.retention = {.max_full_snapshots = 5, .max_deltas_per_full = 10, .max_total_snapshots = 3};
  add_full(10);       // F_a
  add_delta(11, 10);  // D1
  add_delta(12, 10);  // D2
  add_full(20);       // F_b
  add_delta(21, 20);  // D3
  EXPECT_THAT(steps_of(retain()), ElementsAre(11, 12));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(10, 20, 21));
}

TEST_F(RetentionTest, TotalCapWithoutExplicitValueAllowsEachFullItsDeltas) {
  manifest_.retention = {.max_full_snapshots = 2, .max_deltas_per_full = 1};
  manifest_.lineage = {.rollback_interval_steps = 1, .max_rollback_snapshots = 3};  // keeps every full
  add_full(1);
  add_delta(2, 1);
  add_delta(3, 1);
  add_full(4);
  add_delta(5, 4);
  add_delta(6, 4);
  // Limit 2 * (1 + 1) = 4 of the six; the fulls are lineage, so the two oldest deltas go.
  EXPECT_THAT(steps_of(retain()), ElementsAre(2, 3));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(1, 4, 5, 6));
}

TEST_F(RetentionTest, LineageKeepsTheNewestFullsOnTheRollbackInterval) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  manifest_.lineage = {.rollback_interval_steps = 10000, .max_rollback_snapshots = 3};
  add_full(10000);
  add_full(15000);  // off the interval: never lineage
  add_full(20000);
  add_full(30000);
  add_full(40000);
  EXPECT_THAT(steps_of(retain()), ElementsAre(10000, 15000));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(20000, 30000, 40000));
}

TEST_F(RetentionTest, LineageCountsOnlyFinalizedFulls) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  manifest_.lineage = {.rollback_interval_steps = 100, .max_rollback_snapshots = 1};
  add_full(100);
  add_full(200);
  add_delta(300, 200);
  add_full(400).finalized = false;  // a multi-rank snapshot still being written
  // The lineage snapshot is 200, not the unfinalized 400; 200 also carries the newest delta.
  EXPECT_THAT(steps_of(retain()), ElementsAre(100));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(200, 300, 400));
}

TEST_F(RetentionTest, PinnedDeltaKeepsItsBaseEvenAsTheOldestFull) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  add_full(1);
  add_delta(2, 1).pinned = true;
  add_full(3);
  add_full(4);
  EXPECT_THAT(steps_of(retain()), ElementsAre(3));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(1, 2, 4));
}

TEST_F(RetentionTest, UnfinalizedSnapshotsAreNeitherCountedNorRemovedByTheTotalCap) {
  manifest_.retention = {.max_full_snapshots = 10, .max_deltas_per_full = 10, .max_total_snapshots = 2};
  add_full(1);
  add_full(2).finalized = false;
  add_delta(3, 1);
  add_delta(4, 2).finalized = false;
  add_full(5);
  // Three finalized against a limit of two: only the delta goes. Counting the unfinalized ones
  // would also take the full at step 1 once its delta is gone.
  EXPECT_THAT(steps_of(retain()), ElementsAre(3));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(1, 2, 4, 5));
}

TEST_F(RetentionTest, ProtectedSnapshotsMayKeepTheStoreAboveItsCaps) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0, .max_total_snapshots = 1};
  add_full(1).pinned = true;
  add_full(2).pinned = true;
  add_full(3);
  EXPECT_THAT(retain(), IsEmpty());
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(1, 2, 3));
}

struct HugePolicyCase {
  const char* name;
  RetentionPolicy retention;
};

class HugePolicy : public RetentionTest, public ::testing::WithParamInterface<HugePolicyCase> {};

// A limit of max_full * (max_deltas + 1) that wrapped round would prune a store that asked for
// no pruning at all.
TEST_P(HugePolicy, LimitSaturatesInsteadOfWrapping) {
  manifest_.retention = GetParam().retention;
  add_full(1);
  add_delta(2, 1);
  add_full(3);
  EXPECT_THAT(retain(), IsEmpty());
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(1, 2, 3));
}

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Retention, HugePolicy,
    ::testing::Values(HugePolicyCase{"DeltasPlusOneOverflows",
                                     {.max_full_snapshots = 2, .max_deltas_per_full = kMaxU64}},
                      HugePolicyCase{"ProductOverflows",
                                     {.max_full_snapshots = kMaxU64 / 2 + 1, .max_deltas_per_full = 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The snapshot the triggering save just wrote ---------------------------------------------

struct NewestCase {
  const char* name;
  RetentionPolicy retention;
  bool newest_is_delta;
};

class NewestSnapshot : public RetentionTest, public ::testing::WithParamInterface<NewestCase> {};

// With every older full kept (here by a pin), the oldest unkept full is the one just written,
// or the base of the delta just written; the full cap must take neither.
TEST_P(NewestSnapshot, SurvivesTheFullCapWhenEveryOlderFullIsKept) {
  manifest_.retention = GetParam().retention;
  add_full(1).pinned = true;
  add_full(2);
  if (GetParam().newest_is_delta) add_delta(3, 2);
  const std::vector<Snapshot> before = manifest_.snapshots;
  EXPECT_THAT(retain(), IsEmpty());
  EXPECT_EQ(manifest_.snapshots, before);
}

INSTANTIATE_TEST_SUITE_P(
    Retention, NewestSnapshot,
    ::testing::Values(NewestCase{"NewestFull", {.max_full_snapshots = 1, .max_deltas_per_full = 0}, false},
                      NewestCase{"NewestDeltaAndItsBase", {.max_full_snapshots = 1, .max_deltas_per_full = 1}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RetentionTest, NewestSnapshotSurvivesWhenCapsAreZero) {
  manifest_.retention = {.max_full_snapshots = 0, .max_deltas_per_full = 0, .max_total_snapshots = 0};
  add_full(1);
  add_delta(2, 1);
  add_full(3);
  add_delta(4, 3);
  EXPECT_THAT(steps_of(retain()), ElementsAre(1, 2));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(3, 4));
}

// ---- Persisting and pins during retention -----------------------------------------------------

TEST_F(RetentionTest, PersistsTheManifestEvenWhenNothingIsRemoved) {
  manifest_.retention = {.max_full_snapshots = 5, .max_deltas_per_full = 5};
  add_full(1);
  ASSERT_EQ(stored(kManifestKey), std::nullopt);
  EXPECT_THAT(retain(), IsEmpty());
  EXPECT_EQ(persisted(), manifest_);
}

TEST_F(RetentionTest, PersistsTheManifestWithoutTheRemovedSnapshots) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  add_full(1);
  add_full(2);
  EXPECT_THAT(steps_of(retain()), ElementsAre(1));
  EXPECT_EQ(persisted(), manifest_);
  EXPECT_THAT(steps_of(persisted().snapshots), ElementsAre(2));
}

TEST_F(RetentionTest, PinsFileDecidesWhatIsProtected) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  add_full(1).pinned = true;  // unpinned by the file
  add_full(2);                // pinned by the file
  add_full(3);
  write(kPinsKey, "[2]");
  EXPECT_THAT(steps_of(retain()), ElementsAre(1));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(2, 3));
  EXPECT_TRUE(persisted().snapshots[0].pinned);
}

TEST_F(RetentionTest, UnreadablePinsStopRetentionBeforeAnythingChanges) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  add_full(1);
  add_full(2);
  write(kPinsKey, "[1,\"2\"]");
  const Manifest before = manifest_;
  Result<std::vector<Snapshot>> removed = apply_retention(manifest_, storage_);
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::Serialization);
  EXPECT_THAT(removed.error().text(), HasSubstr("at line 1 column 4"));
  EXPECT_EQ(manifest_, before);
  EXPECT_EQ(stored(kManifestKey), std::nullopt);
}

TEST_F(RetentionTest, PersistFailureIsReturnedAndTheRemovalsStayInMemory) {
  manifest_.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0};
  add_full(1);
  add_full(2);
  // A directory where manifest.json belongs: the rename over it fails.
  std::filesystem::create_directories(scratch_.path() / kManifestKey / "blocker");
  Result<std::vector<Snapshot>> removed = apply_retention(manifest_, storage_);
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::Storage);
  EXPECT_THAT(removed.error().text(), HasSubstr("manifest.json"));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(2));
}

TEST_F(RetentionTest, RemoveSnapshotsReturnsListedOnesInManifestOrder) {
  const Uuid first = add_full(1).id;
  add_full(2);
  const Uuid third = add_delta(3, 1).id;
  const Uuid absent = Uuid::random_v4();
  const Uuid ids[] = {third, absent, first};
  EXPECT_THAT(steps_of(remove_snapshots(manifest_, ids)), ElementsAre(1, 3));
  EXPECT_THAT(steps_of(manifest_.snapshots), ElementsAre(2));
}

// ---- The pins file --------------------------------------------------------------------------

struct PinsAccepted {
  const char* name;
  const char* text;
  std::vector<std::uint64_t> steps;
};

class PinsReading : public RetentionTest, public ::testing::WithParamInterface<PinsAccepted> {};

TEST_P(PinsReading, AcceptsAnyArrayOfU64InFileOrder) {
  write(kPinsKey, GetParam().text);
  Result<std::optional<std::vector<std::uint64_t>>> pins = read_pins(storage_);
  ASSERT_TRUE(pins) << pins.error().message();
  EXPECT_THAT(*pins, Optional(GetParam().steps));
}

INSTANTIATE_TEST_SUITE_P(
    Retention, PinsReading,
    ::testing::Values(PinsAccepted{"Empty", "[]", {}}, PinsAccepted{"Compact", "[100,500]", {100, 500}},
                      PinsAccepted{"SpacedUnorderedDuplicated", "[ 500 , 100 , 100 ]", {500, 100, 100}},
                      PinsAccepted{"Multiline", "[\n  7,\n  0\n]\n", {7, 0}},
                      PinsAccepted{"LargestU64", "[18446744073709551615]", {kMaxU64}}),
    [](const auto& info) { return std::string(info.param.name); });

struct PinsRejected {
  const char* name;
  const char* text;
  const char* message;
};

class PinsRejection : public RetentionTest, public ::testing::WithParamInterface<PinsRejected> {};

TEST_P(PinsRejection, IsASerializationErrorNamingWhere) {
  write(kPinsKey, GetParam().text);
  Result<std::optional<std::vector<std::uint64_t>>> pins = read_pins(storage_);
  ASSERT_FALSE(pins);
  EXPECT_EQ(pins.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(pins.error().text(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Retention, PinsRejection,
    ::testing::Values(
        PinsRejected{"Object", "{\"steps\":[1]}", "invalid type: map, expected a sequence of u64 at line 1 column 1"},
        PinsRejected{"Negative", "[1,-2]", "invalid value: number `-2`, expected u64 at line 1 column 4"},
        PinsRejected{"Fraction", "[1.5]", "invalid value: number `1.5`, expected u64 at line 1 column 2"},
        PinsRejected{"TooLarge", "[18446744073709551616]",
                     "invalid value: number `18446744073709551616`, expected u64 at line 1 column 2"},
        PinsRejected{"String", "[\n\"1\"]", "invalid type: string \"1\", expected u64 at line 2 column 1"},
        PinsRejected{"Unclosed", "[1,", "expected a JSON value, found `` at line 1 column 4"},
        PinsRejected{"TrailingText", "[1] [2]", "trailing characters at line 1 column 5"},
        PinsRejected{"OnlyPadding", "", "EOF while parsing a value"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RetentionTest, MissingPinsFileIsNoPinList) {
  Result<std::optional<std::vector<std::uint64_t>>> pins = read_pins(storage_);
  ASSERT_TRUE(pins) << pins.error().message();
  EXPECT_EQ(*pins, std::nullopt);
}

TEST_F(RetentionTest, SyncPinsDerivesFinalizedFlagsFromTheFile) {
  add_full(100).pinned = true;
  add_full(200);
  add_full(300).pinned = true;
  add_full(400).finalized = false;  // keeps its own flag either way
  manifest_.snapshots.back().pinned = true;

  ASSERT_TRUE(sync_pins(storage_, manifest_.snapshots));  // no file: nothing changes
  EXPECT_TRUE(manifest_.snapshots[0].pinned);
  EXPECT_FALSE(manifest_.snapshots[1].pinned);

  write(kPinsKey, "[400,200,200]");
  ASSERT_TRUE(sync_pins(storage_, manifest_.snapshots));
  std::vector<bool> flags;
  for (const Snapshot& snapshot : manifest_.snapshots) flags.push_back(snapshot.pinned);
  EXPECT_THAT(flags, ElementsAre(false, true, false, true));
}

TEST(PinsText, IsCompactWithoutNewline) {
  EXPECT_EQ(pins_text({}), "[]");
  const std::uint64_t steps[] = {0, 100, 500, kMaxU64};
  EXPECT_EQ(pins_text(steps), "[0,100,500,18446744073709551615]");
}

// ---- Pin and unpin --------------------------------------------------------------------------

struct MissingStepCase {
  const char* name;
  const char* pins_before;  // nullptr: no file
};

class PinMissingStep : public RetentionTest, public ::testing::WithParamInterface<MissingStepCase> {};

TEST_P(PinMissingStep, ReturnsFalseAndWritesNothing) {
  add_full(100);
  add_full(200).finalized = false;  // still being written: not pinnable yet
  if (GetParam().pins_before) write(kPinsKey, GetParam().pins_before);
  const Manifest before = manifest_;
  for (const std::uint64_t step : {150, 200}) {
    EXPECT_THAT(set_pinned(manifest_, storage_, step, true), Optional(false)) << step;
    EXPECT_THAT(set_pinned(manifest_, storage_, step, false), Optional(false)) << step;
  }
  EXPECT_EQ(manifest_, before);
  EXPECT_EQ(stored(kPinsKey), GetParam().pins_before ? std::optional<std::string>(GetParam().pins_before)
                                                     : std::nullopt);
  EXPECT_EQ(stored(kManifestKey), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Retention, PinMissingStep,
                         ::testing::Values(MissingStepCase{"NoPinsFile", nullptr},
                                           MissingStepCase{"PinsFile", "[ 7 ]"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RetentionTest, UnpinWithoutPinsFileStartsFromTheManifestFlags) {
  add_full(100).pinned = true;
  add_full(200);
  ASSERT_THAT(set_pinned(manifest_, storage_, 200, false), Optional(true));
  EXPECT_EQ(stored(kPinsKey), "[100]");
  EXPECT_EQ(stored(kManifestKey), std::nullopt) << "no flag changed, so nothing to persist";
}

TEST_F(RetentionTest, PinRewritesAnyAcceptedFileInCompactForm) {
  add_full(100);
  add_full(200);
  write(kPinsKey, "[ 500 , 100 , 100 ]");
  ASSERT_THAT(set_pinned(manifest_, storage_, 200, true), Optional(true));
  EXPECT_EQ(stored(kPinsKey), "[100,200,500]");
  EXPECT_TRUE(manifest_.snapshots[1].pinned);
  EXPECT_EQ(persisted(), manifest_) << "the flag is persisted before the pins file is written";
}

TEST_F(RetentionTest, UnpinRemovesEveryOccurrenceOfTheStep) {
  add_full(100).pinned = true;
  write(kPinsKey, "[100,300,100]");
  ASSERT_THAT(set_pinned(manifest_, storage_, 100, false), Optional(true));
  EXPECT_EQ(stored(kPinsKey), "[300]");
  EXPECT_FALSE(persisted().snapshots[0].pinned);
}

TEST_F(RetentionTest, PinFlipsOnlyTheLastFinalizedSnapshotOfTheStep) {
  add_full(100);
  add_full(100);
  add_full(100).finalized = false;
  ASSERT_THAT(set_pinned(manifest_, storage_, 100, true), Optional(true));
  EXPECT_FALSE(manifest_.snapshots[0].pinned);
  EXPECT_TRUE(manifest_.snapshots[1].pinned);
  EXPECT_FALSE(manifest_.snapshots[2].pinned);
  EXPECT_EQ(stored(kPinsKey), "[100]");
}

TEST_F(RetentionTest, PinFailsOnAnUnreadablePinsFile) {
  add_full(100);
  write(kPinsKey, "[100");
  Result<bool> pinned = set_pinned(manifest_, storage_, 100, true);
  ASSERT_FALSE(pinned);
  EXPECT_EQ(pinned.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(stored(kPinsKey), "[100");
}

TEST_F(RetentionTest, PinnedStepsFollowTheFileWithoutPersisting) {
  add_full(300);
  add_full(100);
  add_full(300);
  add_full(200).finalized = false;
  manifest_.snapshots.back().pinned = true;  // unfinalized: never reported
  write(kPinsKey, "[300,100,200,999]");
  EXPECT_THAT(pinned_steps(manifest_, storage_), ElementsAre(100, 300));
  EXPECT_TRUE(manifest_.snapshots[0].pinned) << "refreshed flags stay in memory";
  EXPECT_EQ(stored(kManifestKey), std::nullopt);
}

TEST_F(RetentionTest, PinnedStepsReportTheFlagsWhenThePinsFileIsUnreadable) {
  add_full(100);
  add_full(200).pinned = true;
  write(kPinsKey, "not json");
  EXPECT_THAT(pinned_steps(manifest_, storage_), ElementsAre(200));
}

}  // namespace
}  // namespace tarnwick
