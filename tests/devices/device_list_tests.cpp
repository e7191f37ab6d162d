// TDeviceList: categories, pre-selection, errors and ownership of sets and records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/DeviceList.h"
#include "devices/DeviceTables.h"
#include "platform/errors.h"
#include "tests/devices/sim_machine.h"

namespace {

using namespace morvane;
using namespace devtest;
using Ids = std::vector<std::string>;

inline const char* const kStick = "USB\\VID_0781&PID_5581\\4C530001";
inline const char* const kBroken = "USB\\VID_DEAD&PID_BEEF\\5&1A2B3C&0&3";

// UsbMachine plus a hub that is a USB device, a mass-storage stick behind it with
// bulk pipes only, and a device on a root-hub port whose driver failed (no USB-device
// interface). The mouse carries the filter.
sim::MachineModel ListMachine() {
  using namespace sim::guids;
  sim::MachineModel model = UsbMachine();
  sim::Device& rootHub = model.devices.at(2);
  rootHub.hub->connections.push_back(Port(2, kExternalHub, 2, {InterruptPipe(12)}));
  sim::PortConnection brokenPort;
  brokenPort.port = 3;
  brokenPort.device = kBroken;
  rootHub.hub->connections.push_back(brokenPort);
  model.devices.at(3).properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"MORVANE"});

  sim::Device hub = Node(kExternalHub, kRootHub, DevClassUsb, {InterfaceUsbHub, InterfaceUsbDevice});
  SetText(hub, SPDRP_DEVICEDESC, "Generic USB Hub");
  sim::Hub ports;
  ports.connections.push_back(Port(1, kStick, 2, {BulkPipe(), BulkPipe()}));
  hub.hub = ports;
  model.devices.push_back(hub);
  sim::Device stick = Node(kStick, kExternalHub, DevClassDiskDrive, {InterfaceUsbDevice});
  SetText(stick, SPDRP_DEVICEDESC, "USB Mass Storage Device");
  stick.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(1);
  model.devices.push_back(stick);
  sim::Device broken = Node(kBroken, kRootHub, DevClassUsb);
  broken.problem = CM_PROB_FAILED_ADD;
  model.devices.push_back(broken);
  // The hub's port number for the second port.
  for (sim::Device& device : model.devices) {
    if (device.instanceId == kExternalHub) device.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(2);
  }
  return model;
}

class DeviceListTest : public SimMachineTest {
 protected:
  Ids IdsOf(TDeviceList& list) {
    Ids ids;
    for (int i = 0; i < list.Count(); ++i) ids.push_back(list.GetDevice(i).InstanceId);
    return ids;
  }
  Ids Category(int category) {
    TDeviceList list(category);
    return IdsOf(list);
  }
  std::string ErrorOf(int category) {
    try {
      TDeviceList list(category);
    } catch (const Error& error) {
      return error.what();
    }
    return "(no error)";
  }
};

TEST_F(DeviceListTest, EachCategoryKeepsItsDevicesInEnumerationOrder) {
  Load(ListMachine());
  EXPECT_EQ(Category(0), (Ids{kMouse}));
  EXPECT_EQ(Category(1), (Ids{kMouse}));
  EXPECT_EQ(Category(2), (Ids{kMouse}));
  EXPECT_EQ(Category(3), (Ids{kMouse, kExternalHub}));
  EXPECT_EQ(Category(4), (Ids{kMouse, kExternalHub, kStick}));
  EXPECT_EQ(Category(5), (Ids{kMouse, kExternalHub, kStick, kBroken}));
  EXPECT_EQ(Category(6), (Ids{kMouse}));
  EXPECT_EQ(Category(7), (Ids{kBroken}));
  EXPECT_EQ(machine_->LeakReport(), "");
}

TEST_F(DeviceListTest, CategoriesUseTheirEnumerations) {
  Load(ListMachine());
  Category(4);
  Category(5);
  const auto sets = machine_->CallsTo("SetupDiGetClassDevsA");
  ASSERT_EQ(sets.size() >= 2, true);
  EXPECT_THAT(sets.front().args, ::testing::StartsWith("{A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12"));
  bool sawEnumeratorSet = false;
  for (const sim::Call& call : sets) sawEnumeratorSet |= call.args == "null, \"USB\", null, 0x6";
  EXPECT_TRUE(sawEnumeratorSet);
}

TEST_F(DeviceListTest, PreSelectionDropsRootHubsAndNodesBelowNonHubs) {
  sim::MachineModel model = ListMachine();
  Load(model);
  TDeviceList all(5);
  for (const std::string& id : IdsOf(all)) {
    EXPECT_NE(id, kRootHub);
    EXPECT_NE(id, kMouseIf0);
    EXPECT_NE(id, kMouseIf1);
  }
  // Category 4 sees only devices with the USB-device interface: the broken device is missing.
  TDeviceList usb(4);
  EXPECT_THAT(IdsOf(usb), ::testing::Not(::testing::Contains(std::string(kBroken))));
}

