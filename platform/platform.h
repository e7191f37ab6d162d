// The seam between the program and Windows.
//
// Every call the program makes to the operating system goes through one of the
// interfaces below. Methods carry the names and arguments of the real Win32
// functions, so the code above reads like the Win32 code it is, and a test backend
// can check the exact flags, sizes and orders that are passed.
//
// The process has one current backend. The program entry installs the real one
// (platform/win32) or the simulated machine (platform/sim); tests install their own
// for one scope with ScopedBackend.
#pragma once

#include "platform/types.h"

namespace platform {

// SetupAPI: device-information sets, registry properties, device keys, interfaces,
// class installer; and the INF functions the helper program uses.
class IDeviceInstall {
 public:
  virtual ~IDeviceInstall() = default;
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) = 0;
  virtual HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) = 0;
  virtual BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD openFlags,
                                      PSP_DEVINFO_DATA data) = 0;
  virtual BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, LPSTR buffer, DWORD bufferSize,
                                           PDWORD requiredSize) = 0;
  virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                 PDWORD regType, PBYTE buffer, DWORD bufferSize,
                                                 PDWORD requiredSize) = 0;
  virtual BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                 const BYTE* buffer, DWORD bufferSize) = 0;
  virtual HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD hwProfile,
                                    DWORD keyType, REGSAM access) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClass,
                                           DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) = 0;
  virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                PDWORD requiredSize, PSP_DEVINFO_DATA data) = 0;
  virtual BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                             PSP_CLASSINSTALL_HEADER params, DWORD paramsSize) = 0;
  virtual BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) = 0;
  virtual BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                              PSP_DEVINSTALL_PARAMS_A params) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  virtual HINF SetupOpenInfFileA(LPCSTR fileName, LPCSTR infClass, DWORD infStyle, PUINT errorLine) = 0;
  virtual void SetupCloseInfFile(HINF inf) = 0;
  // Runs "<section> <mode> <inf path>" as rundll32 setupapi,InstallHinfSection does.
  virtual void InstallHinfSectionA(HWND window, HINSTANCE module, LPCSTR commandLine, INT show) = 0;
};

// CfgMgr32: the device tree.
class IConfigManager {
 public:
  virtual ~IConfigManager() = default;
  virtual CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Device_IDA(DEVINST devInst, LPSTR buffer, ULONG bufferLength, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) = 0;
};

// Registry functions on keys opened by SetupDiOpenDevRegKey, and on the machine's
// own keys below HKEY_LOCAL_MACHINE.
class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) = 0;
  // Opens the key, making it (and the keys above it) when it is not there.
  virtual LSTATUS RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                                  REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                  LPDWORD disposition) = 0;
  virtual LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD dataSize) = 0;
  virtual LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD dataSize) = 0;
  virtual LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) = 0;
  virtual LSTATUS RegCloseKey(HKEY key) = 0;
};

// Kernel objects reached by path: files and device interfaces (the hub I/O controls),
// directories, modules loaded as data files with their resources, version information.
class IFiles {
 public:
  virtual ~IFiles() = default;
  virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                               DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;

  virtual UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) = 0;
  virtual DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) = 0;
  virtual BOOL SetCurrentDirectoryA(LPCSTR path) = 0;

  virtual HMODULE LoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;
  virtual HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) = 0;
  virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource) = 0;
  virtual LPVOID LockResource(HGLOBAL resourceData) = 0;
  virtual DWORD SizeofResource(HMODULE module, HRSRC resource) = 0;

  virtual DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) = 0;
  virtual BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data) = 0;
  virtual BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) = 0;
};

// Service control manager.
class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  virtual SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) = 0;
  virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) = 0;
  virtual BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                                   LPDWORD bytesNeeded) = 0;
  virtual BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) = 0;
  virtual BOOL StartServiceA(SC_HANDLE service, DWORD argCount, LPCSTR* args) = 0;
  // Needs a handle opened with DELETE.
  virtual BOOL DeleteService(SC_HANDLE service) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
};

