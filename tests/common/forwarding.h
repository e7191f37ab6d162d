// Platform services that forward every call to another one; a test derives from one
// and overrides the calls it wants to watch or to answer differently.
#pragma once

#include "platform/platform.h"

namespace simtest {

class ForwardingDeviceInstall : public platform::IDeviceInstall {
 public:
  explicit ForwardingDeviceInstall(platform::IDeviceInstall& inner) : inner_(inner) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID* g, LPCSTR e, HWND p, DWORD f) override {
    return inner_.SetupDiGetClassDevsA(g, e, p, f);
  }
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* g, HWND p) override {
    return inner_.SetupDiCreateDeviceInfoList(g, p);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiEnumDeviceInfo(s, i, d);
  }
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO s, LPCSTR id, HWND p, DWORD f, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiOpenDeviceInfoA(s, id, p, f, d);
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO s, PSP_DEVINFO_DATA d, LPSTR b, DWORD n, PDWORD r) override {
    return inner_.SetupDiGetDeviceInstanceIdA(s, d, b, n, r);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    return inner_.SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
  }
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, const BYTE* b, DWORD n) override {
    return inner_.SetupDiSetDeviceRegistryPropertyA(s, d, p, b, n);
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD sc, DWORD h, DWORD k, REGSAM a) override {
    return inner_.SetupDiOpenDevRegKey(s, d, sc, h, k, a);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* g, DWORD i,
                                   PSP_DEVICE_INTERFACE_DATA o) override {
    return inner_.SetupDiEnumDeviceInterfaces(s, d, g, i, o);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A o, DWORD n, PDWORD r,
                                        PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiGetDeviceInterfaceDetailA(s, i, o, n, r, d);
  }
  BOOL SetupDiSetClassInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_CLASSINSTALL_HEADER p, DWORD n) override {
    return inner_.SetupDiSetClassInstallParamsA(s, d, p, n);
  }
  BOOL SetupDiCallClassInstaller(DI_FUNCTION f, HDEVINFO s, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiCallClassInstaller(f, s, d);
  }
  BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_DEVINSTALL_PARAMS_A p) override {
    return inner_.SetupDiGetDeviceInstallParamsA(s, d, p);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override { return inner_.SetupDiDestroyDeviceInfoList(s); }
  HINF SetupOpenInfFileA(LPCSTR f, LPCSTR c, DWORD s, PUINT e) override {
    return inner_.SetupOpenInfFileA(f, c, s, e);
  }
  void SetupCloseInfFile(HINF i) override { inner_.SetupCloseInfFile(i); }
  void InstallHinfSectionA(HWND w, HINSTANCE m, LPCSTR c, INT s) override { inner_.InstallHinfSectionA(w, m, c, s); }

 protected:
  platform::IDeviceInstall& inner_;
};

class ForwardingFiles : public platform::IFiles {
 public:
  explicit ForwardingFiles(platform::IFiles& inner) : inner_(inner) {}

  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) override {
    return inner_.CreateFileA(p, a, s, sa, d, f, t);
  }
  BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD is, LPVOID o, DWORD os, LPDWORD r,
                       LPOVERLAPPED ov) override {
    return inner_.DeviceIoControl(h, c, i, is, o, os, r, ov);
  }
  BOOL CloseHandle(HANDLE h) override { return inner_.CloseHandle(h); }
  UINT GetWindowsDirectoryA(LPSTR b, UINT n) override { return inner_.GetWindowsDirectoryA(b, n); }
  DWORD GetCurrentDirectoryA(DWORD n, LPSTR b) override { return inner_.GetCurrentDirectoryA(n, b); }
  BOOL SetCurrentDirectoryA(LPCSTR p) override { return inner_.SetCurrentDirectoryA(p); }
  HMODULE LoadLibraryExA(LPCSTR p, HANDLE f, DWORD fl) override { return inner_.LoadLibraryExA(p, f, fl); }
  BOOL FreeLibrary(HMODULE m) override { return inner_.FreeLibrary(m); }
  HRSRC FindResourceA(HMODULE m, LPCSTR n, LPCSTR t) override { return inner_.FindResourceA(m, n, t); }
  HGLOBAL LoadResource(HMODULE m, HRSRC r) override { return inner_.LoadResource(m, r); }
  LPVOID LockResource(HGLOBAL d) override { return inner_.LockResource(d); }
  DWORD SizeofResource(HMODULE m, HRSRC r) override { return inner_.SizeofResource(m, r); }
  DWORD GetFileVersionInfoSizeA(LPCSTR p, LPDWORD h) override { return inner_.GetFileVersionInfoSizeA(p, h); }
  BOOL GetFileVersionInfoA(LPCSTR p, DWORD h, DWORD n, LPVOID d) override {
    return inner_.GetFileVersionInfoA(p, h, n, d);
  }
  BOOL VerQueryValueA(LPCVOID b, LPCSTR s, LPVOID* v, PUINT n) override { return inner_.VerQueryValueA(b, s, v, n); }

 protected:
  platform::IFiles& inner_;
};

}  // namespace simtest
