#include "coordinator/inflight.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- Pins and claims ------------------------------------------------------------------------

class InFlightTest : public ::testing::Test {
 protected:
  std::shared_ptr<InFlight> inflight_ = InFlight::create();
  const Uuid delta_ = Uuid::random_v4();
  const Uuid base_ = Uuid::random_v4();
  const Uuid other_ = Uuid::random_v4();
};

TEST_F(InFlightTest, PinsAreCountedPerIdAndReleasedOnceEach) {
  std::optional<PinGuard> first = inflight_->pin({delta_});
  std::optional<PinGuard> second = inflight_->pin({delta_});
  EXPECT_EQ(inflight_->readers_of(delta_), 2u);

  first.reset();
  EXPECT_EQ(inflight_->readers_of(delta_), 1u);
  EXPECT_FALSE(inflight_->claim({delta_})) << "still pinned by the second load";

  second.reset();
  EXPECT_EQ(inflight_->readers_of(delta_), 0u);
  EXPECT_TRUE(inflight_->claim({delta_}));
}

TEST_F(InFlightTest, DuplicateIdsInOnePinCountTwiceAndReleaseTogether) {
  {
    PinGuard guard = inflight_->pin({base_, base_});
    EXPECT_EQ(inflight_->readers_of(base_), 2u);
  }
  EXPECT_EQ(inflight_->readers_of(base_), 0u);
}

TEST_F(InFlightTest, ClaimIsRefusedWhilePinnedAndAllowedForOtherIds) {
  std::optional<PinGuard> load = inflight_->pin({delta_, base_});  // a load of a delta pins its base too
  EXPECT_FALSE(inflight_->claim({delta_}));
  EXPECT_FALSE(inflight_->claim({base_}));
  EXPECT_FALSE(inflight_->claim({other_, base_}));
  EXPECT_FALSE(inflight_->is_doomed(other_)) << "a refused claim marks nothing";

  std::optional<ClaimGuard> claim = inflight_->claim({other_});
  ASSERT_TRUE(claim);
  EXPECT_TRUE(inflight_->is_doomed(other_));

  load.reset();
  EXPECT_TRUE(inflight_->claim({delta_, base_}));
}

TEST_F(InFlightTest, ReleasedClaimIsNoLongerDoomed) {
  std::optional<ClaimGuard> claim = inflight_->claim({base_, delta_});
  ASSERT_TRUE(claim);
  EXPECT_TRUE(inflight_->is_doomed(base_));
  EXPECT_TRUE(inflight_->is_doomed(delta_));
  EXPECT_FALSE(inflight_->is_doomed(other_));
  claim.reset();
  EXPECT_FALSE(inflight_->is_doomed(base_));
  EXPECT_FALSE(inflight_->is_doomed(delta_));
}

TEST_F(InFlightTest, PinningADoomedSnapshotSucceeds) {
  std::optional<ClaimGuard> claim = inflight_->claim({base_});
  ASSERT_TRUE(claim);
  PinGuard pin = inflight_->pin({base_});
  EXPECT_EQ(inflight_->readers_of(base_), 1u);
  EXPECT_TRUE(inflight_->is_doomed(base_));
}

TEST_F(InFlightTest, MovedPinGuardReleasesOnlyOnce) {
  PinGuard held = inflight_->pin({base_});
  PinGuard replaced = inflight_->pin({other_});
  replaced = std::move(held);  // drops the pin on other_, takes over the pin on base_
  EXPECT_EQ(inflight_->readers_of(other_), 0u);
  EXPECT_EQ(inflight_->readers_of(base_), 1u);
  {
    PinGuard moved(std::move(replaced));
    EXPECT_EQ(inflight_->readers_of(base_), 1u);
  }
  EXPECT_EQ(inflight_->readers_of(base_), 0u);
}

// ---- Unlinking ------------------------------------------------------------------------------

// A store with snapshots whose pack files exist on disk.
class UnlinkTest : public ::testing::Test {
 protected:
  // A snapshot with one pack per listed rank, each written at its pack key.
  Snapshot stored_snapshot(std::vector<std::uint32_t> ranks) {
    Snapshot snapshot;
    snapshot.id = Uuid::random_v4();
    snapshot.finalized = true;
    for (const std::uint32_t rank : ranks) {
      RankEntry entry;
      entry.rank = rank;
      entry.pack_file = rank_pack_key(snapshot.id, rank);
      write(*entry.pack_file);
      snapshot.ranks.emplace(rank, std::move(entry));
    }
    return snapshot;
  }

