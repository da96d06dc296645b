#include "coordinator/coordinator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "coordinator/fault_storage.h"
#include "storage/storage.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::FaultStorage;

// float32 tensor of `count` values drawn from a seeded generator.
TensorData float_tensor(std::string name, std::size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  TensorData tensor{std::move(name), {count}, "float32", {}};
  tensor.data.resize(count * sizeof(float));
  for (std::size_t i = 0; i < count; ++i) {
    float v = dist(gen);
    std::memcpy(tensor.data.data() + i * sizeof(float), &v, sizeof(float));
  }
  return tensor;
}

// The same tensor with every value scaled by (1 + 1e-3), as one training step would nudge it.
TensorData perturbed(const TensorData& tensor) {
  TensorData copy = tensor;
  for (std::size_t i = 0; i + 4 <= copy.data.size(); i += 4) {
    float v;
    std::memcpy(&v, copy.data.data() + i, 4);
    v *= 1.001f;
    std::memcpy(copy.data.data() + i, &v, 4);
  }
  return copy;
}

class CoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("tarnwick-coord-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    storage_ = std::make_shared<FaultStorage>(std::make_shared<LocalStorage>(root_));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::unique_ptr<Coordinator> open(CoordinatorConfig config) {
    auto opened = Coordinator::open(storage_, std::move(config));
    EXPECT_TRUE(opened.has_value()) << opened.error().message();
    return std::move(*opened);
  }
  static CoordinatorConfig sync_config() {
    CoordinatorConfig config;
    config.async_save = false;
    return config;
  }
  Uuid save(Coordinator& coordinator, std::uint64_t step, std::vector<TensorData> tensors) {
    Uuid id = Uuid::random_v4();
    auto saved = coordinator.save(id, step, std::move(tensors), {{"step", std::to_string(step)}});
    EXPECT_TRUE(saved.has_value()) << saved.error().message();
    return id;
  }
  static void expect_same(const LoadedTensors& loaded, const std::vector<TensorData>& expected) {
    ASSERT_EQ(loaded.size(), expected.size());
    for (const auto& tensor : expected) {
      auto it = std::find_if(loaded.begin(), loaded.end(), [&](const auto& l) { return l.first == tensor.name; });
      ASSERT_NE(it, loaded.end()) << tensor.name;
      EXPECT_TRUE(it->second == tensor.data) << tensor.name << " differs";
    }
  }
  const TensorDescription& described(const SnapshotDescription& description, std::string_view name) {
    auto it = std::find_if(description.tensors.begin(), description.tensors.end(),
                           [&](const auto& t) { return t.name == name; });
    EXPECT_NE(it, description.tensors.end()) << name;
    return *it;
  }

  fs::path root_;
  std::shared_ptr<FaultStorage> storage_;
};

TEST_F(CoordinatorTest, FirstSaveIsFullWithAliasesAndLoadsBack) {
  auto coordinator = open(sync_config());
  EXPECT_FALSE(fs::exists(root_ / "manifest.json")) << "opening writes nothing";
  TensorData weight = float_tensor("model/w", 4096, 1);
  TensorData tied = weight;
  tied.name = "model/tied";
  TensorData small = float_tensor("model/b", 16, 2);
  std::vector<TensorData> state{weight, tied, small};
  Uuid id = save(*coordinator, 10, state);

  EXPECT_TRUE(fs::exists(root_ / "manifest.json"));
  auto infos = coordinator->list_snapshots();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].id, id);
  EXPECT_FALSE(infos[0].is_delta);
  EXPECT_EQ(infos[0].full_tensors, 2u);
  EXPECT_EQ(infos[0].skipped_tensors, 1u);
  EXPECT_EQ(infos[0].delta_tensors, 0u);
  EXPECT_EQ(infos[0].metadata.at("step"), "10");

  auto description = coordinator->describe(id);
  ASSERT_TRUE(description.has_value());
  EXPECT_EQ(described(*description, "model/tied").storage, TensorStorage::Alias);
  EXPECT_EQ(described(*description, "model/tied").alias_of, "model/w");

  auto loaded = coordinator->load(id);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  expect_same(*loaded, state);

  auto partial = coordinator->load_tensors(id, std::vector<std::string>{"model/tied"});
  ASSERT_TRUE(partial.has_value()) << partial.error().message();
  ASSERT_EQ(partial->size(), 1u);
  EXPECT_TRUE((*partial)[0].second == weight.data);
}

