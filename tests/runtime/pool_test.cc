#include "runtime/pool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

namespace tarnwick {
namespace {

struct CountCase {
  const char* name;
  std::size_t available;
  std::optional<std::uint64_t> local_world_size;
  std::optional<std::uint64_t> threads;
  std::size_t expected;
};

class PoolThreadCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(PoolThreadCount, FollowsTheSwitches) {
  const auto& c = GetParam();
  EXPECT_EQ(pool_thread_count(c.available, c.local_world_size, c.threads), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolThreadCount,
    ::testing::Values(CountCase{"all_cpus_by_default", 8, std::nullopt, std::nullopt, 8},
                      CountCase{"share_of_local_world", 8, 3, std::nullopt, 2},
                      CountCase{"share_rounds_down_to_one", 8, 16, std::nullopt, 1},
                      CountCase{"threads_switch_wins", 2, 2, 4, 4},
                      CountCase{"threads_switch_alone", 8, std::nullopt, 3, 3},
                      CountCase{"never_zero", 0, std::nullopt, std::nullopt, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct EnvCase {
  const char* name;
  const char* value;  // nullptr: unset
  std::optional<std::uint64_t> expected;
  const char* warning;  // expected stderr text, "" for none
};

class PositiveEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PositiveEnv, ParsesOrWarns) {
  const auto& c = GetParam();
  if (c.value) {
    setenv("TARNWICK_TEST_SWITCH", c.value, 1);
  } else {
    unsetenv("TARNWICK_TEST_SWITCH");
  }
  ::testing::internal::CaptureStderr();
  auto value = positive_env("TARNWICK_TEST_SWITCH");
  std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(value, c.expected);
  EXPECT_EQ(printed, c.warning);
}

#define WARN(raw) "[Tarnwick] Ignoring TARNWICK_TEST_SWITCH=" raw ": expected a positive integer\n"

INSTANTIATE_TEST_SUITE_P(
    Values, PositiveEnv,
    ::testing::Values(EnvCase{"unset", nullptr, std::nullopt, ""},
                      EnvCase{"empty", "", std::nullopt, ""},
                      EnvCase{"blank", "   ", std::nullopt, ""},
                      EnvCase{"padded", " 8 ", 8, ""},
                      EnvCase{"plus_sign", "+8", 8, ""},
                      EnvCase{"largest", "18446744073709551615", 18446744073709551615ULL, ""},
                      EnvCase{"zero", "0", std::nullopt, WARN("\"0\"")},
                      EnvCase{"negative", "-2", std::nullopt, WARN("\"-2\"")},
                      EnvCase{"letters", "abc", std::nullopt, WARN("\"abc\"")},
                      EnvCase{"trailing_garbage", "8x", std::nullopt, WARN("\"8x\"")},
                      EnvCase{"lone_plus", "+", std::nullopt, WARN("\"+\"")},
                      EnvCase{"inner_space", "8 8", std::nullopt, WARN("\"8 8\"")},
                      EnvCase{"overflow", "18446744073709551616", std::nullopt, WARN("\"18446744073709551616\"")},
                      EnvCase{"untrimmed_in_warning", " x\t", std::nullopt, WARN("\" x\\t\"")},
                      EnvCase{"quote_escaped", "a\"b", std::nullopt, WARN("\"a\\\"b\"")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted("plain"), "\"plain\"");
  EXPECT_EQ(quoted("a\\b\"c"), "\"a\\\\b\\\"c\"");
  EXPECT_EQ(quoted("\n\r\x01"), "\"\\n\\r\\u{1}\"");
  EXPECT_EQ(quoted("\xc3\xa9"), "\"\xc3\xa9\"");
}

TEST(AvailableCpus, AtLeastOne) { EXPECT_GE(available_cpus(), 1u); }

// The only test in this binary that builds the pool, so the environment it sets is the one the
// pool reads.
TEST(PrivatePool, SizedFromEnvironmentWithNamedWorkers) {
  setenv("TARNWICK_THREADS", "3", 1);
  setenv("LOCAL_WORLD_SIZE", "bogus", 1);
  ::testing::internal::CaptureStderr();
  auto* arena = pool();
  std::string printed = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(arena, nullptr);
  EXPECT_EQ(arena->max_concurrency(), 3);
  EXPECT_EQ(printed, "[Tarnwick] Ignoring LOCAL_WORLD_SIZE=\"bogus\": expected a positive integer\n");
  EXPECT_EQ(pool(), arena) << "the pool is built once";

  std::mutex mutex;
  std::set<std::string> names;
  auto caller = pthread_self();
  run_in_pool([&] {
    parallel_for(64, [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (pthread_equal(pthread_self(), caller)) return;
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      std::lock_guard lock(mutex);
      names.insert(name);
    });
  });
  ASSERT_FALSE(names.empty()) << "workers took part";
  for (const auto& name : names) {
    EXPECT_TRUE(name.starts_with(kWorkerNamePrefix)) << name;
  }
}

TEST(ParallelFor, VisitsEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(1000);
  parallel_for(hits.size(), [&](std::size_t i) { hits[i].fetch_add(1); });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

}  // namespace
}  // namespace tarnwick
