// varnel.dll as a program loads it: by name from the program's folder, the export
// found by name and by ordinal, called through the plain x64 convention, and the
// profiling privilege enabled in the process token afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr char PrivilegeName[] = "SeProfileSingleProcessPrivilege";

// How a caller that declares the flags register-wide sees the export; upper bits
// of each argument are then whatever the caller leaves there.
using CleanMemoryWide = INT(WINAPI*)(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR);
using CleanMemoryBytes = INT(WINAPI*)(BYTE, BYTE, BYTE, BYTE);

template <typename F>
F As(FARPROC address) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

class Token {
 public:
  Token() { OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &handle_); }
  ~Token() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// The attributes of the named privilege in the process token; -1 when the token
// does not hold it.
long long PrivilegeAttributes(const char* name) {
  LUID id{};
  if (!LookupPrivilegeValueA(nullptr, name, &id)) return -1;
  Token token;
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size)) return -1;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& held = privileges->Privileges[i].Luid;
    if (held.LowPart == id.LowPart && held.HighPart == id.HighPart) return privileges->Privileges[i].Attributes;
  }
  return -1;
}

bool SetPrivilege(const char* name, DWORD attributes) {
  TOKEN_PRIVILEGES state{};
  state.PrivilegeCount = 1;
  state.Privileges[0].Attributes = attributes;
  if (!LookupPrivilegeValueA(nullptr, name, &state.Privileges[0].Luid)) return false;
  Token token;
  return AdjustTokenPrivileges(token.Get(), FALSE, &state, sizeof(state), nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

TEST(VarnelDll, ExportIsFoundByNameAndOrdinalAndEnablesThePrivilege) {
  HMODULE dll = LoadLibraryA("varnel.dll");
  ASSERT_NE(dll, nullptr) << "LoadLibraryA failed: " << GetLastError();

  const FARPROC byName = GetProcAddress(dll, "CleanMemory");
  const FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(1));
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byName, byOrdinal);
  EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(2)), nullptr) << "only one export is expected";

  // Start from a disabled privilege, so that enabling it is the library's doing.
  ASSERT_GE(PrivilegeAttributes(PrivilegeName), 0) << "the test account does not hold " << PrivilegeName;
  ASSERT_TRUE(SetPrivilege(PrivilegeName, 0));
  ASSERT_EQ(PrivilegeAttributes(PrivilegeName) & SE_PRIVILEGE_ENABLED, 0);

  const auto wide = As<CleanMemoryWide>(byName);
  EXPECT_EQ(wide(0, 0, 0, 0), 0);
  EXPECT_NE(PrivilegeAttributes(PrivilegeName) & SE_PRIVILEGE_ENABLED, 0)
      << "enabled even when no command is asked for";

  EXPECT_EQ(wide(1, 0, 0, 0), 0);
  EXPECT_EQ(wide(0, 0, 1, 0), 0);
  EXPECT_EQ(wide(2, 255, 0x80, 0x7F), 0);
  EXPECT_EQ(wide(0xDEADBEEF00000001ull, 0xFFFFFFFFFFFFFF00ull, 0x101, 0xCCCCCCCCCCCCCC01ull), 0);
  const auto bytes = As<CleanMemoryBytes>(byOrdinal);
  EXPECT_EQ(bytes(1, 1, 1, 1), 0);
  EXPECT_EQ(bytes(0, 1, 0, 1), 0);
  EXPECT_NE(PrivilegeAttributes(PrivilegeName) & SE_PRIVILEGE_ENABLED, 0);
}

}  // namespace
