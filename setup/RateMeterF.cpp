#include "setup/RateMeterF.h"

#include <cstring>

#include "devaccess/DevAccess.h"
#include "devices/DeviceTables.h"
#include "devices/SessionChanges.h"
#include "platform/platform.h"

namespace morvane {
namespace {

constexpr UINT kFailed = static_cast<UINT>(-1);
constexpr USHORT kGenericDesktop = 1;
constexpr USHORT kMouseUsage = 2;

std::int64_t CounterFrequency() {
  LARGE_INTEGER f{};
  if (!platform::RawInput().QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return 1'000'000;
  return f.QuadPart;
}

bool SameIdIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

}  // namespace

namespace {

// Far deeper than any real device tree; ends the upward walk on a tree that loops.
constexpr int kMaxWalk = 64;

// The node that produces the reports of `leaf`: the nearest node at or above it with
// the USB device interface, or the row itself when the walk reaches it first. 0 when
// the walk ends without either.
DEVINST ProducerOf(TDevice& row, DEVINST leaf) {
  DEVINST node = leaf;
  for (int depth = 0; depth < kMaxWalk; ++depth) {
    if (node == row.InfoData.DevInst) return node;
    if (row.HasInterface(GUID_DEVINTERFACE_USB_DEVICE, node)) return node;
    DEVINST parent = 0;
    if (platform::ConfigManager().CM_Get_Parent(&parent, node, 0) != CR_SUCCESS || parent == node) break;
    node = parent;
  }
  return 0;
}

TPollingState StateOf(TDevice& device) {
  TPollingState state;
  state.Speed = device.GetSpeed();
  state.BInterval = device.QueryConnection() ? device.GetMinInterval() : 0;
  state.RateIndex = device.GetRate();
  state.FilterAttached = device.IsFilterInstalled();
  return state;
}

TExpectation ExpectationOf(const std::string& deviceId, const TPollingState& now) {
  const std::optional<TSettingsAtStart> atStart = SettingsAtStart(deviceId);
  if (!atStart) return ExpectationFor(now, std::nullopt);
  if (!atStart->Known) {
    // Changed this session from settings that were never read: what the host polls
    // now is not known, only what it will poll after a restart.
    TExpectation expectation;
    expectation.AfterRestart = true;
    expectation.AfterRestartMicroseconds = ExpectationFor(now, std::nullopt).Microseconds;
    return expectation;
  }
  TPollingState started = now;
  started.FilterAttached = atStart->FilterInstalled;
  started.RateIndex = atStart->RateIndex;
  return ExpectationFor(now, started);
}

}  // namespace

TMeterTarget MeterTargetFor(TDevice& device) {
  TMeterTarget target;
  target.Name = device.GetName();
  target.RowId = device.InstanceId;
  // The mouse nodes among the row's leaves, each with the node that produces its reports.
  DEVINST producer = 0;
  for (DEVINST child : device.GetChildren()) {
    if (!device.IsOfSetupClass(GUID_DEVCLASS_MOUSE, child)) continue;
    const DEVINST from = ProducerOf(device, child);
    if (producer == 0) producer = from;
    if (from != producer) continue;  // another mouse below the same hub: not this meter's
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!device.FindDevInfo(child, data)) continue;
    const std::string id = GetInstanceId(device.LookupSet, data);
    if (!id.empty()) target.ChildIds.push_back(id);
  }
  if (producer == 0 || producer == device.InfoData.DevInst) {
    target.DeviceId = device.InstanceId;
    target.State = StateOf(device);
  } else {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (device.FindDevInfo(producer, data)) {
      TDevice below(device.LookupSet, data, device.LookupSet);
      target.DeviceId = below.InstanceId;
      target.State = StateOf(below);
    } else {
      target.DeviceId = device.InstanceId;  // not found again: the row stands for it, nothing is expected
      target.State = TPollingState{};
    }
  }
  target.Expectation = ExpectationOf(target.DeviceId, target.State);
  target.ExpectedMicroseconds = target.Expectation.Microseconds;
  return target;
}

std::optional<TMeterTarget> RefreshedTarget(TDeviceList& list, const TMeterTarget& current) {
  std::optional<TMeterTarget> found;
  for (int i = 0; i < list.Count(); ++i) {
    TDevice& row = list.GetDevice(i);
    const bool sameRow = SameIdIgnoringCase(row.InstanceId, current.RowId);
    if (!sameRow && found) continue;
    if (!row.HasMouseChild()) continue;
    TMeterTarget target = MeterTargetFor(row);
    if (!SameIdIgnoringCase(target.DeviceId, current.DeviceId)) continue;
    if (sameRow) return target;
    found = std::move(target);
  }
  return found;
}

TfrmRateMeter::TfrmRateMeter(TMeterTarget target)
    : target_(std::move(target)),
      meter_(CounterFrequency()),
      buffer_(BufferRecords * ((sizeof(RAWINPUT) + 7) / 8 + 1)) {}

TfrmRateMeter::~TfrmRateMeter() { Stop(); }

bool TfrmRateMeter::Start(HWND window) {
  if (registered_) return true;
  RAWINPUTDEVICE mice{};
  mice.usUsagePage = kGenericDesktop;
  mice.usUsage = kMouseUsage;
  mice.dwFlags = RIDEV_INPUTSINK;
  mice.hwndTarget = window;
  if (!platform::RawInput().RegisterRawInputDevices(&mice, 1, sizeof mice)) {
    registerError_ = platform::System().GetLastError();
    return false;
  }
  window_ = window;
  registered_ = true;
  registerError_ = 0;
  return true;
}

void TfrmRateMeter::Stop() {
  if (!registered_) return;
  RAWINPUTDEVICE mice{};
  mice.usUsagePage = kGenericDesktop;
  mice.usUsage = kMouseUsage;
  mice.dwFlags = RIDEV_REMOVE;
  mice.hwndTarget = nullptr;  // removing takes no target
  platform::RawInput().RegisterRawInputDevices(&mice, 1, sizeof mice);
  registered_ = false;
  window_ = nullptr;
}

std::int64_t TfrmRateMeter::Now() {
  LARGE_INTEGER now{};
  platform::RawInput().QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::optional<std::int64_t> TfrmRateMeter::ExpectedTicks() const {
  if (!target_.ExpectedMicroseconds) return std::nullopt;
  return MulDivRound(*target_.ExpectedMicroseconds, meter_.Frequency(), 1'000'000);
}

bool TfrmRateMeter::IsTargetDevice(HANDLE device) {
  if (auto it = known_.find(device); it != known_.end()) return it->second;
  // The device's name, e.g. \\?\HID#VID_1A2C&PID_0E24&MI_00#...#{guid}, names its HID
  // node; a device that cannot be named is not ours. Either answer is kept, so each
  // device is asked once per meter.
  bool ours = false;
  UINT chars = 0;
  platform::IRawInput& raw = platform::RawInput();
  if (raw.GetRawInputDeviceInfoA(device, RIDI_DEVICENAME, nullptr, &chars) == 0 && chars > 0 && chars < 4096) {
    std::string name(chars + 1, '\0');
    UINT size = chars + 1;
    if (raw.GetRawInputDeviceInfoA(device, RIDI_DEVICENAME, name.data(), &size) != kFailed) {
      name.resize(std::strlen(name.c_str()));
      const std::string id = InstanceIdFromRawInputName(name);
      for (const std::string& child : target_.ChildIds) ours = ours || (!id.empty() && SameIdIgnoringCase(id, child));
    }
  }
  known_.emplace(device, ours);
  return ours;
}

void TfrmRateMeter::CountReport(const RAWINPUTHEADER& header, bool& ours) {
  ours = header.dwType == RIM_TYPEMOUSE && IsTargetDevice(header.hDevice);
  if (!ours) ++ignored_;
}

void TfrmRateMeter::OnInput(HRAWINPUT input) {
  // The moment the message is handled times its report and whatever else is queued
  // behind it; the header is all the meter needs of a report.
  const std::int64_t now = Now();
  RAWINPUTHEADER header{};
  UINT size = sizeof header;
  std::size_t ours = 0;
  if (platform::RawInput().GetRawInputData(input, RID_HEADER, &header, &size, sizeof(RAWINPUTHEADER)) ==
      sizeof header) {
    bool mine = false;
    CountReport(header, mine);
    ours += mine ? 1 : 0;
  }
  ours += ReadQueued();
  meter_.AddBatch(ours, now);
}

void TfrmRateMeter::ReadPending() {
  const std::int64_t now = Now();
  meter_.AddBatch(ReadQueued(), now);
}

// How reports are timed: Raw Input carries no arrival time. A report handled as its
// own WM_INPUT message is timed when the message is handled. Reports read with
// GetRawInputBuffer (those queued behind a message, or found by the display timer)
// were queued before the read began, so the whole read is one batch timed at that
// moment, whose reports TRateMeter::AddBatch spreads evenly over the time since the
// previous report (the last at that moment). At 8,000 reports per second one message
// per report would fall behind; reading the queue whole at each message or timer tick
// keeps up, at the cost of per-report times within a batch.
std::size_t TfrmRateMeter::ReadQueued() {
  if (!registered_) return 0;
  platform::IRawInput& raw = platform::RawInput();
  std::size_t ours = 0;
  // Records start on 8-byte boundaries. Only the header's type, size and device are
  // read, which lie at the same offsets (0, 4, 8) in the 32-bit and the 64-bit
  // layout, so a 32-bit program on 64-bit Windows, whose buffer holds 64-bit records,
  // reads them alike; it steps by each record's own size. The rounds are bounded so
  // that a flood of input cannot hold the message loop.
  for (int round = 0; round < 64; ++round) {
    UINT size = static_cast<UINT>(buffer_.size() * sizeof(std::uint64_t));
    const UINT count = raw.GetRawInputBuffer(reinterpret_cast<PRAWINPUT>(buffer_.data()), &size,
                                             sizeof(RAWINPUTHEADER));
    if (count == 0 || count == kFailed) break;
    const auto* bytes = reinterpret_cast<const BYTE*>(buffer_.data());
    const std::size_t limit = buffer_.size() * sizeof(std::uint64_t);
    std::size_t offset = 0;
    for (UINT i = 0; i < count && offset + sizeof(RAWINPUTHEADER) <= limit; ++i) {
      RAWINPUTHEADER header{};
      std::memcpy(&header, bytes + offset, sizeof header);
      if (header.dwSize < sizeof(RAWINPUTHEADER)) break;
      bool mine = false;
      CountReport(header, mine);
      ours += mine ? 1 : 0;
      offset += (static_cast<std::size_t>(header.dwSize) + 7) & ~std::size_t{7};
    }
  }
  return ours;
}

void TfrmRateMeter::OnTimer() {
  ReadPending();
  meter_.Tick(Now());
}

std::string TfrmRateMeter::Caption() const { return "Polling Rate - " + target_.Name; }

bool TfrmRateMeter::Measures(const TMeterTarget& target) const {
  return !target.DeviceId.empty() && SameIdIgnoringCase(target.DeviceId, target_.DeviceId);
}

void TfrmRateMeter::Retarget(TMeterTarget target) {
  if (target.ChildIds != target_.ChildIds) known_.clear();  // the devices are asked again
  target_ = std::move(target);
}

std::string TfrmRateMeter::IntervalsCsv() const {
  const std::vector<std::int64_t> intervals = meter_.PlotIntervals();
  const std::int64_t frequency = meter_.Frequency();
  // Milliseconds with four decimals (0.1 us), from ticks.
  auto ms = [frequency](std::int64_t ticks) {
    const std::int64_t tenThousandths = MulDivRound(ticks, 10'000'000, frequency);
    std::string fraction = std::to_string(tenThousandths % 10000);
    return std::to_string(tenThousandths / 10000) + "." + std::string(4 - fraction.size(), '0') + fraction;
  };
  std::string device = "\"";
  for (char c : target_.DeviceId) device += c == '"' ? std::string("\"\"") : std::string(1, c);
  device += "\"";
  std::string csv = "time_ms,interval_ms,device\r\n";
  if (meter_.Figures().Count == 0) return csv;
  std::int64_t time = 0;
  csv += ms(0) + ",," + device + "\r\n";
  for (std::int64_t interval : intervals) {
    time += interval;
    csv += ms(time) + "," + ms(interval) + "," + device + "\r\n";
  }
  return csv;
}

TIntervalFigures TfrmRateMeter::Figures() const {
  return ComputeIntervalFigures(meter_.PlotIntervals(), meter_.Figures().Rate, ExpectedTicks());
}

std::vector<std::string> TfrmRateMeter::Lines() const {
  const TRateFigures f = meter_.Figures();
  const TIntervalFigures figures = Figures();
  const TExpectation& expectation = target_.Expectation;
  const bool judged = figures.Intervals >= MinimumIntervalsForVerdict;
  std::vector<std::string> lines;
  if (judged && figures.MotionLimited) {
    lines.push_back("Rate: - (the reports follow the motion)");
  } else {
    lines.push_back(f.Rate > 0 ? "Rate: " + std::to_string(f.Rate) + " reports/s" : "Rate: -");
  }
  std::string expected = expectation.Microseconds
                             ? "Expected: " + ExpectedRateText(*expectation.Microseconds) + " reports/s"
                             : "Expected: unknown";
  if (expectation.AfterRestart) {
    expected += "; " +
                (expectation.AfterRestartMicroseconds ? ExpectedRateText(*expectation.AfterRestartMicroseconds)
                                                      : std::string("unknown")) +
                " after a restart";
  }
  lines.push_back(expected);
  if (figures.Intervals > 0) {
    lines.push_back("Interval: min " + meter_.MillisecondsText(figures.MinTicks) + " ms, median " +
                    meter_.MillisecondsText(figures.MedianTicks) + " ms, p99 " +
                    meter_.MillisecondsText(figures.P99Ticks) + " ms, max " +
                    meter_.MillisecondsText(figures.MaxTicks) + " ms");
  } else {
    lines.push_back("Interval: -");
  }
  lines.push_back("Reports: " + std::to_string(f.Count));
  lines.push_back("Late (over 1.5x expected): " +
                  (figures.Intervals > 0 && figures.ExpectedTicks ? LateShareText(figures) + " %" : std::string("-")));
  lines.push_back(figures.Intervals > 0 ? "Histogram: " + HistogramText(figures) : "Histogram: -");
  lines.push_back(VerdictText(figures, expectation));
  if (!registered_ && registerError_ != 0) {
    lines.push_back("Raw Input is not available (error " + std::to_string(registerError_) + ").");
  } else if (f.Moving) {
    lines.push_back("Measuring...");
  } else if (f.Count > 0) {
    lines.push_back("Stopped. Move the mouse again for a new measurement.");
  } else {
    lines.push_back("Move the mouse to measure.");
  }
  return lines;
}

}  // namespace morvane
