#include "ratemeter/MeterFigures.h"

#include <algorithm>
#include <cstdio>

namespace morvane {
namespace {

// The nearest-rank percentile of sorted values: the smallest value with at least
// `percent` per cent of the values at or below it.
std::int64_t Percentile(const std::vector<std::int64_t>& sorted, std::size_t percent) {
  const std::size_t n = sorted.size();
  std::size_t rank = (percent * n + 99) / 100;  // ceil(percent / 100 * n)
  if (rank == 0) rank = 1;
  return sorted[rank - 1];
}

// 0: within 10 % of the expected rate; -1 below; +1 above. `rate` in reports per
// second, `expectedTicks` per report at `frequency` ticks per second, compared as
// rate * expectedTicks against frequency without division.
enum class Reach { Below, Within, Above };

Reach Compare(std::int64_t rate, std::int64_t expectedTicks, std::int64_t frequency) {
  // rate / (frequency / expectedTicks) = rate * expectedTicks / frequency
  const long double ratio = static_cast<long double>(rate) * static_cast<long double>(expectedTicks) /
                            static_cast<long double>(frequency);
  if (ratio < 0.9L) return Reach::Below;
  if (ratio > 1.1L) return Reach::Above;
  return Reach::Within;
}

std::string RateText(std::int64_t rate) { return std::to_string(rate); }

}  // namespace

bool IsPollRate(std::int64_t rate) {
  // 8000 / 2^k reports per second for k = 0 to 8 (125 us to 32 ms), within 2 %.
  for (int k = 0; k <= 8; ++k) {
    const long double poll = 8000.0L / static_cast<long double>(1 << k);
    const long double off = static_cast<long double>(rate) - poll;
    if (off <= poll * 0.02L && -off <= poll * 0.02L) return true;
  }
  return false;
}

TIntervalFigures ComputeIntervalFigures(const std::vector<std::int64_t>& intervals, std::int64_t rate,
                                        std::optional<std::int64_t> expectedTicks) {
  TIntervalFigures f;
  f.Rate = rate;
  if (expectedTicks && *expectedTicks <= 0) expectedTicks.reset();
  f.ExpectedTicks = expectedTicks;
  f.Intervals = intervals.size();
  if (intervals.empty()) return f;

  std::vector<std::int64_t> sorted = intervals;
  std::sort(sorted.begin(), sorted.end());
  f.MinTicks = sorted.front();
  f.MaxTicks = sorted.back();
  f.MedianTicks = Percentile(sorted, 50);
  f.P10Ticks = Percentile(sorted, 10);
  f.P90Ticks = Percentile(sorted, 90);
  f.P99Ticks = Percentile(sorted, 99);

  const std::int64_t reference = expectedTicks ? *expectedTicks : f.MedianTicks;
  for (std::int64_t v : intervals) {
    std::size_t bin;
    if (v * 10 < reference * 9) {
      bin = 0;
    } else if (v * 10 <= reference * 11) {
      bin = 1;
    } else if (v * 2 <= reference * 3) {
      bin = 2;
    } else if (v <= reference * 3) {
      bin = 3;
    } else {
      bin = 4;
    }
    ++f.Histogram[bin];
  }
  if (expectedTicks) f.Late = f.Histogram[3] + f.Histogram[4];

  f.Regular = (f.P90Ticks - f.P10Ticks) * 5 <= f.MedianTicks;
  const bool mostlyLate = (f.Histogram[3] + f.Histogram[4]) * 4 > f.Intervals;
  // Reports read in batches are spread evenly over each batch's time, which smooths
  // a hand's uneven gaps away; their rate still tells: a host polls only at periods
  // of 125 us times a power of two, so mostly late reports at a rate no such period
  // gives follow the motion.
  f.MotionLimited = mostlyLate && (!f.Regular || (rate > 0 && !IsPollRate(rate)));
  return f;
}

std::string LateShareText(const TIntervalFigures& f) {
  if (f.Intervals == 0 || !f.ExpectedTicks) return "-";
  const std::size_t tenths = (f.Late * 1000 + f.Intervals / 2) / f.Intervals;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string HistogramText(const TIntervalFigures& f) {
  std::string text;
  for (std::size_t i = 0; i < f.Histogram.size(); ++i) {
    if (i > 0) text += " | ";
    text += HistogramBinNames[i];
    text += ' ';
    text += std::to_string(f.Histogram[i]);
  }
  return text;
}

bool ReachesExpectedRate(const TIntervalFigures& f, const TExpectation& expectation) {
  if (f.Intervals < MinimumIntervalsForVerdict || f.MotionLimited || !f.ExpectedTicks ||
      !expectation.Microseconds || expectation.AfterRestart || expectation.OverrideWithoutFilter) {
    return false;
  }
  const std::int64_t frequency = MulDivRound(*f.ExpectedTicks, 1'000'000, *expectation.Microseconds);
  return Compare(f.Rate, *f.ExpectedTicks, frequency) == Reach::Within;
}

std::string VerdictText(const TIntervalFigures& f, const TExpectation& expectation) {
  if (f.Intervals < MinimumIntervalsForVerdict || f.Rate <= 0) return "Too few reports to judge yet.";
  if (f.MotionLimited) return "Move the mouse faster: the reports follow the motion.";
  const std::string measured = RateText(f.Rate);
  if (!f.ExpectedTicks || !expectation.Microseconds) {
    return "Reaches " + measured + " reports/s; the expected rate is not known.";
  }
  const std::string expected = ExpectedRateText(*expectation.Microseconds);
  const std::int64_t frequency = MulDivRound(*f.ExpectedTicks, 1'000'000, *expectation.Microseconds);
  switch (Compare(f.Rate, *f.ExpectedTicks, frequency)) {
    case Reach::Within:
      if (expectation.AfterRestart) {
        return "Stays at " + measured + " reports/s: the new setting takes effect after a restart.";
      }
      if (expectation.OverrideWithoutFilter) {
        return "Stays at " + measured + " reports/s: the override is not active (the filter is not attached).";
      }
      return "Reaches " + measured + " reports/s, " + (expectation.FromOverride ? "as set." : "as the device asks.");
    case Reach::Above:
      return "Reaches " + measured + " reports/s, more than the expected " + expected + ".";
    case Reach::Below:
      break;
  }
  return "Reaches only " + measured + " of the expected " + expected + " reports/s.";
}

}  // namespace morvane
