// TDevice's tree walks, tests, names and service over simulated machines.
#include <gtest/gtest.h>

#include <string>

#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "platform/errors.h"
#include "tests/devices/sim_machine.h"

namespace {

using namespace morvane;
using namespace devtest;

class DeviceTest : public SimMachineTest {
 protected:
  std::string MessageOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const Error& error) {
      return error.what();
    }
    return "(no error)";
  }
};

TEST_F(DeviceTest, CreateReadsTheInstanceIdAndStartsWithUnknownSpeed) {
  Load(UsbMachine());
  TDevice& mouse = Device(kMouse);
  EXPECT_EQ(mouse.InstanceId, kMouse);
  EXPECT_EQ(mouse.InfoData.DevInst, machine_->DevInstOf(kMouse));
  // Creating a record asks nothing beyond the instance ID.
  machine_->ClearCalls();
  TDevice second(Lookup(), mouse.InfoData, Lookup());
  EXPECT_EQ(machine_->Calls().size(), 1u);
  EXPECT_EQ(machine_->Calls().at(0).function, "SetupDiGetDeviceInstanceIdA");

  machine_->InjectFault({"SetupDiGetDeviceInstanceIdA", ERROR_INVALID_USER_BUFFER, 0, 1});
  TDevice nameless(Lookup(), mouse.InfoData, Lookup());
  EXPECT_EQ(nameless.InstanceId, "");
  EXPECT_FALSE(nameless.IsUsbDevice());
  EXPECT_FALSE(nameless.IsHub());
  EXPECT_EQ(nameless.OpenInterface(GUID_DEVINTERFACE_USB_DEVICE), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceTest, LeavesOfACompositeDeviceInDepthFirstOrder) {
  Load(UsbMachine());
  TDevice& mouse = Device(kMouse);
  const TDevInstArray expected = {machine_->DevInstOf(kMouseHid0), machine_->DevInstOf(kMouseHid1)};
  EXPECT_EQ(mouse.GetChildren(), expected);
  EXPECT_TRUE(mouse.HasMouseChild());
  EXPECT_TRUE(mouse.HasKeyboardChild());
  EXPECT_TRUE(mouse.HasHidChild());
  EXPECT_EQ(mouse.GetChildNames(), "HID-compliant mouse; HID Keyboard Device");

  // Walked once per record.
  machine_->ClearCalls();
  mouse.GetChildren();
  mouse.GetChildNames();
  EXPECT_EQ(Count("CM_Get_Child"), 0u);
  EXPECT_EQ(Count("SetupDiGetDeviceRegistryPropertyA"), 0u);
}

TEST_F(DeviceTest, ChildTestsLookAtTheLeavesOnly) {
  sim::MachineModel model = UsbMachine();
  // The keyboard leaf loses its HID interface; the mouse leaf becomes a plain HID
  // device: the interface node above it is of the mouse class but not a leaf.
  for (sim::Device& device : model.devices) {
    if (device.instanceId == kMouseHid1) device.interfaces.clear();
    if (device.instanceId == kMouseHid0) device.classGuid = sim::guids::DevClassHid;
    if (device.instanceId == kMouseIf0) device.classGuid = sim::guids::DevClassMouse;
  }
  Load(model);
  TDevice& mouse = Device(kMouse);
  EXPECT_FALSE(mouse.HasMouseChild());
  EXPECT_TRUE(mouse.HasKeyboardChild());
  EXPECT_TRUE(mouse.HasHidChild());

  TDevice& leaf = Device(kMouseHid1);
  EXPECT_TRUE(leaf.GetChildren().empty());
  EXPECT_FALSE(leaf.HasMouseChild());
  EXPECT_FALSE(leaf.HasKeyboardChild());
  EXPECT_FALSE(leaf.HasHidChild());
  EXPECT_EQ(leaf.GetChildNames(), "");
}

TEST_F(DeviceTest, JoinDeviceNamesSkipsNodesThatCannotBeOpened) {
  sim::MachineModel model = UsbMachine();
  model.devices.push_back(Node("ROOT\\NONAME\\0", kRoot, sim::guids::DevClassSystem));
  Load(model);
  TDevice& mouse = Device(kMouse);
  const DEVINST mouseLeaf = machine_->DevInstOf(kMouseHid0);
  const DEVINST keyboardLeaf = machine_->DevInstOf(kMouseHid1);
  const DEVINST noName = machine_->DevInstOf("ROOT\\NONAME\\0");
  EXPECT_EQ(mouse.JoinDeviceNames({0xBAD, mouseLeaf, 0xBAD, keyboardLeaf}),
            "HID-compliant mouse; HID Keyboard Device");
  EXPECT_EQ(mouse.JoinDeviceNames({noName, mouseLeaf}), "HID-compliant mouse");
  EXPECT_EQ(mouse.JoinDeviceNames({mouseLeaf, noName}), "HID-compliant mouse; ");
  EXPECT_EQ(mouse.JoinDeviceNames({}), "");
}

TEST_F(DeviceTest, ParentRecordIsOpenedIntoTheLookupSetAndCached) {
  Load(UsbMachine());
  TDevice& mouse = Device(kMouse);
  TDevice& hub = mouse.GetParentDevice();
  EXPECT_EQ(hub.InstanceId, kRootHub);
  EXPECT_EQ(hub.InfoSet, Lookup());
  EXPECT_EQ(hub.LookupSet, Lookup());
  EXPECT_TRUE(hub.IsHub());
  EXPECT_EQ(&mouse.GetParentDevice(), &hub);
  EXPECT_EQ(hub.GetParentDevice().InstanceId, kController);
  EXPECT_EQ(mouse.GetParentDevInst(), machine_->DevInstOf(kRootHub));
}

TEST_F(DeviceTest, TheRootHasNoParentAndRaisesEachTime) {
  Load(UsbMachine());
  TDevice& root = Device(kRoot);
  EXPECT_EQ(root.GetParentDevInst(), 0u);
  EXPECT_EQ(MessageOf([&] { root.GetParentDevice(); }), "GetParentDevice.FindDevInfo");
  EXPECT_EQ(MessageOf([&] { root.GetParentDevice(); }), "GetParentDevice.FindDevInfo");
}

TEST_F(DeviceTest, ControllerIsTheNearestAncestorWithTheControllerInterface) {
  sim::MachineModel model = UsbMachine();
  // The mouse moves behind an external hub on the root hub's port 2.
  sim::Device hub = Node(kExternalHub, kRootHub, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHub,
                                                                          sim::guids::InterfaceUsbDevice});
  model.devices.insert(model.devices.begin() + 3, hub);
  for (sim::Device& device : model.devices) {
    if (device.instanceId == kMouse) device.parent = kExternalHub;
  }
  Load(model);
  TDevice& mouse = Device(kMouse);
  EXPECT_EQ(mouse.GetControllerDevInst(), machine_->DevInstOf(kController));
  TDevice& controller = mouse.GetControllerDevice();
  EXPECT_EQ(controller.InstanceId, kController);
  EXPECT_EQ(&mouse.GetControllerDevice(), &controller);
  EXPECT_TRUE(mouse.IsControllerDriverKnown());
}

