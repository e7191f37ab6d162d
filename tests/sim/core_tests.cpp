#include <gtest/gtest.h>

#include "platform/sim/core.h"

namespace {

sim::MachineModel model;

TEST(SimCoreAccounting, ReleasedResourcesLeaveNothingInTheReport) {
  sim::SimCore core(model);
  const auto set = core.Acquire(sim::ResourceKind::DeviceInfoSet, "SetupDiGetClassDevsA");
  const auto key = core.Acquire(sim::ResourceKind::RegistryKey, "driver key");
  EXPECT_NE(set, key);
  EXPECT_NE(set, 0u);
  EXPECT_NE(set, static_cast<std::uintptr_t>(-1));
  EXPECT_TRUE(core.IsLive(set, sim::ResourceKind::DeviceInfoSet));
  EXPECT_FALSE(core.IsLive(set, sim::ResourceKind::RegistryKey)) << "a set is not a key";
  EXPECT_EQ(core.LiveCount(), 2u);
  core.Release(set);
  core.Release(key);
  EXPECT_EQ(core.LiveCount(), 0u);
  EXPECT_EQ(core.LeakReport(), "");
}

TEST(SimCoreAccounting, DeliberateLeakIsReportedWithItsKindAndDescription) {
  sim::SimCore core(model);
  const auto block = core.Acquire(sim::ResourceKind::GlobalMemory, "GlobalAlloc(22)");
  core.Acquire(sim::ResourceKind::DeviceInfoSet, "lookup set");
  core.Release(block);
  EXPECT_EQ(core.LiveCount(sim::ResourceKind::DeviceInfoSet), 1u);
  EXPECT_EQ(core.LiveCount(sim::ResourceKind::GlobalMemory), 0u);
  const std::string report = core.LeakReport();
  EXPECT_NE(report.find("device-information set"), std::string::npos) << report;
  EXPECT_NE(report.find("lookup set"), std::string::npos) << report;
  EXPECT_EQ(report.find("GlobalAlloc"), std::string::npos) << report;
}

TEST(SimCoreAccounting, HandlesAreNeverReused) {
  sim::SimCore core(model);
  const auto first = core.Acquire(sim::ResourceKind::FileHandle, "a");
  core.Release(first);
  const auto second = core.Acquire(sim::ResourceKind::FileHandle, "b");
  EXPECT_NE(first, second);
  EXPECT_FALSE(core.IsLive(first, sim::ResourceKind::FileHandle));
  core.Release(second);
}

TEST(SimCoreFaults, SkipThenFailTimesThenPass) {
  sim::SimCore core(model);
  core.InjectFault({"SetupDiEnumDeviceInfo", ERROR_NO_MORE_ITEMS, 2, 2});
  DWORD error = 0;
  EXPECT_FALSE(core.ShouldFail("SetupDiEnumDeviceInfo", &error));
  EXPECT_FALSE(core.ShouldFail("SetupDiEnumDeviceInfo", &error));
  EXPECT_FALSE(core.ShouldFail("SetupDiGetClassDevsA", &error)) << "other functions are not affected";
  EXPECT_TRUE(core.ShouldFail("SetupDiEnumDeviceInfo", &error));
  EXPECT_EQ(error, ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(core.ShouldFail("SetupDiEnumDeviceInfo", &error));
  EXPECT_FALSE(core.ShouldFail("SetupDiEnumDeviceInfo", &error)) << "the fault is used up";
}

TEST(SimCoreFaults, NegativeTimesFailsForever) {
  sim::SimCore core(model);
  core.InjectFault({"OpenClipboard", ERROR_ACCESS_DENIED, 0, -1});
  for (int i = 0; i < 5; ++i) {
    DWORD error = 0;
    EXPECT_TRUE(core.ShouldFail("OpenClipboard", &error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  }
  core.ClearFaults();
  EXPECT_FALSE(core.ShouldFail("OpenClipboard", nullptr));
}

TEST(SimCoreLog, KeepsCallsInOrder) {
  sim::SimCore core(model);
  core.Log("CM_Get_Parent", "1");
  core.Log("CM_Get_Child", "2");
  ASSERT_EQ(core.Calls().size(), 2u);
  EXPECT_EQ(core.Calls()[0].function, "CM_Get_Parent");
  EXPECT_EQ(core.Calls()[1].args, "2");
  core.ClearCalls();
  EXPECT_TRUE(core.Calls().empty());
}

}  // namespace
