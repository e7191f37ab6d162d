// The simulated machine's system side, called directly: what the program relies on
// beyond the helpers that are tested above it.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/system_services.h"
#include "platform/sim/version_resource.h"

namespace {

class SystemSide : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(core.LeakReport(), ""); }
  sim::MachineModel model;
  sim::SimCore core{model};
  sim::SystemServices services{core};
};

template <typename Fn>
Fn Resolve(sim::SystemServices& services, const char* module, const char* name) {
  FARPROC proc = services.GetProcAddress(services.GetModuleHandleA(module), name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

sim::File FileAt(const std::string& path, std::optional<sim::FileVersion> version = std::nullopt) {
  sim::File file;
  file.path = path;
  file.version = std::move(version);
  return file;
}

TEST(VersionResource, BlockLayoutAndQueries) {
  sim::FileVersion version{"10.0.19041.3636", 0x0407, 0x04E4, true};
  std::vector<BYTE> resource = sim::BuildVersionResource(version);
  ASSERT_GE(resource.size(), 92u);
  WORD length = 0;
  std::memcpy(&length, resource.data(), 2);
  EXPECT_EQ(length, resource.size());
  EXPECT_EQ(resource.size() % 4, 0u);
  // "VS_VERSION_INFO" in UTF-16 after the three words, the fixed info on a DWORD boundary.
  EXPECT_EQ(resource[6], 'V');
  EXPECT_EQ(resource[7], 0);
  DWORD signature = 0;
  std::memcpy(&signature, resource.data() + 40, 4);
  EXPECT_EQ(signature, 0xFEEF04BDu);

  std::vector<BYTE> block(2 * resource.size() + 4, 0);
  std::memcpy(block.data(), resource.data(), resource.size());
  sim::VersionValue value;
  ASSERT_TRUE(sim::QueryVersionValue(block.data(), "\\", &value));
  EXPECT_EQ(value.length, 52u);
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value.data);
  EXPECT_EQ(fixed->dwFileVersionMS, (10u << 16) | 0u);
  EXPECT_EQ(fixed->dwFileVersionLS, (19041u << 16) | 3636u);

  ASSERT_TRUE(sim::QueryVersionValue(block.data(), "\\VarFileInfo\\Translation", &value));
  EXPECT_EQ(value.length, 4u);
  DWORD translation = 0;
  std::memcpy(&translation, value.data, 4);
  EXPECT_EQ(translation, 0x04E40407u);

  // Keys compare without case; the text lands in the space after the resource.
  ASSERT_TRUE(sim::QueryVersionValue(block.data(), "\\stringfileinfo\\040704e4\\FILEVERSION", &value));
  EXPECT_STREQ(static_cast<const char*>(value.data), "10.0.19041.3636");
  EXPECT_EQ(value.length, 16u);
  EXPECT_GE(static_cast<const BYTE*>(value.data), block.data() + resource.size());
  EXPECT_LE(static_cast<const BYTE*>(value.data) + value.length, block.data() + block.size());
  EXPECT_TRUE(std::equal(resource.begin(), resource.end(), block.begin())) << "the resource itself is unchanged";

  EXPECT_FALSE(sim::QueryVersionValue(block.data(), "\\StringFileInfo\\040904B0\\FileVersion", &value));
  EXPECT_FALSE(sim::QueryVersionValue(block.data(), "\\StringFileInfo\\040704E4\\ProductName", &value));
}

TEST(VersionResource, MissingTranslationAndMalformedBlocks) {
  std::vector<BYTE> resource = sim::BuildVersionResource(sim::FileVersion{"1.2", 0x0409, 0x04B0, false});
  std::vector<BYTE> block(2 * resource.size() + 4, 0);
  std::memcpy(block.data(), resource.data(), resource.size());
  sim::VersionValue value;
  EXPECT_FALSE(sim::QueryVersionValue(block.data(), "\\VarFileInfo\\Translation", &value));
  EXPECT_TRUE(sim::QueryVersionValue(block.data(), "\\StringFileInfo\\040904B0\\FileVersion", &value));

  // A child that claims more than its parent holds ends the search, never reads past it.
  std::vector<BYTE> broken = block;
  const WORD huge = 0xFFF0;
  std::memcpy(broken.data() + 92, &huge, 2);  // the first child's length
  EXPECT_FALSE(sim::QueryVersionValue(broken.data(), "\\StringFileInfo\\040904B0\\FileVersion", &value));
  std::vector<BYTE> tiny(8, 0);
  tiny[0] = 4;  // shorter than a header
  EXPECT_FALSE(sim::QueryVersionValue(tiny.data(), "\\", &value));
}

TEST_F(SystemSide, FixedBlocksAreTheirAddressAndMovableBlocksAreNot) {
  HGLOBAL fixed = services.GlobalAlloc(GPTR, 16);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(services.GlobalLock(fixed), static_cast<void*>(fixed));
  std::memset(fixed, 0x5A, 16);  // usable directly, as a GPTR block is
  HGLOBAL movable = services.GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, 4);
  void* data = services.GlobalLock(movable);
  EXPECT_NE(data, static_cast<void*>(movable));
  EXPECT_FALSE(services.GlobalUnlock(movable));
  EXPECT_EQ(services.GetLastError(), ERROR_SUCCESS) << "unlocked, not failed";
  EXPECT_FALSE(services.GlobalUnlock(movable));
  EXPECT_EQ(services.GetLastError(), 158u) << "not locked";
  EXPECT_EQ(core.LiveCount(sim::ResourceKind::GlobalMemory), 2u);
  EXPECT_EQ(services.GlobalFree(fixed), nullptr);
  EXPECT_EQ(services.GlobalFree(movable), nullptr);
  EXPECT_EQ(services.GlobalFree(movable), movable) << "a freed block is unknown";
}

