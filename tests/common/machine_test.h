// A test fixture that installs a simulated machine as the current backend and checks,
// before the machine goes, that nothing was left open.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace simtest {

class MachineTest : public ::testing::Test {
 protected:
  void Load(sim::MachineModel model) {
    Unload();
    machine_ = std::make_unique<sim::Machine>(std::move(model));
    scope_.emplace(machine_->Backend());
  }
  // Every machine is checked for leaks before it goes.
  void Unload() {
    Release();
    machine_.reset();
  }
  // Closes what the fixture holds, checks the machine for leaks and restores the
  // backend; the machine itself stays.
  void Release() {
    devices_.clear();
    lookup_.Reset();
    if (machine_) {
      EXPECT_EQ(machine_->LeakReport(), "");
    }
    scope_.reset();
  }

  // A lookup set of the test's own, as the device list keeps one.
  HDEVINFO Lookup() {
    if (!lookup_) lookup_.Reset(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
    return lookup_.Get();
  }

  // The record of a device opened into the lookup set.
  SP_DEVINFO_DATA Record(const std::string& id) {
    SP_DEVINFO_DATA data{};
    EXPECT_TRUE(morvane::OpenDevInstInfo(Lookup(), machine_->DevInstOf(id), data)) << id;
    return data;
  }

  // A TDevice over the lookup set, owned by the fixture, as the device list makes one.
  morvane::TDevice& Device(const std::string& id) {
    SP_DEVINFO_DATA data = Record(id);
    devices_.push_back(std::make_unique<morvane::TDevice>(Lookup(), data, Lookup()));
    return *devices_.back();
  }

  std::unique_ptr<sim::Machine> machine_;
  std::optional<platform::ScopedBackend> scope_;
  platform::UniqueDevInfo lookup_;
  std::vector<std::unique_ptr<morvane::TDevice>> devices_;
};

}  // namespace simtest