  void write(const std::string& key) { ASSERT_TRUE(storage_.put(key, as_bytes("pack bytes"))); }
  bool exists(const std::string& key) const { return fs::exists(scratch_.path() / key); }
  bool exists(const Snapshot& snapshot) const { return exists(snapshot_prefix(snapshot.id)); }

  // Runs unlink_snapshots and returns what it printed.
  std::string unlink(std::span<const Snapshot> snapshots, std::chrono::seconds wait) {
    ::testing::internal::CaptureStderr();
    unlink_snapshots(storage_, pending_, *inflight_, snapshots, wait);
    return ::testing::internal::GetCapturedStderr();
  }

  testing::ScratchDir scratch_;
  LocalStorage storage_{scratch_.path()};
  PendingDeletes pending_{true};
  std::shared_ptr<InFlight> inflight_ = InFlight::create();
};

TEST_F(UnlinkTest, DeletesPacksAndDirectoriesAndQueuesEachKeyOnce) {
  const Snapshot snapshots[] = {stored_snapshot({0, 1}), stored_snapshot({0})};
  EXPECT_EQ(unlink(snapshots, 30s), "");
  for (const Snapshot& snapshot : snapshots) EXPECT_FALSE(exists(snapshot)) << snapshot.id.to_string();
  EXPECT_THAT(pending_.take_all(), ElementsAre(rank_pack_key(snapshots[0].id, 0), rank_pack_key(snapshots[0].id, 1),
                                               rank_pack_key(snapshots[1].id, 0)));
  EXPECT_THAT(pending_.take_all(), IsEmpty()) << "taking the keys empties the queue";
}

TEST_F(UnlinkTest, DeletesTensorFilesNamedByTheirEntries) {
  Snapshot snapshot = stored_snapshot({0});
  TensorEntry tensor;
  tensor.name = "weight";
  tensor.filename = snapshot_prefix(snapshot.id) + "/weight.bin";
  write(*tensor.filename);
  snapshot.ranks.at(0).tensors.push_back(tensor);

  EXPECT_EQ(unlink(std::span(&snapshot, 1), 30s), "");
  EXPECT_FALSE(exists(snapshot));
  EXPECT_THAT(pending_.take_all(), ElementsAre(rank_pack_key(snapshot.id, 0), *tensor.filename));
}

TEST_F(UnlinkTest, WithoutRemoteTheKeysAreDropped) {
  PendingDeletes disabled(false);
  const Snapshot snapshot = stored_snapshot({0, 1});
  unlink_snapshots(storage_, disabled, *inflight_, std::span(&snapshot, 1), 30s);
  EXPECT_FALSE(exists(snapshot));
  EXPECT_THAT(disabled.take_all(), IsEmpty());
}

TEST_F(UnlinkTest, EmptyListReturnsAtOncePrintingNothing) {
  const Snapshot pinned = stored_snapshot({0});
  PinGuard pin = inflight_->pin({pinned.id});
  EXPECT_EQ(unlink({}, 3600s), "");
  EXPECT_TRUE(exists(pinned));
  EXPECT_THAT(pending_.take_all(), IsEmpty());
}

TEST_F(UnlinkTest, StrayFileKeepsTheSnapshotDirectory) {
  const Snapshot snapshot = stored_snapshot({0});
  const std::string stray = snapshot_prefix(snapshot.id) + "/.rank_1.pack.tmp";
  write(stray);
  EXPECT_EQ(unlink(std::span(&snapshot, 1), 30s), "");
  EXPECT_FALSE(exists(*snapshot.ranks.at(0).pack_file));
  EXPECT_TRUE(exists(stray));
  EXPECT_THAT(pending_.take_all(), ElementsAre(*snapshot.ranks.at(0).pack_file));
}

TEST_F(UnlinkTest, KeyTheStoreRefusesIsSkippedAndTheRestDeleted) {
  Snapshot snapshot = stored_snapshot({1});
  RankEntry hostile;
  hostile.pack_file = "../outside.pack";
  snapshot.ranks.emplace(0, hostile);
  EXPECT_EQ(unlink(std::span(&snapshot, 1), 30s), "");
  EXPECT_FALSE(exists(snapshot));
}