TEST_F(DeviceListTest, PreSelectionTakesUsbDevicesFirstAndDropsHubsWithoutTheInterface) {
  const char* const interfaceWithUsbDevice = "USB\\VID_046D&PID_C08B&MI_02\\6&2C5D7E&0&0002";
  const char* const hubWithoutUsbDevice = "USB\\VID_2109&PID_2817\\5&1A2B3C&0&4";
  sim::MachineModel model = ListMachine();
  // Below the composite device, not a hub: listed because it exposes the USB-device interface.
  model.devices.push_back(Node(interfaceWithUsbDevice, kMouse, sim::guids::DevClassUsb,
                               {sim::guids::InterfaceUsbDevice}));
  // On a root-hub port, but a hub without the USB-device interface: never listed.
  model.devices.push_back(Node(hubWithoutUsbDevice, kRootHub, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHub}));
  Load(model);
  const Ids all = Category(5);
  EXPECT_THAT(all, ::testing::Contains(std::string(interfaceWithUsbDevice)));
  EXPECT_THAT(all, ::testing::Not(::testing::Contains(std::string(hubWithoutUsbDevice))));
  EXPECT_THAT(all, ::testing::Contains(std::string(kBroken)));
  // The interface-based category lists what exposes the USB-device interface, wherever it hangs.
  EXPECT_EQ(Category(4), (Ids{kMouse, kExternalHub, kStick, interfaceWithUsbDevice}));
}

// The set handles as the machine's call log writes them.
std::string HandleText(HDEVINFO set) { return "h" + std::to_string(reinterpret_cast<std::uintptr_t>(set)); }

