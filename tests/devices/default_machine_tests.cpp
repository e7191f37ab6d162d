// The eight categories over the built-in gaming PC: which devices each one lists,
// in the order the device manager enumerates them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/DeviceList.h"
#include "tests/devices/sim_machine.h"

namespace {

using Ids = std::vector<std::string>;

const char* const kGamingMouse = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
const char* const kKeyboard = "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2";
const char* const kExternalHub = "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3";
const char* const kLowSpeedMouse = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";
const char* const kStick = "USB\\VID_0951&PID_1666\\60A44C413B8DF1B0C9B800F6";
const char* const kBroken = "USB\\VID_0BDA&PID_B812\\123456";
const char* const kUnknownSpeed = "USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6";
const char* const kBehindEhci = "USB\\VID_1A2C&PID_3106\\5&2D4C6B8A&0&1";
const char* const kBehindUnknownController = "USB\\VID_1A2C&PID_1B07\\5&1E3D5C7B&0&1";

class DefaultMachineCategories : public devtest::SimMachineTest {
 protected:
  Ids Category(int category) {
    morvane::TDeviceList list(category);
    Ids ids;
    for (int i = 0; i < list.Count(); ++i) ids.push_back(list.GetDevice(i).InstanceId);
    return ids;
  }
};

TEST_F(DefaultMachineCategories, EachCategoryListsItsDevicesInEnumerationOrder) {
  LoadDefault();
  // The external hub has the low-speed mouse below it, so a mouse is among its leaves.
  EXPECT_EQ(Category(0), (Ids{kGamingMouse, kExternalHub, kLowSpeedMouse}));
  EXPECT_EQ(Category(1), (Ids{kKeyboard, kBehindUnknownController}));
  // Every leaf with the HID interface counts; the stick's only leaf is a disk.
  const Ids withHid{kGamingMouse, kKeyboard, kExternalHub, kLowSpeedMouse, kUnknownSpeed, kBehindEhci,
                    kBehindUnknownController};
  EXPECT_EQ(Category(2), withHid);
  // Only bulk pipes: the stick. The device whose hub answers nothing counts as having interrupts.
  EXPECT_EQ(Category(3), withHid);
  EXPECT_EQ(Category(4), (Ids{kGamingMouse, kKeyboard, kExternalHub, kLowSpeedMouse, kStick, kUnknownSpeed,
                              kBehindEhci, kBehindUnknownController}));
  // The enumerator set adds the device whose driver failed (it has no USB-device
  // interface but hangs on a hub port) and drops root hubs and interface nodes.
  EXPECT_EQ(Category(5), (Ids{kGamingMouse, kKeyboard, kExternalHub, kLowSpeedMouse, kStick, kBroken,
                              kUnknownSpeed, kBehindEhci, kBehindUnknownController}));
  EXPECT_EQ(Category(6), Ids{kGamingMouse});
  EXPECT_EQ(Category(7), Ids{kBroken});
}

}  // namespace
