// The interval the rate meter expects, over the built-in simulated PC: Windows'
// polling table for each speed, the device that produces the reports, the override
// only with the filter attached, and settings changed since the device started.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/DeviceList.h"
#include "devices/SessionChanges.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "ratemeter/RateMeter.h"
#include "setup/RateMeterF.h"

namespace morvane {
namespace {

// The polling period tables of Microsoft's USB_ENDPOINT_DESCRIPTOR documentation
// (learn.microsoft.com, windows-hardware/drivers/ddi/usbspec/ns-usbspec-_usb_endpoint_descriptor),
// transcribed row by row (first bInterval, last bInterval, period), checked for every
// bInterval from 0 to 255 against the interval the meter expects without an override.
struct DocumentedRow {
  unsigned first;
  unsigned last;
  std::int64_t periodUs;  // 0: the table has no row for these values
};

void CheckAgainstTable(unsigned char speed, const std::vector<DocumentedRow>& rows) {
  unsigned covered = 0;
  for (const DocumentedRow& row : rows) {
    for (unsigned b = row.first; b <= row.last; ++b) {
      ++covered;
      const std::optional<std::int64_t> period = ExpectedIntervalMicroseconds(0, speed, b);
      if (row.periodUs == 0) {
        EXPECT_EQ(period, std::nullopt) << "speed " << int{speed} << ", bInterval " << b;
      } else {
        EXPECT_EQ(period, row.periodUs) << "speed " << int{speed} << ", bInterval " << b;
      }
    }
  }
  EXPECT_EQ(covered, 256u) << "the rows cover bInterval 0 to 255 once each";
}

TEST(WindowsPollingTable, LowSpeedInFramesOfOneMillisecond) {
  CheckAgainstTable(0, {{0, 15, 8000}, {16, 35, 16000}, {36, 255, 32000}});
}

TEST(WindowsPollingTable, FullSpeedInFramesOfOneMillisecond) {
  CheckAgainstTable(1, {{0, 0, 0}, {1, 1, 1000}, {2, 3, 2000}, {4, 7, 4000}, {8, 15, 8000}, {16, 31, 16000},
                        {32, 255, 32000}});
}

TEST(WindowsPollingTable, HighSpeedAndFasterInMicroframesOf125Microseconds) {
  const std::vector<DocumentedRow> microframes = {{0, 0, 0},     {1, 1, 125},   {2, 2, 250},  {3, 3, 500},
                                                  {4, 4, 1000},  {5, 5, 2000},  {6, 6, 4000},
                                                  {7, 255, 4000}};
  CheckAgainstTable(2, microframes);  // high speed
  CheckAgainstTable(3, microframes);  // SuperSpeed
  CheckAgainstTable(4, microframes);  // SuperSpeedPlus
}

const char* const kGamingMouse = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
const char* const kHub = "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3";
const char* const kOpticalMouse = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";

class MeterExpectation : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = sim::Machine::Default();
    scope_.emplace(machine_->Backend());
  }
  void TearDown() override {
    list_.reset();
    ForgetSessionChanges();
    EXPECT_EQ(machine_->LeakReport(), "");
    scope_.reset();
  }

  // The row of `id` in a list made now (the mice), as the main window shows it.
  TDevice& Row(const std::string& id) {
    list_.reset();
    list_ = std::make_unique<TDeviceList>(0);
    for (int i = 0; i < list_->Count(); ++i) {
      if (list_->GetDevice(i).InstanceId == id) return list_->GetDevice(i);
    }
    throw std::runtime_error("not in the list: " + id);
  }

  std::unique_ptr<sim::Machine> machine_;
  std::optional<platform::ScopedBackend> scope_;
  std::unique_ptr<TDeviceList> list_;
};

TEST_F(MeterExpectation, AHubRowExpectsTheMouseBelowItNotTheHub) {
  // The hub is high speed with bInterval 12 (4 ms); the optical mouse below it, whose
  // reports the meter counts, is low speed with bInterval 10: every 8 ms.
  const TMeterTarget target = MeterTargetFor(Row(kHub));
  EXPECT_EQ(target.ExpectedMicroseconds, 8000);
  EXPECT_EQ(TfrmRateMeter(target).Lines()[1], "Expected: 125 reports/s");
}

TEST_F(MeterExpectation, AnOverrideWithoutTheFilterIsNotWhatTheHostPolls) {
  // An override of 1 ms left in the optical mouse's driver key, with no filter among
  // its lower filters: nothing reads it, and the host polls its bInterval 10.
  (*machine_->FindDevice(kOpticalMouse)->driverKey)["bInterval"] = sim::RegValue::Dword(1);
  TDevice& optical = Row(kOpticalMouse);
  ASSERT_EQ(optical.GetRate(), 1u);
  ASSERT_FALSE(optical.IsFilterInstalled());
  const TMeterTarget target = MeterTargetFor(optical);
  EXPECT_EQ(target.ExpectedMicroseconds, 8000);
  EXPECT_EQ(TfrmRateMeter(target).Lines()[1], "Expected: 125 reports/s");

  // With the filter attached the override is what the host polls.
  optical.SetFilterInstalled(true);
  ASSERT_TRUE(optical.TryRestartDevice());
  EXPECT_EQ(MeterTargetFor(Row(kOpticalMouse)).ExpectedMicroseconds, 1000);
}

TEST_F(MeterExpectation, ARateChangedThisSessionTakesEffectAfterARestart) {
  TDevice& gaming = Row(kGamingMouse);
  ASSERT_EQ(gaming.GetRate(), 1u);  // 1 ms with the filter attached
  ASSERT_TRUE(gaming.IsFilterInstalled());
  gaming.SetRate(4);  // 8 ms, read when the device starts again
  ASSERT_EQ(gaming.GetRate(), 4u);

  TMeterTarget target = MeterTargetFor(gaming);
  EXPECT_EQ(target.ExpectedMicroseconds, 1000);  // still polled every 1 ms
  EXPECT_EQ(TfrmRateMeter(target).Lines()[1], "Expected: 1000 reports/s; 125 after a restart");
  // A list made again still knows: the change is of this session, not of the list.
  EXPECT_EQ(MeterTargetFor(Row(kGamingMouse)).ExpectedMicroseconds, 1000);

  ASSERT_TRUE(Row(kGamingMouse).TryRestartDevice());
  target = MeterTargetFor(Row(kGamingMouse));
  EXPECT_EQ(target.ExpectedMicroseconds, 8000);
  EXPECT_EQ(TfrmRateMeter(target).Lines()[1], "Expected: 125 reports/s");
}

}  // namespace
}  // namespace morvane
