// Restarting devices through the class installer, the filter driver's effect on the
// hub's answers, and the INF functions.
#include <cstring>
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

using platform::UniqueDevInfo;

class DeviceRestart : public MachineTest {
 protected:
  // The bInterval of each pipe of a root-hub port as the EX control reports it.
  std::vector<int> Intervals(ULONG port) {
    const std::string path = "\\\\?\\usb#root_hub30#4&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    platform::UniqueFile hub(platform::Files().CreateFileA(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0,
                                                           nullptr));
    std::vector<BYTE> b(365, 0);
    std::memcpy(b.data(), &port, 4);
    DWORD returned = 0;
    std::vector<int> intervals;
    if (!platform::Files().DeviceIoControl(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, b.data(), 365,
                                           b.data(), 365, &returned, nullptr)) {
      return intervals;
    }
    for (DWORD i = 0; i < b[27]; ++i) intervals.push_back(b[35 + 11 * i + 6]);
    return intervals;
  }

  ULONG Problem(const std::string& id) {
    ULONG status = 0;
    ULONG problem = 0;
    Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf(id), 0);
    return (status & DN_HAS_PROBLEM) != 0 ? problem : 0;
  }

  void SetFilters(const std::string& id, std::vector<std::string> filters) {
    machine_->FindDevice(id)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString(filters);
  }

  // Restarts as the device record does: class install parameters, then the installer.
  BOOL RestartThroughSetupApi(const std::string& id, DWORD paramsSize = sizeof(SP_PROPCHANGE_PARAMS)) {
    UniqueDevInfo set(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data = Record();
    if (!Di().SetupDiOpenDeviceInfoA(set.Get(), id.c_str(), nullptr, 0, &data)) return FALSE;
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    if (!Di().SetupDiSetClassInstallParamsA(set.Get(), &data, &params.ClassInstallHeader, paramsSize)) return FALSE;
    return Di().SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.Get(), &data);
  }
};

TEST_F(DeviceRestart, RestartRemovesAndReaddsTheSubtreeAndBroadcastsTwice) {
  std::vector<CONFIGRET> seen;
  machine_->SetDeviceChangeHandler([&] {
    ULONG status = 0;
    ULONG problem = 0;
    seen.push_back(Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf(kMouseLeaf), 0));
  });
  ASSERT_TRUE(RestartThroughSetupApi(kMouse));
  EXPECT_EQ(seen, (std::vector<CONFIGRET>{CR_NO_SUCH_DEVNODE, CR_SUCCESS}));
  EXPECT_EQ(machine_->RestartCount(kMouse), 1u);
  EXPECT_EQ(machine_->RestartCount(kLowSpeed), 0u);
  EXPECT_FALSE(machine_->RestartDevice(kAbsent));
  EXPECT_FALSE(machine_->RestartDevice("USB\\NOT\\THERE"));
}

TEST_F(DeviceRestart, ClassInstallParamsAreValidated) {
  EXPECT_FALSE(RestartThroughSetupApi(kMouse, 16));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
  UniqueDevInfo set(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(set.Get(), kMouse, nullptr, 0, &data));
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = 20;
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  EXPECT_FALSE(Di().SetupDiSetClassInstallParamsA(set.Get(), &data, &params.ClassInstallHeader, 20));
  EXPECT_EQ(LastError(), ERROR_INVALID_USER_BUFFER);
  EXPECT_FALSE(Di().SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.Get(), &data)) << "no parameters were set";
  EXPECT_EQ(machine_->RestartCount(kMouse), 0u);

  SP_DEVINSTALL_PARAMS_A install{};
  install.cbSize = sizeof(install);
  install.Flags = 0xFFFF;
  ASSERT_TRUE(Di().SetupDiGetDeviceInstallParamsA(set.Get(), &data, &install));
  EXPECT_EQ(install.Flags, 0u);
}

TEST_F(DeviceRestart, LoadableFilterImposesTheOverrideAndDetachingGivesTheDeclaredIntervalsBack) {
  EXPECT_EQ(Intervals(1), (std::vector<int>{8, 0, 4}));
  SetFilters(kMouse, {"x", "MorVane"});
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{2, 0, 2})) << "interrupt pipes only";
  EXPECT_EQ(machine_->FindService("morvane")->state, SERVICE_RUNNING);
  EXPECT_EQ(Problem(kMouse), 0u);

  machine_->FindDevice(kMouse)->driverKey->erase("bInterval");
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{8, 0, 4})) << "no override: the declared intervals";

  machine_->FindDevice(kMouse)->driverKey->insert({"bInterval", sim::RegValue::Dword(16)});
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{16, 0, 16}));
  SetFilters(kMouse, {"x"});
  EXPECT_EQ(Intervals(1), (std::vector<int>{16, 0, 16})) << "a change takes effect only with a restart";
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{8, 0, 4}));
}