// User interface services: the message box, the clipboard, the shell and the
// programs it starts.
class IUser {
 public:
  virtual ~IUser() = default;
  virtual int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = 0;
  virtual BOOL OpenClipboard(HWND owner) = 0;
  virtual BOOL EmptyClipboard() = 0;
  virtual HANDLE SetClipboardData(UINT format, HANDLE data) = 0;
  virtual BOOL CloseClipboard() = 0;
  virtual HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                  INT show) = 0;
  // With SEE_MASK_NOCLOSEPROCESS, info->hProcess receives the process started (null
  // when the shell started none); its owner closes it with IFiles::CloseHandle.
  virtual BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info) = 0;
  // On such a process: WAIT_OBJECT_0 once it has ended, WAIT_TIMEOUT, or WAIT_FAILED.
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  // STILL_ACTIVE while it runs.
  virtual BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) = 0;
  // The user's settings; the window asks only SPI_GETHIGHCONTRAST (a high-contrast theme).
  virtual BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) = 0;
};

// Global memory blocks (the clipboard's currency, and GPTR blocks).
class IMemory {
 public:
  virtual ~IMemory() = default;
  virtual HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) = 0;
  virtual LPVOID GlobalLock(HGLOBAL block) = 0;
  virtual BOOL GlobalUnlock(HGLOBAL block) = 0;
  virtual HGLOBAL GlobalFree(HGLOBAL block) = 0;
};

// Process-wide facts and services: last error, version, modules and functions
// resolved by name, message texts, code-page conversion.
class ISystem {
 public:
  virtual ~ISystem() = default;
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD code) = 0;
  virtual BOOL GetVersionExA(LPOSVERSIONINFOA info) = 0;
  virtual HANDLE GetCurrentProcess() = 0;
  virtual HMODULE GetModuleHandleA(LPCSTR moduleName) = 0;
  virtual HMODULE LoadLibraryW(LPCWSTR moduleName) = 0;
  // The returned address, when not null, is called as the named function; backends
  // other than the real one return functions that forward to themselves.
  virtual FARPROC GetProcAddress(HMODULE module, LPCSTR procName) = 0;
  virtual DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                               DWORD size, void* arguments) = 0;
  virtual int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                                  int wideLength) = 0;
  virtual int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                                  int length, LPCSTR defaultChar, PBOOL usedDefault) = 0;
};

// Access tokens and privileges.
class ISecurity {
 public:
  virtual ~ISecurity() = default;
  virtual BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) = 0;
  virtual BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) = 0;
  virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                     DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                     PDWORD returnLength) = 0;
};

// Raw Input from pointing devices, and the performance counter that times it.
class IRawInput {
 public:
  virtual ~IRawInput() = default;
  virtual BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size) = 0;
  virtual UINT GetRawInputData(HRAWINPUT input, UINT command, LPVOID data, PUINT size, UINT headerSize) = 0;
  virtual UINT GetRawInputBuffer(PRAWINPUT data, PUINT size, UINT headerSize) = 0;
  virtual UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size) = 0;
  virtual UINT GetRawInputDeviceList(PRAWINPUTDEVICELIST list, PUINT count, UINT size) = 0;
  virtual BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) = 0;
  virtual BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) = 0;
};

// One backend: an implementation of every service.
struct Backend {
  IDeviceInstall* deviceInstall = nullptr;
  IConfigManager* configManager = nullptr;
  IRegistry* registry = nullptr;
  IFiles* files = nullptr;
  IServiceControl* serviceControl = nullptr;
  IUser* user = nullptr;
  IMemory* memory = nullptr;
  ISystem* system = nullptr;
  ISecurity* security = nullptr;
  IRawInput* rawInput = nullptr;
};

// The current backend. Calling an accessor with no backend installed is a
// programming error and aborts with a message.
IDeviceInstall& DeviceInstall();
IConfigManager& ConfigManager();
IRegistry& Registry();
IFiles& Files();
IServiceControl& ServiceControl();
IUser& User();
IMemory& Memory();
ISystem& System();
ISecurity& Security();
IRawInput& RawInput();

const Backend& Current();
void Install(const Backend& backend);

// Installs a backend for one scope and puts the previous one back at its end.
class ScopedBackend {
 public:
  explicit ScopedBackend(const Backend& backend);
  ~ScopedBackend();
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  Backend previous_;
};

// The platform identifier (dwPlatformId of GetVersionExA) of the current backend:
// VER_PLATFORM_WIN32_NT for the NT family, anything else is the 9x family. When the
// version cannot be read, the last answer of this backend, else the NT family.
DWORD PlatformId();
// The same, read now; false when GetVersionExA fails (its last error says why).
bool ReadPlatformId(DWORD& id);
inline bool IsNtPlatform() { return PlatformId() == VER_PLATFORM_WIN32_NT; }

}  // namespace platform