class DeltaSaves : public CoordinatorTest, public ::testing::WithParamInterface<bool> {};

// The second save of a changed state is a delta against the first: unchanged tensors are
// skipped, nudged ones stored as XOR deltas, and both read back bit-exact. With the base kept in
// memory the delta save reads nothing of the base pack.
TEST_P(DeltaSaves, SkipAndDeltaAgainstTheBase) {
  bool keep_base = GetParam();
  CoordinatorConfig config = sync_config();
  config.keep_base_in_memory = keep_base;
  auto coordinator = open(config);
  std::vector<TensorData> first{float_tensor("a", 1 << 16, 1), float_tensor("b", 1 << 16, 2),
                                float_tensor("c", 100, 3)};
  Uuid base_id = save(*coordinator, 1, first);
  std::vector<TensorData> second{first[0], perturbed(first[1]), first[2]};
  std::uint64_t base_reads_before = storage_->reads_of(base_id.to_string());
  Uuid delta_id = save(*coordinator, 2, second);
  std::uint64_t base_reads = storage_->reads_of(base_id.to_string()) - base_reads_before;
  if (keep_base) {
    EXPECT_EQ(base_reads, 0u) << "the retained base answers every delta";
  } else {
    EXPECT_GT(base_reads, 0u) << "without the retained base the pack is read";
  }

  auto description = coordinator->describe(delta_id);
  ASSERT_TRUE(description.has_value());
  EXPECT_EQ(description->base_snapshot_id, base_id);
  EXPECT_EQ(described(*description, "a").storage, TensorStorage::Skipped);
  EXPECT_EQ(described(*description, "b").storage, TensorStorage::DeltaXor);
  EXPECT_EQ(described(*description, "c").storage, TensorStorage::Skipped);

  auto loaded = coordinator->load(delta_id);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  expect_same(*loaded, second);
  auto picked = coordinator->load_tensors(delta_id, std::vector<std::string>{"b"});
  ASSERT_TRUE(picked.has_value()) << picked.error().message();
  EXPECT_TRUE((*picked)[0].second == second[1].data);
}

INSTANTIATE_TEST_SUITE_P(BaseInMemory, DeltaSaves, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "retained" : "from_storage"; });

Snapshot finalized_snapshot(std::uint64_t step, std::optional<Uuid> base = std::nullopt) {
  Snapshot snapshot;
  snapshot.id = Uuid::random_v4();
  snapshot.step = step;
  snapshot.base_snapshot_id = base;
  snapshot.finalized = true;
  return snapshot;
}

struct BaseChoiceCase {
  const char* name;
  RetentionPolicy retention;
  std::vector<int> layout;  // steps; negative = a delta on the last full at that step
  std::uint64_t step;
  bool doomed;
  bool expects_base;
};

class BaseChoice : public ::testing::TestWithParam<BaseChoiceCase> {};

TEST_P(BaseChoice, FollowsTheRetentionPolicy) {
  const auto& c = GetParam();
  Manifest manifest;
  manifest.retention = c.retention;
  std::optional<Uuid> last_full;
  for (int step : c.layout) {
    if (step >= 0) {
      manifest.snapshots.push_back(finalized_snapshot(static_cast<std::uint64_t>(step)));
      last_full = manifest.snapshots.back().id;
    } else {
      manifest.snapshots.push_back(finalized_snapshot(static_cast<std::uint64_t>(-step), last_full));
    }
  }
  auto inflight = InFlight::create();
  auto claim = c.doomed ? inflight->claim({*last_full}) : std::nullopt;
  const Snapshot* base = choose_base(manifest, c.step, *inflight);
  EXPECT_EQ(base != nullptr, c.expects_base);
  if (base) EXPECT_EQ(base->id, *last_full);
}