TEST_F(DeviceTest, ControllerWithoutTheInterfaceIsTheFirstAncestorAboveTheHubs) {
  sim::MachineModel model = UsbMachine();
  sim::Device hub = Node(kExternalHub, kRootHub, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHub});
  model.devices.push_back(hub);
  // A device whose hub carries no hub interface but is USB-enumerated.
  sim::Device plainHub = Node("USB\\VID_2109&PID_2817\\6&1", kExternalHub, sim::guids::DevClassUsb);
  model.devices.push_back(plainHub);
  model.devices.push_back(Node("USB\\VID_1532&PID_0084\\7&1", "USB\\VID_2109&PID_2817\\6&1", sim::guids::DevClassUsb));
  for (sim::Device& device : model.devices) {
    if (device.instanceId == kController) device.interfaces.clear();
  }
  Load(model);
  EXPECT_EQ(Device("USB\\VID_1532&PID_0084\\7&1").GetControllerDevInst(), machine_->DevInstOf(kController));
  EXPECT_EQ(Device(kMouseHid0).GetControllerDevInst(), machine_->DevInstOf(kController));
}

TEST_F(DeviceTest, ControllerFallsBackToTheDeviceItselfWhenEveryAncestorIsUsbOrAHub) {
  sim::MachineModel model;
  model.devices.push_back(Node("USB\\ORPHAN_HUB\\1", "", sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHub}));
  model.devices.push_back(Node("USB\\VID_1\\2", "USB\\ORPHAN_HUB\\1", sim::guids::DevClassUsb));
  Load(model);
  TDevice& device = Device("USB\\VID_1\\2");
  EXPECT_EQ(device.GetControllerDevInst(), device.InfoData.DevInst);
  TDevice& controller = device.GetControllerDevice();
  EXPECT_NE(&controller, &device);
  EXPECT_EQ(controller.InstanceId, "USB\\VID_1\\2");
}

TEST_F(DeviceTest, ControllerRecordErrorLeavesNothingCached) {
  Load(UsbMachine());
  TDevice& mouse = Device(kMouse);
  machine_->ClearCalls();
  mouse.GetControllerDevInst();
  const int opensDuringWalk = static_cast<int>(Count("SetupDiOpenDeviceInfoA"));
  machine_->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, opensDuringWalk, 1});
  EXPECT_EQ(MessageOf([&] { mouse.GetControllerDevice(); }), "GetControllerDevice.FindDevInfo");
  EXPECT_EQ(mouse.GetControllerDevice().InstanceId, kController);
}

