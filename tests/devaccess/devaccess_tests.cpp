// The device access layer over the simulated machine: results, failure values,
// arguments passed, and nothing left open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "devaccess/DevAccess.h"
#include "devices/DeviceTables.h"
#include "tests/devices/sim_machine.h"

namespace {

using namespace morvane;
using devtest::Node;
using devtest::SetText;
using ::testing::HasSubstr;

class DevAccessTest : public devtest::SimMachineTest {
 protected:
  // A machine of plain root-enumerated nodes, each set up by the caller.
  sim::Device& Add(const std::string& id) {
    model_.devices.push_back(Node(id, devtest::kRoot, sim::guids::DevClassSystem));
    return model_.devices.back();
  }
  void Start() {
    model_.devices.insert(model_.devices.begin(), Node(devtest::kRoot, "", sim::guids::DevClassSystem));
    Load(model_);
  }
  sim::MachineModel model_;
};

TEST_F(DevAccessTest, DisplayNameJoinsDescriptionAndFriendlyNameUnlessOneContainsTheOther) {
  SetText(Add("ROOT\\A\\0"), SPDRP_DEVICEDESC, "Gaming Mouse");
  sim::Device& b = Add("ROOT\\B\\0");
  SetText(b, SPDRP_FRIENDLYNAME, "Gamer Board");
  sim::Device& c = Add("ROOT\\C\\0");
  SetText(c, SPDRP_DEVICEDESC, "USB Input Device");
  SetText(c, SPDRP_FRIENDLYNAME, "USB Input Device (Port 2)");
  sim::Device& d = Add("ROOT\\D\\0");
  SetText(d, SPDRP_DEVICEDESC, "Mouse");
  SetText(d, SPDRP_FRIENDLYNAME, "mouse pro");
  Add("ROOT\\E\\0");
  Start();

  SP_DEVINFO_DATA a = Record("ROOT\\A\\0");
  EXPECT_EQ(GetDisplayName(Lookup(), a), "Gaming Mouse");
  EXPECT_EQ(GetDeviceDescription(Lookup(), a), "Gaming Mouse");
  SP_DEVINFO_DATA bRecord = Record("ROOT\\B\\0");
  EXPECT_EQ(GetDisplayName(Lookup(), bRecord), " - Gamer Board");
  SP_DEVINFO_DATA cRecord = Record("ROOT\\C\\0");
  EXPECT_EQ(GetDisplayName(Lookup(), cRecord), "USB Input Device (Port 2)");
  // The containment test is case-sensitive.
  SP_DEVINFO_DATA dRecord = Record("ROOT\\D\\0");
  EXPECT_EQ(GetDisplayName(Lookup(), dRecord), "Mouse - mouse pro");
  SP_DEVINFO_DATA e = Record("ROOT\\E\\0");
  EXPECT_EQ(GetDisplayName(Lookup(), e), "");
}

TEST_F(DevAccessTest, EnumeratorNameFallsBackToTheInstanceIdPrefix) {
  SetText(Add("ROOT\\WITHPROP\\0"), SPDRP_ENUMERATOR_NAME, "PCI");
  Add("ACPI\\PNP0F13\\4&1");
  model_.devices.push_back(Node("NOBACKSLASH", "", sim::guids::DevClassSystem));
  Start();
  SP_DEVINFO_DATA withProperty = Record("ROOT\\WITHPROP\\0");
  EXPECT_EQ(GetEnumeratorName(Lookup(), withProperty), "PCI");
  SP_DEVINFO_DATA fromId = Record("ACPI\\PNP0F13\\4&1");
  EXPECT_EQ(GetEnumeratorName(Lookup(), fromId), "ACPI");
  SP_DEVINFO_DATA none = Record("NOBACKSLASH");
  EXPECT_EQ(GetEnumeratorName(Lookup(), none), "");
}

TEST_F(DevAccessTest, NodeStatusAndProblem) {
  Add("ROOT\\FINE\\0");
  Add("ROOT\\BROKEN\\0").problem = CM_PROB_FAILED_START;
  Add("ROOT\\FLAGONLY\\0").status = DN_HAS_PROBLEM | DN_STARTED;
  Add("ROOT\\UNREADABLE\\0").statusFails = true;
  Start();

  ULONG problem = 7;
  EXPECT_EQ(GetDevNodeStatus(machine_->DevInstOf("ROOT\\FINE\\0"), problem) & DN_HAS_PROBLEM, 0u);
  EXPECT_EQ(problem, 0u);
  EXPECT_FALSE(DevNodeHasProblem(machine_->DevInstOf("ROOT\\FINE\\0")));

  EXPECT_EQ(GetDevNodeProblem(machine_->DevInstOf("ROOT\\BROKEN\\0")), CM_PROB_FAILED_START);
  EXPECT_TRUE(DevNodeHasProblem(machine_->DevInstOf("ROOT\\BROKEN\\0")));

  // The flag without a problem number does not count.
  EXPECT_EQ(GetDevNodeProblem(machine_->DevInstOf("ROOT\\FLAGONLY\\0")), 0u);
  EXPECT_FALSE(DevNodeHasProblem(machine_->DevInstOf("ROOT\\FLAGONLY\\0")));

  // A status that cannot be read is all ones and counts as a problem.
  const DEVINST unreadable = machine_->DevInstOf("ROOT\\UNREADABLE\\0");
  EXPECT_EQ(GetDevNodeStatus(unreadable, problem), 0xFFFFFFFFu);
  EXPECT_EQ(problem, 0xFFFFFFFFu);
  EXPECT_EQ(GetDevNodeProblem(unreadable), 0xFFFFFFFFu);
  EXPECT_TRUE(DevNodeHasProblem(unreadable));

  machine_->InjectFault({"CM_Get_DevNode_Status", CR_NO_SUCH_DEVNODE, 0, 1});
  EXPECT_EQ(GetDevNodeStatus(machine_->DevInstOf("ROOT\\FINE\\0"), problem), 0xFFFFFFFFu);
  EXPECT_EQ(problem, 0xFFFFFFFFu);
}

TEST_F(DevAccessTest, OpenDevInstInfoGrowsTheLookupSetAndFillsTheRecord) {
  Add("ROOT\\A\\0").classGuid = sim::guids::DevClassMouse;
  Add("ROOT\\B\\0");
  Start();
  HDEVINFO lookup = Lookup();
  EXPECT_EQ(machine_->SetSize(lookup), 0u);
  SP_DEVINFO_DATA data{};
  ASSERT_TRUE(OpenDevInstInfo(lookup, machine_->DevInstOf("ROOT\\A\\0"), data));
  EXPECT_EQ(data.cbSize, sizeof(SP_DEVINFO_DATA));
  EXPECT_EQ(data.DevInst, machine_->DevInstOf("ROOT\\A\\0"));
  EXPECT_TRUE(IsEqualGUID(data.ClassGuid, GUID_DEVCLASS_MOUSE));
  EXPECT_EQ(GetInstanceId(lookup, data), "ROOT\\A\\0");
  EXPECT_EQ(machine_->SetSize(lookup), 1u);
  ASSERT_TRUE(OpenDevInstInfo(lookup, machine_->DevInstOf("ROOT\\A\\0"), data));
  EXPECT_EQ(machine_->SetSize(lookup), 1u);
  ASSERT_TRUE(OpenDevInstInfo(lookup, machine_->DevInstOf("ROOT\\B\\0"), data));
  EXPECT_EQ(machine_->SetSize(lookup), 2u);

  // The ID buffer holds the reported length and its NUL.
  const auto sizes = machine_->CallsTo("CM_Get_Device_IDA");
  ASSERT_FALSE(sizes.empty());
  EXPECT_THAT(sizes.back().args, HasSubstr(std::to_string(std::string("ROOT\\B\\0").size() + 1)));

  EXPECT_FALSE(OpenDevInstInfo(lookup, 0xBAD, data));
  machine_->InjectFault({"CM_Get_Device_IDA", CR_FAILURE, 0, 1});
  EXPECT_FALSE(OpenDevInstInfo(lookup, machine_->DevInstOf("ROOT\\B\\0"), data));
  machine_->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, 0, 1});
  EXPECT_FALSE(OpenDevInstInfo(lookup, machine_->DevInstOf("ROOT\\B\\0"), data));
}

