// The simulated machine's Raw Input and performance counter: the present mouse-class
// nodes of the model are the raw-input mice, players deliver streams of mouse reports
// at given rates, and the registered window receives them as WM_INPUT messages
// (NextMessage) or through buffered reads. The counter is simulated (advanced by the
// test) or follows a clock handed in (setup-sim.exe uses the real counter).
// docs/sim-system.md lists the functions, their log texts and failures.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/core.h"

namespace sim {

// A stream of relative mouse reports of one device.
struct RawInputStream {
  // Instance ID of a mouse-class node, or of a device with one below it (the first
  // mouse-class descendant plays).
  std::string device;
  std::uint32_t rate = 1000;   // reports per second, > 0
  std::uint64_t count = 0;     // reports in all; 0: endless
  LONGLONG start = 0;          // counter value of the first report
  LONG dx = 1;
  LONG dy = 0;
};

// Streams written as "<rate>:<instance ID>" separated by ";" (as setup-sim.exe reads
// them from MORVANE_RAW_INPUT), e.g. "1000:USB\VID_1A2C&PID_0E24\6&1F2A3B4C&0&1".
// Throws std::invalid_argument naming the entry that is not of that form.
std::vector<RawInputStream> ParseRawInputStreams(const std::string& text);

class RawInputServices final : public platform::IRawInput {
 public:
  static constexpr std::size_t QueueLimit = 10000;  // pending reports; later ones are dropped
  static constexpr LONGLONG DefaultFrequency = 10'000'000;

  explicit RawInputServices(SimCore& core);

  // IRawInput.
  BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size) override;
  UINT GetRawInputData(HRAWINPUT input, UINT command, LPVOID data, PUINT size, UINT headerSize) override;
  UINT GetRawInputBuffer(PRAWINPUT data, PUINT size, UINT headerSize) override;
  UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size) override;
  UINT GetRawInputDeviceList(PRAWINPUTDEVICELIST list, PUINT count, UINT size) override;
  BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) override;
  BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) override;

  // The counter: simulated by default (starting at 0), moved on by Advance; or the
  // clock handed to UseClock with its frequency.
  void SetCounter(LONGLONG value) { counter_ = value; }
  void Advance(LONGLONG ticks) { counter_ += ticks; }
  void SetFrequency(LONGLONG frequency) { frequency_ = frequency; }
  void UseClock(std::function<LONGLONG()> clock, LONGLONG frequency);
  LONGLONG Now() const;
  LONGLONG Frequency() const { return frequency_; }

  // Players. Play throws std::invalid_argument for a device with no mouse-class node.
  void Play(RawInputStream stream);
  void StopStreams() { streams_.clear(); }

  // The next WM_INPUT the registered window would get (its lParam), with the reports
  // due at the counter's current value; null when none is pending. The handle stays
  // readable with GetRawInputData until the next call.
  HRAWINPUT NextMessage();
  std::size_t PendingCount();
  std::uint64_t DroppedCount() const { return dropped_; }

  // The registration for a usage (page 1, usage 2 for mice); null target and flags 0
  // when there is none.
  bool IsRegistered(USHORT usagePage, USHORT usage) const;
  HWND Target(USHORT usagePage, USHORT usage) const;
  DWORD Flags(USHORT usagePage, USHORT usage) const;

  // The raw-input handle and name of a mouse-class node (null / empty when it is none).
  HANDLE DeviceHandle(const std::string& instanceId);
  static std::string DeviceName(const std::string& instanceId);

 private:
  struct Report {
    std::uintptr_t message = 0;
    HANDLE device = nullptr;
    LONGLONG time = 0;
    LONG dx = 0;
    LONG dy = 0;
  };
  struct Player {
    RawInputStream stream;
    std::string mouse;       // the instance ID that plays
    std::uint64_t next = 0;  // index of the next report
  };

  const Device* FindMouse(const std::string& instanceId) const;
  std::vector<const Device*> Mice() const;
  const Device* MouseOfHandle(HANDLE handle) const;
  LONGLONG TimeOf(const Player& player, std::uint64_t index) const;
  std::uint64_t FirstIndexAfter(const Player& player, LONGLONG now) const;
  void Pump();
  bool MiceRegistered() const { return IsRegistered(1, 2); }
  void FillRecord(const Report& report, RAWINPUT& record) const;
  UINT Fail(DWORD error);

  SimCore& core_;
  LONGLONG counter_ = 0;
  LONGLONG frequency_ = DefaultFrequency;
  std::function<LONGLONG()> clock_;
  std::map<std::pair<USHORT, USHORT>, RAWINPUTDEVICE> registrations_;
  std::vector<Player> streams_;
  std::deque<Report> queue_;
  Report current_;
  std::uintptr_t nextMessage_ = 0x5A000010;
  std::uint64_t dropped_ = 0;
  std::map<std::string, std::uintptr_t> handles_;  // upper-case instance ID -> raw-input handle
  std::uintptr_t nextHandle_ = 0x00710000;
};

}  // namespace sim
