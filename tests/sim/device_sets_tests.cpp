// Device-information sets: membership, the growing lookup set, record validation,
// and the accounting of sets.
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

using platform::UniqueDevInfo;

class DeviceSets : public MachineTest {
 protected:
  std::vector<std::string> Members(HDEVINFO set) {
    std::vector<std::string> ids;
    SP_DEVINFO_DATA data = Record();
    for (DWORD i = 0; Di().SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      char id[256];
      EXPECT_TRUE(Di().SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), nullptr));
      ids.push_back(id);
    }
    EXPECT_EQ(LastError(), ERROR_NO_MORE_ITEMS);
    return ids;
  }
};

TEST_F(DeviceSets, InterfaceSetHoldsPresentDevicesExposingTheInterfaceInModelOrder) {
  UniqueDevInfo set(Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  ASSERT_TRUE(set);
  EXPECT_EQ(Members(set.Get()), (std::vector<std::string>{kMouse, kLowSpeed}));

  UniqueDevInfo withAbsent(
      Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(Members(withAbsent.Get()), (std::vector<std::string>{kMouse, kLowSpeed, kAbsent}));
}

TEST_F(DeviceSets, InterfaceSetRestrictedToOneInstanceMatchesItsIdInAnyCase) {
  std::string lower = kMouse;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  UniqueDevInfo set(Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, lower.c_str(), nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(Members(set.Get()), std::vector<std::string>{kMouse}) << "the platform reports the stored spelling";

  UniqueDevInfo noInterface(Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbHub, kMouse, nullptr,
                                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  ASSERT_TRUE(noInterface);
  EXPECT_TRUE(Members(noInterface.Get()).empty());
}

TEST_F(DeviceSets, EnumeratorSetUsesTheEnumeratorNamePropertyBeforeTheIdPrefix) {
  UniqueDevInfo set(Di().SetupDiGetClassDevsA(nullptr, "usb", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  ASSERT_TRUE(set);
  // The MI_00 node counts as USB through its property; the HID node does not.
  EXPECT_EQ(Members(set.Get()), (std::vector<std::string>{kRootHub, kMouse, kMouseInterface, kLowSpeed,
                                                          "USB\\VID_1A2C&PID_0004\\5&4"}));
}

TEST_F(DeviceSets, SetupClassSetAndMissingClassGuid) {
  UniqueDevInfo mice(Di().SetupDiGetClassDevsA(&sim::guids::DevClassMouse, nullptr, nullptr, DIGCF_PRESENT));
  EXPECT_EQ(Members(mice.Get()), std::vector<std::string>{kMouseLeaf});

  EXPECT_EQ(Di().SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Di().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 0x100 | DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), ERROR_INVALID_FLAGS);
}

TEST_F(DeviceSets, LookupSetGrowsOncePerDeviceAndReturnsTheExistingElement) {
  UniqueDevInfo lookup(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  ASSERT_TRUE(lookup);
  EXPECT_EQ(machine_->SetSize(lookup.Get()), 0u);

  SP_DEVINFO_DATA first = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), kMouse, nullptr, 0, &first));
  EXPECT_EQ(first.DevInst, machine_->DevInstOf(kMouse));
  EXPECT_TRUE(IsEqualGUID(first.ClassGuid, sim::guids::DevClassUsb));
  EXPECT_EQ(machine_->SetSize(lookup.Get()), 1u);

  SP_DEVINFO_DATA again = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), "usb\\vid_1a2c&pid_0001&rev_0102\\5&1", nullptr, 0, &again));
  EXPECT_EQ(machine_->SetSize(lookup.Get()), 1u) << "opening a member again does not grow the set";
  EXPECT_EQ(again.Reserved, first.Reserved);

  SP_DEVINFO_DATA other = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), kAbsent, nullptr, 0, &other)) << "phantoms can be opened";
  EXPECT_EQ(machine_->SetSize(lookup.Get()), 2u);

  EXPECT_FALSE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), "USB\\NOPE\\1", nullptr, 0, &other));
  EXPECT_EQ(LastError(), ERROR_NO_SUCH_DEVINST);
  EXPECT_EQ(machine_->SetSize(lookup.Get()), 2u);
}