constexpr RetentionPolicy kPolicy{.max_full_snapshots = 5, .max_deltas_per_full = 2, .full_snapshot_every_steps = 100};

INSTANTIATE_TEST_SUITE_P(
    Rules, BaseChoice,
    ::testing::Values(
        BaseChoiceCase{"empty_store_is_full", kPolicy, {}, 1, false, false},
        BaseChoiceCase{"delta_on_last_full", kPolicy, {0}, 99, false, true},
        BaseChoiceCase{"gap_reaches_full_every", kPolicy, {0}, 100, false, false},
        BaseChoiceCase{"lower_step_counts_as_gap_zero", kPolicy, {50}, 10, false, true},
        BaseChoiceCase{"too_many_trailing_deltas", kPolicy, {0, -1, -2}, 3, false, false},
        BaseChoiceCase{"one_trailing_delta_allowed", kPolicy, {0, -1}, 2, false, true},
        BaseChoiceCase{"capacity_one_is_always_full",
                       {.max_full_snapshots = 1, .max_deltas_per_full = 0, .full_snapshot_every_steps = 100},
                       {0},
                       1,
                       false,
                       false},
        BaseChoiceCase{"total_cap_one_is_always_full",
                       {.max_full_snapshots = 5, .max_deltas_per_full = 5, .full_snapshot_every_steps = 100,
                        .max_total_snapshots = 1},
                       {0},
                       1,
                       false,
                       false},
        BaseChoiceCase{"doomed_candidate_is_not_a_base", kPolicy, {0}, 1, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CoordinatorTest, CorruptedPackFailsIntegrity) {
  auto coordinator = open(sync_config());
  Uuid id = save(*coordinator, 1, {float_tensor("w", 1 << 14, 7)});
  fs::path pack = root_ / "snapshots" / id.to_string() / "rank_0.pack";
  {
    std::fstream file(pack, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(40);
    char byte = 0;
    file.read(&byte, 1);
    file.seekp(40);
    byte = static_cast<char>(byte ^ 0x5a);
    file.write(&byte, 1);
  }
  auto loaded = coordinator->load(id);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().kind(), ErrorKind::Integrity) << loaded.error().message();
}

// A tensor that fails to encode after others were already streamed into the pack leaves no pack
// and no snapshot behind.
TEST_F(CoordinatorTest, FailedEncodingLeavesNoPack) {
  CoordinatorConfig config = sync_config();
  std::pair<std::string, std::string> rule{"*", "bf16"};
  config.save_dtype = DTypePolicy::from_rules(std::span(&rule, 1)).value();
  auto coordinator = open(config);
  TensorData broken{"z_broken", {3}, "float32", {}};
  broken.data.assign(6, std::byte{1});  // not a whole number of float32 values
  Uuid id = Uuid::random_v4();
  auto saved = coordinator->save(id, 1, {float_tensor("a", 1 << 16, 1), float_tensor("b", 1 << 16, 2), broken}, {});
  ASSERT_FALSE(saved.has_value());
  EXPECT_EQ(saved.error().kind(), ErrorKind::InvalidConfig) << saved.error().message();
  EXPECT_TRUE(coordinator->list_snapshots().empty());
  auto left = storage_->list("snapshots");
  ASSERT_TRUE(left.has_value());
  EXPECT_TRUE(left->empty()) << "found " << left->front();
}

TEST_F(CoordinatorTest, UnmatchedNarrowingPatternsAreNamedOnceOnTheFirstSave) {
  CoordinatorConfig config = sync_config();
  std::vector<std::pair<std::string, std::string>> rules{{"optim/*", "bf16"}, {"model/*", "none"}, {"ema/*", "fp16"}};
  config.save_dtype = DTypePolicy::from_rules(rules).value();
  auto coordinator = open(config);
  ::testing::internal::CaptureStderr();
  save(*coordinator, 1, {float_tensor("model/w", 16, 1), float_tensor("model/b", 4, 2)});
  std::string first = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(first,
            "[Tarnwick] save_dtype pattern(s) optim/*, ema/* matched none of this rank's 2 tensors, so they cast "
            "nothing. Patterns are globs over the full tensor name (e.g. 'model/w'); '*' matches any run of "
            "characters.\n");
  ::testing::internal::CaptureStderr();
  save(*coordinator, 2, {float_tensor("model/w", 16, 3)});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "checked once per coordinator";
}

TEST_F(CoordinatorTest, LookupFailuresNameWhatIsMissing) {
  auto coordinator = open(sync_config());
  Uuid missing = Uuid::random_v4();
  auto loaded = coordinator->load(missing);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().message(), "Checkpoint not found: Snapshot " + missing.to_string());
  auto latest = coordinator->load_latest();
  ASSERT_FALSE(latest.has_value());
  EXPECT_EQ(latest.error().message(), "Checkpoint not found: No finalized snapshots");

  Uuid id = save(*coordinator, 1, {float_tensor("w", 8, 1)});
  auto picked = coordinator->load_tensors(id, std::vector<std::string>{"nope"});
  ASSERT_FALSE(picked.has_value());
  EXPECT_EQ(picked.error().message(), "Checkpoint not found: Tensor 'nope' not in snapshot " + id.to_string());
}

TEST_F(CoordinatorTest, ConcurrentSavesAndLoadsFromSeveralThreads) {
  auto coordinator = open(sync_config());
  constexpr int kThreads = 4;
  constexpr int kSavesPerThread = 3;
  std::vector<std::thread> threads;
  std::mutex mutex;
  std::vector<std::pair<Uuid, std::vector<TensorData>>> saved;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int s = 0; s < kSavesPerThread; ++s) {
        std::vector<TensorData> state{float_tensor("shared", 1 << 12, 100 + s),
                                      float_tensor("own", 1 << 12, static_cast<unsigned>(t * 10 + s))};
        Uuid id = Uuid::random_v4();
        if (!coordinator->save(id, static_cast<std::uint64_t>(t * 100 + s), state, {})) ++failures;
        auto loaded = coordinator->load(id);
        if (!loaded) {
          ++failures;
          continue;
        }
        std::lock_guard lock(mutex);
        saved.emplace_back(id, std::move(state));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // Every snapshot still listed after retention loads back exactly what was saved.
  auto listed = coordinator->list_snapshots();
  EXPECT_FALSE(listed.empty());
  for (const auto& info : listed) {
    auto it = std::find_if(saved.begin(), saved.end(), [&](const auto& s) { return s.first == info.id; });
    ASSERT_NE(it, saved.end());
    auto loaded = coordinator->load(info.id);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
    expect_same(*loaded, it->second);
  }
}

TEST_F(CoordinatorTest, BackgroundFailureIsReportedOnceThenSavesResume) {
  auto coordinator = open(CoordinatorConfig{});
  storage_->set_fault([](std::string_view op, std::string_view key) -> std::optional<TarnwickError> {
    if (op == "put_parts" && key.ends_with(".pack")) return TarnwickError::io("disk on fire");
    return std::nullopt;
  });
  Uuid lost = Uuid::random_v4();
  ASSERT_TRUE(coordinator->save(lost, 1, {float_tensor("w", 64, 1)}, {}).has_value()) << "queued";
  coordinator->wait_idle();
  auto described = coordinator->describe(lost);
  EXPECT_FALSE(described.has_value()) << "the failed save never became a snapshot";

  auto flushed = coordinator->flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().message(), "Storage backend error: Background save failed: IO error: disk on fire");
  EXPECT_TRUE(coordinator->flush().has_value()) << "reported once";

  storage_->set_fault(nullptr);
  Uuid kept = Uuid::random_v4();
  ASSERT_TRUE(coordinator->save(kept, 2, {float_tensor("w", 64, 2)}, {}).has_value());
  auto loaded = coordinator->load(kept);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_EQ(coordinator->list_snapshots().size(), 1u);
}

