// The system helpers over the real backend: Wine's service manager, message texts,
// clipboard, version resources and Wow64 functions.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>

#include "platform/handles.h"
#include "platform/win32/win32_backend.h"
#include "tests/common/wine_prefix.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"

namespace {

constexpr char kService[] = "morvane_systest";
constexpr char kServicePath[] = "\\SystemRoot\\System32\\drivers\\morvane_systest.sys";

std::string CurrentDirectory() {
  char buffer[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, buffer);
  return buffer;
}

class WineSysHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override { directoryBefore_ = CurrentDirectory(); }
  void TearDown() override { EXPECT_EQ(CurrentDirectory(), directoryBefore_); }
  platform::ScopedBackend scope_{platform::win32::RealBackend()};
  std::string directoryBefore_;
};

// A demand-start kernel driver whose file does not exist, removed at the end.
class TestService {
 public:
  TestService() {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return;
    service_ = CreateServiceA(manager_, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, kServicePath, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
  }
  ~TestService() {
    if (service_ != nullptr) {
      DeleteService(service_);
      CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }
  bool Created() const { return service_ != nullptr; }
  bool Disable() {
    return ChangeServiceConfigA(service_, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
  }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

TEST_F(WineSysHelpersTest, ServiceCreatedForTheTest) {
  TestService service;
  ASSERT_TRUE(service.Created()) << GetLastError();
  EXPECT_TRUE(morvane::IsServiceEnabled(kService));
  EXPECT_FALSE(morvane::IsServiceRunning(kService));
  EXPECT_EQ(morvane::GetServiceImagePath(kService), kServicePath);
  // Wine cannot load a driver whose file is missing: the refusal's code stays current.
  SetLastError(0);
  EXPECT_FALSE(morvane::TestServiceLoading(kService));
  const DWORD refusal = GetLastError();
  EXPECT_NE(refusal, 0u);
  EXPECT_NE(refusal, ERROR_SERVICE_DISABLED);

  ASSERT_TRUE(service.Disable()) << GetLastError();
  EXPECT_FALSE(morvane::IsServiceEnabled(kService));
  EXPECT_TRUE(morvane::TestServiceLoading(kService));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
}

TEST_F(WineSysHelpersTest, MissingService) {
  const char* name = "morvane_no_such_service";
  EXPECT_EQ(morvane::QueryServiceConfiguration(name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(morvane::IsServiceEnabled(name));
  EXPECT_FALSE(morvane::IsServiceRunning(name));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(morvane::TestServiceLoading(name));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(morvane::GetServiceImagePath(name), "");
}

TEST_F(WineSysHelpersTest, MessageTextsAreTrimmed) {
  // 317 has inserts, which stay as they are.
  const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_SERVICE_DISABLED, ERROR_SERVICE_DOES_NOT_EXIST, 317};
  for (DWORD code : codes) {
    char raw[1024] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, raw,
                                   sizeof(raw), nullptr);
    ASSERT_GT(n, 0u) << code;
    const std::string text = morvane::GetSysErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_EQ(std::string(raw).find(text), 0u) << code;
    const char last = text.back();
    EXPECT_TRUE(last != '.' && static_cast<unsigned char>(last) > 0x20) << code << ": " << text;
  }
  EXPECT_EQ(morvane::GetSysErrorText(0x7FFF), "");
}

TEST_F(WineSysHelpersTest, ClipboardHoldsBothFormats) {
  const std::string text = "Copy IDs: USB\\VID_046D&PID_C08B";
  ASSERT_TRUE(morvane::CopyTextToClipboard(text));
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE ansi = GetClipboardData(CF_TEXT);
  HANDLE wide = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(ansi, nullptr);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(GlobalLock(ansi))), text);
  GlobalUnlock(ansi);
  const std::wstring expected(text.begin(), text.end());
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(GlobalLock(wide))), expected);
  EXPECT_EQ(GlobalSize(wide), (expected.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(wide);
  CloseClipboard();
  EXPECT_FALSE(morvane::CopyTextToClipboard(""));
}

TEST_F(WineSysHelpersTest, VersionOfASystemFileThroughBothRoutes) {
  std::string windows;
  ASSERT_GT(morvane::GetWindowsDir(windows), 0u);
  const std::string kernel32 = windows + "\\system32\\kernel32.dll";
  const std::string byResource = morvane::GetVersionFromResource(kernel32);
  const std::string byInfo = morvane::GetVersionFromVersionInfo(kernel32);
  EXPECT_FALSE(byResource.empty());
  EXPECT_EQ(byResource, byInfo);
  EXPECT_EQ(morvane::GetFileVersionString(kernel32), byResource);
  EXPECT_EQ(morvane::GetDriverFileVersion("system32\\kernel32.dll"), byResource);
  // A driver of system32\drivers reached by its bare name and by its service path.
  EXPECT_FALSE(morvane::GetDriverFileVersion("ksecdd.sys").empty());
  EXPECT_FALSE(morvane::GetDriverFileVersion("\\SystemRoot\\system32\\drivers\\ksecdd.sys").empty());
  platform::UniqueFile file = morvane::OpenDriverFile("ksecdd.sys");
  EXPECT_TRUE(file);
  EXPECT_FALSE(morvane::OpenDriverFile("morvane_missing.sys"));
  EXPECT_EQ(morvane::GetDriverFullPath("ksecdd.sys"), windows + "\\System32\\DRIVERS\\ksecdd.sys");
}

TEST_F(WineSysHelpersTest, Wow64FunctionsAreResolved) {
  EXPECT_EQ(morvane::IsWow64(), morvane::test::ExpectWow64()) << "prefix " << morvane::test::WinePrefixKind();
  PVOID token = reinterpret_cast<PVOID>(1);
  EXPECT_NE(morvane::DisableWow64Redirection(token), -1);
  EXPECT_NE(morvane::RevertWow64Redirection(token), -1);
}

}  // namespace

namespace {

// A file that exists only in the native System32: created there with the redirection
// off, so that a WOW64 process sees it only while the redirection stays off.
class NativeSystem32File {
 public:
  explicit NativeSystem32File(std::string path) : path_(std::move(path)) {
    PVOID token = nullptr;
    const int disabled = morvane::DisableWow64Redirection(token);
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    created_ = file != INVALID_HANDLE_VALUE;
    if (created_) CloseHandle(file);
    if (disabled > 0) morvane::RevertWow64Redirection(token);
  }
  ~NativeSystem32File() {
    PVOID token = nullptr;
    const int disabled = morvane::DisableWow64Redirection(token);
    DeleteFileA(path_.c_str());
    if (disabled > 0) morvane::RevertWow64Redirection(token);
  }
  NativeSystem32File(const NativeSystem32File&) = delete;
  NativeSystem32File& operator=(const NativeSystem32File&) = delete;
  bool Created() const { return created_; }