TEST_F(DeviceSets, SetWithAClassRefusesDevicesOfAnotherClass) {
  UniqueDevInfo lookup(Di().SetupDiCreateDeviceInfoList(&sim::guids::DevClassMouse, nullptr));
  SP_DEVINFO_DATA data = Record();
  EXPECT_FALSE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), kMouse, nullptr, 0, &data));
  EXPECT_EQ(LastError(), 0xE0000203u);
  EXPECT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), kMouseLeaf, nullptr, 0, &data));
}

TEST_F(DeviceSets, RecordsAreCheckedForSizeSetAndLiveness) {
  UniqueDevInfo a(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  UniqueDevInfo b(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(a.Get(), kMouse, nullptr, 0, &data));
  char id[256];

  SP_DEVINFO_DATA wrongSize = data;
  wrongSize.cbSize = 28;
  EXPECT_FALSE(Di().SetupDiGetDeviceInstanceIdA(a.Get(), &wrongSize, id, sizeof(id), nullptr));
  EXPECT_EQ(LastError(), ERROR_INVALID_USER_BUFFER);

  EXPECT_FALSE(Di().SetupDiGetDeviceInstanceIdA(b.Get(), &data, id, sizeof(id), nullptr))
      << "a record belongs to the set that filled it";
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);

  SP_DEVINFO_DATA zeroed = Record();
  EXPECT_FALSE(Di().SetupDiGetDeviceInstanceIdA(a.Get(), &zeroed, id, sizeof(id), nullptr));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);

  SP_DEVINFO_DATA small = Record();
  small.cbSize = 4;
  EXPECT_FALSE(Di().SetupDiEnumDeviceInfo(a.Get(), 0, &small));
  EXPECT_EQ(LastError(), ERROR_INVALID_USER_BUFFER);

  HDEVINFO gone = a.Get();
  a.Reset();
  EXPECT_FALSE(Di().SetupDiGetDeviceInstanceIdA(gone, &data, id, sizeof(id), nullptr));
  EXPECT_EQ(LastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(Di().SetupDiDestroyDeviceInfoList(gone));
  EXPECT_EQ(LastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceSets, InstanceIdSizeProtocol) {
  UniqueDevInfo lookup(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup.Get(), kMouse, nullptr, 0, &data));
  DWORD required = 0;
  char small[8] = "xxxxxxx";
  EXPECT_FALSE(Di().SetupDiGetDeviceInstanceIdA(lookup.Get(), &data, small, sizeof(small), &required));
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, std::string(kMouse).size() + 1);
  EXPECT_STREQ(small, "xxxxxxx") << "nothing written into a buffer that is too small";
  std::vector<char> exact(required);
  EXPECT_TRUE(Di().SetupDiGetDeviceInstanceIdA(lookup.Get(), &data, exact.data(), required, nullptr));
  EXPECT_STREQ(exact.data(), kMouse);
}

TEST_F(DeviceSets, ASetThatIsNotDestroyedShowsInTheLeakReport) {
  HDEVINFO leaked = Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  const std::string report = machine_->LeakReport();
  EXPECT_NE(report.find("device-information set"), std::string::npos) << report;
  EXPECT_NE(report.find("SetupDiGetClassDevsA({A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12)"),
            std::string::npos)
      << report;
  EXPECT_EQ(machine_->OpenResourceCount(), 1u);
  EXPECT_TRUE(Di().SetupDiDestroyDeviceInfoList(leaked));
  EXPECT_EQ(machine_->LeakReport(), "");
}

TEST_F(DeviceSets, FaultsFailTheCallWithTheGivenErrorAndAreLogged) {
  machine_->InjectFault({"SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, 1, 1});
  UniqueDevInfo passes(Di().SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
  EXPECT_TRUE(passes);
  EXPECT_EQ(Di().SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), ERROR_NOT_ENOUGH_MEMORY);
  UniqueDevInfo again(Di().SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
  EXPECT_TRUE(again) << "the fault was for one call";

  machine_->InjectFault({"SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE, 0, 1});
  SP_DEVINFO_DATA data = Record();
  EXPECT_FALSE(Di().SetupDiEnumDeviceInfo(again.Get(), 0, &data));
  EXPECT_EQ(LastError(), ERROR_GEN_FAILURE);

  const auto calls = machine_->CallsTo("SetupDiGetClassDevsA");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].args, "null, \"USB\", null, 0x4");
}

}  // namespace
}  // namespace simtest
