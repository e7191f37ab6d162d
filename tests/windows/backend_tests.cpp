// The real backend under Wine: calls reach Wine's implementation of the Windows API.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "platform/handles.h"
#include "platform/win32/win32_backend.h"
#include "tests/common/wine_prefix.h"

namespace {

class RealBackendTest : public ::testing::Test {
 protected:
  platform::ScopedBackend scope{platform::win32::RealBackend()};
};

TEST_F(RealBackendTest, EnumeratesPresentDevicesAndReadsTheirIdsAndProperties) {
  platform::UniqueDevInfo set(
      platform::DeviceInstall().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
  ASSERT_TRUE(set.IsValid()) << platform::System().GetLastError();
  int devices = 0;
  int withProperty = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!platform::DeviceInstall().SetupDiEnumDeviceInfo(set.Get(), index, &data)) {
      EXPECT_EQ(platform::System().GetLastError(), ERROR_NO_MORE_ITEMS);
      break;
    }
    ++devices;
    char id[512] = {};
    DWORD required = 0;
    ASSERT_TRUE(platform::DeviceInstall().SetupDiGetDeviceInstanceIdA(set.Get(), &data, id, sizeof(id), &required));
    EXPECT_EQ(std::string(id).size() + 1, required);
    EXPECT_NE(std::string(id).find('\\'), std::string::npos) << id;

    ULONG length = 0;
    ASSERT_EQ(platform::ConfigManager().CM_Get_Device_ID_Size(&length, data.DevInst, 0), CR_SUCCESS);
    EXPECT_EQ(length, std::string(id).size());

    BYTE buffer[1024] = {};
    DWORD type = 0;
    if (platform::DeviceInstall().SetupDiGetDeviceRegistryPropertyA(set.Get(), &data, SPDRP_HARDWAREID, &type,
                                                                   buffer, sizeof(buffer), &required)) {
      EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
      EXPECT_GT(required, 1u);
      ++withProperty;
    }
  }
  EXPECT_GT(devices, 0);
  EXPECT_GT(withProperty, 0);
}

TEST_F(RealBackendTest, MissingServiceFailsWith1060AndTheHandleCloseKeepsTheCode) {
  platform::UniqueServiceHandle manager(
      platform::ServiceControl().OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ));
  ASSERT_TRUE(manager.IsValid()) << platform::System().GetLastError();
  SC_HANDLE service =
      platform::ServiceControl().OpenServiceA(manager.Get(), "morvane-no-such-service", STANDARD_RIGHTS_READ | 1);
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(platform::System().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  manager.Reset();
  EXPECT_EQ(platform::System().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

// Wine refuses buffers of 32768 bytes and more with error 87; the text is read through a
// smaller buffer here.
TEST_F(RealBackendTest, FormatsTheSystemMessageForCode2) {
  static char text[1024] = {};
  const DWORD n = platform::System().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 2, 0, text,
                                                    sizeof(text), nullptr);
  ASSERT_GT(n, 0u) << platform::System().GetLastError();
  EXPECT_NE(std::string(text, n).find("not found"), std::string::npos) << text;
  EXPECT_EQ(platform::System().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 0x2FFFFFFF, 0, text,
                                              sizeof(text), nullptr),
            0u)
      << "a code without a message has no text";
}

TEST_F(RealBackendTest, WindowsDirectoryFollowsTheSizeProtocol) {
  const UINT needed = platform::Files().GetWindowsDirectoryA(nullptr, 0);
  ASSERT_GT(needed, 1u);
  std::string dir(needed - 1, '\0');
  const UINT copied = platform::Files().GetWindowsDirectoryA(dir.data(), needed);
  EXPECT_EQ(copied, needed - 1);
  std::string lower;
  for (char c : dir) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_GE(lower.size(), 7u);
  EXPECT_EQ(lower.substr(lower.size() - 7), "windows") << dir;
}

TEST_F(RealBackendTest, ResolvesTheWow64FunctionsByName) {
  HMODULE kernel32 = platform::System().GetModuleHandleA("kernel32.dll");
  ASSERT_NE(kernel32, nullptr);
  auto isWow64 = reinterpret_cast<PFN_IsWow64Process>(
      reinterpret_cast<void*>(platform::System().GetProcAddress(kernel32, "IsWow64Process")));
  ASSERT_NE(isWow64, nullptr);
  BOOL wow64 = TRUE;
  ASSERT_TRUE(isWow64(platform::System().GetCurrentProcess(), &wow64));
  // A 64-bit process is never a Wow64 process; a 32-bit one is on 64-bit Windows only.
  EXPECT_EQ(wow64 != FALSE, morvane::test::ExpectWow64()) << "prefix " << morvane::test::WinePrefixKind();
  EXPECT_EQ(platform::System().GetProcAddress(kernel32, "NoSuchFunctionAnywhere"), nullptr);
}

}  // namespace
