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

// The token the library opens is closed through the files service. Every kernel32
// function of it forwards; the version functions, which would import version.dll and
// which the library never calls, fail.
class KernelObjects final : public platform::IFiles {
 public:
  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) override {
    return ::CreateFileA(p, a, s, sa, d, f, t);
  }
  BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD is, LPVOID o, DWORD os, LPDWORD r,
                       LPOVERLAPPED ov) override {
    return ::DeviceIoControl(h, c, i, is, o, os, r, ov);
  }
  BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
  UINT GetWindowsDirectoryA(LPSTR b, UINT n) override { return ::GetWindowsDirectoryA(b, n); }
  DWORD GetCurrentDirectoryA(DWORD n, LPSTR b) override { return ::GetCurrentDirectoryA(n, b); }
  BOOL SetCurrentDirectoryA(LPCSTR p) override { return ::SetCurrentDirectoryA(p); }
  HMODULE LoadLibraryExA(LPCSTR p, HANDLE f, DWORD fl) override { return ::LoadLibraryExA(p, f, fl); }
  BOOL FreeLibrary(HMODULE m) override { return ::FreeLibrary(m); }
  HRSRC FindResourceA(HMODULE m, LPCSTR n, LPCSTR t) override { return ::FindResourceA(m, n, t); }
  HGLOBAL LoadResource(HMODULE m, HRSRC r) override { return ::LoadResource(m, r); }
  LPVOID LockResource(HGLOBAL r) override { return ::LockResource(r); }
  DWORD SizeofResource(HMODULE m, HRSRC r) override { return ::SizeofResource(m, r); }
  DWORD GetFileVersionInfoSizeA(LPCSTR, LPDWORD) override { return NotHere(0); }
  BOOL GetFileVersionInfoA(LPCSTR, DWORD, DWORD, LPVOID) override { return NotHere(FALSE); }
  BOOL VerQueryValueA(LPCVOID, LPCSTR, LPVOID*, PUINT) override { return NotHere(FALSE); }

 private:
  template <typename T>
  static T NotHere(T result) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return result;
  }
};

}  // namespace

const platform::Backend& VarnelBackend() {
  static SystemAndSecurity windows;
  static KernelObjects kernelObjects;
  static const platform::Backend backend = [] {
    platform::Backend b;
    b.files = &kernelObjects;
    b.system = &windows;
    b.security = &windows;
    return b;
  }();
  return backend;
}

}  // namespace morvane::varnel
