// Driver reports of Wine's own device nodes through the real backend: identifier
// lines from the real hardware-ID property, and the path and version lines of a
// driver file that exists, read back here with the version functions themselves.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/win32/win32_backend.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"

namespace {

using namespace morvane;

// The hardware IDs as the platform gives them, read with a buffer of our own.
std::vector<std::string> HardwareIds(HDEVINFO set, SP_DEVINFO_DATA& data) {
  std::vector<char> buffer(65536, '\0');
  DWORD type = 0;
  DWORD required = 0;
  std::vector<std::string> ids;
  if (!::SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, reinterpret_cast<PBYTE>(buffer.data()),
                                           static_cast<DWORD>(buffer.size()) - 2, &required)) {
    return ids;
  }
  for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) ids.emplace_back(p);
  return ids;
}

// The native System32 for the length of a scope: a WOW64 process names the driver
// files by their native path, which it sees only with the redirection off, as the
// program itself reads them.
class NativeFileSystemView {
 public:
  NativeFileSystemView() : disabled_(DisableWow64Redirection(token_) > 0) {}
  ~NativeFileSystemView() {
    if (disabled_) RevertWow64Redirection(token_);
  }
  NativeFileSystemView(const NativeFileSystemView&) = delete;
  NativeFileSystemView& operator=(const NativeFileSystemView&) = delete;

 private:
  PVOID token_ = nullptr;
  bool disabled_;
};

// The "FileVersion" string of the file's first translation, straight from version.dll.
std::string FileVersionOf(const std::string& path) {
  NativeFileSystemView native;
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return {};
  std::vector<BYTE> block(size);
  if (!::GetFileVersionInfoA(path.c_str(), handle, size, block.data())) return {};
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4) return {};
  const WORD* translation = static_cast<const WORD*>(value);
  char query[64];
  std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04X%04X\\FileVersion", translation[0], translation[1]);
  if (!::VerQueryValueA(block.data(), query, &value, &length) || value == nullptr) return {};
  return static_cast<const char*>(value);
}

