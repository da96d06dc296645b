// Behaviour that every StorageBackend shares, checked once against each backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "storage/scratch_dir.h"
#include "storage/storage.h"

namespace tarnwick {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

struct Backend {
  std::string name;
  // Opens an empty store; `scratch` is a fresh directory the backend may use.
  std::function<StorageHandle(const std::filesystem::path& scratch)> open;
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

std::vector<Backend> all_backends() {
  return {
      {"Local", [](const std::filesystem::path& scratch) { return std::make_shared<LocalStorage>(scratch / "store"); }},
  };
}

// Whether `stored` is `payload` followed by nothing but zero bytes (the local backend pads
// objects, the others store them as they are).
::testing::AssertionResult holds_payload(const Result<Bytes>& stored, std::string_view payload) {
  if (!stored) return ::testing::AssertionFailure() << stored.error().message();
  const std::string_view text = as_text(*stored);
  if (!text.starts_with(payload)) {
    return ::testing::AssertionFailure() << "stored bytes do not start with the payload";
  }
  if (std::any_of(text.begin() + static_cast<std::ptrdiff_t>(payload.size()), text.end(),
                  [](char c) { return c != '\0'; })) {
    return ::testing::AssertionFailure() << "non-zero bytes follow the payload";
  }
  return ::testing::AssertionSuccess();
}

template <class T>
std::optional<TarnwickError> error_of(const Result<T>& result) {
  if (result) return std::nullopt;
  return result.error();
}

// Opens the backend of the test's parameter on a fresh scratch directory.
class OpenStore {
 public:
  explicit OpenStore(const Backend& backend) : store_(backend.open(scratch_.path())) {}
  const StorageBackend& operator*() const { return *store_; }
  const StorageBackend* operator->() const { return store_.get(); }