TEST_F(SystemSide, ClipboardTakesBlocksOnlyWhileOpen) {
  HGLOBAL block = services.GlobalAlloc(GMEM_MOVEABLE, 3);
  std::memcpy(services.GlobalLock(block), "hi", 3);
  services.GlobalUnlock(block);
  EXPECT_EQ(services.SetClipboardData(CF_TEXT, block), nullptr);
  EXPECT_EQ(services.GetLastError(), ERROR_CLIPBOARD_NOT_OPEN);
  ASSERT_TRUE(services.OpenClipboard(nullptr));
  EXPECT_FALSE(services.OpenClipboard(nullptr)) << "already open";
  EXPECT_TRUE(services.EmptyClipboard());
  EXPECT_EQ(services.SetClipboardData(CF_TEXT, block), block);
  EXPECT_EQ(core.LiveCount(sim::ResourceKind::GlobalMemory), 0u) << "the clipboard owns the block";
  EXPECT_TRUE(services.CloseClipboard());
  EXPECT_FALSE(services.CloseClipboard());
  EXPECT_EQ(services.ClipboardData(CF_TEXT), (std::vector<BYTE>{'h', 'i', 0}));
  services.SetClipboardText("other");
  EXPECT_EQ(services.ClipboardFormats(), std::vector<UINT>{CF_TEXT});
}

TEST_F(SystemSide, HighContrastIsTheMachinesAndOtherSettingsAreRefused) {
  HIGHCONTRASTA contrast{};
  contrast.cbSize = sizeof contrast;
  ASSERT_TRUE(services.SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0));
  EXPECT_EQ(contrast.dwFlags & HCF_HIGHCONTRASTON, 0u);
  model.system.highContrast = true;
  ASSERT_TRUE(services.SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0));
  EXPECT_EQ(contrast.dwFlags & HCF_HIGHCONTRASTON, HCF_HIGHCONTRASTON);
  // A structure too short for the answer, and a setting the machine does not have.
  HIGHCONTRASTA shorter = contrast;
  shorter.cbSize = 4;
  EXPECT_FALSE(services.SystemParametersInfoA(SPI_GETHIGHCONTRAST, 4, &shorter, 0));
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(services.SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, nullptr, 0));
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(services.SystemParametersInfoA(0x0043 /* SPI_SETHIGHCONTRAST */, sizeof contrast, &contrast, 0));
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_SPI_VALUE);
}

