#include "transfer/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace quilvane::transfer {
namespace {

using namespace std::chrono_literals;
using platform::Deadline;

// A transfer as (milliseconds after the start, bytes moved) and the time at
// which the rule fails it, or none.
struct PaceCase {
  const char* name;
  std::vector<std::pair<int, int>> moves;
  int fails_at_ms;  // -1: still within the rule at the last move + 1 ms
};

TEST(ProgressWatchTest, FailsOnlyAWindowWithTooFewBytes) {
  // 100 bytes in any 1000 ms; a 60 s ceiling.
  const ProgressLimits limits{1000ms, 100, 60s};
  const PaceCase cases[] = {
      {"nothing at all", {}, 1000},
      {"too little in the first window", {{100, 99}}, 1000},
      {"enough at once", {{100, 100}}, 1100},
      {"enough in pieces", {{100, 50}, {900, 50}}, 1100},
      {"steady and slow", {{400, 60}, {800, 60}, {1200, 60}, {1600, 60}, {2000, 60}}, 2600},
      // Fixed windows 0-1000 and 1000-2000 would let the next burst come
      // at 1950; the window 900-1900 holds nothing.
      {"a burst late in one window", {{900, 100}}, 1900},
      {"the bytes that count are the recent ones", {{900, 100}, {1100, 50}}, 1900},
      {"a trickle", {{300, 1}, {600, 1}, {900, 1}}, 1000},
      {"many small moves",
       {{10, 10},
        {20, 10},
        {30, 10},
        {40, 10},
        {50, 10},
        {60, 10},
        {70, 10},
        {80, 10},
        {90, 10},
        {95, 10}},
       1010},
  };
  const Deadline start{};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ProgressWatch watch(limits, start, start);
    for (auto [at, bytes] : tc.moves) {
      Deadline now = start + std::chrono::milliseconds(at);
      ASSERT_LT(now, watch.deadline()) << "failed before the move at " << at;
      watch.Add(bytes, now);
    }
    EXPECT_EQ(watch.deadline(), start + std::chrono::milliseconds(tc.fails_at_ms));
    EXPECT_NO_THROW(watch.CheckAt(watch.deadline() - 1ms));
    try {
      watch.CheckAt(watch.deadline());
      ADD_FAILURE() << "no failure at the deadline";
    } catch (const TransferTooSlowError& e) {
      EXPECT_STREQ(e.what(), "Transfer too slow: less than 100 bytes in 1 s.");
    }
  }
}

TEST(ProgressWatchTest, CeilingEndsASteadyTransfer) {
  const Deadline begun{};
  ProgressWatch watch({60s, 1024, 4h}, begun + 10s, begun);
  Deadline now = begun + 10s;
  for (; now < begun + 4h - 30s; now += 30s) {
    watch.Add(64 * 1024, now);
    ASSERT_NO_THROW(watch.CheckAt(now));
  }
  EXPECT_EQ(watch.deadline(), begun + 4h);
  try {
    watch.CheckAt(begun + 4h);
    FAIL();
  } catch (const TransferTooSlowError& e) {
    EXPECT_STREQ(e.what(), "Transfer not finished after 4 h.");
  }
}

TEST(ProgressWatchTest, LimitsWithoutAnEnd) {
  const Deadline begun{};
  ProgressWatch no_rule({60s, 0, std::chrono::milliseconds::max()}, begun, begun);
  EXPECT_EQ(no_rule.deadline(), Deadline::max());
  ProgressWatch late({std::chrono::milliseconds::max(), 10, 1h}, Deadline::max() - 1h, begun);
  EXPECT_EQ(late.deadline(), begun + 1h);
  EXPECT_EQ(CeilingEnd({60s, 1, std::chrono::milliseconds::max()}, Deadline::max() - 1s),
            Deadline::max());
}

TEST(ProgressWatchTest, ManyTinyMovesCountOnlyTheRecentBytes) {
  // A million one-byte moves: the watch keeps at most min_bytes marks.
  const Deadline start{};
  ProgressWatch watch({1000ms, 16, 1h}, start, start);
  for (int i = 1; i <= 1000000; ++i) watch.Add(1, start + std::chrono::microseconds(i));
  // The window still needs the last 16 bytes only.
  EXPECT_EQ(watch.deadline(), start + std::chrono::microseconds(1000000 - 15) + 1000ms);
}

TEST(ProgressWatchTest, DurationTexts) {
  EXPECT_EQ(DurationText(60s), "60 s");
  EXPECT_EQ(DurationText(500ms), "500 ms");
  EXPECT_EQ(DurationText(4h), "4 h");
  EXPECT_EQ(DurationText(90min), "5400 s");
}

}  // namespace
}  // namespace quilvane::transfer
