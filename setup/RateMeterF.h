// The rate meter window's logic, free of any toolkit: it registers the window for
// Raw Input from mice, times the reports of the measured device with the
// performance counter, ignores those of every other device, and gives the texts the
// window shows. The device is fixed when the meter opens (TMeterTarget), so the
// meter keeps working when the main window rebuilds its device list.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "platform/types.h"
#include "ratemeter/RateMeter.h"

namespace morvane {

// What the meter measures: the device as the grid shows it.
struct TMeterTarget {
  std::string Name;
  std::vector<std::string> ChildIds;   // instance IDs of the device's leaf children (its HID nodes)
  std::optional<std::int64_t> ExpectedMicroseconds;
};

// The target for a device of the list: its name, children and the interval its rate
// override, or else its fastest endpoint's bInterval with its speed, stands for.
TMeterTarget MeterTargetFor(TDevice& device);

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
  const TRateMeter& Meter() const { return meter_; }
  std::optional<std::int64_t> ExpectedTicks() const;
  std::uint64_t IgnoredReports() const { return ignored_; }

  // The texts of the window, top to bottom: rate, expected rate, intervals, count, state.
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