TEST_F(DevAccessTest, PropertyAndValueReadsFollowTheReportedSize) {
  sim::Device& device = Add("ROOT\\PROPS\\0");
  SetText(device, SPDRP_DEVICEDESC, std::string(40000, 'x'));
  device.properties[SPDRP_FRIENDLYNAME] = sim::RegValue::Binary({}, REG_SZ);
  device.properties[SPDRP_HARDWAREID] = sim::RegValue::MultiString({"USB\\VID_1&PID_2", "USB\\VID_1"});
  device.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(5);
  device.driverKey = sim::ValueMap{{"NTMPDriver", sim::RegValue::String("uhcd.sys")},
                                   {"Number", sim::RegValue::Dword(0x00636261)},
                                   {"Huge", sim::RegValue::String(std::string(33000, 'y'))}};
  Start();
  SP_DEVINFO_DATA data = Record("ROOT\\PROPS\\0");

  // Longer than the 32768-byte buffer: empty. A reported size of 0: empty.
  EXPECT_EQ(GetRegistryPropertyString(Lookup(), data, SPDRP_DEVICEDESC), "");
  EXPECT_EQ(GetRegistryPropertyString(Lookup(), data, SPDRP_FRIENDLYNAME), "");
  EXPECT_EQ(GetRegistryPropertyString(Lookup(), data, SPDRP_HARDWAREID),
            std::string("USB\\VID_1&PID_2\0USB\\VID_1\0", 26));
  EXPECT_EQ(GetRegistryPropertyString(Lookup(), data, SPDRP_SERVICE), "");
  EXPECT_EQ(GetRegistryPropertyDword(Lookup(), data, SPDRP_ADDRESS), 5u);
  EXPECT_EQ(GetRegistryPropertyDword(Lookup(), data, SPDRP_SERVICE), 0u);
  for (const sim::Call& call : machine_->CallsTo("SetupDiGetDeviceRegistryPropertyA")) {
    EXPECT_THAT(call.args, ::testing::AnyOf(HasSubstr("32768"), HasSubstr(", 4,"))) << call.args;
  }

  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DRV, "NTMPDriver"), "uhcd.sys");
  // Not text: the raw bytes without the last one.
  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DRV, "Number"), "abc");
  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DRV, "Huge"), "");
  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DRV, "Missing"), "");
  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DEV, "NTMPDriver"), "");
  for (const sim::Call& call : machine_->CallsTo("SetupDiOpenDevRegKey")) {
    EXPECT_THAT(call.args, HasSubstr("0x20019")) << call.args;
  }
  EXPECT_EQ(Count("RegCloseKey"), Count("SetupDiOpenDevRegKey"));

  machine_->InjectFault({"SetupDiGetDeviceInstanceIdA", ERROR_INVALID_HANDLE, 0, 1});
  EXPECT_EQ(GetInstanceId(Lookup(), data), "");
  machine_->InjectFault({"SetupDiOpenDevRegKey", ERROR_KEY_DOES_NOT_EXIST, 0, 1});
  EXPECT_EQ(GetDevRegString(Lookup(), data, DIREG_DRV, "NTMPDriver"), "");
}

