// Polling-rate statistics of one stream of input reports, free of any platform.
//
// Offers:
//   - TRateMeter: reports timed in performance-counter ticks (64-bit integers and the
//     counter's frequency), grouped in bursts of movement; a gap of more than 100 ms
//     ends a burst and the figures of that burst stay as they were (frozen) until the
//     next report opens a new one. Figures: the rate in reports per second over the
//     last second of movement (rounded), the minimum, median and maximum interval,
//     the number of reports, and the intervals of the last 2,000 reports for a plot.
//   - ExpectedInterval: the polling interval the host uses for a device, from its
//     rate override or from its endpoint's bInterval and its speed.
//   - Texts for the figures (milliseconds with two decimals, rates) and the
//     conversion of a raw-input device name into a device instance ID.
//
// All tick arithmetic works on differences of counter values and scales them with a
// quotient-and-remainder multiply, so counter values close to the top of the 64-bit
// range neither overflow nor lose precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

// a * num / den rounded to the nearest integer (halves up), for a >= 0, num >= 0,
// den > 0, without forming a * num when that would not fit.
std::int64_t MulDivRound(std::int64_t a, std::int64_t num, std::int64_t den);

struct TRateFigures {
  std::uint64_t Count = 0;         // reports of the current (or last) burst
  std::int64_t Rate = 0;           // reports per second over the last second of movement; 0 with < 2 reports
  std::int64_t MinTicks = 0;       // smallest, median and largest interval among the plotted ones
  std::int64_t MedianTicks = 0;
  std::int64_t MaxTicks = 0;
  bool HasIntervals = false;       // at least one interval was measured
  bool Moving = false;             // the burst is still going on
};

class TRateMeter {
 public:
  static constexpr std::size_t PlotCapacity = 2000;
  static constexpr std::int64_t BurstGapMs = 100;

  // `frequency`: counter ticks per second (QueryPerformanceFrequency), > 0.
  explicit TRateMeter(std::int64_t frequency);

  std::int64_t Frequency() const { return frequency_; }

  // One report seen at `ticks`. Counter values must not go backwards; a report
  // older than the last one is timed as the last one.
  void AddReport(std::int64_t ticks);

  // `count` reports read together at `ticks` (one batch of a buffered read), whose
  // own arrival times are not known. Within a burst they are spread evenly over the
  // time since the previous report: the last one at `ticks`. A batch opens a new burst
  // only after Tick has seen the pause (the last report more than 100 ms old at a
  // moment without reports): a batch read more than 100 ms after the previous report
  // because the reader was held up (a busy message loop, a loaded machine) holds
  // reports queued all along and continues the burst. A batch that opens a burst has
  // no earlier report to spread from, so all its reports are counted but only the
  // last is timed (at `ticks`) and no interval is invented.
  void AddBatch(std::size_t count, std::int64_t ticks);

  // The time now, without a report: ends the burst when the last report is more
  // than 100 ms old.
  void Tick(std::int64_t ticks);

  // Forgets everything.
  void Reset();

  TRateFigures Figures() const;
  // Intervals of the last (up to) 2,000 reports of the burst, oldest first, in ticks.
  std::vector<std::int64_t> PlotIntervals() const;

  // Ticks as milliseconds with two decimals ("1.00", "0.13"), rounded halves up.
  std::string MillisecondsText(std::int64_t ticks) const;

 private:
  void StartBurst(std::int64_t ticks);
  void Append(std::int64_t ticks);
  void TrimWindow();

  std::int64_t frequency_;
  std::int64_t gapTicks_;
  bool inBurst_ = false;
  bool moving_ = false;
  std::uint64_t count_ = 0;
  std::int64_t last_ = 0;
  std::deque<std::int64_t> window_;     // report times of the last second of movement
  std::vector<std::int64_t> intervals_; // ring of the last PlotCapacity intervals
  std::size_t next_ = 0;                // ring position of the next interval
};