TEST_F(CoordinatorTest, NextSaveReportsTheBackgroundFailureAndIsNotQueued) {
  auto coordinator = open(CoordinatorConfig{});
  storage_->set_fault([](std::string_view op, std::string_view) -> std::optional<TarnwickError> {
    if (op == "put_parts") return TarnwickError::io("read-only");
    return std::nullopt;
  });
  ASSERT_TRUE(coordinator->save(Uuid::random_v4(), 1, {float_tensor("w", 64, 1)}, {}).has_value());
  coordinator->wait_idle();
  storage_->set_fault(nullptr);
  auto second = coordinator->save(Uuid::random_v4(), 2, {float_tensor("w", 64, 2)}, {});
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().message(), "Storage backend error: Background save failed: IO error: read-only");
  EXPECT_TRUE(coordinator->flush().has_value());
  EXPECT_TRUE(coordinator->list_snapshots().empty()) << "neither save exists";
}

// A save whose pack was written but whose manifest could not be persisted is not listed, and
// its failure surfaces exactly once.
TEST_F(CoordinatorTest, UnpersistedSnapshotIsNeverListed) {
  auto coordinator = open(CoordinatorConfig{});
  Uuid first = save(*coordinator, 1, {float_tensor("w", 64, 1)});
  ASSERT_TRUE(coordinator->flush().has_value());
  storage_->set_fault([](std::string_view op, std::string_view key) -> std::optional<TarnwickError> {
    if (op == "put_parts" && key == "manifest.json") return TarnwickError::io("quota exceeded");
    return std::nullopt;
  });
  Uuid second = save(*coordinator, 2, {float_tensor("w", 64, 2)});
  auto flushed = coordinator->flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().message(), "Storage backend error: Background save failed: IO error: quota exceeded");
  auto listed = coordinator->list_snapshots();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].id, first);
  EXPECT_FALSE(coordinator->describe(second).has_value());
  EXPECT_TRUE(coordinator->flush().has_value());
}