TEST_F(DevAccessTest, InterfaceTestsMatchTheInstanceIdExactly) {
  Add("USB\\VID_046D&PID_C08B\\5&1").interfaces = {sim::guids::InterfaceUsbDevice};
  Add("ROOT\\NOIF\\0");
  Start();
  const std::string id = "USB\\VID_046D&PID_C08B\\5&1";
  EXPECT_TRUE(InstanceHasInterface(id, GUID_DEVINTERFACE_USB_DEVICE));
  EXPECT_FALSE(InstanceHasInterface(id, GUID_DEVINTERFACE_USB_HUB));
  const std::string path = GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE);
  EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;
  for (const sim::Call& call : machine_->CallsTo("SetupDiGetClassDevsA")) {
    EXPECT_THAT(call.args, HasSubstr("0x12")) << call.args;
  }
  EXPECT_THAT(machine_->CallsTo("GlobalAlloc").at(0).args, HasSubstr("0x40"));

  // The platform finds the device in any case, but reports its own spelling.
  const std::string lowerCased = "usb\\vid_046d&pid_c08b\\5&1";
  EXPECT_FALSE(InstanceHasInterface(lowerCased, GUID_DEVINTERFACE_USB_DEVICE));
  EXPECT_EQ(GetInterfacePath(lowerCased, GUID_DEVINTERFACE_USB_DEVICE), "");

  machine_->ClearCalls();
  EXPECT_FALSE(InstanceHasInterface("", GUID_DEVINTERFACE_USB_DEVICE));
  EXPECT_EQ(GetInterfacePath("", GUID_DEVINTERFACE_USB_DEVICE), "");
  EXPECT_EQ(Count("SetupDiGetClassDevsA"), 0u);

  EXPECT_FALSE(InstanceHasInterface("ROOT\\NOIF\\0", GUID_DEVINTERFACE_USB_DEVICE));
  EXPECT_FALSE(InstanceHasInterface("ROOT\\UNKNOWN\\0", GUID_DEVINTERFACE_USB_DEVICE));
}