// Speed codes as the device record reports them.
inline constexpr unsigned char SpeedLow = 0;
inline constexpr unsigned char SpeedFull = 1;
inline constexpr unsigned char SpeedHigh = 2;
inline constexpr unsigned char SpeedUnknown = 255;

// The period in microseconds at which Windows polls an interrupt endpoint of the
// given bInterval, as the USB_ENDPOINT_DESCRIPTOR documentation tabulates it:
//   - low speed, in 1 ms frames: 0 to 15 -> 8, 16 to 35 -> 16, 36 to 255 -> 32;
//   - full speed, in 1 ms frames: 1 -> 1, 2 to 3 -> 2, 4 to 7 -> 4, 8 to 15 -> 8,
//     16 to 31 -> 16, 32 to 255 -> 32;
//   - high speed and faster (speed codes 2 to 4), in 125 us microframes: 1 -> 1,
//     2 -> 2, 3 -> 4, 4 -> 8, 5 -> 16, 6 to 255 -> 32 (2^(bInterval - 1), capped).
// nullopt where the table has no row (bInterval 0 at full speed and faster, or
// above 255) and for a speed that is not known (255 or another code).
std::optional<std::int64_t> WindowsPollingMicroseconds(unsigned char speed, unsigned bInterval);

// The period a rate override (index 1 to 6, larger taken as 6) stands for: at low and
// full speed 1, 2, 4, 8, 16, 32 ms; at high speed and faster, and for an undetermined
// speed (255, which the device record treats as high speed), 125 us shifted left by
// index - 1. nullopt for index 0 (no override).
std::optional<std::int64_t> OverrideMicroseconds(unsigned rateIndex, unsigned char speed);

// The polling interval in microseconds that the host uses for a device: the
// override's when `rateIndex` is 1 to 6 (the caller passes 0 when no filter reads
// it), else Windows' period for the endpoint's bInterval at that speed.
std::optional<std::int64_t> ExpectedIntervalMicroseconds(unsigned rateIndex, unsigned char speed,
                                                         unsigned bInterval);

// What the polling of a device depends on, as its settings and connection say.
struct TPollingState {
  unsigned char Speed = SpeedUnknown;
  unsigned BInterval = 0;       // the fastest interrupt endpoint's bInterval; 0 when not known
  unsigned RateIndex = 0;       // the rate override (0: none)
  bool FilterAttached = false;  // the filter is among the device's lower filters
  bool operator==(const TPollingState& other) const {
    return Speed == other.Speed && BInterval == other.BInterval && RateIndex == other.RateIndex &&
           FilterAttached == other.FilterAttached;
  }
};

// The interval the host polls at now and, when the settings were changed since the
// device last started, the one it will poll at after a restart.
struct TExpectation {
  std::optional<std::int64_t> Microseconds;         // polled now; nullopt when not known
  bool FromOverride = false;                        // the override sets it (the filter reads it)
  bool OverrideWithoutFilter = false;               // an override is set, but no filter reads it
  bool AfterRestart = false;                        // the settings changed since the device started
  std::optional<std::int64_t> AfterRestartMicroseconds;  // what the changed settings stand for
};

// `now`: the settings as they are; `atStart`: as they were when the device last
// started, when the program changed them since (nullopt: unchanged since).
TExpectation ExpectationFor(const TPollingState& now, const std::optional<TPollingState>& atStart);

// A rate in reports per second from an interval in microseconds: "1000", "62.5".
std::string ExpectedRateText(std::int64_t intervalMicroseconds);

// The device instance ID of a raw-input device name:
//   \\?\HID#VID_046D&PID_C08B&MI_00#7&1a2b3c&0&0000#{378de44c-56ef-11d1-bc8c-00a0c91405dd}
// gives HID\VID_046D&PID_C08B&MI_00\7&1a2b3c&0&0000 (the "\\?\" or "\??\" prefix and
// the interface class GUID removed, "#" turned into "\"). Empty for a name of another form.
std::string InstanceIdFromRawInputName(const std::string& name);

}  // namespace morvane
