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
  if (!inBurst_ || ticks - last_ > gapTicks_) {
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

std::optional<std::int64_t> ExpectedIntervalMicroseconds(unsigned rateIndex, unsigned char speed,
                                                         unsigned bInterval) {
  const bool highOrFaster = speed >= 2;
  if (rateIndex > 6) rateIndex = 6;
  if (rateIndex > 0) {
    if (highOrFaster) return std::int64_t{125} << (rateIndex - 1);
    return std::int64_t{1000} << (rateIndex - 1);
  }
  if (bInterval == 0) return std::nullopt;
  if (highOrFaster) {
    if (bInterval > 16) return std::nullopt;
    return std::int64_t{125} << (bInterval - 1);
  }
  std::int64_t frames = 1;
  while (frames * 2 <= static_cast<std::int64_t>(bInterval)) frames *= 2;
  return frames * 1000;
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