TEST_F(DevAccessTest, InterfacePathFailuresGiveEmptyTextAndReleaseEverything) {
  const std::string id = "USB\\VID_046D&PID_C08B\\5&1";
  Add(id).interfaces = {sim::guids::InterfaceUsbDevice};
  Start();
  for (const char* function : {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInterfaces",
                               "GlobalAlloc", "SetupDiGetDeviceInstanceIdA"}) {
    machine_->InjectFault({function, ERROR_GEN_FAILURE, 0, 1});
    EXPECT_EQ(GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE), "") << function;
    EXPECT_EQ(machine_->LeakReport(), "") << function;
  }
  // The second detail call fails: the block is freed all the same.
  machine_->InjectFault({"SetupDiGetDeviceInterfaceDetailA", ERROR_GEN_FAILURE, 1, 1});
  EXPECT_EQ(GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE), "");
  EXPECT_EQ(machine_->LeakReport(), "");
  EXPECT_NE(GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE), "");
}

// Reports a fixed required size from the detail size query.
class SmallDetailSize final : public devtest::ForwardingDeviceInstall {
 public:
  SmallDetailSize(platform::IDeviceInstall& inner, DWORD size) : ForwardingDeviceInstall(inner), size_(size) {}
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i, PSP_DEVICE_INTERFACE_DETAIL_DATA_A o,
                                        DWORD n, PDWORD r, PSP_DEVINFO_DATA d) override {
    const BOOL result = inner_.SetupDiGetDeviceInterfaceDetailA(s, i, o, n, r, d);
    if (o == nullptr && r != nullptr) *r = size_;
    return result;
  }

 private:
  DWORD size_;
};

TEST_F(DevAccessTest, InterfacePathOfARequiredSizeWithoutRoomForThePathIsEmpty) {
  const std::string id = "USB\\VID_046D&PID_C08B\\5&1";
  Add(id).interfaces = {sim::guids::InterfaceUsbDevice};
  Start();
  // The size query reports nothing: no block is allocated.
  machine_->InjectFault({"SetupDiGetDeviceInterfaceDetailA", ERROR_GEN_FAILURE, 0, 1});
  machine_->ClearCalls();
  EXPECT_EQ(GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE), "");
  EXPECT_EQ(Count("GlobalAlloc"), 0u);

  // A block of 1 to 4 bytes could not even hold the cbSize field written into it.
  for (DWORD size : {1u, 3u, 4u}) {
    platform::Backend backend = machine_->Backend();
    SmallDetailSize small(*backend.deviceInstall, size);
    backend.deviceInstall = &small;
    platform::ScopedBackend scoped(backend);
    machine_->ClearCalls();
    EXPECT_EQ(GetInterfacePath(id, GUID_DEVINTERFACE_USB_DEVICE), "") << size;
    EXPECT_EQ(Count("GlobalAlloc"), 0u) << size;
    EXPECT_EQ(machine_->LeakReport(), "") << size;
  }
}

TEST_F(DevAccessTest, OpenInterfaceHandlePassesTheEmptyPathWhenThereIsNoInterface) {
  const std::string id = "USB\\VID_05E3&PID_0608\\5&2";
  Add(id).interfaces = {sim::guids::InterfaceUsbHub};
  Start();
  HANDLE none = OpenInterfaceHandle(id, GUID_DEVINTERFACE_USB_DEVICE);
  EXPECT_EQ(none, INVALID_HANDLE_VALUE);
  const auto opens = machine_->CallsTo("CreateFileA");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].args.rfind("\"\"", 0), 0u) << opens[0].args;

  platform::UniqueFile hub(OpenInterfaceHandle(id, GUID_DEVINTERFACE_USB_HUB));
  EXPECT_TRUE(hub.IsValid());
  const auto second = machine_->CallsTo("CreateFileA").at(1).args;
  EXPECT_THAT(second, HasSubstr("0x80000000"));
  EXPECT_THAT(second, HasSubstr("\\\\?\\"));
}

}  // namespace
