#include "devaccess/DevAccess.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The text of a buffer whose reported size counts the terminating NUL. A size of 0
// gives "", a size beyond the buffer is held to the buffer.
std::string TextOfReportedSize(const std::vector<char>& buffer, DWORD reportedSize) {
  const std::size_t size = std::min<std::size_t>(reportedSize, buffer.size());
  if (size == 0) return {};
  return std::string(buffer.data(), size - 1);
}

// A set of the devices exposing a present interface of the class, restricted to one
// instance, and its element 0 when that element carries exactly the given ID.
struct SingleInstance {
  platform::UniqueDevInfo set;
  SP_DEVINFO_DATA data{};
};

bool OpenSingleInstance(const std::string& instanceId, const GUID& interfaceClass, SingleInstance& out) {
  if (instanceId.empty()) return false;
  out.set.Reset(platform::DeviceInstall().SetupDiGetClassDevsA(&interfaceClass, instanceId.c_str(), nullptr,
                                                               kPresentInterfaces));
  if (!out.set) return false;
  out.data = {};
  out.data.cbSize = sizeof(SP_DEVINFO_DATA);
  if (!platform::DeviceInstall().SetupDiEnumDeviceInfo(out.set.Get(), 0, &out.data)) return false;
  return GetInstanceId(out.set.Get(), out.data) == instanceId;
}

}  // namespace

std::string GetRegistryPropertyString(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  std::vector<char> buffer(kTextBufferSize, '\0');
  DWORD regType = 0;
  DWORD required = 0;
  if (!platform::DeviceInstall().SetupDiGetDeviceRegistryPropertyA(set, &data, property, &regType,
                                                                   reinterpret_cast<PBYTE>(buffer.data()),
                                                                   kTextBufferSize, &required)) {
    return {};
  }
  return TextOfReportedSize(buffer, required);
}

DWORD GetRegistryPropertyDword(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  BYTE bytes[sizeof(DWORD)] = {};
  DWORD regType = 0;
  DWORD required = 0;
  if (!platform::DeviceInstall().SetupDiGetDeviceRegistryPropertyA(set, &data, property, &regType, bytes,
                                                                   sizeof(bytes), &required)) {
    return 0;
  }
  DWORD value = 0;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

std::string GetInstanceId(HDEVINFO set, SP_DEVINFO_DATA& data) {
  std::vector<char> buffer(kTextBufferSize, '\0');
  DWORD required = 0;
  if (!platform::DeviceInstall().SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), kTextBufferSize,
                                                             &required)) {
    return {};
  }
  return TextOfReportedSize(buffer, required);
}

std::string GetDevRegString(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD keyType, const std::string& valueName) {
  platform::UniqueDevRegKey key(
      platform::DeviceInstall().SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, keyType, KEY_READ));
  if (!key) return {};
  std::vector<char> buffer(kTextBufferSize, '\0');
  DWORD type = 0;
  DWORD size = kTextBufferSize;
  if (platform::Registry().RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type,
                                            reinterpret_cast<LPBYTE>(buffer.data()), &size) != ERROR_SUCCESS) {
    return {};
  }
  return TextOfReportedSize(buffer, size);
}

std::string GetDeviceDescription(HDEVINFO set, SP_DEVINFO_DATA& data) {
  return GetRegistryPropertyString(set, data, SPDRP_DEVICEDESC);
}

std::string GetDisplayName(HDEVINFO set, SP_DEVINFO_DATA& data) {
  const std::string description = GetRegistryPropertyString(set, data, SPDRP_DEVICEDESC);
  const std::string friendlyName = GetRegistryPropertyString(set, data, SPDRP_FRIENDLYNAME);
  if (friendlyName.empty()) return description;
  if (!description.empty() && friendlyName.find(description) != std::string::npos) return friendlyName;
  return description + " - " + friendlyName;
}

bool OpenDevInstInfo(HDEVINFO lookupSet, DEVINST devInst, SP_DEVINFO_DATA& data) {
  ULONG length = 0;
  if (platform::ConfigManager().CM_Get_Device_ID_Size(&length, devInst, 0) != CR_SUCCESS) return false;
  std::vector<char> instanceId(static_cast<std::size_t>(length) + 1, '\0');
  if (platform::ConfigManager().CM_Get_Device_IDA(devInst, instanceId.data(), length + 1, 0) != CR_SUCCESS) {
    return false;
  }
  instanceId.back() = '\0';
  data.cbSize = sizeof(SP_DEVINFO_DATA);
  return platform::DeviceInstall().SetupDiOpenDeviceInfoA(lookupSet, instanceId.data(), nullptr, 0, &data) != FALSE;
}

ULONG GetDevNodeStatus(DEVINST devInst, ULONG& problem) {
  ULONG status = 0;
  problem = 0;
  if (platform::ConfigManager().CM_Get_DevNode_Status(&status, &problem, devInst, 0) != CR_SUCCESS) {
    status = 0xFFFFFFFF;
    problem = 0xFFFFFFFF;
  }
  return status;
}

ULONG GetDevNodeProblem(DEVINST devInst) {
  ULONG problem = 0;
  const ULONG status = GetDevNodeStatus(devInst, problem);
  return (status & DN_HAS_PROBLEM) != 0 ? problem : 0;
}

bool DevNodeHasProblem(DEVINST devInst) { return GetDevNodeProblem(devInst) != 0; }

std::string GetEnumeratorName(HDEVINFO set, SP_DEVINFO_DATA& data) {
  std::string name = GetRegistryPropertyString(set, data, SPDRP_ENUMERATOR_NAME);
  if (!name.empty()) return name;
  const std::string instanceId = GetInstanceId(set, data);
  const std::size_t backslash = instanceId.find('\\');
  return backslash == std::string::npos ? std::string() : instanceId.substr(0, backslash);
}

bool InstanceHasInterface(const std::string& instanceId, const GUID& interfaceClass) {
  SingleInstance instance;
  return OpenSingleInstance(instanceId, interfaceClass, instance);
}

std::string GetInterfacePath(const std::string& instanceId, const GUID& interfaceClass) {
  SingleInstance instance;
  if (!OpenSingleInstance(instanceId, interfaceClass, instance)) return {};

  platform::IDeviceInstall& setup = platform::DeviceInstall();
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!setup.SetupDiEnumDeviceInterfaces(instance.set.Get(), &instance.data, &interfaceClass, 0, &interfaceData)) {
    return {};
  }

  // The size query fails by design (insufficient buffer); only the size counts.
  DWORD required = 0;
  setup.SetupDiGetDeviceInterfaceDetailA(instance.set.Get(), &interfaceData, nullptr, 0, &required, nullptr);
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  // A block too small for the head and one character cannot carry a path.
  if (required <= kPathOffset) return {};

  const DWORD blockSize = required;
  platform::UniqueGlobal block(platform::Memory().GlobalAlloc(GPTR, blockSize));
  if (!block) return {};
  // A GPTR block is fixed memory: its handle is its address.
  auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.Get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!setup.SetupDiGetDeviceInterfaceDetailA(instance.set.Get(), &interfaceData, detail, blockSize, &required,
                                              nullptr)) {
    return {};
  }
  const char* path = static_cast<const char*>(block.Get()) + kPathOffset;
  return std::string(path, strnlen(path, blockSize - kPathOffset));
}

HANDLE OpenInterfaceHandle(const std::string& instanceId, const GUID& interfaceClass) {
  const std::string path = GetInterfacePath(instanceId, interfaceClass);
  return platform::Files().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace morvane