TEST_F(DeviceTest, KnownControllerDriversMatchAsUpperCasedSubstrings) {
  struct Case {
    const char* service;
    bool known;
  };
  for (const Case& c : {Case{"usbxhci", true}, Case{"MyXhcDrvX", true}, Case{"OpenHCI", true},
                        Case{"usbhub3", false}, Case{"", false}, Case{"USBXHC", false}}) {
    sim::MachineModel model = UsbMachine();
    for (sim::Device& device : model.devices) {
      if (device.instanceId != kController) continue;
      if (*c.service == '\0') {
        device.properties.erase(SPDRP_SERVICE);
      } else {
        SetText(device, SPDRP_SERVICE, c.service);
      }
    }
    Load(model);
    EXPECT_EQ(Device(kMouse).IsControllerDriverKnown(), c.known) << c.service;
  }
}

TEST_F(DeviceTest, ServiceNameFallsBackToTheDriverKeyOnlyOn9x) {
  sim::MachineModel model = UsbMachine();
  for (sim::Device& device : model.devices) {
    if (device.instanceId != kController) continue;
    device.properties.erase(SPDRP_SERVICE);
    (*device.driverKey)["NTMPDriver"] = sim::RegValue::String("uhcd.sys");
  }
  Load(model);
  TDevice& controller = Device(kController);
  EXPECT_EQ(controller.GetServiceName(), "");
  EXPECT_EQ(Count("SetupDiOpenDevRegKey"), 0u);
  EXPECT_FALSE(Device(kMouse).IsControllerDriverKnown());

  machine_->Model().system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  EXPECT_EQ(controller.GetServiceName(), "uhcd.sys");
  EXPECT_TRUE(Device(kMouse).IsControllerDriverKnown());
  // A service property wins on 9x too.
  SetText(Model(kController), SPDRP_SERVICE, "openhci");
  EXPECT_EQ(controller.GetServiceName(), "openhci");
}

TEST_F(DeviceTest, SetupClassInterfaceAndEnumeratorTests) {
  Load(UsbMachine());
  TDevice& mouse = Device(kMouse);
  const DEVINST leaf = machine_->DevInstOf(kMouseHid0);
  EXPECT_TRUE(mouse.IsOfSetupClass(GUID_DEVCLASS_MOUSE, leaf));
  EXPECT_FALSE(mouse.IsOfSetupClass(GUID_DEVCLASS_KEYBOARD, leaf));
  EXPECT_FALSE(mouse.IsOfSetupClass(GUID_DEVCLASS_MOUSE, 0xBAD));
  EXPECT_TRUE(mouse.HasInterface(GUID_DEVINTERFACE_HID, leaf));
  EXPECT_FALSE(mouse.HasInterface(GUID_DEVINTERFACE_HID, 0xBAD));
  EXPECT_TRUE(mouse.IsOfEnumerator("usb", machine_->DevInstOf(kRootHub)));
  EXPECT_TRUE(mouse.IsOfEnumerator("HID", leaf));
  EXPECT_FALSE(mouse.IsOfEnumerator("USB", leaf));
  EXPECT_FALSE(mouse.IsOfEnumerator("USB", 0xBAD));
  EXPECT_TRUE(mouse.IsUsbDevice());
  EXPECT_FALSE(mouse.IsHub());
  EXPECT_TRUE(Device(kRootHub).IsHub());
  EXPECT_FALSE(Device(kRootHub).IsUsbDevice());
}

TEST_F(DeviceTest, NameAndProblemKeepTheirFirstAnswer) {
  sim::MachineModel model = UsbMachine();
  model.devices.back().problem = CM_PROB_FAILED_ADD;
  Load(model);
  TDevice& mouse = Device(kMouse);
  TDevice& broken = Device(kMouseHid1);
  EXPECT_EQ(mouse.GetName(), "USB Composite Device");
  EXPECT_FALSE(mouse.HasProblem());
  EXPECT_TRUE(broken.HasProblem());
  SetText(Model(kMouse), SPDRP_FRIENDLYNAME, "G Pro Wireless");
  Model(kMouse).problem = CM_PROB_FAILED_START;
  Model(kMouseHid1).problem = 0;
  EXPECT_EQ(mouse.GetName(), "USB Composite Device");
  EXPECT_FALSE(mouse.HasProblem());
  EXPECT_TRUE(broken.HasProblem());
  // A fresh record reads again.
  EXPECT_EQ(Device(kMouse).GetName(), "USB Composite Device - G Pro Wireless");
  EXPECT_TRUE(Device(kMouse).HasProblem());
}

}  // namespace
