#include "varnel/win32/VarnelBackend.h"

#include <windows.h>

namespace morvane::varnel {
namespace {

class SystemAndSecurity final : public platform::ISystem, public platform::ISecurity {
 public:
  // ISystem
  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD c) override { ::SetLastError(c); }
  BOOL GetVersionExA(LPOSVERSIONINFOA i) override {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ::GetVersionExA(i);
#pragma GCC diagnostic pop
  }
  HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
  HMODULE GetModuleHandleA(LPCSTR n) override { return ::GetModuleHandleA(n); }
  HMODULE LoadLibraryW(LPCWSTR n) override { return ::LoadLibraryW(n); }
  FARPROC GetProcAddress(HMODULE m, LPCSTR n) override { return ::GetProcAddress(m, n); }
  DWORD FormatMessageA(DWORD f, LPCVOID s, DWORD id, DWORD l, LPSTR b, DWORD n, void* a) override {
    return ::FormatMessageA(f, s, id, l, b, n, static_cast<va_list*>(a));
  }
  int MultiByteToWideChar(UINT cp, DWORD f, LPCSTR t, int n, LPWSTR w, int wn) override {
    return ::MultiByteToWideChar(cp, f, t, n, w, wn);
  }
  int WideCharToMultiByte(UINT cp, DWORD f, LPCWSTR w, int wn, LPSTR t, int n, LPCSTR d, PBOOL u) override {
    return ::WideCharToMultiByte(cp, f, w, wn, t, n, d, u);
  }

  // ISecurity
  BOOL LookupPrivilegeValueA(LPCSTR s, LPCSTR n, PLUID l) override { return ::LookupPrivilegeValueA(s, n, l); }
  BOOL OpenProcessToken(HANDLE p, DWORD a, PHANDLE t) override { return ::OpenProcessToken(p, a, t); }
  BOOL AdjustTokenPrivileges(HANDLE t, BOOL d, PTOKEN_PRIVILEGES n, DWORD l, PTOKEN_PRIVILEGES p,
                             PDWORD r) override {
    return ::AdjustTokenPrivileges(t, d, n, l, p, r);
  }
};

}  // namespace

const platform::Backend& VarnelBackend() {
  static SystemAndSecurity windows;
  static const platform::Backend backend = [] {
    platform::Backend b;
    b.system = &windows;
    b.security = &windows;
    return b;
  }();
  return backend;
}

}  // namespace morvane::varnel
