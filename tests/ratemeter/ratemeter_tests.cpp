#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ratemeter/RateMeter.h"

namespace morvane {
namespace {

constexpr std::int64_t kFreq = 10'000'000;  // the usual performance-counter frequency

// Feeds `count` reports at `rate` per second starting at `start`; returns the time of the last.
std::int64_t Steady(TRateMeter& meter, std::int64_t start, std::int64_t rate, int count) {
  std::int64_t t = start;
  for (int i = 0; i < count; ++i) {
    t = start + MulDivRound(i, meter.Frequency(), rate);
    meter.AddReport(t);
  }
  return t;
}

struct SteadyCase {
  std::int64_t rate;
  const char* interval;
};

class SteadyStream : public ::testing::TestWithParam<SteadyCase> {};

TEST_P(SteadyStream, ShowsItsRateAndEqualIntervals) {
  const auto [rate, interval] = GetParam();
  TRateMeter meter(kFreq);
  // Three seconds of movement: the rate counts only the last second.
  Steady(meter, 5'000'000, rate, static_cast<int>(rate * 3));
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Rate, rate);
  EXPECT_EQ(f.Count, static_cast<std::uint64_t>(rate * 3));
  EXPECT_TRUE(f.Moving);
  EXPECT_EQ(meter.MillisecondsText(f.MinTicks), interval);
  EXPECT_EQ(meter.MillisecondsText(f.MedianTicks), interval);
  EXPECT_EQ(meter.MillisecondsText(f.MaxTicks), interval);
  EXPECT_EQ(meter.PlotIntervals().size(), std::min<std::size_t>(TRateMeter::PlotCapacity, rate * 3 - 1));
}

INSTANTIATE_TEST_SUITE_P(Rates, SteadyStream,
                         ::testing::Values(SteadyCase{125, "8.00"}, SteadyCase{500, "2.00"},
                                           SteadyCase{1000, "1.00"}, SteadyCase{8000, "0.13"}),
                         [](const auto& info) { return std::to_string(info.param.rate) + "Hz"; });

TEST(RateMeter, OddCounterFrequencyKeepsTheRate) {
  // 3,579,545 Hz (the ACPI timer): 1,000 Hz does not divide it; rounding must not drift.
  TRateMeter meter(3'579'545);
  Steady(meter, 0, 1000, 2500);
  EXPECT_EQ(meter.Figures().Rate, 1000);
}

TEST(RateMeter, JitterMovesMinAndMaxButNotRateOrMedian) {
  TRateMeter meter(kFreq);
  std::mt19937 random(7);
  std::uniform_int_distribution<std::int64_t> jitter(-2000, 2000);  // +-0.2 ms around a 1 ms grid
  for (int i = 0; i < 3000; ++i) meter.AddReport(1'000'000 + std::int64_t{i} * 10'000 + jitter(random));
  const TRateFigures f = meter.Figures();
  EXPECT_NEAR(static_cast<double>(f.Rate), 1000.0, 1.0);
  EXPECT_GE(f.MinTicks, 6'000);
  EXPECT_LT(f.MinTicks, 7'000);
  EXPECT_GT(f.MaxTicks, 13'000);
  EXPECT_LE(f.MaxTicks, 14'000);
  EXPECT_NEAR(static_cast<double>(f.MedianTicks), 10'000.0, 200.0);
}

TEST(RateMeter, DroppedReportsLowerTheRateAndShowInTheMaximum) {
  TRateMeter meter(kFreq);
  // 1,000 Hz with every tenth report missing.
  for (int i = 0; i < 3000; ++i) {
    if (i % 10 != 9) meter.AddReport(std::int64_t{i} * 10'000);
  }
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Rate, 900);
  EXPECT_EQ(f.Count, 2700u);
  EXPECT_EQ(meter.MillisecondsText(f.MinTicks), "1.00");
  EXPECT_EQ(meter.MillisecondsText(f.MedianTicks), "1.00");
  EXPECT_EQ(meter.MillisecondsText(f.MaxTicks), "2.00");
}

TEST(RateMeter, APauseFreezesTheFiguresAndTheNextReportStartsAFreshBurst) {
  TRateMeter meter(kFreq);
  const std::int64_t last = Steady(meter, 0, 500, 1000);
  const TRateFigures before = meter.Figures();

  meter.Tick(last + 1'000'000);  // exactly 100 ms: still the same burst
  EXPECT_TRUE(meter.Figures().Moving);
  meter.Tick(last + 1'000'001);  // more than 100 ms: the burst has ended
  TRateFigures frozen = meter.Figures();
  EXPECT_FALSE(frozen.Moving);
  EXPECT_EQ(frozen.Rate, before.Rate);
  EXPECT_EQ(frozen.Count, before.Count);
  EXPECT_EQ(frozen.MaxTicks, before.MaxTicks);
  meter.Tick(last + 50'000'000);
  EXPECT_EQ(meter.Figures().Count, 1000u);

  // A second burst at 1,000 Hz after five seconds: the pause is no interval of either.
  Steady(meter, last + 50'000'000, 1000, 1500);
  const TRateFigures second = meter.Figures();
  EXPECT_TRUE(second.Moving);
  EXPECT_EQ(second.Count, 1500u);
  EXPECT_EQ(second.Rate, 1000);
  EXPECT_EQ(meter.MillisecondsText(second.MaxTicks), "1.00");
  EXPECT_EQ(meter.PlotIntervals().size(), 1499u);
}

TEST(RateMeter, AGapOfJustOverOneHundredMillisecondsSplitsBursts) {
  TRateMeter meter(kFreq);
  meter.AddReport(0);
  meter.AddReport(1'000'000);  // 100 ms: one burst, one interval
  EXPECT_EQ(meter.Figures().Count, 2u);
  EXPECT_EQ(meter.MillisecondsText(meter.Figures().MaxTicks), "100.00");
  meter.AddReport(2'000'001);  // 100.0001 ms: a new burst
  EXPECT_EQ(meter.Figures().Count, 1u);
  EXPECT_FALSE(meter.Figures().HasIntervals);
  EXPECT_EQ(meter.Figures().Rate, 0);
}

TEST(RateMeter, ThePlotKeepsTheLastTwoThousandIntervalsInOrder) {
  TRateMeter meter(kFreq);
  std::int64_t t = 0;
  meter.AddReport(t);
  for (int i = 1; i <= 2500; ++i) {
    t += 10'000 + i;  // every interval differs, so the order can be checked
    meter.AddReport(t);
  }
  const auto plot = meter.PlotIntervals();
  ASSERT_EQ(plot.size(), 2000u);
  EXPECT_EQ(plot.front(), 10'000 + 501);
  EXPECT_EQ(plot.back(), 10'000 + 2500);
  for (std::size_t i = 1; i < plot.size(); ++i) ASSERT_EQ(plot[i], plot[i - 1] + 1);
  // Min, median and max are of the plotted intervals only.
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.MinTicks, 10'501);
  EXPECT_EQ(f.MaxTicks, 12'500);
  EXPECT_EQ(f.MedianTicks, 11'501);  // between 11,500 and 11,501, halves up
  EXPECT_EQ(f.Count, 2501u);
}

TEST(RateMeter, CounterValuesNearTheTopOfTheRangeDoNotOverflow) {
  constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
  // A fast counter (3 GHz) that has run for about 97 years: 8,000 Hz for 1.5 seconds
  // ending just below the largest value.
  const std::int64_t freq = 3'000'000'000;
  TRateMeter meter(freq);
  const std::int64_t start = kTop - freq * 2;
  Steady(meter, start, 8000, 12000);
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Rate, 8000);
  EXPECT_EQ(meter.MillisecondsText(f.MedianTicks), "0.13");
  EXPECT_EQ(meter.MillisecondsText(f.MaxTicks), "0.13");
  meter.Tick(kTop);
  EXPECT_FALSE(meter.Figures().Moving);  // kTop - last is 0.5 s, computed without overflow
}

TEST(RateMeter, ABatchWithinABurstIsSpreadOverTheTimeSinceThePreviousReport) {
  TRateMeter meter(kFreq);
  Steady(meter, 0, 1000, 500);  // last report at 499 ms
  // 50 ms later, 50 reports arrive in one read.
  meter.AddBatch(50, 5'490'000);
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Count, 550u);
  EXPECT_EQ(f.Rate, 1000);
  EXPECT_EQ(meter.MillisecondsText(f.MinTicks), "1.00");
  EXPECT_EQ(meter.MillisecondsText(f.MaxTicks), "1.00");
}

TEST(RateMeter, ABatchAfterAPauseCountsItsReportsWithoutInventingIntervals) {
  TRateMeter meter(kFreq);
  meter.AddBatch(40, 123'456'789);
  TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Count, 40u);
  EXPECT_FALSE(f.HasIntervals);
  EXPECT_EQ(f.Rate, 0);
  // The next batch is spread from that one.
  meter.AddBatch(8, 123'456'789 + 80'000);
  f = meter.Figures();
  EXPECT_EQ(f.Count, 48u);
  EXPECT_EQ(meter.MillisecondsText(f.MinTicks), "1.00");
  EXPECT_EQ(f.Rate, 1000);
}

TEST(RateMeter, ABatchReadLateByAHeldUpReaderContinuesTheBurst) {
  TRateMeter meter(kFreq);
  // 8,000 Hz read every 50 ms: 400 reports a batch.
  std::int64_t t = 0;
  meter.AddBatch(400, t);
  for (int i = 0; i < 10; ++i) {
    t += 500'000;
    meter.AddBatch(400, t);
    meter.Tick(t);
  }
  ASSERT_EQ(meter.Figures().Count, 4400u);
  // The reader is held up for 300 ms: no Tick saw a pause, and the 2,400 reports queued
  // meanwhile belong to the same burst, 0.125 ms apart.
  t += 3'000'000;
  meter.AddBatch(2400, t);
  TRateFigures f = meter.Figures();
  EXPECT_TRUE(f.Moving);
  EXPECT_EQ(f.Count, 6800u);
  EXPECT_EQ(f.Rate, 8000);
  EXPECT_EQ(meter.MillisecondsText(f.MaxTicks), "0.13");

  // A pause that Tick saw ends it: the next batch opens a new burst.
  meter.Tick(t + 1'000'001);
  EXPECT_FALSE(meter.Figures().Moving);
  meter.AddBatch(400, t + 1'500'000);
  f = meter.Figures();
  EXPECT_EQ(f.Count, 400u);
  EXPECT_FALSE(f.HasIntervals);
}

TEST(RateMeter, AReportOlderThanTheLastIsTimedAsTheLast) {
  TRateMeter meter(kFreq);
  meter.AddReport(100'000);
  meter.AddReport(90'000);
  const TRateFigures f = meter.Figures();
  EXPECT_EQ(f.Count, 2u);
  EXPECT_EQ(f.MinTicks, 0);
}

TEST(RateMeter, MillisecondsTextRoundsHalvesUp) {
  TRateMeter meter(kFreq);
  EXPECT_EQ(meter.MillisecondsText(1250), "0.13");
  EXPECT_EQ(meter.MillisecondsText(1249), "0.12");
  EXPECT_EQ(meter.MillisecondsText(80'000), "8.00");
  EXPECT_EQ(meter.MillisecondsText(12'345'678), "1234.57");
  EXPECT_EQ(meter.MillisecondsText(0), "0.00");
}

TEST(ExpectedInterval, FollowsTheOverrideOrTheEndpointAndTheSpeed) {
  // Overrides at full and low speed: 1, 2, 4, 8, 16, 32 ms.
  EXPECT_EQ(ExpectedIntervalMicroseconds(1, SpeedFull, 10), 1000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(5, SpeedLow, 10), 16000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(9, SpeedFull, 0), 32000);  // at most index 6
  // At high speed and faster, and for an undetermined speed (255): 125 us << (index - 1).
  EXPECT_EQ(ExpectedIntervalMicroseconds(1, 2, 4), 125);
  EXPECT_EQ(ExpectedIntervalMicroseconds(4, 255, 1), 1000);
  // No override: Windows' period for the endpoint's bInterval (the documented table,
  // checked row by row in WindowsPollingTable below).
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedFull, 1), 1000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedFull, 10), 8000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedLow, 1), 8000);     // low speed: never faster than 8 ms
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedLow, 255), 32000);  // low and full speed: at most 32 ms
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedFull, 64), 32000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, 2, 1), 125);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, 3, 4), 1000);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, 2, 12), 4000);  // a hub's bInterval 12 at high speed: 32 microframes
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, SpeedFull, 0), std::nullopt);
  EXPECT_EQ(ExpectedIntervalMicroseconds(0, 255, 1), std::nullopt);  // speed not known
}