TEST_F(DeviceRestart, FilterThatCannotLoadLeavesAProblemUntilItIsDetached) {
  SetFilters(kMouse, {"morvane"});
  machine_->FindService("morvane")->startError = ERROR_DRIVER_BLOCKED;
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Problem(kMouse), CM_PROB_DRIVER_FAILED_LOAD);
  EXPECT_EQ(Intervals(1), (std::vector<int>{8, 0, 4}));

  machine_->Model().services.clear();
  SetFilters(kLowSpeed, {"morvane"});
  ASSERT_TRUE(machine_->RestartDevice(kLowSpeed));
  EXPECT_EQ(Problem(kLowSpeed), CM_PROB_DRIVER_FAILED_LOAD) << "no such service";

  SetFilters(kMouse, {});
  SetFilters(kLowSpeed, {});
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  ASSERT_TRUE(machine_->RestartDevice(kLowSpeed));
  EXPECT_EQ(Problem(kMouse), 0u);
  EXPECT_EQ(Problem(kLowSpeed), 28u) << "the device's own problem comes back";
}

TEST_F(DeviceRestart, NinetyFiveFamilyReadsTheFilterFromTheHardwareKey) {
  machine_->Model().system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  SetFilters(kMouse, {"morvane"});
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{8, 0, 4})) << "the property does not count on 9x";
  (*machine_->FindDevice(kMouse)->hardwareKey)["LowerFilters"] = sim::RegValue::MultiString({"MORVANE.SYS"});
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(Intervals(1), (std::vector<int>{2, 0, 2}));
}

TEST_F(DeviceRestart, InfOpensRelativeToTheCurrentDirectoryAndInstallCreatesTheService) {
  sim::MachineModel& model = machine_->Model();
  model.services.clear();
  model.files.push_back({"C:\\MORVANE\\morvane.inf", std::nullopt, true, true, "[Version]\r\n"});
  sim::File driver;
  driver.path = "C:\\MORVANE\\morvane.sys";
  driver.version = sim::FileVersion{"1.2.3.4"};
  model.files.push_back(driver);
  model.files.push_back({"C:\\MORVANE\\readme.txt", std::nullopt, true, true, "hello"});

  UINT line = 7;
  const HINF inf = Di().SetupOpenInfFileA("morvane.inf", nullptr, INF_STYLE_WIN4, &line);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  EXPECT_NE(machine_->LeakReport().find("INF file"), std::string::npos);
  Di().SetupCloseInfFile(inf);
  EXPECT_EQ(Di().SetupOpenInfFileA("readme.txt", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Di().SetupOpenInfFileA("C:\\OTHER\\morvane.inf", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);

  Di().InstallHinfSectionA(nullptr, nullptr, "DefaultInstall 132 C:\\MORVANE\\morvane.inf", 0);
  const sim::Service* service = machine_->FindService("morvane");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->type, SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(service->startType, SERVICE_DEMAND_START);
  EXPECT_EQ(service->binaryPath, "\\SystemRoot\\System32\\drivers\\morvane.sys");
  const sim::File* copied = machine_->FindFile("c:\\windows\\system32\\DRIVERS\\morvane.sys");
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->version->fileVersion, "1.2.3.4");

  machine_->FindService("morvane")->startType = SERVICE_DISABLED;
  Di().InstallHinfSectionA(nullptr, nullptr, "DefaultInstall 132 \"morvane.inf\"", 0);
  EXPECT_EQ(machine_->FindService("morvane")->startType, SERVICE_DEMAND_START) << "reinstalling rewrites the start";
  EXPECT_EQ(machine_->Model().services.size(), 1u);

  Di().InstallHinfSectionA(nullptr, nullptr, "DefaultInstall 132 C:\\MORVANE\\missing.inf", 0);
  EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
  Di().InstallHinfSectionA(nullptr, nullptr, "Uninstall 132 C:\\MORVANE\\morvane.inf", 0);
  EXPECT_EQ(LastError(), ERROR_SECTION_NOT_FOUND);
}

}  // namespace
}  // namespace simtest