 private:
  testing::ScratchDir scratch_;
  StorageHandle store_;
};

class StorageConformance : public ::testing::TestWithParam<Backend> {
 protected:
  OpenStore store_{GetParam()};
};

TEST_P(StorageConformance, PutThenGetReturnsThePayload) {
  ASSERT_TRUE(store_->put("manifest.json", as_bytes("{\"snapshots\":[]}")));
  EXPECT_TRUE(holds_payload(store_->get("manifest.json"), "{\"snapshots\":[]}"));
}

TEST_P(StorageConformance, PutPartsWritesThePartsBackToBack) {
  const ByteView parts[] = {as_bytes("head"), as_bytes(""), as_bytes("-body-"), as_bytes("tail")};
  ASSERT_TRUE(store_->put_parts("snapshots/a/rank_0.pack", parts));
  EXPECT_TRUE(holds_payload(store_->get("snapshots/a/rank_0.pack"), "head-body-tail"));
}

TEST_P(StorageConformance, OverwriteReplacesTheWholeObject) {
  ASSERT_TRUE(store_->put("pins.json", as_bytes("a much longer first version of the document")));
  ASSERT_TRUE(store_->put("pins.json", as_bytes("short")));
  EXPECT_TRUE(holds_payload(store_->get("pins.json"), "short"));
}

TEST_P(StorageConformance, StreamedObjectAppearsWholeOnlyOnCommit) {
  auto writer = store_->open_writer("snapshots/s/rank_0.pack");
  ASSERT_TRUE(writer.has_value()) << writer.error().message();
  ByteView first[] = {as_bytes("HEAD"), as_bytes("body-")};
  ASSERT_TRUE((*writer)->append(first));
  ByteView second[] = {as_bytes("tail")};
  ASSERT_TRUE((*writer)->append(second));
  ASSERT_TRUE((*writer)->overwrite(0, as_bytes("head")));
  EXPECT_FALSE(store_->exists("snapshots/s/rank_0.pack").value()) << "nothing is visible before commit";
  EXPECT_FALSE((*writer)->overwrite(10, as_bytes("past the end")));
  ASSERT_TRUE((*writer)->commit());
  EXPECT_TRUE(holds_payload(store_->get("snapshots/s/rank_0.pack"), "headbody-tail"));
}

TEST_P(StorageConformance, AbandonedWriterLeavesNoObject) {
  {
    auto writer = store_->open_writer("snapshots/s/rank_1.pack");
    ASSERT_TRUE(writer.has_value());
    ByteView parts[] = {as_bytes("never committed")};
    ASSERT_TRUE((*writer)->append(parts));
  }
  EXPECT_FALSE(store_->exists("snapshots/s/rank_1.pack").value());
  auto listed = store_->list("snapshots");
  ASSERT_TRUE(listed.has_value());
  EXPECT_TRUE(listed->empty()) << "no temporary file is left behind";
}

TEST_P(StorageConformance, MissingObjectIsCheckpointNotFoundNamingTheKey) {
  const std::string key = "snapshots/none/rank_0.pack";
  const auto whole = store_->get(key);
  const auto range = store_->get_range(key, 0, 16);
  ASSERT_FALSE(whole);
  ASSERT_FALSE(range);
  EXPECT_EQ(whole.error().message(), "Checkpoint not found: " + key);
  EXPECT_EQ(range.error(), whole.error());
}

TEST_P(StorageConformance, ExistsFollowsPutAndDelete) {
  EXPECT_FALSE(store_->exists("snapshots/a/rank_0.pack").value());
  ASSERT_TRUE(store_->put("snapshots/a/rank_0.pack", as_bytes("x")));
  EXPECT_TRUE(store_->exists("snapshots/a/rank_0.pack").value());
  ASSERT_TRUE(store_->delete_object("snapshots/a/rank_0.pack"));
  EXPECT_FALSE(store_->exists("snapshots/a/rank_0.pack").value());
  EXPECT_EQ(store_->get("snapshots/a/rank_0.pack").error().kind(), ErrorKind::CheckpointNotFound);
}

TEST_P(StorageConformance, DeletingAMissingObjectSucceeds) {
  EXPECT_TRUE(store_->delete_object("snapshots/never/rank_0.pack"));
}

TEST_P(StorageConformance, ListGivesKeysRelativeToTheRoot) {
  for (const char* key : {"manifest.json", "snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack",
                          "snapshots/b/rank_0.pack"}) {
    ASSERT_TRUE(store_->put(key, as_bytes(key)));
  }
  EXPECT_THAT(store_->list("snapshots/a").value(),
              UnorderedElementsAre("snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack"));
  EXPECT_THAT(store_->list("").value(),
              UnorderedElementsAre("manifest.json", "snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack",
                                   "snapshots/b/rank_0.pack"));
  EXPECT_THAT(store_->list("snapshots/missing").value(), ::testing::IsEmpty());
}

TEST_P(StorageConformance, AcceptsKeysWithDotsInsideComponents) {
  const std::vector<std::string> keys = {"..data", "a..b/c", "x/.../y", "v/.hidden"};
  for (const auto& key : keys) {
    ASSERT_TRUE(store_->put(key, as_bytes(key))) << key;
    EXPECT_TRUE(holds_payload(store_->get(key), key)) << key;
  }
  EXPECT_THAT(store_->list("").value(), UnorderedElementsAreArray(keys));
}

// A reader racing two writers of one key sees one writer's whole object every time.
TEST_P(StorageConformance, ReadersNeverSeeATornObject) {
  const std::string first(64 * 1024, 'A');
  const std::string second(64 * 1024, 'B');
  ASSERT_TRUE(store_->put("manifest.json", as_bytes(first)));
  std::atomic<bool> failed = false;
  auto writer = [&](const std::string& payload) {
    for (int i = 0; i < 40 && !failed; ++i) failed = failed || !store_->put("manifest.json", as_bytes(payload));
  };
  std::thread a(writer, std::cref(first));
  std::thread b(writer, std::cref(second));
  for (int i = 0; i < 200; ++i) {
    const auto got = store_->get("manifest.json");
    ASSERT_TRUE(got) << got.error().message();
    const std::string_view text = as_text(*got).substr(0, first.size());
    ASSERT_TRUE(text == first || text == second) << "torn read";
  }
  a.join();
  b.join();
  EXPECT_FALSE(failed);
}

INSTANTIATE_TEST_SUITE_P(Backends, StorageConformance, ::testing::ValuesIn(all_backends()),
                         [](const auto& info) { return info.param.name; });

// get_range against an object of exactly 4096 bytes (a whole block, so that no backend adds
// anything after it).
struct RangeCase {
  const char* name;
  std::uint64_t offset;
  std::uint64_t length;
  std::size_t expected_begin;
  std::size_t expected_end;
};

void PrintTo(const RangeCase& range, std::ostream* out) {
  *out << "offset " << range.offset << ", length " << range.length;
}

class RangeConformance : public ::testing::TestWithParam<std::tuple<Backend, RangeCase>> {
 protected:
  static std::string object() {
    std::string bytes(4096, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
  }
  OpenStore store_{std::get<0>(GetParam())};
};

TEST_P(RangeConformance, ReturnsTheBytesThatExistInTheRange) {
  const RangeCase& range = std::get<1>(GetParam());
  const std::string bytes = object();
  ASSERT_TRUE(store_->put("snapshots/a/rank_0.pack", as_bytes(bytes)));
  const auto got = store_->get_range("snapshots/a/rank_0.pack", range.offset, range.length);
  ASSERT_TRUE(got) << got.error().message();
  EXPECT_EQ(as_text(*got), std::string_view(bytes).substr(range.expected_begin,
                                                          range.expected_end - range.expected_begin));
}

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Backends, RangeConformance,
    ::testing::Combine(::testing::ValuesIn(all_backends()),
                       ::testing::Values(RangeCase{"inside", 100, 50, 100, 150},
                                         RangeCase{"whole", 0, 4096, 0, 4096},
                                         RangeCase{"past_the_end", 4090, 100, 4090, 4096},
                                         RangeCase{"at_the_end", 4096, 10, 4096, 4096},
                                         RangeCase{"beyond_the_end", 1u << 30, 10, 4096, 4096},
                                         RangeCase{"empty", 10, 0, 10, 10},
                                         RangeCase{"terabyte_length", 10, std::uint64_t{1} << 40, 10, 4096},
                                         RangeCase{"largest_length", 10, kHuge, 10, 4096})),
    [](const auto& info) { return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name; });

// Keys that would name something outside the store root, or another object than they seem to.
struct HostileKey {
  const char* name;
  std::string key;
  // How the refusal shows the key.
  const char* shown;
};

void PrintTo(const HostileKey& hostile, std::ostream* out) { *out << hostile.shown; }

class HostileKeyConformance : public ::testing::TestWithParam<std::tuple<Backend, HostileKey>> {
 protected:
  OpenStore store_{std::get<0>(GetParam())};
};

TEST_P(HostileKeyConformance, EveryOperationRefusesTheKey) {
  const HostileKey& hostile = std::get<1>(GetParam());
  const std::string& key = hostile.key;
  const ByteView parts[] = {as_bytes("x")};
  const std::pair<const char*, std::optional<TarnwickError>> outcomes[] = {
      {"put", error_of(store_->put(key, as_bytes("x")))},
      {"put_parts", error_of(store_->put_parts(key, parts))},
      {"get", error_of(store_->get(key))},
      {"get_range", error_of(store_->get_range(key, 0, 1))},
      {"exists", error_of(store_->exists(key))},
      {"delete_object", error_of(store_->delete_object(key))},
      {"remove_dir", error_of(store_->remove_dir(key))},
      {"list", error_of(store_->list(key))},
  };
  for (const auto& [operation, error] : outcomes) {
    SCOPED_TRACE(operation);
    ASSERT_TRUE(error.has_value()) << "the key was accepted";
    EXPECT_EQ(error->kind(), ErrorKind::Storage) << error->message();
    EXPECT_THAT(error->message(), StartsWith("Storage backend error: refusing key "));
    EXPECT_THAT(error->message(), HasSubstr(hostile.shown));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Backends, HostileKeyConformance,
    ::testing::Combine(::testing::ValuesIn(all_backends()),
                       ::testing::Values(HostileKey{"parent", "../outside", "\"../outside\""},
                                         HostileKey{"parent_alone", "..", "\"..\""},
                                         HostileKey{"climbs_out_midway", "a/../../outside", "\"a/../../outside\""},
                                         HostileKey{"parent_at_end", "snapshots/..", "\"snapshots/..\""},
                                         HostileKey{"absolute", "/etc/hostname", "\"/etc/hostname\""},
                                         HostileKey{"root_itself", "/", "\"/\""},
                                         HostileKey{"nul_inside", std::string("victim\0.pack", 12),
                                                    "\"victim\\0.pack\""},
                                         HostileKey{"nul_alone", std::string(1, '\0'), "\"\\0\""})),
    [](const auto& info) { return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name; });

}  // namespace
}  // namespace tarnwick
