// The data model of a simulated PC: what a machine file describes and what tests
// read and change between calls. The behaviour over it lives in the sim services.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

// Case-insensitive (ASCII) ordering, as the registry and the device manager compare names.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

std::string ToUpperAscii(std::string text);

// A typed registry value: the type code and the bytes exactly as stored.
struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  DWORD readError = 0;  // non-zero: the value exists but reading it fails with this code

  static RegValue Dword(DWORD value);
  static RegValue Qword(std::uint64_t value);
  static RegValue String(const std::string& text);                       // REG_SZ, NUL included
  static RegValue MultiString(const std::vector<std::string>& entries);  // REG_MULTI_SZ, double NUL
  static RegValue Binary(std::vector<BYTE> bytes, DWORD type = REG_BINARY);
  static RegValue Unreadable(DWORD error);

  bool operator==(const RegValue&) const = default;
};

using ValueMap = std::map<std::string, RegValue, CaseInsensitiveLess>;

// One open pipe as the hub reports it: the 7-byte endpoint descriptor (bLength and
// bDescriptorType are filled in) followed by the schedule offset.
struct Pipe {
  BYTE endpointAddress = 0x81;
  BYTE attributes = 3;  // low two bits: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  WORD maxPacketSize = 8;
  BYTE interval = 0;    // bInterval as the device declares it
  DWORD scheduleOffset = 0;
};

// What a hub answers for one of its ports.
struct PortConnection {
  ULONG port = 0;                              // 1-based
  std::string device;                          // instance ID of the attached device; empty: nothing attached
  std::optional<std::string> driverKeyName;    // reported name; default: the device's SPDRP_DRIVER text
  BYTE speed = 1;                              // USB_DEVICE_SPEED of the EX control; LowSpeed byte follows from it
  ULONG v2Flags = 0;                           // Flags of the EX_V2 control
  std::vector<Pipe> pipes;
  std::optional<LONG> openPipesOverride;       // reported NumberOfOpenPipes instead of pipes.size()
  std::optional<ULONG> actualLengthOverride;   // reported ActualLength instead of the real size
  bool exFails = false;
  bool v2Fails = false;
  bool plainFails = false;
  bool driverKeyFails = false;
  bool driverKeyNameFails = false;             // the name query after the size query fails
  // The error codes of the failing controls above.
  DWORD exError = ERROR_GEN_FAILURE;
  DWORD v2Error = ERROR_GEN_FAILURE;
  DWORD plainError = ERROR_GEN_FAILURE;
  DWORD driverKeyError = ERROR_GEN_FAILURE;
  DWORD driverKeyNameError = ERROR_GEN_FAILURE;
};

struct Hub {
  ULONG nodeType = 0;                   // 0 UsbHub, 1 UsbMIParent
  std::optional<BYTE> numberOfPorts;    // default: the highest port listed
  bool nodeInfoFails = false;
  DWORD nodeInfoError = ERROR_GEN_FAILURE;
  DWORD openError = 0;                  // non-zero: CreateFileA on the hub interface fails with this code
  std::vector<PortConnection> connections;
};

struct Device {
  std::string instanceId;
  std::string parent;                   // instance ID of the parent; empty for the root node
  GUID classGuid{};                     // setup class
  bool present = true;
  ULONG problem = 0;                    // non-zero: DN_HAS_PROBLEM with this problem number
  std::optional<ULONG> status;          // explicit DN_ flags; default derived from problem
  bool statusFails = false;             // CM_Get_DevNode_Status fails for this node
  ULONG parentError = 0;                // non-zero: the CONFIGRET of CM_Get_Parent for this node
  ULONG deviceIdError = 0;              // non-zero: the CONFIGRET of CM_Get_Device_ID_Size and CM_Get_Device_IDA;
                                        // no SetupDi call reaches the node then (its instanceId is the file's name for it)
  std::map<DWORD, RegValue> properties; // SPDRP_ code -> typed value (LowerFilters included)
  std::vector<GUID> interfaces;         // present device-interface classes
  std::optional<ValueMap> driverKey;    // nullopt: the device has no driver (software) key
  std::optional<ValueMap> hardwareKey;  // nullopt: no hardware key
  DWORD driverKeyError = 0;             // non-zero: opening the driver key fails with this code
  DWORD hardwareKeyError = 0;           // likewise the hardware key
  bool needsReboot = false;             // the class installer cannot restart it now: the property change
                                        // leaves it as it is and sets DI_NEEDREBOOT
  ULONG problemAfterRestart = 0;        // non-zero: the device comes back from a restart with this problem
  ULONG problemWithFilter = 0;          // non-zero: it comes back with this problem while its lower
                                        // filters name the filter (its stack fails to start with it)
  std::optional<Hub> hub;               // set for hubs (root hubs included)
};

