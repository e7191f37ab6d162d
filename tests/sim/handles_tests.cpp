// The owning handles keep the thread's last error across a release: the service
// operations report their failure through GetLastError after closing handles.
#include <gtest/gtest.h>

#include <vector>

#include "platform/handles.h"

namespace {

class FakeSystemAndFiles : public platform::ISystem, public platform::IFiles {
 public:
  std::vector<HANDLE> closed;
  DWORD lastError = 0;

  DWORD GetLastError() override { return lastError; }
  void SetLastError(DWORD code) override { lastError = code; }
  BOOL CloseHandle(HANDLE h) override {
    closed.push_back(h);
    lastError = ERROR_INVALID_HANDLE;  // a close that disturbs the code
    return TRUE;
  }

  BOOL GetVersionExA(LPOSVERSIONINFOA) override { return FALSE; }
  HANDLE GetCurrentProcess() override { return nullptr; }
  HMODULE GetModuleHandleA(LPCSTR) override { return nullptr; }
  HMODULE LoadLibraryW(LPCWSTR) override { return nullptr; }
  FARPROC GetProcAddress(HMODULE, LPCSTR) override { return nullptr; }
  DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, void*) override { return 0; }
  int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) override { return 0; }
  int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, PBOOL) override { return 0; }
  HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) override {
    return INVALID_HANDLE_VALUE;
  }
  BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) override { return FALSE; }
  UINT GetWindowsDirectoryA(LPSTR, UINT) override { return 0; }
  DWORD GetCurrentDirectoryA(DWORD, LPSTR) override { return 0; }
  BOOL SetCurrentDirectoryA(LPCSTR) override { return FALSE; }
  HMODULE LoadLibraryExA(LPCSTR, HANDLE, DWORD) override { return nullptr; }
  BOOL FreeLibrary(HMODULE) override { return FALSE; }
  HRSRC FindResourceA(HMODULE, LPCSTR, LPCSTR) override { return nullptr; }
  HGLOBAL LoadResource(HMODULE, HRSRC) override { return nullptr; }
  LPVOID LockResource(HGLOBAL) override { return nullptr; }
  DWORD SizeofResource(HMODULE, HRSRC) override { return 0; }
  DWORD GetFileVersionInfoSizeA(LPCSTR, LPDWORD) override { return 0; }
  BOOL GetFileVersionInfoA(LPCSTR, DWORD, DWORD, LPVOID) override { return FALSE; }
  BOOL VerQueryValueA(LPCVOID, LPCSTR, LPVOID*, PUINT) override { return FALSE; }
};

HANDLE FakeHandle(std::uintptr_t v) { return reinterpret_cast<HANDLE>(v); }

class UniqueHandleTest : public ::testing::Test {
 protected:
  FakeSystemAndFiles fake;
  platform::Backend backend = [this] {
    platform::Backend b;
    b.system = &fake;
    b.files = &fake;
    return b;
  }();
  platform::ScopedBackend scope{backend};
};

TEST_F(UniqueHandleTest, ReleaseKeepsTheLastError) {
  {
    platform::UniqueFile file(FakeHandle(0x40));
    fake.SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  ASSERT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(fake.closed[0], FakeHandle(0x40));
  EXPECT_EQ(fake.lastError, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(UniqueHandleTest, InvalidValuesAreNeverClosed) {
  { platform::UniqueFile file; }
  { platform::UniqueFile file(INVALID_HANDLE_VALUE); }
  { platform::UniqueKernelHandle token(nullptr); }
  EXPECT_TRUE(fake.closed.empty());
}

TEST_F(UniqueHandleTest, MoveTransfersOwnershipAndResetClosesTheOldHandle) {
  platform::UniqueFile a(FakeHandle(0x10));
  platform::UniqueFile b(std::move(a));
  EXPECT_FALSE(a.IsValid());
  EXPECT_TRUE(b.IsValid());
  b.Reset(FakeHandle(0x20));
  ASSERT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(fake.closed[0], FakeHandle(0x10));
  HANDLE released = b.Release();
  EXPECT_EQ(released, FakeHandle(0x20));
  EXPECT_EQ(fake.closed.size(), 1u) << "a released handle is not closed";
}

TEST_F(UniqueHandleTest, ScopedBackendRestoresThePreviousBackend) {
  FakeSystemAndFiles other;
  platform::Backend b;
  b.system = &other;
  {
    platform::ScopedBackend inner(b);
    EXPECT_EQ(&platform::System(), static_cast<platform::ISystem*>(&other));
  }
  EXPECT_EQ(&platform::System(), static_cast<platform::ISystem*>(&fake));
}

}  // namespace