TEST(WineDriverReport, DeviceWithAnExistingDriverFileHasItsIdentifierPathAndVersionLines) {
  platform::ScopedBackend scope(platform::win32::RealBackend());
  platform::UniqueDevInfo set(::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
  ASSERT_TRUE(set.IsValid());
  platform::UniqueDevInfo lookup(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
  ASSERT_TRUE(lookup.IsValid());

  int reported = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!::SetupDiEnumDeviceInfo(set.Get(), index, &data)) break;
    TDevice device(set.Get(), data, lookup.Get());
    const std::string service = device.GetServiceName();
    if (service.empty()) continue;
    const std::string image = GetServiceImagePath(service);
    if (!OpenDriverFile(image)) continue;

    const std::string report = device.GetDriverReport();
    std::string identifiers = "\"" + device.InstanceId + "\"\r\n";
    for (const std::string& id : HardwareIds(set.Get(), data)) identifiers += "\"" + id + "\"\r\n";
    EXPECT_EQ(report.substr(0, identifiers.size()), identifiers) << report;

    const std::string path = GetDriverFullPath(image);
    {
      NativeFileSystemView native;
      EXPECT_NE(::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
    }
    std::string lines = "  Driver: " + service + "\r\n  Binary: " + image + "\r\n    Path: " + path + "\r\n";
    const std::string version = FileVersionOf(path);
    if (!version.empty()) lines += "    Version: " + version + "\r\n";
    EXPECT_NE(report.find(lines), std::string::npos) << "expected\n" << lines << "in\n" << report;
    EXPECT_EQ(report.substr(report.size() - 2), "\r\n");
    std::printf("%s", report.c_str());
    ++reported;
  }
  EXPECT_GT(reported, 0) << "no device of this Wine prefix has a driver file that opens";
}

// A device node and a service made for one test, both removed at its end.
class ScratchDevice {
 public:
  ScratchDevice() : set_(::SetupDiCreateDeviceInfoList(nullptr, nullptr)) {}
  ~ScratchDevice() {
    if (registered_) ::SetupDiRemoveDevice(set_.Get(), &data_);
    if (service_ != nullptr) {
      ::DeleteService(service_);
      ::CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) ::CloseServiceHandle(manager_);
  }
  ScratchDevice(const ScratchDevice&) = delete;
  ScratchDevice& operator=(const ScratchDevice&) = delete;

  // A root-enumerated node with a description, one hardware ID and the service.
  bool Create(const char* name, const char* hardwareId, const char* service, const char* binaryPath) {
    static constexpr GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    if (!set_.IsValid()) return false;
    data_.cbSize = sizeof(data_);
    if (!::SetupDiCreateDeviceInfoA(set_.Get(), name, &kSystemClass, nullptr, nullptr, DICD_GENERATE_ID, &data_)) {
      return Fail("SetupDiCreateDeviceInfoA");
    }
    std::string ids = std::string(hardwareId) + '\0' + '\0';
    if (!::SetupDiSetDeviceRegistryPropertyA(set_.Get(), &data_, SPDRP_HARDWAREID,
                                             reinterpret_cast<const BYTE*>(ids.data()), static_cast<DWORD>(ids.size()))) {
      return Fail("SetupDiSetDeviceRegistryPropertyA(SPDRP_HARDWAREID)");
    }
    if (!::SetupDiRegisterDeviceInfo(set_.Get(), &data_, 0, nullptr, nullptr, nullptr)) {
      return Fail("SetupDiRegisterDeviceInfo");
    }
    registered_ = true;
    const std::string description = "MORVANE report test device";
    if (!::SetupDiSetDeviceRegistryPropertyA(set_.Get(), &data_, SPDRP_DEVICEDESC,
                                             reinterpret_cast<const BYTE*>(description.c_str()),
                                             static_cast<DWORD>(description.size() + 1))) {
      return Fail("SetupDiSetDeviceRegistryPropertyA(SPDRP_DEVICEDESC)");
    }
    if (!::SetupDiSetDeviceRegistryPropertyA(set_.Get(), &data_, SPDRP_SERVICE,
                                             reinterpret_cast<const BYTE*>(service),
                                             static_cast<DWORD>(std::strlen(service) + 1))) {
      return Fail("SetupDiSetDeviceRegistryPropertyA(SPDRP_SERVICE)");
    }
    manager_ = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return Fail("OpenSCManagerA");
    service_ = ::CreateServiceA(manager_, service, service, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binaryPath, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
    if (service_ == nullptr) return Fail("CreateServiceA");
    return true;
  }

  HDEVINFO Set() const { return set_.Get(); }
  SP_DEVINFO_DATA& Data() { return data_; }
  const std::string& Failure() const { return failure_; }

 private:
  bool Fail(const char* step) {
    failure_ = std::string(step) + " failed with " + std::to_string(::GetLastError());
    return false;
  }
  platform::UniqueDevInfo set_;
  SP_DEVINFO_DATA data_{};
  bool registered_ = false;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  std::string failure_;
};

// Wine's own driver files carry no version resource, so the version line is shown
// with a node of our own whose service's image is a file of Wine's that has one.
TEST(WineDriverReport, VersionLineOfAnImageWithAVersionResource) {
  platform::ScopedBackend scope(platform::win32::RealBackend());
  const char* const image = "\\SystemRoot\\system32\\kernel32.dll";
  ScratchDevice scratch;
  ASSERT_TRUE(scratch.Create("MORVANEREPORT", "ROOT\\MORVANEREPORT", "morvrep", image)) << scratch.Failure();

  platform::UniqueDevInfo lookup(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
  TDevice device(scratch.Set(), scratch.Data(), lookup.Get());
  ASSERT_FALSE(device.InstanceId.empty());
  std::string windows;
  GetWindowsDir(windows);
  const std::string path = windows + "\\system32\\kernel32.dll";
  const std::string version = FileVersionOf(path);
  ASSERT_FALSE(version.empty()) << path;
  const std::string expected = "\"" + device.InstanceId +
                               "\"\r\n"
                               "\"ROOT\\MORVANEREPORT\"\r\n"
                               "  Name: MORVANE report test device\r\n"
                               "  Driver: morvrep\r\n"
                               "  Binary: \\SystemRoot\\system32\\kernel32.dll\r\n"
                               "    Path: " +
                               path + "\r\n    Version: " + version + "\r\n";
  EXPECT_EQ(device.GetDriverReport(), expected);
}

}  // namespace