TEST(WindowsPollingTable, ExpectedWithoutOverrideIsWindowsPeriod) {
  for (unsigned char speed : {SpeedLow, SpeedFull, SpeedHigh, static_cast<unsigned char>(3),
                              static_cast<unsigned char>(4), SpeedUnknown}) {
    for (unsigned b = 0; b <= 255; ++b) {
      ASSERT_EQ(ExpectedIntervalMicroseconds(0, speed, b), WindowsPollingMicroseconds(speed, b))
          << int{speed} << " " << b;
    }
  }
}

TEST(WindowsPollingTable, AnUnknownSpeedHasNoPeriod) {
  for (unsigned b = 0; b <= 255; ++b) ASSERT_EQ(WindowsPollingMicroseconds(255, b), std::nullopt) << b;
  EXPECT_EQ(WindowsPollingMicroseconds(SpeedLow, 256), std::nullopt);
}

TEST(Expectation, TheOverrideCountsOnlyWithTheFilterAttached) {
  TPollingState optical;  // low speed, bInterval 10, an override of 1 ms
  optical.Speed = SpeedLow;
  optical.BInterval = 10;
  optical.RateIndex = 1;
  optical.FilterAttached = false;
  TExpectation e = ExpectationFor(optical, std::nullopt);
  EXPECT_EQ(e.Microseconds, 8000);
  EXPECT_FALSE(e.FromOverride);
  EXPECT_TRUE(e.OverrideWithoutFilter);
  EXPECT_FALSE(e.AfterRestart);

  optical.FilterAttached = true;
  e = ExpectationFor(optical, std::nullopt);
  EXPECT_EQ(e.Microseconds, 1000);
  EXPECT_TRUE(e.FromOverride);
  EXPECT_FALSE(e.OverrideWithoutFilter);
}

