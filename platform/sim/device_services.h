// The simulated machine's device side: the device tree and device-information sets
// (SetupAPI, CfgMgr32), the devices' driver and hardware keys, the hubs that answer
// the hub I/O controls, and the restart and filter effects.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/core.h"

namespace sim {

class DeviceServices final : public platform::IDeviceInstall,
                             public platform::IConfigManager,
                             public platform::IRegistry {
 public:
  explicit DeviceServices(SimCore& core);
  ~DeviceServices() override;

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) override;
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) override;
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD openFlags,
                              PSP_DEVINFO_DATA data) override;
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, LPSTR buffer, DWORD bufferSize,
                                   PDWORD requiredSize) override;
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD regType,
                                         PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) override;
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, const BYTE* buffer,
                                         DWORD bufferSize) override;
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD hwProfile, DWORD keyType,
                            REGSAM access) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClass,
                                   DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA data) override;
  BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params,
                                     DWORD paramsSize) override;
  BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) override;
  BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  HINF SetupOpenInfFileA(LPCSTR fileName, LPCSTR infClass, DWORD infStyle, PUINT errorLine) override;
  void SetupCloseInfFile(HINF inf) override;
  void InstallHinfSectionA(HWND window, HINSTANCE module, LPCSTR commandLine, INT show) override;

  CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) override;
  CONFIGRET CM_Get_Device_IDA(DEVINST devInst, LPSTR buffer, ULONG bufferLength, ULONG flags) override;
  CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) override;
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) override;
  CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags) override;
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) override;

  LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD dataSize) override;
  LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                         DWORD dataSize) override;
  LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) override;
  LSTATUS RegCloseKey(HKEY key) override;
  // Keys below HKEY_LOCAL_MACHINE: those of SystemInfo::machineKeys, by path.
  LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) override;
  // Makes the machine key when it is not there (the keys above it are not modelled).
  LSTATUS RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options, REGSAM access,
                          LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) override;

  // Model changes and observation, forwarded by Machine.
  void Reindex();  // after devices were added or removed in the model
  DEVINST DevInstOf(const std::string& instanceId) const;
  std::size_t SetSize(HDEVINFO set) const;
  bool RestartDevice(const std::string& instanceId);
  std::size_t RestartCount(const std::string& instanceId) const;

 private:
  struct State;
  SimCore& core_;
  std::unique_ptr<State> state_;
};

}  // namespace sim
