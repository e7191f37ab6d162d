// The rate meter's logic end to end over the built-in simulated PC: the gaming mouse
// is measured while the optical mouse moves too.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "devices/DeviceList.h"
#include "devices/SessionChanges.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "setup/RateMeterF.h"

namespace morvane {
namespace {

const char* const kGamingMouse = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
const char* const kGamingMouseHid = "HID\\VID_1A2C&PID_0E24&MI_00&COL01\\9&3A1F2B7C&0&0000";
const char* const kOpticalMouse = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";
const char* const kHub = "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3";
const HWND kWindow = reinterpret_cast<HWND>(0x4242);
constexpr LONGLONG kMs = 10'000;  // simulated counter ticks per millisecond

class MeterWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = sim::Machine::Default();
    scope_.emplace(machine_->Backend());
    raw().SetCounter(123'456'789'000);
  }
  void TearDown() override {
    meter_.reset();
    ForgetSessionChanges();
    list_.reset();
    EXPECT_EQ(machine_->LeakReport(), "");
    scope_.reset();
  }

  sim::RawInputServices& raw() { return machine_->RawInput(); }

  TDevice& Mouse(const std::string& id) {
    if (!list_) list_ = std::make_unique<TDeviceList>(0);
    for (int i = 0; i < list_->Count(); ++i) {
      if (list_->GetDevice(i).InstanceId == id) return list_->GetDevice(i);
    }
    throw std::runtime_error("not in the list: " + id);
  }

  TfrmRateMeter& Open(const std::string& id) {
    meter_ = std::make_unique<TfrmRateMeter>(MeterTargetFor(Mouse(id)));
    EXPECT_TRUE(meter_->Start(kWindow));
    return *meter_;
  }

  void Play(const std::string& device, std::uint32_t rate, std::uint64_t count = 0) {
    sim::RawInputStream stream;
    stream.device = device;
    stream.rate = rate;
    stream.count = count;
    stream.start = raw().Now() + 1;
    raw().Play(stream);
  }

  // Runs the window's message loop for `ms` milliseconds in steps of `stepUs`
  // microseconds: every WM_INPUT is handed to the meter as it arrives.
  void DeliverMessages(LONGLONG ms, LONGLONG stepUs = 50) {
    for (LONGLONG t = 0; t < ms * 1000; t += stepUs) {
      raw().Advance(stepUs * 10);
      while (HRAWINPUT input = raw().NextMessage()) meter_->OnInput(input);
    }
  }

  // Only the display timer reads, every `periodMs` milliseconds.
  void RunTimer(LONGLONG ms, LONGLONG periodMs = 50) {
    for (LONGLONG t = 0; t < ms; t += periodMs) {
      raw().Advance(periodMs * kMs);
      meter_->OnTimer();
    }
  }