struct StillReadCase {
  const char* name;
  std::size_t snapshots;
  std::size_t pinned;
  const char* warning;
};

class StillRead : public UnlinkTest, public ::testing::WithParamInterface<StillReadCase> {};

TEST_P(StillRead, WarnsAndLeavesEveryFileWhenTheWaitRunsOut) {
  std::vector<Snapshot> snapshots;
  for (std::size_t i = 0; i < GetParam().snapshots; ++i) snapshots.push_back(stored_snapshot({0}));
  std::vector<Uuid> pinned_ids;
  for (std::size_t i = 0; i < GetParam().pinned; ++i) pinned_ids.push_back(snapshots[i].id);
  PinGuard load = inflight_->pin(pinned_ids);

  EXPECT_EQ(unlink(snapshots, 1s), GetParam().warning);
  for (const Snapshot& snapshot : snapshots) EXPECT_TRUE(exists(*snapshot.ranks.at(0).pack_file));
  EXPECT_THAT(pending_.take_all(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Unlink, StillRead,
    ::testing::Values(StillReadCase{"OnePinned", 1, 1,
                                    "[Tarnwick] 1 dropped snapshot(s) are still being read after 1s; leaving their "
                                    "files rather than unlinking under the reader\n"},
                      StillReadCase{"OneOfTwoPinned", 2, 1,
                                    "[Tarnwick] 2 dropped snapshot(s) are still being read after 1s; leaving their "
                                    "files rather than unlinking under the reader\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs unlink_snapshots on its own thread with a deadline far beyond the test's own pace, so
// that finishing at all before the deadline shows that a pin release woke it.
class BackgroundUnlink {
 public:
  static constexpr std::chrono::seconds kDeadline = 120s;

  BackgroundUnlink(const StorageBackend& storage, PendingDeletes& pending, InFlight& inflight,
                   std::vector<Snapshot> snapshots)
      : snapshots_(std::move(snapshots)), thread_([this, &storage, &pending, &inflight] {
          unlink_snapshots(storage, pending, inflight, snapshots_, kDeadline);
          done_ = true;
        }) {}
  ~BackgroundUnlink() {
    if (thread_.joinable()) thread_.join();
  }

  bool done() const { return done_; }
  // Waits for the deleter; returns how long it ran.
  std::chrono::steady_clock::duration join() {
    thread_.join();
    return std::chrono::steady_clock::now() - start_;
  }

 private:
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<Snapshot> snapshots_;
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

TEST_F(UnlinkTest, WaitingDeleterProceedsAsSoonAsTheLastPinIsReleased) {
  const Snapshot delta = stored_snapshot({0});
  const Snapshot base = stored_snapshot({0});
  std::optional<PinGuard> delta_reader = inflight_->pin({delta.id});
  std::optional<PinGuard> base_reader = inflight_->pin({base.id});

  BackgroundUnlink deleter(storage_, pending_, *inflight_, {delta, base});
  // Time for a deleter that ignored the pins to delete; a slow start only makes this pass.
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(deleter.done());
  EXPECT_TRUE(exists(delta));

  base_reader.reset();  // wakes the deleter, which finds the delta still read
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(deleter.done());
  EXPECT_TRUE(exists(delta));
  EXPECT_TRUE(exists(base));

  delta_reader.reset();
  EXPECT_LT(deleter.join(), BackgroundUnlink::kDeadline / 2);
  EXPECT_FALSE(exists(delta));
  EXPECT_FALSE(exists(base));
}

TEST_F(UnlinkTest, DeleterHoldingAClaimWaitsForAPinTakenAfterIt) {
  const Snapshot doomed = stored_snapshot({0});
  std::optional<ClaimGuard> claim = inflight_->claim({doomed.id});
  ASSERT_TRUE(claim);
  std::optional<PinGuard> late_reader = inflight_->pin({doomed.id});

  BackgroundUnlink deleter(storage_, pending_, *inflight_, {doomed});
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(deleter.done());
  EXPECT_TRUE(exists(doomed));

  late_reader.reset();
  EXPECT_LT(deleter.join(), BackgroundUnlink::kDeadline / 2);
  EXPECT_FALSE(exists(doomed));
}

}  // namespace
}  // namespace tarnwick
