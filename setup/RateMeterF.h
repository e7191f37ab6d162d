// The rate meter window's logic, free of any toolkit: it registers the window for
// Raw Input from mice, times the reports of the measured device with the
// performance counter, ignores those of every other device, and gives the texts the
// window shows. The device is fixed when the meter opens (TMeterTarget, copied out
// of the list), so the meter keeps working when the main window rebuilds its device
// list; a newer target of the same device replaces its name and expectation.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "platform/types.h"
#include "ratemeter/MeterFigures.h"
#include "ratemeter/RateMeter.h"

namespace morvane {

// What the meter measures. The reports come from one USB device: the row itself, or
// for a row above it (a hub with a mouse below) the device below that sends them.
// The meter belongs to that device's instance ID; the row only names it.
struct TMeterTarget {
  std::string Name;                    // the row's name, for the caption
  std::string RowId;                   // instance ID of the row the meter was opened from
  std::string DeviceId;                // instance ID of the USB device that produces the reports
  std::vector<std::string> ChildIds;   // instance IDs of that device's mouse nodes among the row's leaves
  TPollingState State;                 // the producing device's polling settings now
  TExpectation Expectation;            // what the host polls at, from them
  std::optional<std::int64_t> ExpectedMicroseconds;  // Expectation.Microseconds
};

// The target for a device of the list: the USB device that produces the reports of
// its first mouse node (the nearest node at or above it with the USB device
// interface), that device's mouse nodes among the row's leaves, and the interval the
// host polls it at: Windows' period for its fastest endpoint's bInterval at its
// speed, or its rate override when the filter is among its lower filters; for
// settings this program changed since the device last started, as they were then.
TMeterTarget MeterTargetFor(TDevice& device);

// The target of the same measured device in a list made again: the row the meter was
// opened from when it is still there and still leads to that device, else the first
// row that does; nullopt when the device is no longer in the list.
std::optional<TMeterTarget> RefreshedTarget(TDeviceList& list, const TMeterTarget& current);

class TfrmRateMeter {
 public:
  // Records per buffered read, of the largest layout (48 bytes, 8-aligned).
  static constexpr std::size_t BufferRecords = 256;

  explicit TfrmRateMeter(TMeterTarget target);
  ~TfrmRateMeter();
  TfrmRateMeter(const TfrmRateMeter&) = delete;
  TfrmRateMeter& operator=(const TfrmRateMeter&) = delete;

  // Registers `window` for the mice (usage page 1, usage 2) with RIDEV_INPUTSINK, so
  // reports arrive while another window has the keyboard. False when the system
  // refuses; the error code is then in RegisterError().
  bool Start(HWND window);
  // Unregisters (RIDEV_REMOVE); does nothing when not registered.
  void Stop();
  bool IsRegistered() const { return registered_; }
  DWORD RegisterError() const { return registerError_; }

  // A WM_INPUT message (its lParam), then whatever else is queued.
  void OnInput(HRAWINPUT input);
  // Reads what is queued, timed as one batch at this moment.
  void ReadPending();
  // The display timer: reads what is queued and lets a pause end the burst.
  void OnTimer();

  const TMeterTarget& Target() const { return target_; }
  // Whether `target` measures this meter's device (instance IDs ignoring case).
  bool Measures(const TMeterTarget& target) const;
  // Takes the newer target of the same device (a row of it chosen again, or the list
  // made again): its name and expectation; the measurement goes on.
  void Retarget(TMeterTarget target);
  const TRateMeter& Meter() const { return meter_; }
  std::optional<std::int64_t> ExpectedTicks() const;
  std::uint64_t IgnoredReports() const { return ignored_; }

  // The figures of the intervals measured so far against the expected interval.
  TIntervalFigures Figures() const;
  // The reports kept for the plot (the last 2,000 of the burst) as CSV, one row per
  // report: its time in milliseconds since the first of them, the interval since the
  // one before (empty for the first), the measured device's instance ID; a header
  // row first, rows ending in CR LF.
  std::string IntervalsCsv() const;

  // The texts of the window, top to bottom: rate, expected rate, intervals, count,
  // late share, histogram, verdict, state.
  std::vector<std::string> Lines() const;
  std::string Caption() const;

 private:
  std::int64_t Now();
  bool IsTargetDevice(HANDLE device);
  void CountReport(const RAWINPUTHEADER& header, bool& ours);
  // Reads the queue with GetRawInputBuffer; the number of the target's reports read.
  std::size_t ReadQueued();

  TMeterTarget target_;
  TRateMeter meter_;
  HWND window_ = nullptr;
  bool registered_ = false;
  DWORD registerError_ = 0;
  std::uint64_t ignored_ = 0;
  std::map<HANDLE, bool> known_;             // raw-input device -> belongs to the target
  std::vector<std::uint64_t> buffer_;        // 8-byte aligned, as the buffered read requires
};

}  // namespace morvane