 private:
  std::string path_;
  bool created_ = false;
};

// True when the file opens; else the error of the open in `error`.
bool Opens(const std::string& path, DWORD& error) {
  platform::UniqueFile file(platform::Files().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                          OPEN_EXISTING, 0, nullptr));
  error = file ? ERROR_SUCCESS : GetLastError();
  return static_cast<bool>(file);
}

std::string System32Path(const char* name) {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  return std::string(windows) + "\\System32\\" + name;
}

// In a WOW64 process System32 means SysWOW64 until the redirection is turned off; in a
// 64-bit process and on a 32-bit-only Windows there is one System32 and no redirection.
TEST_F(WineSysHelpersTest, RedirectionOffShowsTheNativeSystem32AndTheRevertHidesItAgain) {
  const std::string path = System32Path("morvane_native_only.txt");
  NativeSystem32File nativeOnly(path);
  ASSERT_TRUE(nativeOnly.Created()) << path;
  const bool wow64 = morvane::test::ExpectWow64();

  PVOID token = reinterpret_cast<PVOID>(1);
  const int disabled = morvane::DisableWow64Redirection(token);
  if (wow64) {
    EXPECT_GT(disabled, 0) << "a WOW64 process can turn its redirection off";
  }
  DWORD error = 0;
  EXPECT_TRUE(Opens(path, error)) << "with the redirection off, " << path << " is the native file: " << error;
  if (disabled > 0) {
    EXPECT_GT(morvane::RevertWow64Redirection(token), 0);
  }

  // Reverted: a WOW64 process looks in SysWOW64 again, where the file does not exist.
  EXPECT_EQ(Opens(path, error), !wow64) << "after the revert, prefix " << morvane::test::WinePrefixKind();
  if (wow64) {
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

}  // namespace
