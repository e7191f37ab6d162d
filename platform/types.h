// Win32-shaped types and constants used by every unit above the platform seam.
//
// On Windows these are the platform's own types and macros, so the real backend
// forwards every call without converting. Elsewhere this header defines the same
// types with the same fields and widths as the 64-bit Windows ABI (DWORD is 32 bits,
// handles are pointers), and the constants with the values of the Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef _WIN32

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <shellapi.h>

// Text literal for the few wide-string arguments (LoadLibraryW).
#define MORVANE_WTEXT(s) L##s

#else  // simulated platform

#define WINAPI
#define NTAPI
#define MORVANE_WTEXT(s) u##s

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using CHAR = char;
using WCHAR = char16_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = ULONG_PTR;
using SIZE_T = ULONG_PTR;
using LSTATUS = LONG;
using NTSTATUS = LONG;
using CONFIGRET = DWORD;
using DEVINST = DWORD;
using DEVNODE = DWORD;
using REGSAM = DWORD;
using LANGID = WORD;

using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using PULONG = ULONG*;
using PBOOL = BOOL*;
using PUINT = UINT*;
using PLONG = LONG*;

using HANDLE = void*;
using HDEVINFO = void*;
using HGLOBAL = void*;
using HINF = void*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HRSRC__;
using HRSRC = HRSRC__*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
using FARPROC = std::intptr_t (*)();
using PHANDLE = HANDLE*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using REFGUID = const GUID&;
using LPGUID = GUID*;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;

using DI_FUNCTION = UINT;

struct SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
};
using PSP_CLASSINSTALL_HEADER = SP_CLASSINSTALL_HEADER*;

struct SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD StateChange;
  DWORD Scope;
  DWORD HwProfile;
};

struct SP_DEVINSTALL_PARAMS_A {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  void* InstallMsgHandler;
  PVOID InstallMsgHandlerContext;
  void* FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  CHAR DriverPath[260];
};
using PSP_DEVINSTALL_PARAMS_A = SP_DEVINSTALL_PARAMS_A*;

struct SHELLEXECUTEINFOA {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIcon;  // a union with hMonitor
  HANDLE hProcess;
};
using LPSHELLEXECUTEINFOA = SHELLEXECUTEINFOA*;

struct HIGHCONTRASTA {
  UINT cbSize;
  DWORD dwFlags;
  LPSTR lpszDefaultScheme;
};
inline constexpr UINT SPI_GETHIGHCONTRAST = 0x0042;
inline constexpr DWORD HCF_HIGHCONTRASTON = 0x00000001;
inline constexpr DWORD HCF_AVAILABLE = 0x00000002;

struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPSTR lpBinaryPathName;
  LPSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPSTR lpDependencies;
  LPSTR lpServiceStartName;
  LPSTR lpDisplayName;
};
using LPQUERY_SERVICE_CONFIGA = QUERY_SERVICE_CONFIGA*;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline LPCSTR MAKEINTRESOURCEA(WORD id) { return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IS_INTRESOURCE(LPCSTR p) { return (reinterpret_cast<ULONG_PTR>(p) >> 16) == 0; }
inline const LPCSTR RT_VERSION = MAKEINTRESOURCEA(16);

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr UINT MAX_PATH = 260;

// Error codes.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_INVALID_IMAGE_HASH = 577;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_DRIVER_BLOCKED = 1275;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr DWORD ERROR_CLIPBOARD_NOT_OPEN = 1418;
inline constexpr DWORD ERROR_INVALID_SPI_VALUE = 1439;
inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_SECTION_NOT_FOUND = 0xE0000101;
inline constexpr DWORD ERROR_LINE_NOT_FOUND = 0xE0000102;
inline constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204;
inline constexpr DWORD ERROR_INVALID_DEVINST_NAME = 0xE0000205;
inline constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;
inline constexpr DWORD ERROR_INVALID_CLASS_INSTALLER = 0xE000020D;
inline constexpr DWORD ERROR_DI_DO_DEFAULT = 0xE000020E;
inline constexpr DWORD ERROR_NO_SUCH_INTERFACE_CLASS = 0xE000021E;
inline constexpr DWORD ERROR_NO_SUCH_DEVICE_INTERFACE = 0xE0000225;

// Configuration manager.
inline constexpr CONFIGRET CR_SUCCESS = 0x00;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
inline constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
inline constexpr ULONG DN_ROOT_ENUMERATED = 0x00000001;
inline constexpr ULONG DN_DRIVER_LOADED = 0x00000002;
inline constexpr ULONG DN_ENUM_LOADED = 0x00000004;
inline constexpr ULONG DN_STARTED = 0x00000008;
inline constexpr ULONG DN_HAS_PROBLEM = 0x00000400;
inline constexpr ULONG DN_DISABLEABLE = 0x00002000;
inline constexpr ULONG DN_NT_ENUMERATOR = 0x00800000;
inline constexpr ULONG DN_NT_DRIVER = 0x01000000;
inline constexpr ULONG CM_PROB_FAILED_START = 0x0A;
inline constexpr ULONG CM_PROB_FAILED_ADD = 0x1F;
inline constexpr ULONG CM_PROB_DRIVER_FAILED_LOAD = 0x27;

// SetupAPI.
inline constexpr DWORD DIGCF_DEFAULT = 0x01;
inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x04;
inline constexpr DWORD DIGCF_PROFILE = 0x08;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
inline constexpr DWORD SPDRP_DEVICEDESC = 0;
inline constexpr DWORD SPDRP_HARDWAREID = 1;
inline constexpr DWORD SPDRP_COMPATIBLEIDS = 2;
inline constexpr DWORD SPDRP_SERVICE = 4;
inline constexpr DWORD SPDRP_CLASS = 7;
inline constexpr DWORD SPDRP_CLASSGUID = 8;
inline constexpr DWORD SPDRP_DRIVER = 9;
inline constexpr DWORD SPDRP_MFG = 11;
inline constexpr DWORD SPDRP_FRIENDLYNAME = 12;
inline constexpr DWORD SPDRP_LOCATION_INFORMATION = 13;
inline constexpr DWORD SPDRP_UPPERFILTERS = 17;
inline constexpr DWORD SPDRP_LOWERFILTERS = 18;
inline constexpr DWORD SPDRP_ENUMERATOR_NAME = 22;
inline constexpr DWORD SPDRP_ADDRESS = 28;
inline constexpr DWORD DICS_ENABLE = 1;
inline constexpr DWORD DICS_DISABLE = 2;
inline constexpr DWORD DICS_PROPCHANGE = 3;
inline constexpr DWORD DICS_FLAG_GLOBAL = 1;
inline constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 2;
inline constexpr DWORD DIREG_DEV = 1;
inline constexpr DWORD DIREG_DRV = 2;
inline constexpr DI_FUNCTION DIF_PROPERTYCHANGE = 0x12;
inline constexpr DWORD DI_NEEDRESTART = 0x80;
inline constexpr DWORD DI_NEEDREBOOT = 0x100;
inline constexpr UINT INF_STYLE_WIN4 = 2;

// Registry.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_READ = 0x20019;
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Files and modules.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;

// Service control manager.
inline constexpr DWORD STANDARD_RIGHTS_READ = 0x20000;
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD DELETE = 0x10000;
inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_PAUSED = 7;

// User interface, clipboard, memory.
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr UINT CF_TEXT = 1;
inline constexpr UINT CF_UNICODETEXT = 13;
inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GPTR = 0x0040;
inline constexpr UINT GMEM_DDESHARE = 0x2000;
inline constexpr int SW_SHOW = 5;
inline constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
inline constexpr ULONG SEE_MASK_NOASYNC = 0x00000100;
inline constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;

// System.
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;
inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
inline constexpr UINT CP_ACP = 0;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;


// Raw Input and the performance counter.
using USHORT = std::uint16_t;
using LONGLONG = std::int64_t;
using WPARAM = ULONG_PTR;
using LPARAM = LONG_PTR;
struct HRAWINPUT__;
using HRAWINPUT = HRAWINPUT__*;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct RAWINPUTDEVICE {
  USHORT usUsagePage;
  USHORT usUsage;
  DWORD dwFlags;
  HWND hwndTarget;
};
using PCRAWINPUTDEVICE = const RAWINPUTDEVICE*;

struct RAWINPUTDEVICELIST {
  HANDLE hDevice;
  DWORD dwType;
};
using PRAWINPUTDEVICELIST = RAWINPUTDEVICELIST*;

struct RAWINPUTHEADER {
  DWORD dwType;
  DWORD dwSize;
  HANDLE hDevice;
  WPARAM wParam;
};

struct RAWMOUSE {
  USHORT usFlags;
  union {
    ULONG ulButtons;
    struct {
      USHORT usButtonFlags;
      USHORT usButtonData;
    } s;
  } u;
  ULONG ulRawButtons;
  LONG lLastX;
  LONG lLastY;
  ULONG ulExtraInformation;
};

struct RAWKEYBOARD {
  USHORT MakeCode;
  USHORT Flags;
  USHORT Reserved;
  USHORT VKey;
  UINT Message;
  ULONG ExtraInformation;
};

struct RAWHID {
  DWORD dwSizeHid;
  DWORD dwCount;
  BYTE bRawData[1];
};

struct RAWINPUT {
  RAWINPUTHEADER header;
  union {
    RAWMOUSE mouse;
    RAWKEYBOARD keyboard;
    RAWHID hid;
  } data;
};
using PRAWINPUT = RAWINPUT*;

inline constexpr DWORD RIM_TYPEMOUSE = 0;
inline constexpr DWORD RIM_TYPEKEYBOARD = 1;
inline constexpr DWORD RIM_TYPEHID = 2;
inline constexpr WPARAM RIM_INPUT = 0;
inline constexpr WPARAM RIM_INPUTSINK = 1;
inline constexpr UINT RID_INPUT = 0x10000003;
inline constexpr UINT RID_HEADER = 0x10000005;
inline constexpr UINT RIDI_PREPARSEDDATA = 0x20000005;
inline constexpr UINT RIDI_DEVICENAME = 0x20000007;
inline constexpr UINT RIDI_DEVICEINFO = 0x2000000B;
inline constexpr DWORD RIDEV_REMOVE = 0x00000001;
inline constexpr DWORD RIDEV_INPUTSINK = 0x00000100;
inline constexpr USHORT MOUSE_MOVE_RELATIVE = 0;
inline constexpr UINT WM_INPUT = 0x00FF;

#endif  // _WIN32

// USB hub I/O controls, exchanged as raw byte buffers (the layouts are documented
// where they are read, in devices/UsbConnection).
#ifndef IOCTL_USB_GET_NODE_INFORMATION
#define IOCTL_USB_GET_NODE_INFORMATION 0x220408u
#endif
#ifndef IOCTL_USB_GET_NODE_CONNECTION_INFORMATION
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION 0x22040Cu
#endif
#ifndef IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME
#define IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 0x220420u
#endif
#ifndef IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX 0x220448u
#endif
#ifndef IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 0x22045Cu
#endif

// Memory-list commands of NtSetSystemInformation.
inline constexpr ULONG SystemMemoryListInformation = 80;

// Functions the program resolves by name with GetProcAddress.
using PFN_IsWow64Process = BOOL(WINAPI*)(HANDLE process, PBOOL wow64);
using PFN_Wow64DisableWow64FsRedirection = BOOL(WINAPI*)(PVOID* oldValue);
using PFN_Wow64RevertWow64FsRedirection = BOOL(WINAPI*)(PVOID oldValue);
using PFN_NtSetSystemInformation = LONG(NTAPI*)(ULONG infoClass, PVOID info, ULONG length);

// Layouts the program relies on, checked for the bitness being built.
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12);
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20);
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8);
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WORD) == 2 && sizeof(WCHAR) == 2);
#if defined(_WIN32) && !defined(_WIN64)
// SetupAPI packs its structures to 1 byte in 32-bit builds.
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#else
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#endif
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == 20);

// Raw Input records: the same on every bitness except for the handle-sized fields.
static_assert(sizeof(RAWMOUSE) == 24);
static_assert(sizeof(RAWKEYBOARD) == 16);
static_assert(offsetof(RAWINPUTHEADER, hDevice) == 8);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(RAWINPUTDEVICE) == 12);
static_assert(sizeof(RAWINPUTDEVICELIST) == 8);
static_assert(sizeof(RAWINPUTHEADER) == 16);
static_assert(sizeof(RAWINPUT) == 40);
#else
static_assert(sizeof(RAWINPUTDEVICE) == 16);
static_assert(sizeof(RAWINPUTDEVICELIST) == 16);
static_assert(sizeof(RAWINPUTHEADER) == 24);
static_assert(sizeof(RAWINPUT) == 48);
#endif
static_assert(sizeof(LARGE_INTEGER) == 8);