struct Service {
  std::string name;
  std::string displayName;
  DWORD type = SERVICE_KERNEL_DRIVER;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::string binaryPath;
  DWORD state = SERVICE_STOPPED;
  DWORD startError = 0;                 // non-zero: StartServiceA fails with this code
  DWORD openError = 0;                  // non-zero: OpenServiceA fails with this code
  DWORD configError = 0;                // non-zero: QueryServiceConfigA fails with this code
  DWORD statusError = 0;                // non-zero: QueryServiceStatus fails with this code
};

struct FileVersion {
  std::string fileVersion;              // the "FileVersion" string
  WORD language = 0x0409;
  WORD codePage = 0x04B0;
  bool hasTranslation = true;           // the block has \VarFileInfo\Translation
};

struct File {
  std::string path;                     // full path, compared case-insensitively
  std::optional<FileVersion> version;   // nullopt: no version resource
  bool loadableAsData = true;           // LoadLibraryExA(LOAD_LIBRARY_AS_DATAFILE) succeeds
  bool versionInfoApi = true;           // GetFileVersionInfoA sees the version
  std::string content;                  // text files (INF files)
  DWORD openError = 0;                  // non-zero: CreateFileA fails with this code
  DWORD loadError = 0;                  // non-zero: LoadLibraryExA fails with this code (before loadableAsData)
  DWORD resourceError = 0;              // non-zero: FindResourceA of the version resource fails with this code
  DWORD versionError = 0;               // non-zero: GetFileVersionInfoSizeA/GetFileVersionInfoA fail with this code
};

struct SystemInfo {
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  bool wow64 = false;                   // IsWow64Process answer
  bool hasWow64Functions = true;        // kernel32 exports the three Wow64 functions
  bool isWow64ProcessFails = false;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::string currentDirectory = "C:\\MORVANE";
  bool administrator = true;            // full-access service manager opens succeed
  DWORD serviceManagerError = 0;        // non-zero: every OpenSCManagerA fails with this code
  std::set<std::string> heldPrivileges = {"SeProfileSingleProcessPrivilege", "SeShutdownPrivilege"};
  bool hasNtSetSystemInformation = true;
  bool clipboardBusy = false;           // another program holds the clipboard open
  bool highContrast = false;            // the user chose a high-contrast theme
  std::optional<DWORD> helperExitCode;  // set: TALON64.EXE does nothing and ends with this exit code
  std::map<DWORD, std::string> messages;  // FormatMessageA texts (English); defaults cover common codes
  // Keys below HKEY_LOCAL_MACHINE by path ("SYSTEM\CurrentControlSet\Control"), with their values.
  std::map<std::string, ValueMap, CaseInsensitiveLess> machineKeys;
};

struct MachineModel {
  SystemInfo system;
  std::vector<Device> devices;          // in the order the device manager lists them
  std::vector<Service> services;
  std::vector<File> files;
};

// Well-known GUIDs, and names usable in machine files for them.
namespace guids {
extern const GUID DevClassUsb;         // {36FC9E60-C465-11CF-8056-444553540000}
extern const GUID DevClassMouse;       // {4D36E96F-E325-11CE-BFC1-08002BE10318}
extern const GUID DevClassKeyboard;    // {4D36E96B-E325-11CE-BFC1-08002BE10318}
extern const GUID DevClassHid;         // {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}
extern const GUID DevClassSystem;      // {4D36E97D-E325-11CE-BFC1-08002BE10318}
extern const GUID DevClassDiskDrive;   // {4D36E967-E325-11CE-BFC1-08002BE10318}
extern const GUID InterfaceUsbDevice;  // {A5DCBF10-6530-11D2-901F-00C04FB951ED}
extern const GUID InterfaceUsbHub;     // {F18A0E88-C30C-11D0-8815-00A0C906BED8}
extern const GUID InterfaceUsbHostController;  // {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
extern const GUID InterfaceHid;        // {4D1E55B2-F16F-11CF-88CB-001111000030}
}  // namespace guids

std::string GuidToString(const GUID& guid);                  // "{XXXXXXXX-XXXX-...}" upper case
std::optional<GUID> GuidFromString(const std::string& text); // accepts either case, braces required

}  // namespace sim
