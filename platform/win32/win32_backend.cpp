#include "platform/win32/win32_backend.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winver.h>

namespace platform::win32 {
namespace {

class RealWindows final : public IDeviceInstall,
                          public IConfigManager,
                          public IRegistry,
                          public IFiles,
                          public IServiceControl,
                          public IUser,
                          public IMemory,
                          public ISystem,
                          public ISecurity,
                          public IRawInput {
 public:
  // IDeviceInstall
  HDEVINFO SetupDiGetClassDevsA(const GUID* c, LPCSTR e, HWND p, DWORD f) override {
    return ::SetupDiGetClassDevsA(c, e, p, f);
  }
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* c, HWND p) override { return ::SetupDiCreateDeviceInfoList(c, p); }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    return ::SetupDiEnumDeviceInfo(s, i, d);
  }
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO s, LPCSTR id, HWND p, DWORD f, PSP_DEVINFO_DATA d) override {
    return ::SetupDiOpenDeviceInfoA(s, id, p, f, d);
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO s, PSP_DEVINFO_DATA d, LPSTR b, DWORD n, PDWORD r) override {
    return ::SetupDiGetDeviceInstanceIdA(s, d, b, n, r);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    return ::SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
  }
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, const BYTE* b,
                                         DWORD n) override {
    return ::SetupDiSetDeviceRegistryPropertyA(s, d, p, b, n);
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD sc, DWORD hw, DWORD k, REGSAM a) override {
    return ::SetupDiOpenDevRegKey(s, d, sc, hw, k, a);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* c, DWORD i,
                                   PSP_DEVICE_INTERFACE_DATA id) override {
    return ::SetupDiEnumDeviceInterfaces(s, d, c, i, id);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA id,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A dd, DWORD n, PDWORD r,
                                        PSP_DEVINFO_DATA d) override {
    return ::SetupDiGetDeviceInterfaceDetailA(s, id, dd, n, r, d);
  }
  BOOL SetupDiSetClassInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_CLASSINSTALL_HEADER p, DWORD n) override {
    return ::SetupDiSetClassInstallParamsA(s, d, p, n);
  }
  BOOL SetupDiCallClassInstaller(DI_FUNCTION f, HDEVINFO s, PSP_DEVINFO_DATA d) override {
    return ::SetupDiCallClassInstaller(f, s, d);
  }
  BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_DEVINSTALL_PARAMS_A p) override {
    return ::SetupDiGetDeviceInstallParamsA(s, d, p);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override { return ::SetupDiDestroyDeviceInfoList(s); }
  HINF SetupOpenInfFileA(LPCSTR f, LPCSTR c, DWORD s, PUINT e) override { return ::SetupOpenInfFileA(f, c, s, e); }
  void SetupCloseInfFile(HINF h) override { ::SetupCloseInfFile(h); }
  void InstallHinfSectionA(HWND w, HINSTANCE m, LPCSTR c, INT s) override {
    ::InstallHinfSectionA(w, m, c, s);
  }

  // IConfigManager
  CONFIGRET CM_Get_Device_ID_Size(PULONG l, DEVINST d, ULONG f) override { return ::CM_Get_Device_ID_Size(l, d, f); }
  CONFIGRET CM_Get_Device_IDA(DEVINST d, LPSTR b, ULONG n, ULONG f) override {
    return ::CM_Get_Device_IDA(d, b, n, f);
  }
  CONFIGRET CM_Get_DevNode_Status(PULONG s, PULONG p, DEVINST d, ULONG f) override {
    return ::CM_Get_DevNode_Status(s, p, d, f);
  }
  CONFIGRET CM_Get_Parent(DEVINST* r, DEVINST d, ULONG f) override { return ::CM_Get_Parent(r, d, f); }
  CONFIGRET CM_Get_Child(DEVINST* r, DEVINST d, ULONG f) override { return ::CM_Get_Child(r, d, f); }
  CONFIGRET CM_Get_Sibling(DEVINST* r, DEVINST d, ULONG f) override { return ::CM_Get_Sibling(r, d, f); }

  // IRegistry
  LSTATUS RegQueryValueExA(HKEY k, LPCSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s) override {
    return ::RegQueryValueExA(k, n, r, t, d, s);
  }
  LSTATUS RegSetValueExA(HKEY k, LPCSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) override {
    return ::RegSetValueExA(k, n, r, t, d, s);
  }
  LSTATUS RegDeleteValueA(HKEY k, LPCSTR n) override { return ::RegDeleteValueA(k, n); }
  LSTATUS RegCloseKey(HKEY k) override { return ::RegCloseKey(k); }
  LSTATUS RegOpenKeyExA(HKEY r, LPCSTR s, DWORD o, REGSAM a, PHKEY k) override { return ::RegOpenKeyExA(r, s, o, a, k); }
  LSTATUS RegCreateKeyExA(HKEY r, LPCSTR s, DWORD re, LPSTR c, DWORD o, REGSAM a, LPSECURITY_ATTRIBUTES sa, PHKEY k,
                          LPDWORD d) override {
    return ::RegCreateKeyExA(r, s, re, c, o, a, sa, k, d);
  }

  // IFiles
  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) override {
    return ::CreateFileA(p, a, s, sa, d, f, t);
  }
  BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD in, LPVOID o, DWORD on, LPDWORD r,
                       LPOVERLAPPED ov) override {
    return ::DeviceIoControl(h, c, i, in, o, on, r, ov);
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
  DWORD GetFileVersionInfoSizeA(LPCSTR p, LPDWORD h) override { return ::GetFileVersionInfoSizeA(p, h); }
  BOOL GetFileVersionInfoA(LPCSTR p, DWORD h, DWORD n, LPVOID d) override {
    return ::GetFileVersionInfoA(p, h, n, d);
  }
  BOOL VerQueryValueA(LPCVOID b, LPCSTR s, LPVOID* v, PUINT l) override { return ::VerQueryValueA(b, s, v, l); }

  // IServiceControl
  SC_HANDLE OpenSCManagerA(LPCSTR m, LPCSTR d, DWORD a) override { return ::OpenSCManagerA(m, d, a); }
  SC_HANDLE OpenServiceA(SC_HANDLE m, LPCSTR n, DWORD a) override { return ::OpenServiceA(m, n, a); }
  BOOL QueryServiceConfigA(SC_HANDLE s, LPQUERY_SERVICE_CONFIGA c, DWORD n, LPDWORD r) override {
    return ::QueryServiceConfigA(s, c, n, r);
  }
  BOOL QueryServiceStatus(SC_HANDLE s, LPSERVICE_STATUS st) override { return ::QueryServiceStatus(s, st); }
  BOOL StartServiceA(SC_HANDLE s, DWORD n, LPCSTR* a) override { return ::StartServiceA(s, n, a); }
  BOOL DeleteService(SC_HANDLE s) override { return ::DeleteService(s); }
  BOOL CloseServiceHandle(SC_HANDLE h) override { return ::CloseServiceHandle(h); }

  // IUser
  int MessageBoxA(HWND o, LPCSTR t, LPCSTR c, UINT s) override { return ::MessageBoxA(o, t, c, s); }
  BOOL OpenClipboard(HWND o) override { return ::OpenClipboard(o); }
  BOOL EmptyClipboard() override { return ::EmptyClipboard(); }
  HANDLE SetClipboardData(UINT f, HANDLE d) override { return ::SetClipboardData(f, d); }
  BOOL CloseClipboard() override { return ::CloseClipboard(); }
  HINSTANCE ShellExecuteA(HWND o, LPCSTR v, LPCSTR f, LPCSTR p, LPCSTR d, INT s) override {
    return ::ShellExecuteA(o, v, f, p, d, s);
  }
  BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA i) override { return ::ShellExecuteExA(i); }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override { return ::WaitForSingleObject(h, ms); }
  BOOL GetExitCodeProcess(HANDLE h, LPDWORD c) override { return ::GetExitCodeProcess(h, c); }
  BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) override {
    return ::SystemParametersInfoA(action, param, data, winIni);
  }

  // IMemory
  HGLOBAL GlobalAlloc(UINT f, SIZE_T n) override { return ::GlobalAlloc(f, n); }
  LPVOID GlobalLock(HGLOBAL b) override { return ::GlobalLock(b); }
  BOOL GlobalUnlock(HGLOBAL b) override { return ::GlobalUnlock(b); }
  HGLOBAL GlobalFree(HGLOBAL b) override { return ::GlobalFree(b); }

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

  // IRawInput
  BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE d, UINT n, UINT s) override {
    return ::RegisterRawInputDevices(d, n, s);
  }
  UINT GetRawInputData(HRAWINPUT i, UINT c, LPVOID d, PUINT s, UINT h) override {
    return ::GetRawInputData(i, c, d, s, h);
  }
  UINT GetRawInputBuffer(PRAWINPUT d, PUINT s, UINT h) override { return ::GetRawInputBuffer(d, s, h); }
  UINT GetRawInputDeviceInfoA(HANDLE h, UINT c, LPVOID d, PUINT s) override {
    return ::GetRawInputDeviceInfoA(h, c, d, s);
  }
  UINT GetRawInputDeviceList(PRAWINPUTDEVICELIST l, PUINT n, UINT s) override {
    return ::GetRawInputDeviceList(l, n, s);
  }
  BOOL QueryPerformanceCounter(LARGE_INTEGER* c) override { return ::QueryPerformanceCounter(c); }
  BOOL QueryPerformanceFrequency(LARGE_INTEGER* f) override { return ::QueryPerformanceFrequency(f); }
};

}  // namespace

const Backend& RealBackend() {
  static RealWindows windows;
  static const Backend backend{&windows, &windows, &windows, &windows, &windows,
                               &windows, &windows, &windows, &windows,
                               &windows};
  return backend;
}

}  // namespace platform::win32