TEST_F(DeviceListTest, RecordsReferToTheListsTwoSets) {
  Load(ListMachine());
  std::string enumSet;
  std::string lookupSet;
  {
    TDeviceList list(5);
    ASSERT_EQ(list.Count(), 4);
    TDevice& mouse = list.GetDevice(0);
    EXPECT_EQ(mouse.InfoSet, list.GetEnumSet());
    EXPECT_EQ(mouse.LookupSet, list.GetLookupSet());
    TDevice& parent = mouse.GetParentDevice();
    EXPECT_EQ(parent.InfoSet, list.GetLookupSet());
    EXPECT_EQ(mouse.GetControllerDevice().InfoSet, list.GetLookupSet());
    EXPECT_GT(machine_->SetSize(list.GetLookupSet()), 0u);
    enumSet = HandleText(list.GetEnumSet());
    lookupSet = HandleText(list.GetLookupSet());
    machine_->ClearCalls();
  }
  const auto destroyed = machine_->CallsTo("SetupDiDestroyDeviceInfoList");
  ASSERT_EQ(destroyed.size(), 2u);
  EXPECT_EQ(destroyed[0].args, enumSet);
  EXPECT_EQ(destroyed[1].args, lookupSet);
  EXPECT_EQ(machine_->LeakReport(), "");

  TDeviceList empty;
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(empty.GetEnumSet(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(empty.GetLookupSet(), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceListTest, GetDeviceOutsideTheListRaisesWithThePositionAndTheCount) {
  Load(ListMachine());
  TDeviceList list(6);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(&list.GetDevice(0), &list.GetDevice(0));
  auto message = [&](TDeviceList& l, int index) {
    try {
      l.GetDevice(index);
    } catch (const Error& error) {
      return std::string(error.what());
    }
    return std::string("(no error)");
  };
  TDeviceList two(3);
  ASSERT_EQ(two.Count(), 2);
  EXPECT_EQ(message(two, 2), "TDeviceList.GetDevice(3) from 2");
  EXPECT_EQ(message(two, -1), "TDeviceList.GetDevice(0) from 2");
  TDeviceList empty;
  EXPECT_EQ(message(empty, 0), "TDeviceList.GetDevice(1) from 0");
}

TEST_F(DeviceListTest, PlatformRefusalsRaiseAndReleaseWhatWasCreated) {
  Load(ListMachine());
  machine_->InjectFault({"SetupDiGetClassDevsA", ERROR_INVALID_FLAGS, 0, 1});
  EXPECT_EQ(ErrorOf(0), "SetupDiGetClassDevs");
  machine_->InjectFault({"SetupDiGetClassDevsA", ERROR_INVALID_FLAGS, 0, 1});
  EXPECT_EQ(ErrorOf(5), "SetupDiGetClassDevs");
  machine_->InjectFault({"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY, 0, 1});
  EXPECT_EQ(ErrorOf(5), "SetupDiCreateDeviceInfoList");
  EXPECT_EQ(machine_->LeakReport(), "");
}

TEST_F(DeviceListTest, UnknownCategoryRaisesOnlyWhenADeviceReachesTheRule) {
  Load(ListMachine());
  EXPECT_EQ(ErrorOf(8), "Unknown Filter");
  EXPECT_EQ(ErrorOf(-1), "Unknown Filter");
  EXPECT_EQ(ErrorOf(1000), "Unknown Filter");
  EXPECT_EQ(machine_->LeakReport(), "");

  sim::MachineModel bare;
  bare.devices.push_back(Node(kRoot, "", sim::guids::DevClassSystem));
  Load(bare);
  for (int category : {-1, 0, 4, 5, 8, 1000}) {
    TDeviceList list(category);
    EXPECT_EQ(list.Count(), 0) << category;
  }
}

// A negative category is below the enumerator categories: it asks for the device
// interfaces, never for the "USB" enumerator's nodes and their parents.
TEST_F(DeviceListTest, NegativeCategoryEnumeratesTheDeviceInterfaces) {
  Load(ListMachine());
  for (int category : {-1, -2147483647 - 1}) {
    machine_->ClearCalls();
    EXPECT_EQ(ErrorOf(category), "Unknown Filter");
    const auto sets = machine_->CallsTo("SetupDiGetClassDevsA");
    ASSERT_EQ(sets.size(), 1u) << category;
    EXPECT_THAT(sets.front().args, ::testing::StartsWith("{A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12"))
        << category;
    EXPECT_EQ(machine_->CountCalls("CM_Get_Parent"), 0u) << category;
  }
  machine_->ClearCalls();
  EXPECT_EQ(ErrorOf(8), "Unknown Filter");
  const auto sets = machine_->CallsTo("SetupDiGetClassDevsA");
  ASSERT_FALSE(sets.empty());
  EXPECT_THAT(sets.front().args, ::testing::StartsWith("null, \"USB\""));
}

TEST_F(DeviceListTest, AParentThatCannotBeOpenedDuringPreSelectionRaises) {
  sim::MachineModel model = ListMachine();
  model.devices.push_back(Node("USB\\ORPHAN\\1", "", sim::guids::DevClassUsb));
  Load(model);
  EXPECT_EQ(ErrorOf(7), "GetParentDevice.FindDevInfo");
  EXPECT_EQ(machine_->LeakReport(), "");
  // The interface-based categories never ask for the parent.
  EXPECT_EQ(Category(4).size(), 3u);
}

TEST_F(DeviceListTest, EnumerationFailingInTheMiddleKeepsWhatWasAccepted) {
  Load(ListMachine());
  machine_->ClearCalls();
  const Ids all = Category(5);
  ASSERT_GE(all.size(), 3u);
  // Interface tests enumerate sets of their own: find how many enumeration calls
  // come before the list's own request for its element 2.
  const auto enums = machine_->CallsTo("SetupDiEnumDeviceInfo");
  ASSERT_FALSE(enums.empty());
  const std::string listSet = enums.front().args.substr(0, enums.front().args.find(','));
  int before = 0;
  while (before < static_cast<int>(enums.size()) && enums[before].args.rfind(listSet + ", 2,", 0) != 0) ++before;
  ASSERT_LT(before, static_cast<int>(enums.size()));
  // The USB enumerator set lists the root hub, the mouse, then an interface node.
  machine_->InjectFault({"SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE, before, 1});
  EXPECT_EQ(Category(5), (Ids{kMouse}));
  machine_->InjectFault({"SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE, 0, 1});
  EXPECT_EQ(Category(5), Ids{});
  EXPECT_EQ(machine_->LeakReport(), "");
}

TEST_F(DeviceListTest, RuleErrorsPassOnAndFreeTheRecords) {
  sim::MachineModel model = ListMachine();
  Load(model);
  // Category 3's query raises for a device whose parent cannot be opened.
  machine_->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, 0, -1});
  machine_->ClearCalls();
  EXPECT_EQ(ErrorOf(3), "GetParentDevice.FindDevInfo");
  machine_->Core().ClearFaults();
  EXPECT_EQ(machine_->LeakReport(), "");
  // Released as the destructor does: the enumerated set, then the lookup set (the
  // one the failed open was asked of).
  const auto enums = machine_->CallsTo("SetupDiEnumDeviceInfo");
  const auto opens = machine_->CallsTo("SetupDiOpenDeviceInfoA");
  const auto destroyed = machine_->CallsTo("SetupDiDestroyDeviceInfoList");
  ASSERT_FALSE(enums.empty());
  ASSERT_FALSE(opens.empty());
  ASSERT_GE(destroyed.size(), 2u);
  const std::string enumSet = enums.front().args.substr(0, enums.front().args.find(','));
  const std::string lookupSet = opens.front().args.substr(0, opens.front().args.find(','));
  EXPECT_NE(enumSet, lookupSet);
  EXPECT_EQ(destroyed[destroyed.size() - 2].args, enumSet);
  EXPECT_EQ(destroyed[destroyed.size() - 1].args, lookupSet);
}

}  // namespace
