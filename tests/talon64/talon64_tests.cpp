// The helper's commands over the simulated machine: argument handling with every
// exit code, the device restart, the INF installation, and the window's two
// command lines handed to the machine's shell.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "talon64/TalonCommands.h"
#include "tests/common/forwarding.h"

namespace {

using morvane::RunTalon;
using morvane::TalonExit;

std::string ReadInf() {
  std::ifstream in(MORVANE_INF_FILE, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TalonTest : public ::testing::Test {
 protected:
  TalonTest() : machine(sim::Machine::Default()), scope_(machine->Backend()) {}

  void TearDown() override { EXPECT_EQ(machine->LeakReport(), ""); }

  TalonExit Run(const std::vector<std::string>& args) {
    errors.str("");
    return RunTalon(args, errors);
  }
  // The error output is exactly one line containing `part`.
  void ExpectOneLine(const std::string& part) const {
    const std::string text = errors.str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_NE(text.find(part), std::string::npos) << text;
  }
  std::string SomeDevice() const {
    for (const sim::Device& device : machine->Model().devices) {
      if (device.present && !device.parent.empty()) return device.instanceId;
    }
    return {};
  }
  void AddInf(const std::string& path) {
    sim::File file;
    file.path = path;
    file.content = ReadInf();
    machine->Model().files.push_back(file);
    sim::File driver;
    driver.path = path.substr(0, path.find_last_of('\\')) + "\\morvane.sys";
    machine->Model().files.push_back(driver);
  }
  void RemoveFiles(const std::string& nameSuffix) {
    const std::string suffix = sim::ToUpperAscii(nameSuffix);
    std::erase_if(machine->Model().files, [&suffix](const sim::File& file) {
      const std::string path = sim::ToUpperAscii(file.path);
      return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
  }
  void RemoveFilterService() {
    std::vector<sim::Service>& services = machine->Model().services;
    std::erase_if(services, [](const sim::Service& s) { return sim::ToUpperAscii(s.name) == "MORVANE"; });
  }
  std::size_t TotalRestarts() const {
    std::size_t total = 0;
    for (const sim::Device& device : machine->Model().devices) total += machine->RestartCount(device.instanceId);
    return total;
  }

  std::unique_ptr<sim::Machine> machine;
  std::ostringstream errors;

 private:
  platform::ScopedBackend scope_;
};

TEST_F(TalonTest, BadCommandLinesEndWithTheirOwnCodes) {
  struct Case {
    std::vector<std::string> args;
    TalonExit exit;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, TalonExit::MissingArgument, "missing command"},
      {{"X"}, TalonExit::UnknownCommand, "unknown command \"X\""},
      {{"Up", "ID"}, TalonExit::UnknownCommand, "unknown command \"Up\""},
      {{"U"}, TalonExit::MissingArgument, "U needs an instance ID"},
      {{"U", ""}, TalonExit::MissingArgument, "U needs an instance ID"},
      {{"e"}, TalonExit::MissingArgument, "e needs a subcommand"},
      {{"e", "uninstall", "morvane.inf"}, TalonExit::UnknownCommand, "unknown command \"e uninstall\""},
      {{"e", "install"}, TalonExit::MissingArgument, "e install needs an INF file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(Run(c.args), c.exit);
    ExpectOneLine(c.message);
  }
  EXPECT_EQ(TotalRestarts(), 0u);
  EXPECT_EQ(machine->CountCalls("InstallHinfSectionA"), 0u);

  // The codes are distinct, so a caller can tell every outcome apart.
  const std::vector<TalonExit> all = {TalonExit::Success,       TalonExit::UnknownCommand, TalonExit::MissingArgument,
                                      TalonExit::UnknownDevice, TalonExit::MissingInf,     TalonExit::BadInf,
                                      TalonExit::InstallFailed, TalonExit::RebootNeeded,   TalonExit::DeviceListFailed,
                                      TalonExit::InternalError, TalonExit::RestartRefused, TalonExit::MissingDriver};
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]);
  }
}

TEST_F(TalonTest, RestartsTheNamedDeviceOnly) {
  const std::string id = SomeDevice();
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(Run({"U", id}), TalonExit::Success);
  EXPECT_EQ(errors.str(), "");
  EXPECT_EQ(machine->RestartCount(id), 1u);
  EXPECT_EQ(TotalRestarts(), 1u);

  // Commands are accepted in either case, and instance IDs as the device manager
  // compares them.
  EXPECT_EQ(Run({"u", sim::ToUpperAscii(id)}), TalonExit::Success);
  EXPECT_EQ(machine->RestartCount(id), 2u);
}

// Forwards to the machine's SetupAPI and marks every device as needing a reboot
// once the class installer has run.
class RebootingDeviceInstall final : public simtest::ForwardingDeviceInstall {
 public:
  using ForwardingDeviceInstall::ForwardingDeviceInstall;
  BOOL SetupDiCallClassInstaller(DI_FUNCTION f, HDEVINFO s, PSP_DEVINFO_DATA d) override {
    const BOOL ok = inner_.SetupDiCallClassInstaller(f, s, d);
    installerRan = installerRan || ok;
    return ok;
  }
  BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_DEVINSTALL_PARAMS_A p) override {
    const BOOL ok = inner_.SetupDiGetDeviceInstallParamsA(s, d, p);
    if (ok && installerRan) p->Flags |= rebootFlag;
    return ok;
  }

  DWORD rebootFlag = DI_NEEDREBOOT;
  bool installerRan = false;
};

TEST_F(TalonTest, RefusedRestartIsNotReportedAsSuccess) {
  const std::string id = SomeDevice();
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(Run({"U", id}), TalonExit::RestartRefused);
  ExpectOneLine("device \"" + id + "\" was not restarted (error 0x5)");
  machine->InjectFault({"SetupDiSetClassInstallParamsA", ERROR_INVALID_PARAMETER, 0, 1});
  EXPECT_EQ(Run({"U", id}), TalonExit::RestartRefused);
  ExpectOneLine("was not restarted (error 0x57)");
  EXPECT_EQ(machine->CountCalls("SetupDiCallClassInstaller"), 1u) << "not asked after its parameters were refused";
  EXPECT_EQ(TotalRestarts(), 0u);

  // Once the faults are gone the same command line restarts the device.
  EXPECT_EQ(Run({"U", id}), TalonExit::Success);
  EXPECT_EQ(machine->RestartCount(id), 1u);
}

TEST_F(TalonTest, RestartThatNeedsARebootHasItsCode) {
  const std::string id = SomeDevice();
  for (DWORD flag : {DWORD{DI_NEEDREBOOT}, DWORD{DI_NEEDRESTART}}) {
    SCOPED_TRACE(flag);
    RebootingDeviceInstall rebooting(*machine->Backend().deviceInstall);
    rebooting.rebootFlag = flag;
    platform::Backend backend = machine->Backend();
    backend.deviceInstall = &rebooting;
    platform::ScopedBackend scope(backend);
    EXPECT_EQ(Run({"U", id}), TalonExit::RebootNeeded);
    ExpectOneLine("takes the change only after Windows is restarted");
  }
  EXPECT_EQ(machine->RestartCount(id), 2u);
}

TEST_F(TalonTest, UnknownDeviceOrNoDeviceListRestartsNothing) {
  EXPECT_EQ(Run({"U", "USB\\VID_DEAD&PID_BEEF\\0"}), TalonExit::UnknownDevice);
  ExpectOneLine("no device with instance ID \"USB\\VID_DEAD&PID_BEEF\\0\"");

  machine->InjectFault({"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(Run({"U", SomeDevice()}), TalonExit::DeviceListFailed);
  ExpectOneLine("cannot create a device list");
  EXPECT_EQ(TotalRestarts(), 0u);
}

TEST_F(TalonTest, InstallsTheServiceFromTheInfInTheCurrentDirectory) {
  RemoveFilterService();
  ASSERT_EQ(machine->FindService(morvane::FilterServiceName), nullptr);
  const std::string infPath = machine->Model().system.currentDirectory + "\\morvane.inf";
  AddInf(infPath);

  EXPECT_EQ(Run({"e", "install", "morvane.inf"}), TalonExit::Success);
  EXPECT_EQ(errors.str(), "");
  const sim::Service* service = machine->FindService("morvane");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
  EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_DEMAND_START));

  const std::vector<sim::Call> installs = machine->CallsTo("InstallHinfSectionA");
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_NE(installs[0].args.find("\"DefaultInstall 132 " + infPath + "\""), std::string::npos) << installs[0].args;
}

TEST_F(TalonTest, MissingBrokenOrIneffectiveInfHasItsCode) {
  // The built-in machine ships the INF beside the program; take it away.
  std::erase_if(machine->Model().files, [](const sim::File& file) {
    const std::string path = sim::ToUpperAscii(file.path);
    return path.size() >= 12 && path.compare(path.size() - 12, 12, "\\MORVANE.INF") == 0;
  });
  EXPECT_EQ(Run({"e", "install", "morvane.inf"}), TalonExit::MissingInf);
  ExpectOneLine("morvane.inf\" not found");
  EXPECT_EQ(machine->CountCalls("InstallHinfSectionA"), 0u);

  AddInf("C:\\Drivers\\morvane.inf");
  machine->InjectFault({"SetupOpenInfFileA", ERROR_ACCESS_DENIED});
  EXPECT_EQ(Run({"e", "install", "C:\\Drivers\\morvane.inf"}), TalonExit::BadInf);
  ExpectOneLine("cannot open INF file \"C:\\Drivers\\morvane.inf\" (error 0x5");
  EXPECT_EQ(machine->CountCalls("InstallHinfSectionA"), 0u);

  // The installation runs but leaves no service behind.
  RemoveFilterService();
  machine->Core().installInf = [](const std::string&) { return false; };
  EXPECT_EQ(Run({"e", "install", "C:\\Drivers\\morvane.inf"}), TalonExit::InstallFailed);
  ExpectOneLine("did not install the service \"morvane\"");
  EXPECT_EQ(machine->CountCalls("InstallHinfSectionA"), 1u);
}

// An earlier installation left the service and its driver behind; a reinstall from a
// folder without the driver file copies nothing and must not say it worked.
TEST_F(TalonTest, ReinstallWithoutTheDriverFileFails) {
  ASSERT_NE(machine->FindService(morvane::FilterServiceName), nullptr);
  AddInf("C:\\Drivers\\morvane.inf");
  RemoveFiles("\\Drivers\\morvane.sys");
  EXPECT_EQ(Run({"e", "install", "C:\\Drivers\\morvane.inf"}), TalonExit::MissingDriver);
  ExpectOneLine("driver file \"C:\\Drivers\\morvane.sys\" not found beside the INF file (error 0x2)");
  EXPECT_EQ(machine->CountCalls("InstallHinfSectionA"), 0u);
}

// An earlier installation left the service and an older driver file: an installation
// that did not run (its copy refused) leaves the older file, and says so.
TEST_F(TalonTest, ReinstallThatLeavesAnOlderDriverFails) {
  sim::File* installed = machine->FindFile("C:\\WINDOWS\\System32\\drivers\\morvane.sys");
  ASSERT_NE(installed, nullptr);
  installed->version = sim::FileVersion{"0.9.0.0", 0x0409, 0x04B0, true};
  machine->InjectFault({"InstallHinfSectionA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(Run({"e", "install", "morvane.inf"}), TalonExit::InstallFailed);
  ExpectOneLine("left the driver file \"C:\\WINDOWS\\System32\\drivers\\morvane.sys\" at version 0.9.0.0, not the "
                "version 1.0.0.0 beside the INF file");

  // The next installation copies it.
  EXPECT_EQ(Run({"e", "install", "morvane.inf"}), TalonExit::Success);
  EXPECT_EQ(errors.str(), "");
  installed = machine->FindFile("C:\\WINDOWS\\System32\\drivers\\morvane.sys");
  ASSERT_NE(installed, nullptr);
  ASSERT_TRUE(installed->version.has_value());
  EXPECT_EQ(installed->version->fileVersion, "1.0.0.0");
}

// The installation ran and the service is there, but the file it points at is not.
TEST_F(TalonTest, ServiceWithoutItsDriverFileIsAFailedInstall) {
  AddInf("C:\\Drivers\\morvane.inf");
  RemoveFiles("\\System32\\drivers\\morvane.sys");
  machine->Core().installInf = [](const std::string&) { return true; };  // copies nothing
  EXPECT_EQ(Run({"e", "install", "C:\\Drivers\\morvane.inf"}), TalonExit::InstallFailed);
  ExpectOneLine("without its driver file \"C:\\WINDOWS\\System32\\drivers\\morvane.sys\"");

  // A copy that the machine does make ends in success.
  machine->Core().installInf = nullptr;
  machine->Core().installInf = [this](const std::string&) {
    sim::File copied;
    copied.path = "C:\\WINDOWS\\System32\\drivers\\morvane.sys";
    machine->Model().files.push_back(copied);
    return true;
  };
  EXPECT_EQ(Run({"e", "install", "C:\\Drivers\\morvane.inf"}), TalonExit::Success);
  EXPECT_EQ(errors.str(), "");
}

TEST_F(TalonTest, InfPathsAreMadeFullFromTheCurrentDirectory) {
  machine->Model().system.currentDirectory = "D:\\Setup";
  EXPECT_EQ(morvane::FullInfPath("morvane.inf"), "D:\\Setup\\morvane.inf");
  EXPECT_EQ(morvane::FullInfPath("sub\\morvane.inf"), "D:\\Setup\\sub\\morvane.inf");
  EXPECT_EQ(morvane::FullInfPath("E:\\x\\morvane.inf"), "E:\\x\\morvane.inf");
  EXPECT_EQ(morvane::FullInfPath("\\\\server\\share\\morvane.inf"), "\\\\server\\share\\morvane.inf");
  machine->Model().system.currentDirectory = "C:\\";
  EXPECT_EQ(morvane::FullInfPath("morvane.inf"), "C:\\morvane.inf");
}

// What the setup window starts on 64-bit Windows, handed to the simulated shell.
TEST_F(TalonTest, WindowCommandLinesHaveTheirEffectsOnTheMachine) {
  RemoveFilterService();
  AddInf(machine->Model().system.currentDirectory + "\\morvane.inf");
  platform::User().ShellExecuteA(nullptr, nullptr, "TALON64.EXE", "e install morvane.inf", nullptr, SW_SHOW);
  const sim::Service* service = machine->FindService("morvane");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));

  const std::string id = SomeDevice();
  int changes = 0;
  machine->SetDeviceChangeHandler([&changes] { ++changes; });
  platform::User().ShellExecuteA(nullptr, nullptr, "TALON64.EXE", ("U " + id).c_str(), nullptr, SW_SHOW);
  EXPECT_EQ(machine->RestartCount(id), 1u);
  EXPECT_GT(changes, 0);
}

}  // namespace