TEST(Expectation, AChangeSinceTheLastStartTakesEffectAfterARestart) {
  TPollingState started;
  started.Speed = SpeedFull;
  started.BInterval = 1;
  started.RateIndex = 1;
  started.FilterAttached = true;
  TPollingState now = started;
  now.RateIndex = 4;  // 8 ms from now on, after a restart
  TExpectation e = ExpectationFor(now, started);
  EXPECT_EQ(e.Microseconds, 1000);
  EXPECT_TRUE(e.FromOverride);
  EXPECT_TRUE(e.AfterRestart);
  EXPECT_EQ(e.AfterRestartMicroseconds, 8000);

  // Changed and changed back: nothing waits for a restart.
  e = ExpectationFor(started, started);
  EXPECT_FALSE(e.AfterRestart);
  EXPECT_EQ(e.Microseconds, 1000);
}

TEST(ExpectedInterval, RateTexts) {
  EXPECT_EQ(ExpectedRateText(125), "8000");
  EXPECT_EQ(ExpectedRateText(1000), "1000");
  EXPECT_EQ(ExpectedRateText(16000), "62.5");
  EXPECT_EQ(ExpectedRateText(32000), "31.25");
  EXPECT_EQ(ExpectedRateText(128000), "7.81");
  EXPECT_EQ(ExpectedRateText(0), "");
}

TEST(RawInputName, BecomesTheInstanceIdOfTheHidNode) {
  EXPECT_EQ(InstanceIdFromRawInputName(
                "\\\\?\\HID#VID_046D&PID_C08B&MI_00#7&1a2b3c&0&0000#{378de44c-56ef-11d1-bc8c-00a0c91405dd}"),
            "HID\\VID_046D&PID_C08B&MI_00\\7&1a2b3c&0&0000");
  EXPECT_EQ(InstanceIdFromRawInputName("\\??\\HID#VID_1&PID_2#1#{00000000-0000-0000-0000-000000000000}"),
            "HID\\VID_1&PID_2\\1");
  EXPECT_EQ(InstanceIdFromRawInputName("HID#VID_1&PID_2#1#{x}"), "");        // no prefix
  EXPECT_EQ(InstanceIdFromRawInputName("\\\\?\\HID#VID_1&PID_2#1"), "");     // no interface class
  EXPECT_EQ(InstanceIdFromRawInputName("\\\\?\\#{guid}"), "");
  EXPECT_EQ(InstanceIdFromRawInputName(""), "");
}

}  // namespace
}  // namespace morvane
