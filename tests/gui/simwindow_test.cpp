// The pieces of setup-sim.exe around the window: which user services are real and
// which simulated, and the state file the GUI tests read.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "setup/win32/HybridUser.h"
#include "setup/win32/MachineDump.h"

namespace morvane::win {
namespace {

// Records the calls it gets and answers them as configured.
class FakeUser : public platform::IUser {
 public:
  std::vector<std::string> calls;
  BOOL result = TRUE;
  DWORD errorOnFailure = 0;

  int MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) override {
    calls.push_back(std::string("MessageBoxA ") + text);
    return IDNO;
  }
  BOOL OpenClipboard(HWND) override { return Answer("OpenClipboard"); }
  BOOL EmptyClipboard() override { return Answer("EmptyClipboard"); }
  HANDLE SetClipboardData(UINT, HANDLE data) override {
    return Answer("SetClipboardData") ? data : nullptr;
  }
  BOOL CloseClipboard() override { return Answer("CloseClipboard"); }
  HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR file, LPCSTR parameters, LPCSTR, INT) override {
    calls.push_back(std::string("ShellExecuteA ") + file + " " + (parameters != nullptr ? parameters : ""));
    return reinterpret_cast<HINSTANCE>(42);
  }
  BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info) override {
    calls.push_back(std::string("ShellExecuteExA ") + info->lpFile + " " +
                    (info->lpParameters != nullptr ? info->lpParameters : ""));
    info->hProcess = reinterpret_cast<HANDLE>(0x77);
    return TRUE;
  }
  DWORD WaitForSingleObject(HANDLE handle, DWORD) override {
    calls.push_back("WaitForSingleObject");
    return handle == reinterpret_cast<HANDLE>(0x77) ? WAIT_OBJECT_0 : WAIT_FAILED;
  }
  BOOL GetExitCodeProcess(HANDLE, LPDWORD exitCode) override {
    calls.push_back("GetExitCodeProcess");
    *exitCode = 7;
    return TRUE;
  }
  BOOL SystemParametersInfoA(UINT, UINT, PVOID, UINT) override { return Answer("SystemParametersInfoA"); }

 private:
  BOOL Answer(const char* name) {
    calls.push_back(name);
    if (!result) ::SetLastError(errorOnFailure);
    return result;
  }
};

