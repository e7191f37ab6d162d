// A small machine for the device-side tests, and helpers that keep the tests short.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace simtest {

// Root -> controller -> root hub with three ports: a full-speed mouse (composite
// below it), a low-speed device, an empty port; a device that is not present; a
// second hub child without interfaces.
inline const char* SmallMachineJson() {
  return R"({
  "devices": [
    {"id": "HTREE\\ROOT\\0"},
    {"id": "PCI\\VEN_1&DEV_1\\3&0", "parent": "HTREE\\ROOT\\0", "class": "USB",
     "interfaces": ["USB_HOST_CONTROLLER"], "properties": {"Service": "USBXHCI", "DeviceDesc": "Controller"}},
    {"id": "USB\\ROOT_HUB30\\4&0", "parent": "PCI\\VEN_1&DEV_1\\3&0", "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "Root Hub", "Service": "USBHUB3"},
     "hub": {"connections": [
       {"port": 1, "device": "USB\\VID_1A2C&PID_0001&REV_0102\\5&1", "speed": "full", "v2Flags": 0,
        "pipes": [{"type": "interrupt", "interval": 8, "endpoint": 129, "maxPacket": 8},
                  {"type": "bulk", "endpoint": 2, "maxPacket": 64},
                  {"type": "interrupt", "interval": 4, "endpoint": 131, "maxPacket": 16}]},
       {"port": 2, "device": "USB\\VID_1A2C&PID_0002\\5&2", "speed": "low",
        "pipes": [{"type": "interrupt", "interval": 10}]},
       {"port": 4}
     ]}},
    {"id": "USB\\VID_1A2C&PID_0001&REV_0102\\5&1", "parent": "USB\\ROOT_HUB30\\4&0", "class": "USB",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse A", "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0007",
                    "Address": 1, "LowerFilters": ["x"], "Service": "usbccgp",
                    "HardwareID": ["USB\\VID_1A2C&PID_0001&REV_0102", "USB\\VID_1A2C&PID_0001"]},
     "driverKey": {"bInterval": {"dword": 2}, "Big": {"qword": 81985529216486895}, "Names": ["a", "bc"],
                   "Desc": "Mouse driver"},
     "hardwareKey": {}},
    {"id": "USB\\VID_1A2C&PID_0001&MI_00\\6&1", "parent": "USB\\VID_1A2C&PID_0001&REV_0102\\5&1",
     "class": "HIDClass", "properties": {"EnumeratorName": "USB"}},
    {"id": "HID\\VID_1A2C&PID_0001&MI_00\\7&1", "parent": "USB\\VID_1A2C&PID_0001&MI_00\\6&1",
     "class": "Mouse", "interfaces": ["HID"]},
    {"id": "USB\\VID_1A2C&PID_0002\\5&2", "parent": "USB\\ROOT_HUB30\\4&0", "class": "USB",
     "interfaces": ["USB_DEVICE"], "problem": 28,
     "properties": {"DeviceDesc": "Low Speed Thing", "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0008"}},
    {"id": "USB\\VID_1A2C&PID_0003\\5&3", "parent": "USB\\ROOT_HUB30\\4&0", "class": "USB",
     "interfaces": ["USB_DEVICE"], "present": false},
    {"id": "USB\\VID_1A2C&PID_0004\\5&4", "parent": "USB\\ROOT_HUB30\\4&0", "class": "Keyboard",
     "status": 25165834}
  ],
  "services": [{"name": "morvane", "binaryPath": "\\SystemRoot\\System32\\drivers\\morvane.sys"}]
})";
}

inline const char* kMouse = "USB\\VID_1A2C&PID_0001&REV_0102\\5&1";
inline const char* kMouseInterface = "USB\\VID_1A2C&PID_0001&MI_00\\6&1";
inline const char* kMouseLeaf = "HID\\VID_1A2C&PID_0001&MI_00\\7&1";
inline const char* kLowSpeed = "USB\\VID_1A2C&PID_0002\\5&2";
inline const char* kAbsent = "USB\\VID_1A2C&PID_0003\\5&3";
inline const char* kRootHub = "USB\\ROOT_HUB30\\4&0";

// Installs a machine as the current backend for one test and checks at the end that
// the test released everything it acquired.
class MachineTest : public ::testing::Test {
 protected:
  explicit MachineTest(std::unique_ptr<sim::Machine> machine = sim::Machine::FromJson(SmallMachineJson()))
      : machine_(std::move(machine)), scope_(machine_->Backend()) {}

  void TearDown() override {
    if (checkLeaks_) {
      EXPECT_EQ(machine_->LeakReport(), "");
    }
  }

  platform::IDeviceInstall& Di() { return platform::DeviceInstall(); }
  platform::IConfigManager& Cm() { return platform::ConfigManager(); }
  platform::IRegistry& Reg() { return platform::Registry(); }
  DWORD LastError() { return machine_->Core().LastError(); }

  static SP_DEVINFO_DATA Record() {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    return data;
  }

  std::unique_ptr<sim::Machine> machine_;
  platform::ScopedBackend scope_;
  bool checkLeaks_ = true;
};

}  // namespace simtest