TEST_F(CoordinatorTest, PinWaitsForTheQueuedSave) {
  auto coordinator = open(CoordinatorConfig{});
  save(*coordinator, 100, {float_tensor("w", 1 << 16, 1)});
  auto pinned = coordinator->pin(100);
  ASSERT_TRUE(pinned.has_value()) << pinned.error().message();
  EXPECT_TRUE(*pinned);
  EXPECT_EQ(coordinator->pinned_steps(), std::vector<std::uint64_t>{100});
}

TEST_F(CoordinatorTest, NewestSnapshotSurvivesTheFullCapWithAPinnedOlderOne) {
  CoordinatorConfig config = sync_config();
  config.retention = {.max_full_snapshots = 1, .max_deltas_per_full = 0, .full_snapshot_every_steps = 100};
  auto coordinator = open(config);
  save(*coordinator, 1, {float_tensor("w", 64, 1)});
  ASSERT_TRUE(coordinator->pin(1).value());
  Uuid newest = save(*coordinator, 2, {float_tensor("w", 64, 2)});
  auto loaded = coordinator->load(newest);
  EXPECT_TRUE(loaded.has_value()) << "the id just returned must still load";
  auto latest = coordinator->load_latest();
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->first, newest);
}

TEST_F(CoordinatorTest, ReopenedStoreKeepsItsSnapshotsAndPolicy) {
  Uuid id;
  std::vector<TensorData> state{float_tensor("w", 1 << 12, 3)};
  {
    CoordinatorConfig config = sync_config();
    config.retention.max_full_snapshots = 7;
    auto coordinator = open(config);
    id = save(*coordinator, 5, state);
  }
  auto reopened = open(sync_config());
  auto latest = reopened->load_latest();
  ASSERT_TRUE(latest.has_value()) << latest.error().message();
  EXPECT_EQ(latest->first, id);
  expect_same(latest->second, state);
  save(*reopened, 6, state);
  auto manifest = read_manifest(storage_->get("manifest.json").value());
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->retention.max_full_snapshots, 7u) << "the stored policy wins over the new configuration";
}

}  // namespace
}  // namespace tarnwick