  std::unique_ptr<sim::Machine> machine_;
  std::optional<platform::ScopedBackend> scope_;
  std::unique_ptr<TDeviceList> list_;
  std::unique_ptr<TfrmRateMeter> meter_;
};

TEST_F(MeterWindow, TheTargetIsTheDeviceWithItsChildrenAndTheRateTheGridExpects) {
  const TMeterTarget gaming = MeterTargetFor(Mouse(kGamingMouse));
  EXPECT_EQ(gaming.Name, "USB Composite Device - Raptor Pro Gaming Mouse");
  EXPECT_EQ(gaming.ChildIds, std::vector<std::string>{kGamingMouseHid});
  EXPECT_EQ(gaming.ExpectedMicroseconds, 1000);  // its override, rate index 1 at full speed

  const TMeterTarget optical = MeterTargetFor(Mouse(kOpticalMouse));
  EXPECT_EQ(optical.ExpectedMicroseconds, 8000);  // no override: bInterval 10 at low speed, polled every 8 ms
  TfrmRateMeter meter(optical);
  EXPECT_EQ(meter.Lines()[1], "Expected: 125 reports/s");
}

TEST_F(MeterWindow, RegistersTheWindowForMiceAndUnregistersWhenItEnds) {
  Open(kGamingMouse);
  EXPECT_TRUE(raw().IsRegistered(1, 2));
  EXPECT_EQ(raw().Target(1, 2), kWindow);
  EXPECT_EQ(raw().Flags(1, 2), RIDEV_INPUTSINK);
  EXPECT_EQ(meter_->Lines().back(), "Move the mouse to measure.");

  meter_.reset();  // the window closes
  EXPECT_FALSE(raw().IsRegistered(1, 2));
  const auto calls = machine_->CallsTo("RegisterRawInputDevices");
  ASSERT_EQ(calls.size(), 2u);
  Play(kGamingMouse, 1000);
  raw().Advance(100 * kMs);
  EXPECT_EQ(raw().PendingCount(), 0u);  // nothing is queued for a window that has gone
}

TEST_F(MeterWindow, MeasuresOneThousandHertzMessageByMessageAndIgnoresTheOtherMouse) {
  Open(kGamingMouse);
  Play(kGamingMouse, 1000);
  Play(kOpticalMouse, 125);
  DeliverMessages(2000);
  const auto lines = meter_->Lines();
  EXPECT_EQ(lines[0], "Rate: 1000 reports/s");
  EXPECT_EQ(lines[1], "Expected: 1000 reports/s");
  EXPECT_EQ(lines[2], "Interval: min 1.00 ms, median 1.00 ms, p99 1.00 ms, max 1.00 ms");
  EXPECT_EQ(lines[3], "Reports: 2000");
  EXPECT_EQ(lines[4], "Late (over 1.5x expected): 0.0 %");
  EXPECT_EQ(lines[5], "Histogram: <0.9x 0 | 0.9-1.1x 1999 | 1.1-1.5x 0 | 1.5-3x 0 | >3x 0");
  EXPECT_EQ(lines[6], "Reaches 1000 reports/s, as set.");
  EXPECT_EQ(lines[7], "Measuring...");
  EXPECT_EQ(lines.size(), 8u);
  EXPECT_EQ(meter_->IgnoredReports(), 250u);
  // Each device's name was asked for once (a size query and the read).
  EXPECT_EQ(machine_->CountCalls("GetRawInputDeviceInfoA"), 4u);
}

TEST_F(MeterWindow, ReportsMadeBeforeTheMeterOpenedAreNotCounted) {
  Play(kGamingMouse, 8000);
  raw().Advance(5000 * kMs);
  Open(kGamingMouse);
  RunTimer(1000);
  EXPECT_EQ(meter_->Lines()[3], "Reports: 8000");
}

TEST_F(MeterWindow, MeasuresEightThousandHertzThroughBufferedReads) {
  Open(kGamingMouse);
  Play(kGamingMouse, 8000);
  Play(kOpticalMouse, 1000);
  RunTimer(2000);
  const auto lines = meter_->Lines();
  EXPECT_EQ(lines[0], "Rate: 8000 reports/s");
  EXPECT_EQ(lines[2], "Interval: min 0.13 ms, median 0.13 ms, p99 0.13 ms, max 0.13 ms");
  EXPECT_EQ(lines[3], "Reports: 16000");
  EXPECT_EQ(meter_->IgnoredReports(), 2000u);
  EXPECT_EQ(raw().DroppedCount(), 0u);
  EXPECT_EQ(meter_->Meter().PlotIntervals().size(), 2000u);
}

TEST_F(MeterWindow, ThePlottedIntervalsAndTheExpectedLineShareTheirUnit) {
  Open(kGamingMouse);
  Play(kGamingMouse, 500);
  DeliverMessages(500);
  ASSERT_TRUE(meter_->ExpectedTicks());
  EXPECT_EQ(*meter_->ExpectedTicks(), 1 * kMs);
  for (std::int64_t interval : meter_->Meter().PlotIntervals()) ASSERT_EQ(interval, 2 * kMs);
  EXPECT_EQ(meter_->Lines()[0], "Rate: 500 reports/s");
}

TEST_F(MeterWindow, APauseFreezesTheFiguresUntilTheMouseMovesAgain) {
  Open(kGamingMouse);
  Play(kGamingMouse, 1000, 600);
  DeliverMessages(700);
  RunTimer(200);
  auto lines = meter_->Lines();
  EXPECT_EQ(lines[0], "Rate: 1000 reports/s");
  EXPECT_EQ(lines[3], "Reports: 600");
  EXPECT_EQ(lines.back(), "Stopped. Move the mouse again for a new measurement.");
  RunTimer(5000);
  EXPECT_EQ(meter_->Lines(), lines);

  Play(kGamingMouse, 500, 100);
  DeliverMessages(100);
  lines = meter_->Lines();
  EXPECT_EQ(lines[0], "Rate: 500 reports/s");
  EXPECT_EQ(lines[3], "Reports: 50");
  EXPECT_EQ(lines.back(), "Measuring...");
}

TEST_F(MeterWindow, AMouseWhoseNameCannotBeReadIsNotCounted) {
  machine_->InjectFault({"GetRawInputDeviceInfoA", ERROR_INVALID_HANDLE, 0, -1});
  Open(kGamingMouse);
  Play(kGamingMouse, 1000);
  DeliverMessages(100);
  EXPECT_EQ(meter_->Lines()[3], "Reports: 0");
  EXPECT_EQ(meter_->IgnoredReports(), 100u);
  EXPECT_EQ(machine_->CountCalls("GetRawInputDeviceInfoA"), 1u);  // asked once, not at every report
}

TEST_F(MeterWindow, ARefusedRegistrationSaysSoAndLeavesNothingToRemove) {
  machine_->InjectFault({"RegisterRawInputDevices", ERROR_ACCESS_DENIED});
  meter_ = std::make_unique<TfrmRateMeter>(MeterTargetFor(Mouse(kGamingMouse)));
  EXPECT_FALSE(meter_->Start(kWindow));
  EXPECT_EQ(meter_->RegisterError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(meter_->Lines().back(), "Raw Input is not available (error 5).");
  meter_.reset();
  EXPECT_EQ(machine_->CountCalls("RegisterRawInputDevices"), 1u);
}

TEST_F(MeterWindow, TheMeterKeepsItsDeviceWhenTheListIsRebuilt) {
  Open(kGamingMouse);
  list_.reset();  // the main window refreshes: every TDevice is freed
  list_ = std::make_unique<TDeviceList>(0);
  Play(kGamingMouse, 1000);
  DeliverMessages(300);
  EXPECT_EQ(meter_->Lines()[0], "Rate: 1000 reports/s");
  EXPECT_EQ(meter_->Caption(), "Polling Rate - USB Composite Device - Raptor Pro Gaming Mouse");
}

TEST_F(MeterWindow, AMeterBelongsToTheMeasuredDeviceAndTakesItsNewestRowAndExpectation) {
  // Opened from the hub's row, the meter measures the optical mouse below the hub.
  meter_ = std::make_unique<TfrmRateMeter>(MeterTargetFor(Mouse(kHub)));
  ASSERT_TRUE(meter_->Start(kWindow));
  EXPECT_EQ(meter_->Target().DeviceId, kOpticalMouse);
  EXPECT_EQ(meter_->Target().RowId, kHub);
  EXPECT_EQ(meter_->Caption(), "Polling Rate - Generic USB Hub");
  Play(kOpticalMouse, 125);
  DeliverMessages(400);
  const std::uint64_t before = meter_->Meter().Figures().Count;
  EXPECT_EQ(before, 50u);

  // The mouse's own row measures the same device: the open meter takes that row's name
  // (the window brings it forward) instead of staying the hub's; the gaming mouse is
  // another device (the window opens a new meter).
  const TMeterTarget mouseRow = MeterTargetFor(Mouse(kOpticalMouse));
  EXPECT_TRUE(meter_->Measures(mouseRow));
  EXPECT_FALSE(meter_->Measures(MeterTargetFor(Mouse(kGamingMouse))));
  meter_->Retarget(mouseRow);
  EXPECT_EQ(meter_->Caption(), "Polling Rate - " + mouseRow.Name);
  EXPECT_NE(mouseRow.Name, "Generic USB Hub");

  // The filter and a 1 ms rate are set and the mouse restarted; the list is made again.
  TDevice& optical = Mouse(kOpticalMouse);
  optical.SetFilterInstalled(true);
  optical.SetRate(1);
  ASSERT_TRUE(optical.TryRestartDevice());
  list_.reset();
  list_ = std::make_unique<TDeviceList>(0);
  const std::optional<TMeterTarget> refreshed = RefreshedTarget(*list_, meter_->Target());
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(refreshed->RowId, kOpticalMouse);
  EXPECT_EQ(refreshed->ExpectedMicroseconds, 1000);
  meter_->Retarget(*refreshed);
  EXPECT_EQ(meter_->Lines()[1], "Expected: 1000 reports/s");
  // The measurement went on through it.
  DeliverMessages(80);
  EXPECT_EQ(meter_->Meter().Figures().Count, before + 10);
}

TEST_F(MeterWindow, TheKeptReportsAreSavedAsCsvOneRowEach) {
  Open(kGamingMouse);
  EXPECT_EQ(meter_->IntervalsCsv(), "time_ms,interval_ms,device\r\n");  // nothing measured yet
  Play(kGamingMouse, 500, 4);
  DeliverMessages(20);
  EXPECT_EQ(meter_->IntervalsCsv(),
            "time_ms,interval_ms,device\r\n"
            "0.0000,,\"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1\"\r\n"
            "2.0000,2.0000,\"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1\"\r\n"
            "4.0000,2.0000,\"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1\"\r\n"
            "6.0000,2.0000,\"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1\"\r\n");
  // At 8,000 reports per second the rows are the last 2,001 reports, 0.125 ms apart.
  Play(kGamingMouse, 8000);
  RunTimer(1000);
  const std::string csv = meter_->IntervalsCsv();
  std::size_t rows = 0;
  for (std::size_t at = 0; (at = csv.find("\r\n", at)) != std::string::npos; at += 2) ++rows;
  EXPECT_EQ(rows, 1u + 2001u);
  EXPECT_NE(csv.find("\r\n0.1250,0.1250,\""), std::string::npos);
  EXPECT_NE(csv.find("\r\n250.0000,0.1250,\""), std::string::npos);  // the last: 2,000 intervals later
}

TEST_F(MeterWindow, ARefreshFindsTheDeviceFromAnotherRowWhenItsRowIsGone) {
  TMeterTarget target = MeterTargetFor(Mouse(kOpticalMouse));
  target.RowId = "USB\\VID_FFFF&PID_FFFF\\GONE";
  list_.reset();
  list_ = std::make_unique<TDeviceList>(0);
  const std::optional<TMeterTarget> refreshed = RefreshedTarget(*list_, target);
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(refreshed->DeviceId, kOpticalMouse);
  target.DeviceId = "USB\\VID_FFFF&PID_FFFF\\GONE";
  EXPECT_FALSE(RefreshedTarget(*list_, target));
}

}  // namespace
}  // namespace morvane
