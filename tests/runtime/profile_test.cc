#include "runtime/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tarnwick::profile {
namespace {

TEST(ProfileSwitch, OnlyExactOneOrTrue) {
  EXPECT_TRUE(switch_from("1"));
  EXPECT_TRUE(switch_from("true"));
  for (const char* off : {"TRUE", "yes", " 1", "0", "", "false"}) EXPECT_FALSE(switch_from(off)) << off;
  EXPECT_FALSE(switch_from(nullptr));
}

// Counters and the header flag are process-wide, so the report is checked as one sequence.
TEST(ProfileReport, HeaderOnceThenPhaseLinesAndTotal) {
  record(RawHash, 3'000'000);
  record(RawHash, 1'000'000);
  record(PackWrite, 4'000'000);
  std::string first = take_report(7, std::chrono::milliseconds(500), 1ULL << 30);
  EXPECT_EQ(first,
            "\n[tarnwick profile] phase totals are CPU time across the tbb pool, so they sum to more than the wall time\n"
            "\n[tarnwick profile] step 7: 500 ms wall, 1.00 GiB raw (2.15 GB/s)\n"
            "  raw hash                  4 ms   50.0%      2 calls\n"
            "  pack write                4 ms   50.0%      1 calls\n"
            "  total CPU                 8 ms\n");

  std::string second = take_report(8, std::chrono::nanoseconds(0), 0);
  EXPECT_EQ(second,
            "\n[tarnwick profile] step 8: 0 ms wall, 0.00 GiB raw (0.00 GB/s)\n"
            "  total CPU                 0 ms\n")
      << "counters were reset and the header is not repeated";
}

TEST(ProfileTime, ReturnsTheOperationsResult) {
  EXPECT_EQ(time(Shuffle, [] { return 41 + 1; }), 42);
}

}  // namespace
}  // namespace tarnwick::profile