TEST_F(SystemSide, RedirectionHidesSystem32FromA32BitProcess) {
  model.system.wow64 = true;
  model.files.push_back(FileAt("C:\\WINDOWS\\System32\\drivers\\usbhub.sys", sim::FileVersion{"1.0"}));
  const char* path = "C:\\WINDOWS\\System32\\drivers\\usbhub.sys";
  EXPECT_EQ(services.CreateFileA(path, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(services.GetFileVersionInfoSizeA(path, nullptr), 0u);

  auto disable = Resolve<PFN_Wow64DisableWow64FsRedirection>(services, "kernel32.dll", "Wow64DisableWow64FsRedirection");
  auto revert = Resolve<PFN_Wow64RevertWow64FsRedirection>(services, "kernel32.dll", "Wow64RevertWow64FsRedirection");
  ASSERT_NE(disable, nullptr);
  PVOID token = nullptr;
  ASSERT_TRUE(disable(&token));
  HANDLE file = services.CreateFileA(path, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(services.CloseHandle(file));
  EXPECT_FALSE(services.CloseHandle(file)) << "closed twice";
  EXPECT_TRUE(revert(token));
  EXPECT_FALSE(revert(token)) << "nothing left to revert";
  EXPECT_EQ(services.CreateFileA(path, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

  model.system.wow64 = false;
  EXPECT_FALSE(disable(&token)) << "a 64-bit process has nothing to switch off";
}

TEST_F(SystemSide, DirectoriesAndTheirSizeProtocol) {
  char buffer[MAX_PATH] = {};
  EXPECT_EQ(services.GetCurrentDirectoryA(4, buffer), 11u) << "C:\\MORVANE and its NUL";
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(services.GetCurrentDirectoryA(11, buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\MORVANE");
  EXPECT_FALSE(services.SetCurrentDirectoryA("C:\\Nowhere"));
  EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(services.SetCurrentDirectoryA("C:\\WINDOWS\\System32\\drivers\\"));
  services.GetCurrentDirectoryA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "C:\\WINDOWS\\System32\\drivers");
  EXPECT_TRUE(services.SetCurrentDirectoryA("C:\\MORVANE")) << "a directory once current exists";
  EXPECT_TRUE(services.SetCurrentDirectoryA("C:\\"));
  services.GetCurrentDirectoryA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "C:\\");
}

TEST_F(SystemSide, TokenAdjustmentsReportThePreviousState) {
  LUID profile{};
  ASSERT_TRUE(services.LookupPrivilegeValueA(nullptr, "seprofilesingleprocessprivilege", &profile));
  EXPECT_EQ(profile.LowPart, 13u);
  LUID unknown{};
  EXPECT_FALSE(services.LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &unknown));
  EXPECT_EQ(services.GetLastError(), ERROR_NO_SUCH_PRIVILEGE);

  HANDLE token = nullptr;
  ASSERT_TRUE(services.OpenProcessToken(services.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES change{1, {{profile, SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  EXPECT_FALSE(services.AdjustTokenPrivileges(token, FALSE, &change, 4, &previous, &length));
  EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 16u);
  EXPECT_FALSE(services.IsPrivilegeEnabled("SeProfileSingleProcessPrivilege"));
  ASSERT_TRUE(services.AdjustTokenPrivileges(token, FALSE, &change, sizeof(previous), &previous, &length));
  EXPECT_EQ(services.GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Attributes, 0u) << "it was disabled before";
  EXPECT_TRUE(services.IsPrivilegeEnabled("SeProfileSingleProcessPrivilege"));
  // Enabling it again changes nothing, so nothing is reported.
  ASSERT_TRUE(services.AdjustTokenPrivileges(token, FALSE, &change, sizeof(previous), &previous, &length));
  EXPECT_EQ(length, 4u);

  model.system.heldPrivileges.erase("SeShutdownPrivilege");
  LUID shutdown{};
  services.LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown);
  TOKEN_PRIVILEGES notHeld{1, {{shutdown, SE_PRIVILEGE_ENABLED}}};
  EXPECT_TRUE(services.AdjustTokenPrivileges(token, FALSE, &notHeld, 0, nullptr, nullptr));
  EXPECT_EQ(services.GetLastError(), ERROR_NOT_ALL_ASSIGNED) << "success, but not assigned";
  EXPECT_FALSE(services.IsPrivilegeEnabled("SeShutdownPrivilege"));
  EXPECT_TRUE(services.CloseHandle(token));
  EXPECT_FALSE(services.AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SystemSide, MemoryListCommandsNeedTheProfilePrivilege) {
  HMODULE ntdll = services.LoadLibraryW(MORVANE_WTEXT("ntdll.dll"));
  ASSERT_NE(ntdll, nullptr);
  FARPROC proc = services.GetProcAddress(ntdll, "NtSetSystemInformation");
  auto set = reinterpret_cast<PFN_NtSetSystemInformation>(reinterpret_cast<void (*)()>(proc));
  ASSERT_NE(set, nullptr);
  ULONG command = 4;
  EXPECT_EQ(static_cast<DWORD>(set(SystemMemoryListInformation, &command, 4)), 0xC0000061u);
  EXPECT_EQ(static_cast<DWORD>(set(SystemMemoryListInformation, &command, 8)), 0xC0000004u);
  EXPECT_EQ(services.MemoryListCommands(), std::vector<ULONG>{4}) << "a wrong length is refused before reading";

  LUID profile{};
  HANDLE token = nullptr;
  services.LookupPrivilegeValueA(nullptr, "SeProfileSingleProcessPrivilege", &profile);
  services.OpenProcessToken(services.GetCurrentProcess(), 0x28, &token);
  TOKEN_PRIVILEGES enable{1, {{profile, SE_PRIVILEGE_ENABLED}}};
  services.AdjustTokenPrivileges(token, FALSE, &enable, 0, nullptr, nullptr);
  services.CloseHandle(token);
  EXPECT_EQ(set(SystemMemoryListInformation, &command, 4), 0);

  model.system.hasNtSetSystemInformation = false;
  EXPECT_EQ(services.GetProcAddress(ntdll, "NtSetSystemInformation"), nullptr);
  EXPECT_EQ(services.GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(services.FreeLibrary(ntdll));
}

TEST_F(SystemSide, ServiceManagerRightsAndConfigurationBlock) {
  model.services.push_back(sim::Service{"usbhub", "USB Hub Driver", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                        SERVICE_ERROR_NORMAL, "\\SystemRoot\\System32\\drivers\\usbhub.sys",
                                        SERVICE_RUNNING});
  SC_HANDLE manager = services.OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE statusOnly = services.OpenServiceA(manager, "USBHUB", SERVICE_QUERY_STATUS);
  ASSERT_NE(statusOnly, nullptr) << "names compare without case";
  DWORD needed = 0;
  EXPECT_FALSE(services.QueryServiceConfigA(statusOnly, nullptr, 0, &needed));
  EXPECT_EQ(services.GetLastError(), ERROR_ACCESS_DENIED) << "the handle lacks the right";
  EXPECT_FALSE(services.StartServiceA(statusOnly, 0, nullptr));
  EXPECT_EQ(services.GetLastError(), ERROR_ACCESS_DENIED);
  services.CloseServiceHandle(statusOnly);

  SC_HANDLE config = services.OpenServiceA(manager, "usbhub", SERVICE_QUERY_CONFIG);
  EXPECT_FALSE(services.QueryServiceConfigA(config, nullptr, 0, &needed));
  EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> block(needed);
  auto* record = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(block.data());
  EXPECT_FALSE(services.QueryServiceConfigA(config, record, needed - 1, &needed));
  ASSERT_TRUE(services.QueryServiceConfigA(config, record, needed, &needed));
  EXPECT_STREQ(record->lpBinaryPathName, "\\SystemRoot\\System32\\drivers\\usbhub.sys");
  EXPECT_STREQ(record->lpDisplayName, "USB Hub Driver");
  // Every string lies inside the block.
  for (LPSTR text : {record->lpBinaryPathName, record->lpLoadOrderGroup, record->lpDependencies,
                     record->lpServiceStartName, record->lpDisplayName}) {
    EXPECT_GE(reinterpret_cast<BYTE*>(text), block.data());
    EXPECT_LT(reinterpret_cast<BYTE*>(text) + std::strlen(text), block.data() + block.size());
  }
  services.CloseServiceHandle(config);
  EXPECT_TRUE(services.CloseServiceHandle(manager));
  EXPECT_FALSE(services.CloseServiceHandle(manager));
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_HANDLE);

  model.system.administrator = false;
  EXPECT_EQ(services.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(services.GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(SystemSide, ShellRunsTheHelperAndTheInstallVerb) {
  model.files.push_back(FileAt("C:\\MORVANE\\TALON64.EXE"));
  model.files.push_back(FileAt("C:\\MORVANE\\morvane.inf"));
  std::vector<std::string> restarted, installed;
  core.restartDevice = [&](const std::string& id) { restarted.push_back(id); return true; };
  core.installInf = [&](const std::string& path) { installed.push_back(path); return true; };
  const auto code = [](HINSTANCE result) { return reinterpret_cast<std::uintptr_t>(result); };

  EXPECT_GT(code(services.ShellExecuteA(nullptr, nullptr, "TALON64.EXE", "U USB\\VID_1&PID_2\\3", nullptr, 5)), 32u);
  EXPECT_GT(code(services.ShellExecuteA(nullptr, nullptr, "TALON64.EXE", "e install morvane.inf", nullptr, 5)), 32u);
  EXPECT_GT(code(services.ShellExecuteA(nullptr, "install", "morvane.inf", nullptr, nullptr, 5)), 32u);
  EXPECT_EQ(code(services.ShellExecuteA(nullptr, "open", "morvane.inf", nullptr, nullptr, 5)), 31u);
  EXPECT_EQ(code(services.ShellExecuteA(nullptr, nullptr, "MISSING.EXE", "U x", nullptr, 5)), 2u);
  EXPECT_EQ(restarted, std::vector<std::string>{"USB\\VID_1&PID_2\\3"});
  EXPECT_EQ(installed, (std::vector<std::string>{"C:\\MORVANE\\morvane.inf", "C:\\MORVANE\\morvane.inf"}));
  ASSERT_EQ(services.ShellExecutes().size(), 5u);
  EXPECT_EQ(services.ShellExecutes()[1].parameters, "e install morvane.inf");
  EXPECT_TRUE(services.ShellExecutes()[1].directoryIsNull);
}

TEST_F(SystemSide, ShellExecuteExGivesTheHelpersProcessAndExitCode) {
  model.files.push_back(FileAt("C:\\MORVANE\\TALON64.EXE"));
  model.files.push_back(FileAt("C:\\MORVANE\\morvane.inf"));
  std::vector<std::string> restarted;
  core.restartDevice = [&](const std::string& id) {
    restarted.push_back(id);
    return id == "USB\\VID_1&PID_2\\3";
  };
  core.installInf = [](const std::string&) { return false; };
  auto run = [&](const char* verb, const char* file, const char* parameters, DWORD* exitCode) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = parameters;
    if (!services.ShellExecuteExA(&info)) return false;
    EXPECT_NE(info.hProcess, nullptr);
    EXPECT_EQ(services.WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(services.GetExitCodeProcess(info.hProcess, exitCode));
    EXPECT_TRUE(services.CloseHandle(info.hProcess));
    EXPECT_EQ(services.WaitForSingleObject(info.hProcess, 0), WAIT_FAILED);  // closed
    return true;
  };
  DWORD exitCode = 99;
  ASSERT_TRUE(run(nullptr, "TALON64.EXE", "U USB\\VID_1&PID_2\\3", &exitCode));
  EXPECT_EQ(exitCode, 0u);
  ASSERT_TRUE(run(nullptr, "TALON64.EXE", "U USB\\NONE\\1", &exitCode));
  EXPECT_EQ(exitCode, 3u);  // no such device
  ASSERT_TRUE(run(nullptr, "TALON64.EXE", "e install morvane.inf", &exitCode));
  EXPECT_EQ(exitCode, 6u);  // the installation failed
  ASSERT_TRUE(run(nullptr, "TALON64.EXE", "e install missing.inf", &exitCode));
  EXPECT_EQ(exitCode, 4u);
  model.system.helperExitCode = 10;
  ASSERT_TRUE(run(nullptr, "TALON64.EXE", "U USB\\VID_1&PID_2\\3", &exitCode));
  EXPECT_EQ(exitCode, 10u);
  EXPECT_EQ(restarted.size(), 2u);  // the broken helper restarted nothing
  EXPECT_FALSE(run(nullptr, "MISSING.EXE", "", &exitCode));
  EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(run("open", "morvane.inf", nullptr, &exitCode));
  EXPECT_EQ(services.GetLastError(), 1155u);
  EXPECT_EQ(core.LiveCount(sim::ResourceKind::Process), 0u);
}

TEST_F(SystemSide, MessageTextsAndTheirLimits) {
  char buffer[64];
  EXPECT_EQ(services.FormatMessageA(0x3200, nullptr, 2, 0, buffer, sizeof(buffer), nullptr), 44u);
  EXPECT_STREQ(buffer, "The system cannot find the file specified.\r\n");
  EXPECT_EQ(services.FormatMessageA(0x3200, nullptr, 2, 0, buffer, 10, nullptr), 0u);
  EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<char> big(0x8000);
  EXPECT_EQ(services.FormatMessageA(0x3200, nullptr, 2, 0, big.data(), 0x8000, nullptr), 0u);
  EXPECT_EQ(services.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(services.FormatMessageA(0x3200, nullptr, 0x12345, 0, buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_EQ(services.GetLastError(), 317u);
  // An insert needs arguments unless inserts are left alone.
  EXPECT_EQ(services.FormatMessageA(0x1000, nullptr, 193, 0, buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_GT(services.FormatMessageA(0x1200, nullptr, 193, 0, buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_EQ(std::string(buffer).substr(0, 2), "%1");
}

TEST_F(SystemSide, CodePageConversionsBothWays) {
  const char text[] = "Gr\xFC\xDF \x80";
  WCHAR wide[8] = {};
  EXPECT_EQ(services.MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 7);
  EXPECT_EQ(services.MultiByteToWideChar(CP_ACP, 0, text, 6, wide, 3), 0);
  EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(services.MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8), 7);
  EXPECT_EQ(static_cast<unsigned>(wide[2]), 0xFCu);
  EXPECT_EQ(static_cast<unsigned>(wide[5]), 0x20ACu) << "the euro sign of code page 1252";
  char back[8] = {};
  BOOL usedDefault = TRUE;
  ASSERT_EQ(services.WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 8, nullptr, &usedDefault), 7);
  EXPECT_STREQ(back, text);
  EXPECT_FALSE(usedDefault);
  const WCHAR cyrillic[] = {0x0416, 0};
  ASSERT_EQ(services.WideCharToMultiByte(CP_ACP, 0, cyrillic, -1, back, 8, nullptr, &usedDefault), 2);
  EXPECT_EQ(back[0], '?');
  EXPECT_TRUE(usedDefault);
}

}  // namespace
