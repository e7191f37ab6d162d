#include "ratemeter/RateMeter.h"

#include <algorithm>
#include <cstdio>

namespace morvane {

std::int64_t MulDivRound(std::int64_t a, std::int64_t num, std::int64_t den) {
  const std::int64_t q = a / den;
  const std::int64_t r = a % den;
  return q * num + (r * num + den / 2) / den;
}

TRateMeter::TRateMeter(std::int64_t frequency)
    : frequency_(frequency > 0 ? frequency : 1), gapTicks_(MulDivRound(frequency_, BurstGapMs, 1000)) {
  intervals_.reserve(PlotCapacity);
}

void TRateMeter::Reset() {
  inBurst_ = false;
  moving_ = false;
  count_ = 0;
  last_ = 0;
  window_.clear();
  intervals_.clear();
  next_ = 0;
}

void TRateMeter::StartBurst(std::int64_t ticks) {
  Reset();
  inBurst_ = true;
  moving_ = true;
  count_ = 1;
  last_ = ticks;
  window_.push_back(ticks);
}

void TRateMeter::Append(std::int64_t ticks) {
  const std::int64_t interval = ticks - last_;
  if (intervals_.size() < PlotCapacity) {
    intervals_.push_back(interval);
  } else {
    intervals_[next_] = interval;
  }
  next_ = (next_ + 1) % PlotCapacity;
  ++count_;
  last_ = ticks;
  window_.push_back(ticks);
  TrimWindow();
}

void TRateMeter::TrimWindow() {
  // Keep the reports of the last second: those no more than one second older than the last.
  while (!window_.empty() && last_ - window_.front() > frequency_) window_.pop_front();
}

void TRateMeter::AddReport(std::int64_t ticks) {
  if (inBurst_ && ticks < last_) ticks = last_;
  if (!inBurst_ || ticks - last_ > gapTicks_) {
    StartBurst(ticks);
    return;
  }
  moving_ = true;
  Append(ticks);
}

void TRateMeter::AddBatch(std::size_t count, std::int64_t ticks) {
  if (count == 0) return;
  if (inBurst_ && ticks < last_) ticks = last_;
  // Only a pause that Tick saw ends the burst: a batch read late because the reader
  // itself was held up holds reports that came all along.
  if (!inBurst_ || (!moving_ && ticks - last_ > gapTicks_)) {
    StartBurst(ticks);
    count_ += count - 1;
    return;
  }
  moving_ = true;
  const std::int64_t from = last_;
  const std::int64_t span = ticks - from;
  const auto n = static_cast<std::int64_t>(count);
  for (std::int64_t i = 1; i <= n; ++i) Append(from + MulDivRound(span, i, n));
}

void TRateMeter::Tick(std::int64_t ticks) {
  if (moving_ && ticks - last_ > gapTicks_) moving_ = false;
}

TRateFigures TRateMeter::Figures() const {
  TRateFigures f;
  f.Count = count_;
  f.Moving = moving_;
  if (window_.size() >= 2) {
    const std::int64_t span = window_.back() - window_.front();
    if (span > 0) f.Rate = MulDivRound(static_cast<std::int64_t>(window_.size() - 1), frequency_, span);
  }
  if (!intervals_.empty()) {
    std::vector<std::int64_t> sorted = intervals_;
    const std::size_t mid = sorted.size() / 2;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(mid), sorted.end());
    std::int64_t median = sorted[mid];
    if (sorted.size() % 2 == 0) {
      // The mean of the two middle values; the lower one is the largest of the lower half.
      const std::int64_t lower = *std::max_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(mid));
      median = lower + (median - lower) / 2 + ((median - lower) % 2);
    }
    const auto [lo, hi] = std::minmax_element(intervals_.begin(), intervals_.end());
    f.MinTicks = *lo;
    f.MaxTicks = *hi;
    f.MedianTicks = median;
    f.HasIntervals = true;
  }
  return f;
}

std::vector<std::int64_t> TRateMeter::PlotIntervals() const {
  if (intervals_.size() < PlotCapacity) return intervals_;
  std::vector<std::int64_t> ordered;
  ordered.reserve(PlotCapacity);
  ordered.insert(ordered.end(), intervals_.begin() + static_cast<std::ptrdiff_t>(next_), intervals_.end());
  ordered.insert(ordered.end(), intervals_.begin(), intervals_.begin() + static_cast<std::ptrdiff_t>(next_));
  return ordered;
}

std::string TRateMeter::MillisecondsText(std::int64_t ticks) const {
  if (ticks < 0) ticks = 0;
  const std::int64_t hundredths = MulDivRound(ticks, 100000, frequency_);
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  return text;
}

