// The figures that tell whether a device reaches its rate, and the verdict in words,
// over synthetic interval lists.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ratemeter/MeterFigures.h"

namespace morvane {
namespace {

constexpr std::int64_t kFreq = 10'000'000;  // ticks per second
constexpr std::int64_t kMs = kFreq / 1000;

std::vector<std::int64_t> Steady(std::int64_t interval, std::size_t count) {
  return std::vector<std::int64_t>(count, interval);
}

TExpectation Override(std::int64_t us) {
  TExpectation e;
  e.Microseconds = us;
  e.FromOverride = true;
  return e;
}

TEST(MeterFigures, ASteadyStreamAtTheExpectedRateReachesItAsSet) {
  const auto f = ComputeIntervalFigures(Steady(kMs, 1999), 1000, kMs);
  EXPECT_EQ(f.Intervals, 1999u);
  EXPECT_EQ(f.MinTicks, kMs);
  EXPECT_EQ(f.MedianTicks, kMs);
  EXPECT_EQ(f.P99Ticks, kMs);
  EXPECT_EQ(f.MaxTicks, kMs);
  EXPECT_EQ(f.Late, 0u);
  EXPECT_EQ(LateShareText(f), "0.0");
  EXPECT_EQ(HistogramText(f), "<0.9x 0 | 0.9-1.1x 1999 | 1.1-1.5x 0 | 1.5-3x 0 | >3x 0");
  EXPECT_TRUE(f.Regular);
  EXPECT_FALSE(f.MotionLimited);
  EXPECT_EQ(VerdictText(f, Override(1000)), "Reaches 1000 reports/s, as set.");
  EXPECT_TRUE(ReachesExpectedRate(f, Override(1000)));
  TExpectation own;
  own.Microseconds = 1000;
  EXPECT_EQ(VerdictText(f, own), "Reaches 1000 reports/s, as the device asks.");
}

TEST(MeterFigures, PercentilesAreNearestRank) {
  std::vector<std::int64_t> intervals;
  for (std::int64_t v = 100; v >= 1; --v) intervals.push_back(v);  // any order
  const auto f = ComputeIntervalFigures(intervals, 0, std::nullopt);
  EXPECT_EQ(f.MinTicks, 1);
  EXPECT_EQ(f.P10Ticks, 10);
  EXPECT_EQ(f.MedianTicks, 50);
  EXPECT_EQ(f.P90Ticks, 90);
  EXPECT_EQ(f.P99Ticks, 99);
  EXPECT_EQ(f.MaxTicks, 100);
  // Three values: the 99th percentile is the largest, the median the middle one.
  const auto small = ComputeIntervalFigures({30, 10, 20}, 0, std::nullopt);
  EXPECT_EQ(small.MedianTicks, 20);
  EXPECT_EQ(small.P99Ticks, 30);
}

TEST(MeterFigures, TheHistogramBinsAreRelativeToTheExpectedInterval) {
  const auto f = ComputeIntervalFigures({89, 90, 110, 111, 150, 151, 300, 301}, 0, 100);
  EXPECT_EQ(HistogramText(f), "<0.9x 1 | 0.9-1.1x 2 | 1.1-1.5x 2 | 1.5-3x 2 | >3x 1");
  EXPECT_EQ(f.Late, 3u);  // over 1.5x: 151, 300, 301
  EXPECT_EQ(LateShareText(f), "37.5");
  // Without an expected interval the median is the reference and nothing counts as late.
  const auto g = ComputeIntervalFigures({100, 100, 100, 200}, 0, std::nullopt);
  EXPECT_EQ(HistogramText(g), "<0.9x 0 | 0.9-1.1x 3 | 1.1-1.5x 0 | 1.5-3x 1 | >3x 0");
  EXPECT_EQ(g.Late, 0u);
  EXPECT_EQ(LateShareText(g), "-");
}

TEST(MeterFigures, DroppedReportsShowInTheLateShareAndTheWorstGapsNotInTheMedian) {
  // 8,000 Hz with one report in fifty lost: a gap of two polls each time.
  std::vector<std::int64_t> intervals;
  for (int i = 0; i < 2000; ++i) intervals.push_back(i % 50 == 49 ? 2500 : 1250);
  const auto f = ComputeIntervalFigures(intervals, 7840, 1250);
  EXPECT_EQ(f.MedianTicks, 1250);
  EXPECT_EQ(f.P99Ticks, 2500);
  EXPECT_EQ(f.MaxTicks, 2500);
  EXPECT_EQ(f.Late, 40u);
  EXPECT_EQ(LateShareText(f), "2.0");
  EXPECT_TRUE(f.Regular);
  EXPECT_FALSE(f.MotionLimited);
  EXPECT_EQ(VerdictText(f, Override(125)), "Reaches 7840 reports/s, as set.");
}

TEST(MeterFigures, ReportsThatFollowTheHandAreRecognisedAndNoRateIsClaimed) {
  // Polled every 0.25 ms, but a slow hand gives counts only every one to six polls.
  std::mt19937 random(11);
  std::uniform_int_distribution<int> polls(1, 6);
  std::vector<std::int64_t> intervals;
  for (int i = 0; i < 2000; ++i) intervals.push_back(polls(random) * 2500);
  const auto f = ComputeIntervalFigures(intervals, 1143, 2500);
  EXPECT_FALSE(f.Regular);
  EXPECT_TRUE(f.MotionLimited);
  EXPECT_EQ(VerdictText(f, Override(250)), "Move the mouse faster: the reports follow the motion.");
  EXPECT_FALSE(ReachesExpectedRate(f, Override(250)));
}

TEST(MeterFigures, EvenlySpreadBatchesAtARateNoPollGivesAreMotion) {
  // Two uneven sources read in 50 ms batches: every interval about 2.08 ms, 480 a
  // second, regular only because each batch was spread evenly.
  const auto f = ComputeIntervalFigures(Steady(20'833, 2000), 480, kMs);
  EXPECT_TRUE(f.Regular);
  EXPECT_TRUE(f.MotionLimited);
  EXPECT_EQ(VerdictText(f, Override(1000)), "Move the mouse faster: the reports follow the motion.");
  // The same at 500 a second is a poll of 2 ms: slower than expected, not motion.
  const auto polled = ComputeIntervalFigures(Steady(2 * kMs, 2000), 500, kMs);
  EXPECT_FALSE(polled.MotionLimited);
}

TEST(MeterFigures, PollRatesArePowersOfTwoOf125Microseconds) {
  for (std::int64_t rate : {8000, 4000, 2000, 1000, 500, 250, 125, 62, 31, 7840, 1020}) {
    EXPECT_TRUE(IsPollRate(rate)) << rate;
  }
  for (std::int64_t rate : {480, 750, 1500, 3000, 6000, 7800, 1030, 0, 20, 9000}) {
    EXPECT_FALSE(IsPollRate(rate)) << rate;
  }
}

TEST(MeterFigures, JitterAroundThePollIsNotMotion) {
  // Message timing wanders by up to 0.3 ms around a 1 ms poll: spread, but not late.
  std::mt19937 random(5);
  std::uniform_int_distribution<std::int64_t> jitter(-3000, 3000);
  std::vector<std::int64_t> intervals;
  for (int i = 0; i < 2000; ++i) intervals.push_back(kMs + jitter(random));
  const auto f = ComputeIntervalFigures(intervals, 1000, kMs);
  EXPECT_FALSE(f.Regular);
  EXPECT_FALSE(f.MotionLimited);
  EXPECT_EQ(f.Late, 0u);
  EXPECT_EQ(VerdictText(f, Override(1000)), "Reaches 1000 reports/s, as set.");
}

TEST(MeterFigures, AnOverrideThatNoFilterReadsStaysAtTheDevicesOwnRate) {
  TExpectation e;
  e.Microseconds = 8000;  // bInterval 10 at low speed
  e.OverrideWithoutFilter = true;
  const auto f = ComputeIntervalFigures(Steady(8 * kMs, 500), 125, 8 * kMs);
  EXPECT_EQ(VerdictText(f, e), "Stays at 125 reports/s: the override is not active (the filter is not attached).");
  EXPECT_FALSE(ReachesExpectedRate(f, e));  // what the host polls, but not what was set
  e.OverrideWithoutFilter = false;
  EXPECT_TRUE(ReachesExpectedRate(f, e));
}

TEST(MeterFigures, AChangeWaitingForARestartIsSaid) {
  TExpectation e = Override(1000);
  e.AfterRestart = true;
  e.AfterRestartMicroseconds = 125;
  const auto f = ComputeIntervalFigures(Steady(kMs, 1000), 1000, kMs);
  EXPECT_EQ(VerdictText(f, e), "Stays at 1000 reports/s: the new setting takes effect after a restart.");
  EXPECT_FALSE(ReachesExpectedRate(f, e));
}

TEST(MeterFigures, SlowerAndFasterThanExpectedAndUnknown) {
  const auto slow = ComputeIntervalFigures(Steady(2 * kMs, 1000), 500, kMs);
  EXPECT_EQ(VerdictText(slow, Override(1000)), "Reaches only 500 of the expected 1000 reports/s.");
  EXPECT_FALSE(ReachesExpectedRate(slow, Override(1000)));
  // Within 10 %: 910 of 1000 counts as reached, 890 does not.
  EXPECT_TRUE(ReachesExpectedRate(ComputeIntervalFigures(Steady(kMs, 1000), 910, kMs), Override(1000)));
  EXPECT_FALSE(ReachesExpectedRate(ComputeIntervalFigures(Steady(kMs, 1000), 890, kMs), Override(1000)));

  const auto fast = ComputeIntervalFigures(Steady(1250, 2000), 8000, kMs);
  EXPECT_EQ(VerdictText(fast, Override(1000)), "Reaches 8000 reports/s, more than the expected 1000.");

  const auto unknown = ComputeIntervalFigures(Steady(kMs, 1000), 1000, std::nullopt);
  EXPECT_EQ(VerdictText(unknown, TExpectation{}), "Reaches 1000 reports/s; the expected rate is not known.");
  EXPECT_FALSE(ReachesExpectedRate(unknown, TExpectation{}));
}

TEST(MeterFigures, TooFewReportsGiveNoVerdict) {
  const auto f = ComputeIntervalFigures(Steady(kMs, MinimumIntervalsForVerdict - 1), 1000, kMs);
  EXPECT_EQ(VerdictText(f, Override(1000)), "Too few reports to judge yet.");
  EXPECT_FALSE(ReachesExpectedRate(f, Override(1000)));
  const auto none = ComputeIntervalFigures({}, 0, kMs);
  EXPECT_EQ(none.Intervals, 0u);
  EXPECT_EQ(LateShareText(none), "-");
}

}  // namespace
}  // namespace morvane
