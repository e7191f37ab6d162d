// The figures of a measurement that tell whether a device reaches its rate, and the
// verdict in words, free of any platform.
//
// From the intervals of the last reports (TRateMeter::PlotIntervals), the rate over
// the last second and the interval the host is expected to poll at:
//   - median, 99th percentile and largest interval (the worst gaps, not the mean);
//   - the share of intervals later than 1.5 times the expected one;
//   - a histogram of five bins relative to the expected interval (or the median when
//     none is expected): under 0.9x, 0.9x to 1.1x, over 1.1x to 1.5x, over 1.5x to
//     3x, over 3x;
//   - whether the reports follow the hand instead of the poll ("motion-limited"):
//     a device sends a report only when it has counts to send, so a hand that moves
//     too slowly for the rate leaves irregular gaps of several polls. The intervals
//     are then spread (the 10th and 90th percentile more than a fifth of the median
//     apart) and more than a quarter of them are late. Reports read in batches are
//     timed evenly within each batch, which hides the spread: mostly late reports at
//     a rate no polling period gives (not within 2 % of 8000 / 2^k per second) count
//     as motion-limited too. A stream polled steadily but slower than expected is
//     regular at a polling rate, and is judged by its rate instead.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ratemeter/RateMeter.h"

namespace morvane {

struct TIntervalFigures {
  std::size_t Intervals = 0;            // intervals judged
  std::int64_t Rate = 0;                // reports per second over the last second (TRateMeter)
  std::int64_t MinTicks = 0;
  std::int64_t MedianTicks = 0;         // nearest rank
  std::int64_t P10Ticks = 0;
  std::int64_t P90Ticks = 0;
  std::int64_t P99Ticks = 0;
  std::int64_t MaxTicks = 0;
  std::optional<std::int64_t> ExpectedTicks;
  std::size_t Late = 0;                 // intervals over 1.5x the expected one (0 when none is expected)
  std::array<std::size_t, 5> Histogram{};
  bool Regular = false;                 // the 10th and 90th percentile within a fifth of the median
  bool MotionLimited = false;
};

inline constexpr const char* HistogramBinNames[5] = {"<0.9x", "0.9-1.1x", "1.1-1.5x", "1.5-3x", ">3x"};

// Whether `rate` reports per second is one a host polls at: within 2 % of 8000 / 2^k
// for k = 0 to 8 (periods of 125 us to 32 ms).
bool IsPollRate(std::int64_t rate);

// Fewer intervals than this give no verdict.
inline constexpr std::size_t MinimumIntervalsForVerdict = 20;

// The figures of `intervals` (ticks, any order), `rate` as TRateMeter measured it,
// and the expected interval in the same ticks.
TIntervalFigures ComputeIntervalFigures(const std::vector<std::int64_t>& intervals, std::int64_t rate,
                                        std::optional<std::int64_t> expectedTicks);

// Late reports in per cent with one decimal: "0.0", "12.5"; "-" with no intervals.
std::string LateShareText(const TIntervalFigures& figures);

// The histogram as one line: "<0.9x 0 | 0.9-1.1x 1998 | 1.1-1.5x 1 | 1.5-3x 0 | >3x 0".
std::string HistogramText(const TIntervalFigures& figures);

// The verdict in one sentence:
//   "Reaches 1000 reports/s, as set."  (the override sets the rate)
//   "Reaches 125 reports/s, as the device asks."  (its own bInterval)
//   "Stays at 125 reports/s: the override is not active (the filter is not attached)."
//   "Stays at 125 reports/s: the new setting takes effect after a restart."
//   "Move the mouse faster: the reports follow the motion."
//   "Reaches only 500 of the expected 1000 reports/s." / "Reaches 2000 reports/s,
//   more than the expected 1000." / "Reaches 1000 reports/s; the expected rate is not known."
//   "Too few reports to judge yet."
// A rate counts as reached within 10 % of the expected one.
std::string VerdictText(const TIntervalFigures& figures, const TExpectation& expectation);

// Whether the measurement reached the expected rate with the settings in effect (the
// verdict's first two forms): not when an override is set that no filter reads, nor
// when a change waits for a restart, whatever the host polls meanwhile.
bool ReachesExpectedRate(const TIntervalFigures& figures, const TExpectation& expectation);

}  // namespace morvane