namespace {

// One row of a polling table: bInterval values up to `Last` are polled every
// `Period` units (frames or microframes).
struct TPollingRow {
  unsigned Last;
  std::int64_t Period;
};

// The tables of Microsoft's documentation of USB_ENDPOINT_DESCRIPTOR (usbspec.h), row
// by row: https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/usbspec/ns-usbspec-_usb_endpoint_descriptor
// (source: MicrosoftDocs/windows-driver-docs-ddi, wdk-ddi-src/content/usbspec/
// ns-usbspec-_usb_endpoint_descriptor.md), "valid in Windows 2000 and later":
//   low speed, 1 ms frames:     0-15 -> 8, 16-35 -> 16, 36-255 -> 32;
//   full speed, 1 ms frames:    1 -> 1, 2-3 -> 2, 4-7 -> 4, 8-15 -> 8, 16-31 -> 16, 32-255 -> 32;
//   high speed, microframes:    1 -> 1, 2 -> 2, 3 -> 4, 4 -> 8, 5 -> 16, 6 -> 32, 7-255 -> 32
//                               (2 ** (bInterval - 1), at most 32 microframes = 4 ms).
// bInterval 0 has no row at full and high speed. The documentation names no faster
// speed; SuperSpeed and faster are given the high-speed rows (same microframe unit).
constexpr TPollingRow kLowSpeedFrames[] = {{15, 8}, {35, 16}, {255, 32}};
constexpr TPollingRow kFullSpeedFrames[] = {{0, 0}, {1, 1}, {3, 2}, {7, 4}, {15, 8}, {31, 16}, {255, 32}};
constexpr TPollingRow kHighSpeedMicroframes[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 16}, {6, 32}, {255, 32}};

template <std::size_t N>
std::optional<std::int64_t> Lookup(const TPollingRow (&table)[N], unsigned bInterval, std::int64_t unitUs) {
  for (const TPollingRow& row : table) {
    if (bInterval <= row.Last) {
      if (row.Period == 0) return std::nullopt;  // a value the table leaves out
      return row.Period * unitUs;
    }
  }
  return std::nullopt;  // above 255: forbidden by the USB specification
}

}  // namespace

std::optional<std::int64_t> WindowsPollingMicroseconds(unsigned char speed, unsigned bInterval) {
  switch (speed) {
    case SpeedLow: return Lookup(kLowSpeedFrames, bInterval, 1000);
    case SpeedFull: return Lookup(kFullSpeedFrames, bInterval, 1000);
    case 2:
    case 3:
    case 4: return Lookup(kHighSpeedMicroframes, bInterval, 125);
    default: return std::nullopt;
  }
}

std::optional<std::int64_t> OverrideMicroseconds(unsigned rateIndex, unsigned char speed) {
  if (rateIndex == 0) return std::nullopt;
  if (rateIndex > 6) rateIndex = 6;
  if (speed >= 2) return std::int64_t{125} << (rateIndex - 1);
  return std::int64_t{1000} << (rateIndex - 1);
}

std::optional<std::int64_t> ExpectedIntervalMicroseconds(unsigned rateIndex, unsigned char speed,
                                                         unsigned bInterval) {
  if (rateIndex > 0) return OverrideMicroseconds(rateIndex, speed);
  return WindowsPollingMicroseconds(speed, bInterval);
}

namespace {

struct TPolled {
  std::optional<std::int64_t> Microseconds;
  bool FromOverride = false;
  bool OverrideWithoutFilter = false;
};

TPolled PolledFor(const TPollingState& state) {
  TPolled polled;
  if (state.RateIndex > 0 && state.FilterAttached) {
    polled.Microseconds = OverrideMicroseconds(state.RateIndex, state.Speed);
    polled.FromOverride = true;
  } else {
    polled.Microseconds = WindowsPollingMicroseconds(state.Speed, state.BInterval);
    polled.OverrideWithoutFilter = state.RateIndex > 0;
  }
  return polled;
}

}  // namespace

TExpectation ExpectationFor(const TPollingState& now, const std::optional<TPollingState>& atStart) {
  // A changed setting is read when the device starts again: until then the host polls
  // as the settings at the last start say.
  const TPolled current = PolledFor(atStart ? *atStart : now);
  TExpectation expectation;
  expectation.Microseconds = current.Microseconds;
  expectation.FromOverride = current.FromOverride;
  expectation.OverrideWithoutFilter = current.OverrideWithoutFilter;
  if (atStart && !(*atStart == now)) {
    expectation.AfterRestart = true;
    expectation.AfterRestartMicroseconds = PolledFor(now).Microseconds;
  }
  return expectation;
}

std::string ExpectedRateText(std::int64_t intervalMicroseconds) {
  if (intervalMicroseconds <= 0) return "";
  const std::int64_t hundredths = MulDivRound(100000000, 1, intervalMicroseconds);
  std::string text = std::to_string(hundredths / 100);
  const std::int64_t fraction = hundredths % 100;
  if (fraction != 0) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02lld", static_cast<long long>(fraction));
    text += '.';
    text += digits;
    if (text.back() == '0') text.pop_back();
  }
  return text;
}

std::string InstanceIdFromRawInputName(const std::string& name) {
  std::string rest;
  if (name.rfind("\\\\?\\", 0) == 0 || name.rfind("\\??\\", 0) == 0) {
    rest = name.substr(4);
  } else {
    return "";
  }
  const std::size_t guid = rest.rfind("#{");
  if (guid == std::string::npos || rest.back() != '}') return "";
  rest.resize(guid);
  if (rest.empty()) return "";
  std::replace(rest.begin(), rest.end(), '#', '\\');
  return rest;
}

}  // namespace morvane