TEST(HybridUser, BoxesAndClipboardAreRealTheShellIsSimulated) {
  FakeUser real;
  FakeUser simulated;
  auto machine = sim::Machine::FromJson(R"({"devices": [{"id": "HTREE\\ROOT\\0"}]})");
  platform::Backend backend = machine->Backend();
  HybridUser user(real, simulated, *backend.system);

  EXPECT_EQ(user.MessageBoxA(nullptr, "Q1", " Warning !!!", MB_YESNO), IDNO);
  EXPECT_TRUE(user.OpenClipboard(nullptr));
  EXPECT_TRUE(user.EmptyClipboard());
  HANDLE block = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(user.SetClipboardData(CF_TEXT, block), block);
  EXPECT_TRUE(user.CloseClipboard());
  user.ShellExecuteA(nullptr, nullptr, "TALON64.EXE", "U USB\\VID_1&PID_2\\3", nullptr, SW_SHOW);
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = "TALON64.EXE";
  info.lpParameters = "e install morvane.inf";
  EXPECT_TRUE(user.ShellExecuteExA(&info));
  EXPECT_EQ(user.WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  EXPECT_TRUE(user.GetExitCodeProcess(info.hProcess, &exitCode));
  EXPECT_EQ(exitCode, 7u);

  EXPECT_EQ(real.calls, (std::vector<std::string>{"MessageBoxA Q1", "OpenClipboard", "EmptyClipboard",
                                                  "SetClipboardData", "CloseClipboard"}));
  EXPECT_EQ(simulated.calls,
            (std::vector<std::string>{"ShellExecuteA TALON64.EXE U USB\\VID_1&PID_2\\3",
                                      "ShellExecuteExA TALON64.EXE e install morvane.inf", "WaitForSingleObject",
                                      "GetExitCodeProcess"}));
}

TEST(HybridUser, AFailedRealClipboardCallLeavesItsErrorWhereTheProgramReadsIt) {
  FakeUser real;
  FakeUser simulated;
  auto machine = sim::Machine::FromJson(R"({"devices": [{"id": "HTREE\\ROOT\\0"}]})");
  platform::Backend backend = machine->Backend();
  HybridUser user(real, simulated, *backend.system);

  backend.system->SetLastError(0);
  real.result = FALSE;
  real.errorOnFailure = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(user.OpenClipboard(nullptr));
  EXPECT_EQ(backend.system->GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  real.errorOnFailure = ERROR_CLIPBOARD_NOT_OPEN;
  EXPECT_EQ(user.SetClipboardData(CF_TEXT, reinterpret_cast<HANDLE>(1)), nullptr);
  EXPECT_EQ(backend.system->GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));

  // A call that succeeds leaves the simulated last error alone.
  real.result = TRUE;
  backend.system->SetLastError(77);
  EXPECT_TRUE(user.CloseClipboard());
  EXPECT_EQ(backend.system->GetLastError(), 77U);
}

TEST(MachineDump, WritesFiltersDriverKeyValuesServicesAndGridTexts) {
  sim::MachineModel model;
  sim::Device mouse;
  mouse.instanceId = "USB\\VID_046D&PID_C08B\\5&1";
  mouse.properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane", "other"});
  mouse.driverKey = sim::ValueMap{{"bInterval", sim::RegValue::Dword(2)},
                                  {"Desc", sim::RegValue::String("Mouse")},
                                  {"Blob", sim::RegValue::Binary({0x0A, 0xFF})}};
  sim::Device bare;
  bare.instanceId = "USB\\ROOT_HUB30\\4&0";
  bare.problem = 28;
  bare.present = false;
  model.devices = {mouse, bare};
  sim::Service service;
  service.name = "morvane";
  service.startType = SERVICE_DEMAND_START;
  service.state = SERVICE_RUNNING;
  model.services = {service};
  const GridTexts grid{{{0, 0}, "Device Name"}, {{0, 1}, "Filter?"}, {{2, 1}, "Yes"}};

  const auto state = nlohmann::json::parse(MachineStateJson(model, grid));
  const auto& devices = state.at("devices");
  ASSERT_EQ(devices.size(), 2U);
  EXPECT_EQ(devices[0].at("instanceId"), mouse.instanceId);
  EXPECT_EQ(devices[0].at("lowerFilters"), nlohmann::json({"morvane", "other"}));
  const auto& key = devices[0].at("driverKey");
  EXPECT_EQ(key.at("bInterval"), nlohmann::json({{"type", "REG_DWORD"}, {"value", 2}}));
  EXPECT_EQ(key.at("Desc"), nlohmann::json({{"type", "REG_SZ"}, {"value", "Mouse"}}));
  EXPECT_EQ(key.at("Blob"), nlohmann::json({{"type", REG_BINARY}, {"hex", "0AFF"}}));
  EXPECT_EQ(devices[1].at("lowerFilters"), nlohmann::json::array());
  EXPECT_TRUE(devices[1].at("driverKey").is_null());
  EXPECT_EQ(devices[1].at("problem"), 28);
  EXPECT_EQ(devices[1].at("present"), false);
  EXPECT_EQ(state.at("services")[0],
            nlohmann::json({{"name", "morvane"}, {"startType", SERVICE_DEMAND_START}, {"state", SERVICE_RUNNING}}));
  // Rows by number, cells never drawn empty.
  EXPECT_EQ(state.at("grid"), nlohmann::json({{"Device Name", "Filter?"}, nlohmann::json::array(), {"", "Yes"}}));
}

}  // namespace
}  // namespace morvane::win
