#include "platform/sim/device_services.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/sim/device_hub.h"
#include "platform/sim/device_index.h"
#include "platform/sim/device_log.h"
#include "platform/sim/device_paths.h"

namespace sim {

namespace {

using namespace logtext;

constexpr DWORD kErrorClassMismatch = 0xE0000203;
constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorKeyDeleted = 1018;
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr DWORD kSpdrpMaximumProperty = 0x25;
constexpr DWORD kSpintActive = 1;
constexpr DWORD kKnownClassDevsFlags =
    DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
constexpr DWORD kKnownOpenFlags = 0x2 | 0x4;  // DIOD_INHERIT_CLASSDRVS, DIOD_CANCEL_REMOVE

HKEY InvalidKey() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }

bool IsMultiStringProperty(DWORD property) {
  return property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS || property == SPDRP_UPPERFILTERS ||
         property == SPDRP_LOWERFILTERS;
}

bool IsWritableProperty(DWORD property) {
  return IsMultiStringProperty(property) || property == SPDRP_DEVICEDESC || property == SPDRP_FRIENDLYNAME ||
         property == SPDRP_LOCATION_INFORMATION;
}

bool HasInterface(const Device& device, const GUID& interfaceClass) {
  for (const GUID& g : device.interfaces) {
    if (IsEqualGUID(g, interfaceClass)) return true;
  }
  return false;
}

CONFIGRET CmFault(DWORD e) { return e < 0x40 ? e : CR_FAILURE; }

const char* KeyTypeName(DWORD keyType) { return keyType == DIREG_DRV ? "DIREG_DRV" : "DIREG_DEV"; }

}  // namespace

struct DeviceServices::State {
  struct DevSet {
    std::optional<GUID> classGuid;
    std::vector<DEVINST> elements;
    std::vector<ULONG_PTR> tokens;
    std::unordered_map<DEVINST, std::size_t> position;
    std::unordered_map<DEVINST, SP_PROPCHANGE_PARAMS> params;
    std::optional<SP_PROPCHANGE_PARAMS> setParams;
    std::set<DEVINST> rebootNeeded;  // elements whose property change waits for a reboot
    std::unordered_map<std::uint64_t, ULONG_PTR> interfaceTokens;  // (DevInst, ordinal) -> token
  };
  // What a Reserved field stands for: an element of a set, or (ordinal >= 0) one of
  // the interfaces of that element's device.
  struct TokenRef {
    std::uintptr_t set;
    DEVINST devInst;
    int ordinal;
  };
  struct OpenKey {
    DEVINST devInst;
    DWORD keyType;
    REGSAM access;
    std::string machinePath;  // a key below HKEY_LOCAL_MACHINE when not empty
  };
  struct OpenPath {
    DEVINST devInst;
    GUID interfaceClass;
    DWORD access = 0;
    DWORD shareMode = 0;
  };

  explicit State(SimCore& c) : core(c) {}

  SimCore& core;
  DeviceIndex index;
  bool dirty = true;
  std::unordered_map<std::uintptr_t, DevSet> sets;
  std::unordered_map<ULONG_PTR, TokenRef> tokens;
  ULONG_PTR nextToken = 0x5E7000;
  std::unordered_map<std::uintptr_t, OpenKey> keys;
  std::unordered_map<std::uintptr_t, OpenPath> paths;
  std::size_t pathSweepAt = 64;
  std::unordered_map<DEVINST, std::size_t> restarts;
  std::unordered_map<DEVINST, BYTE> intervalOverride;
  std::unordered_map<DEVINST, ULONG> problemBeforeFilter;

  std::vector<Device>& Devices() { return core.Model().devices; }

  void Ensure() {
    if (!dirty) return;
    index.Rebuild(core.Model());
    dirty = false;
  }

  Device* At(DEVINST devInst) {
    const std::size_t i = index.ByDevInst(devInst);
    return i == DeviceIndex::npos ? nullptr : &Devices()[i];
  }

  bool Fail(DWORD error) {
    core.SetLastError(error);
    return false;
  }

  BOOL Succeed() {
    core.SetLastError(ERROR_SUCCESS);
    return TRUE;
  }

  DevSet* FindSet(HDEVINFO set) {
    auto it = sets.find(HandleValue(set));
    if (it == sets.end() || !core.IsLive(HandleValue(set), ResourceKind::DeviceInfoSet)) {
      Fail(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return &it->second;
  }

  ULONG_PTR NewToken(std::uintptr_t set, DEVINST devInst, int ordinal) {
    const ULONG_PTR token = nextToken++;
    tokens.emplace(token, TokenRef{set, devInst, ordinal});
    return token;
  }

  std::size_t AddElement(std::uintptr_t setHandle, DevSet& set, DEVINST devInst) {
    auto [it, added] = set.position.emplace(devInst, set.elements.size());
    if (added) {
      set.elements.push_back(devInst);
      set.tokens.push_back(NewToken(setHandle, devInst, -1));
    }
    return it->second;
  }

  void Fill(PSP_DEVINFO_DATA data, DEVINST devInst, ULONG_PTR token) {
    const Device* device = At(devInst);
    data->ClassGuid = device != nullptr ? device->classGuid : GUID{};
    data->DevInst = devInst;
    data->Reserved = token;
  }

  // The device a (set, record) pair names, or null with the last error set.
  Device* Element(HDEVINFO set, const SP_DEVINFO_DATA* data, DEVINST* devInst = nullptr) {
    if (FindSet(set) == nullptr) return nullptr;
    if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER), nullptr;
    auto it = tokens.find(data->Reserved);
    if (it == tokens.end() || it->second.set != HandleValue(set) || it->second.ordinal >= 0) {
      return Fail(ERROR_INVALID_PARAMETER), nullptr;
    }
    Device* device = At(it->second.devInst);
    if (device == nullptr) return Fail(ERROR_NO_SUCH_DEVINST), nullptr;
    if (devInst != nullptr) *devInst = it->second.devInst;
    return device;
  }

  // A present node for the CM_ calls, or null with the CONFIGRET in *result.
  Device* Node(DEVINST devInst, CONFIGRET* result) {
    Device* device = At(devInst);
    if (device == nullptr) {
      *result = CR_INVALID_DEVNODE;
      return nullptr;
    }
    if (!device->present) {
      *result = CR_NO_SUCH_DEVNODE;
      return nullptr;
    }
    return device;
  }

  // First present node at or after `position` among a parent's children.
  DEVINST PresentFrom(const std::vector<DEVINST>& children, std::size_t position) {
    for (std::size_t i = position; i < children.size(); ++i) {
      const Device* d = At(children[i]);
      if (d != nullptr && d->present) return children[i];
    }
    return 0;
  }

  std::optional<ValueMap>* KeyValues(Device& device, DWORD keyType) {
    return keyType == DIREG_DRV ? &device.driverKey : &device.hardwareKey;
  }

  // The values behind an open key, or null with the LSTATUS in *status.
  ValueMap* OpenValues(HKEY key, REGSAM need, LSTATUS* status) {
    auto it = keys.find(HandleValue(key));
    if (it == keys.end() || !core.IsLive(HandleValue(key), ResourceKind::RegistryKey)) {
      *status = static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if ((it->second.access & need) != need) {
      *status = static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (!it->second.machinePath.empty()) {
      auto& machineKeys = core.Model().system.machineKeys;
      const auto found = machineKeys.find(it->second.machinePath);
      if (found == machineKeys.end()) {
        *status = static_cast<LSTATUS>(kErrorKeyDeleted);
        return nullptr;
      }
      return &found->second;
    }
    Device* device = At(it->second.devInst);
    std::optional<ValueMap>* values = device == nullptr ? nullptr : KeyValues(*device, it->second.keyType);
    if (values == nullptr || !values->has_value()) {
      *status = static_cast<LSTATUS>(kErrorKeyDeleted);
      return nullptr;
    }
    return &**values;
  }

  const Service* FindService(const std::string& name) {
    for (const Service& service : core.Model().services) {
      if (ToUpperAscii(service.name) == ToUpperAscii(name)) return &service;
    }
    return nullptr;
  }

  bool Restart(const std::string& instanceId);
  void ApplyFilterEffect(std::size_t modelIndex);
  HANDLE OpenDevicePath(const std::string& path, DWORD access, DWORD shareMode, DWORD disposition);
  bool SharingAllows(DEVINST devInst, const GUID& interfaceClass, DWORD access, DWORD shareMode);
  BOOL DeviceIoControl(std::uintptr_t handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD returned);
};

DeviceServices::DeviceServices(SimCore& core) : core_(core), state_(std::make_unique<State>(core)) {
  State& s = *state_;
  core_.openDevicePath = [&s](const std::string& path, DWORD access, DWORD shareMode, DWORD disposition) {
    return s.OpenDevicePath(path, access, shareMode, disposition);
  };
  core_.isDeviceHandle = [&s](std::uintptr_t handle) {
    return s.paths.count(handle) != 0 && s.core.IsLive(handle, ResourceKind::FileHandle);
  };
  core_.deviceIoControl = [&s](std::uintptr_t handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                               DWORD outSize, LPDWORD returned) {
    return s.DeviceIoControl(handle, code, in, inSize, out, outSize, returned);
  };
  core_.restartDevice = [&s](const std::string& instanceId) { return s.Restart(instanceId); };
}

DeviceServices::~DeviceServices() = default;

// ---------------------------------------------------------------------------------
// Device-information sets.

HDEVINFO DeviceServices::SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
  const std::string args = Join(Guid(classGuid), Str(enumerator), Handle(parent), Hex(flags));
  core_.Log("SetupDiGetClassDevsA", args);
  DWORD e;
  if (core_.ShouldFail("SetupDiGetClassDevsA", &e)) {
    core_.SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  State& s = *state_;
  s.Ensure();
  if ((flags & ~kKnownClassDevsFlags) != 0) {
    s.Fail(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  const bool presentOnly = (flags & DIGCF_PRESENT) != 0;
  if (classGuid == nullptr && !allClasses) {
    s.Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool byEnumerator = enumerator != nullptr && enumerator[0] != '\0';
  const std::vector<Device>& devices = s.Devices();

  // The narrowest index answers; the loop below checks every condition again.
  std::vector<std::size_t> own;
  const std::vector<std::size_t>* candidates = &own;
  if (interfaces && byEnumerator) {
    const std::size_t i = s.index.ById(enumerator);
    if (i != DeviceIndex::npos) own.push_back(i);
  } else if (byEnumerator) {
    candidates = &s.index.WithEnumerator(enumerator);
  } else if (!allClasses) {
    candidates = interfaces ? &s.index.WithInterface(*classGuid) : &s.index.WithSetupClass(*classGuid);
  } else {
    own.reserve(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (s.index.DevInstAt(i) != 0) own.push_back(i);
    }
  }

  const std::uintptr_t handle = core_.Acquire(ResourceKind::DeviceInfoSet, "SetupDiGetClassDevsA(" + args + ")");
  State::DevSet& set = s.sets[handle];
  if (!interfaces && !allClasses) set.classGuid = *classGuid;
  const std::string wantedEnumerator = byEnumerator ? ToUpperAscii(enumerator) : std::string();
  for (std::size_t i : *candidates) {
    const Device& device = devices[i];
    if (presentOnly && !device.present) continue;
    if (device.deviceIdError != 0) continue;
    if (interfaces) {
      if (allClasses ? device.interfaces.empty() : !HasInterface(device, *classGuid)) continue;
    } else {
      if (!allClasses && !IsEqualGUID(device.classGuid, *classGuid)) continue;
      if (byEnumerator && ToUpperAscii(EnumeratorOf(device)) != wantedEnumerator) continue;
    }
    s.AddElement(handle, set, s.index.DevInstAt(i));
  }
  s.Succeed();
  return reinterpret_cast<HDEVINFO>(handle);
}

HDEVINFO DeviceServices::SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
  const std::string args = Join(Guid(classGuid), Handle(parent));
  core_.Log("SetupDiCreateDeviceInfoList", args);
  DWORD e;
  if (core_.ShouldFail("SetupDiCreateDeviceInfoList", &e)) {
    core_.SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  const std::uintptr_t handle =
      core_.Acquire(ResourceKind::DeviceInfoSet, "SetupDiCreateDeviceInfoList(" + args + ")");
  State::DevSet& set = state_->sets[handle];
  if (classGuid != nullptr) set.classGuid = *classGuid;
  state_->Succeed();
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL DeviceServices::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  core_.Log("SetupDiEnumDeviceInfo", Join(Handle(set), Dec(index), Rec(data)));
  DWORD e;
  if (core_.ShouldFail("SetupDiEnumDeviceInfo", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  if (data == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= devSet->elements.size()) return s.Fail(ERROR_NO_MORE_ITEMS);
  s.Fill(data, devSet->elements[index], devSet->tokens[index]);
  return s.Succeed();
}

BOOL DeviceServices::SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD openFlags,
                                            PSP_DEVINFO_DATA data) {
  core_.Log("SetupDiOpenDeviceInfoA", Join(Handle(set), Str(instanceId), Handle(parent), Hex(openFlags), Rec(data)));
  DWORD e;
  if (core_.ShouldFail("SetupDiOpenDeviceInfoA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  if ((openFlags & ~kKnownOpenFlags) != 0) return s.Fail(ERROR_INVALID_FLAGS);
  if (instanceId == nullptr || instanceId[0] == '\0') return s.Fail(ERROR_INVALID_DEVINST_NAME);
  if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  const std::size_t i = s.index.ById(instanceId);
  if (i == DeviceIndex::npos) return s.Fail(ERROR_NO_SUCH_DEVINST);
  const Device& device = s.Devices()[i];
  if (device.deviceIdError != 0) return s.Fail(ERROR_NO_SUCH_DEVINST);
  if (devSet->classGuid && !IsEqualGUID(*devSet->classGuid, device.classGuid)) return s.Fail(kErrorClassMismatch);
  const DEVINST devInst = s.index.DevInstAt(i);
  const std::size_t position = s.AddElement(HandleValue(set), *devSet, devInst);
  if (data != nullptr) s.Fill(data, devInst, devSet->tokens[position]);
  return s.Succeed();
}

BOOL DeviceServices::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  core_.Log("SetupDiDestroyDeviceInfoList", Handle(set));
  DWORD e;
  if (core_.ShouldFail("SetupDiDestroyDeviceInfoList", &e)) return state_->Fail(e);
  State& s = *state_;
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  for (ULONG_PTR token : devSet->tokens) s.tokens.erase(token);
  for (const auto& [key, token] : devSet->interfaceTokens) s.tokens.erase(token);
  s.sets.erase(HandleValue(set));
  core_.Release(HandleValue(set));
  return s.Succeed();
}

// ---------------------------------------------------------------------------------
// Instance IDs and registry properties.

BOOL DeviceServices::SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, LPSTR buffer,
                                                 DWORD bufferSize, PDWORD requiredSize) {
  core_.Log("SetupDiGetDeviceInstanceIdA",
            Join(Handle(set), Rec(data), Buffer(buffer, bufferSize), Dec(bufferSize), Out(requiredSize)));
  DWORD e;
  if (core_.ShouldFail("SetupDiGetDeviceInstanceIdA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  const Device* device = s.Element(set, data);
  if (device == nullptr) return FALSE;
  if (buffer == nullptr && bufferSize != 0) return s.Fail(ERROR_INVALID_USER_BUFFER);
  const DWORD need = static_cast<DWORD>(device->instanceId.size() + 1);
  if (requiredSize != nullptr) *requiredSize = need;
  if (bufferSize < need) return s.Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, device->instanceId.c_str(), need);
  return s.Succeed();
}

BOOL DeviceServices::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                       PDWORD regType, PBYTE buffer, DWORD bufferSize,
                                                       PDWORD requiredSize) {
  core_.Log("SetupDiGetDeviceRegistryPropertyA", Join(Handle(set), Rec(data), Dec(property), Out(regType),
                                                      Buffer(buffer, bufferSize), Dec(bufferSize), Out(requiredSize)));
  DWORD e;
  if (core_.ShouldFail("SetupDiGetDeviceRegistryPropertyA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  const Device* device = s.Element(set, data);
  if (device == nullptr) return FALSE;
  if (property >= kSpdrpMaximumProperty) return s.Fail(ERROR_INVALID_REG_PROPERTY);
  if (buffer == nullptr && bufferSize != 0) return s.Fail(ERROR_INVALID_USER_BUFFER);
  RegValue derived;
  const RegValue* value = nullptr;
  auto it = device->properties.find(property);
  if (it != device->properties.end()) {
    value = &it->second;
  } else if (property == SPDRP_CLASSGUID && !IsEqualGUID(device->classGuid, GUID{})) {
    derived = RegValue::String(GuidToString(device->classGuid));
    value = &derived;
  }
  if (value == nullptr) return s.Fail(ERROR_INVALID_DATA);
  if (value->readError != 0) return s.Fail(value->readError);
  const DWORD need = static_cast<DWORD>(value->data.size());
  if (regType != nullptr) *regType = value->type;
  if (requiredSize != nullptr) *requiredSize = need;
  if (bufferSize < need) return s.Fail(ERROR_INSUFFICIENT_BUFFER);
  if (need != 0) std::memcpy(buffer, value->data.data(), need);
  return s.Succeed();
}

BOOL DeviceServices::SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                       const BYTE* buffer, DWORD bufferSize) {
  core_.Log("SetupDiSetDeviceRegistryPropertyA",
            Join(Handle(set), Rec(data), Dec(property), Buffer(buffer, bufferSize), Dec(bufferSize)));
  DWORD e;
  if (core_.ShouldFail("SetupDiSetDeviceRegistryPropertyA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  Device* device = s.Element(set, data);
  if (device == nullptr) return FALSE;
  if (!IsWritableProperty(property)) return s.Fail(ERROR_INVALID_REG_PROPERTY);
  if (buffer == nullptr && bufferSize != 0) return s.Fail(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr || bufferSize == 0) {
    device->properties.erase(property);
    return s.Succeed();
  }
  const DWORD type = IsMultiStringProperty(property) ? REG_MULTI_SZ : REG_SZ;
  device->properties[property] = RegValue::Binary(std::vector<BYTE>(buffer, buffer + bufferSize), type);
  if (property == SPDRP_ENUMERATOR_NAME) s.dirty = true;
  return s.Succeed();
}

// ---------------------------------------------------------------------------------
// Device registry keys.

HKEY DeviceServices::SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD hwProfile,
                                          DWORD keyType, REGSAM access) {
  core_.Log("SetupDiOpenDevRegKey",
            Join(Handle(set), Rec(data), Hex(scope), Dec(hwProfile), Dec(keyType), Hex(access)));
  DWORD e;
  if (core_.ShouldFail("SetupDiOpenDevRegKey", &e)) {
    core_.SetLastError(e);
    return InvalidKey();
  }
  State& s = *state_;
  s.Ensure();
  DEVINST devInst = 0;
  Device* device = s.Element(set, data, &devInst);
  if (device == nullptr) return InvalidKey();
  if ((scope != DICS_FLAG_GLOBAL && scope != DICS_FLAG_CONFIGSPECIFIC) ||
      (keyType != DIREG_DEV && keyType != DIREG_DRV)) {
    s.Fail(ERROR_INVALID_FLAGS);
    return InvalidKey();
  }
  // A configuration-specific key is the device's key below the hardware profile, a
  // key of its own that only SetupDiCreateDevRegKey makes; no device here has one.
  const DWORD openError = keyType == DIREG_DRV ? device->driverKeyError : device->hardwareKeyError;
  if (scope == DICS_FLAG_GLOBAL && openError != 0) {
    s.Fail(openError);
    return InvalidKey();
  }
  if (scope == DICS_FLAG_CONFIGSPECIFIC || !s.KeyValues(*device, keyType)->has_value()) {
    s.Fail(ERROR_KEY_DOES_NOT_EXIST);
    return InvalidKey();
  }
  const std::uintptr_t key = core_.Acquire(
      ResourceKind::RegistryKey, std::string(KeyTypeName(keyType)) + " key of " + device->instanceId);
  s.keys.emplace(key, State::OpenKey{devInst, keyType, access, {}});
  s.Succeed();
  return reinterpret_cast<HKEY>(key);
}

LSTATUS DeviceServices::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                         LPDWORD dataSize) {
  const DWORD sizeIn = dataSize != nullptr ? *dataSize : 0;
  core_.Log("RegQueryValueExA",
            Join(Handle(key), Str(valueName), Out(reserved), Out(type), Buffer(data, sizeIn), Out(dataSize)));
  DWORD e;
  if (core_.ShouldFail("RegQueryValueExA", &e)) return static_cast<LSTATUS>(e);
  State& s = *state_;
  s.Ensure();
  LSTATUS status = ERROR_SUCCESS;
  const ValueMap* values = s.OpenValues(key, KEY_QUERY_VALUE, &status);
  if (values == nullptr) return status;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  auto it = values->find(valueName != nullptr ? valueName : "");
  if (it == values->end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = it->second;
  if (value.readError != 0) return static_cast<LSTATUS>(value.readError);
  const DWORD need = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = need;
    return ERROR_SUCCESS;
  }
  *dataSize = need;
  if (sizeIn < need) return ERROR_MORE_DATA;
  if (need != 0) std::memcpy(data, value.data.data(), need);
  return ERROR_SUCCESS;
}

LSTATUS DeviceServices::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                       DWORD dataSize) {
  core_.Log("RegSetValueExA",
            Join(Handle(key), Str(valueName), Dec(reserved), Dec(type), Buffer(data, dataSize), Dec(dataSize)));
  DWORD e;
  if (core_.ShouldFail("RegSetValueExA", &e)) return static_cast<LSTATUS>(e);
  State& s = *state_;
  s.Ensure();
  LSTATUS status = ERROR_SUCCESS;
  ValueMap* values = s.OpenValues(key, KEY_SET_VALUE, &status);
  if (values == nullptr) return status;
  if (data == nullptr && dataSize != 0) return static_cast<LSTATUS>(kErrorNoAccess);
  std::vector<BYTE> bytes;
  if (data != nullptr) bytes.assign(data, data + dataSize);
  (*values)[valueName != nullptr ? valueName : ""] = RegValue::Binary(std::move(bytes), type);
  return ERROR_SUCCESS;
}

LSTATUS DeviceServices::RegDeleteValueA(HKEY key, LPCSTR valueName) {
  core_.Log("RegDeleteValueA", Join(Handle(key), Str(valueName)));
  DWORD e;
  if (core_.ShouldFail("RegDeleteValueA", &e)) return static_cast<LSTATUS>(e);
  State& s = *state_;
  s.Ensure();
  LSTATUS status = ERROR_SUCCESS;
  ValueMap* values = s.OpenValues(key, KEY_SET_VALUE, &status);
  if (values == nullptr) return status;
  return values->erase(valueName != nullptr ? valueName : "") != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS DeviceServices::RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  core_.Log("RegOpenKeyExA", Join(root == HKEY_LOCAL_MACHINE ? std::string("HKEY_LOCAL_MACHINE") : Handle(root),
                                  Str(subKey), Dec(options), Hex(access), Out(result)));
  DWORD e;
  if (core_.ShouldFail("RegOpenKeyExA", &e)) return static_cast<LSTATUS>(e);
  if (result == nullptr || subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  auto& machineKeys = core_.Model().system.machineKeys;
  const auto found = machineKeys.find(subKey);
  if (found == machineKeys.end()) return ERROR_FILE_NOT_FOUND;
  const std::uintptr_t key = core_.Acquire(ResourceKind::RegistryKey, "HKEY_LOCAL_MACHINE\\" + found->first);
  state_->keys.emplace(key, State::OpenKey{0, 0, access, found->first});
  *result = reinterpret_cast<HKEY>(key);
  return ERROR_SUCCESS;
}

LSTATUS DeviceServices::RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                                        REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                        LPDWORD disposition) {
  core_.Log("RegCreateKeyExA",
            Join(root == HKEY_LOCAL_MACHINE ? std::string("HKEY_LOCAL_MACHINE") : Handle(root), Str(subKey),
                 Dec(reserved), Str(className), Dec(options), Hex(access), security == nullptr ? "null" : "out",
                 Out(result), Out(disposition)));
  DWORD e;
  if (core_.ShouldFail("RegCreateKeyExA", &e)) return static_cast<LSTATUS>(e);
  if (result == nullptr || subKey == nullptr || *subKey == '\0' || reserved != 0) return ERROR_INVALID_PARAMETER;
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  auto& machineKeys = core_.Model().system.machineKeys;
  auto found = machineKeys.find(subKey);
  const bool created = found == machineKeys.end();
  if (created) found = machineKeys.emplace(subKey, ValueMap{}).first;
  const std::uintptr_t key = core_.Acquire(ResourceKind::RegistryKey, "HKEY_LOCAL_MACHINE\\" + found->first);
  state_->keys.emplace(key, State::OpenKey{0, 0, access, found->first});
  *result = reinterpret_cast<HKEY>(key);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS DeviceServices::RegCloseKey(HKEY key) {
  core_.Log("RegCloseKey", Handle(key));
  DWORD e;
  if (core_.ShouldFail("RegCloseKey", &e)) return static_cast<LSTATUS>(e);
  State& s = *state_;
  auto it = s.keys.find(HandleValue(key));
  if (it == s.keys.end() || !core_.IsLive(HandleValue(key), ResourceKind::RegistryKey)) return ERROR_INVALID_HANDLE;
  s.keys.erase(it);
  core_.Release(HandleValue(key));
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------
// Device interfaces.

BOOL DeviceServices::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClass,
                                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  core_.Log("SetupDiEnumDeviceInterfaces",
            Join(Handle(set), Rec(data), Guid(interfaceClass), Dec(memberIndex), Rec(interfaceData)));
  DWORD e;
  if (core_.ShouldFail("SetupDiEnumDeviceInterfaces", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  DEVINST only = 0;
  if (data != nullptr && s.Element(set, data, &only) == nullptr) return FALSE;
  if (interfaceClass == nullptr || interfaceData == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return s.Fail(ERROR_INVALID_USER_BUFFER);

  // Walks the interfaces of the class: of one element, or of every element in order.
  DWORD seen = 0;
  auto visit = [&](DEVINST devInst) -> bool {
    const Device* device = s.At(devInst);
    if (device == nullptr) return false;
    for (std::size_t k = 0; k < device->interfaces.size(); ++k) {
      if (!IsEqualGUID(device->interfaces[k], *interfaceClass)) continue;
      if (seen++ != memberIndex) continue;
      const std::uint64_t key = (static_cast<std::uint64_t>(devInst) << 16) | k;
      auto [it, added] = devSet->interfaceTokens.emplace(key, 0);
      if (added) it->second = s.NewToken(HandleValue(set), devInst, static_cast<int>(k));
      interfaceData->InterfaceClassGuid = *interfaceClass;
      interfaceData->Flags = device->present ? kSpintActive : 0;
      interfaceData->Reserved = it->second;
      return true;
    }
    return false;
  };
  if (only != 0) {
    if (visit(only)) return s.Succeed();
  } else {
    for (DEVINST devInst : devSet->elements) {
      if (visit(devInst)) return s.Succeed();
    }
  }
  return s.Fail(ERROR_NO_MORE_ITEMS);
}

BOOL DeviceServices::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                      PDWORD requiredSize, PSP_DEVINFO_DATA data) {
  core_.Log("SetupDiGetDeviceInterfaceDetailA", Join(Handle(set), Rec(interfaceData), Rec(detail), Dec(detailSize),
                                                     Out(requiredSize), Rec(data)));
  DWORD e;
  if (core_.ShouldFail("SetupDiGetDeviceInterfaceDetailA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  if (interfaceData == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  auto it = s.tokens.find(interfaceData->Reserved);
  if (it == s.tokens.end() || it->second.set != HandleValue(set) || it->second.ordinal < 0) {
    return s.Fail(ERROR_INVALID_PARAMETER);
  }
  constexpr DWORD fixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (detail == nullptr && detailSize != 0) return s.Fail(ERROR_INVALID_USER_BUFFER);
  if (detail != nullptr && (detailSize < fixedPart + 1 || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) {
    return s.Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  const DEVINST devInst = it->second.devInst;
  const Device* device = s.At(devInst);
  if (device == nullptr || static_cast<std::size_t>(it->second.ordinal) >= device->interfaces.size()) {
    return s.Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
  }
  const std::string path = DeviceInterfacePath(device->instanceId, device->interfaces[it->second.ordinal]);
  const DWORD need = fixedPart + static_cast<DWORD>(path.size()) + 1;
  if (requiredSize != nullptr) *requiredSize = need;
  if (data != nullptr) {
    const std::size_t position = s.AddElement(HandleValue(set), *devSet, devInst);
    s.Fill(data, devInst, devSet->tokens[position]);
  }
  if (detail == nullptr || detailSize < need) return s.Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(reinterpret_cast<char*>(detail) + fixedPart, path.c_str(), path.size() + 1);
  return s.Succeed();
}

namespace {

// The Windows values, named apart from the macros of the Windows headers.
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kReadAccess = GENERIC_READ | kGenericAll | 0x1;            // FILE_READ_DATA
constexpr DWORD kWriteAccess = GENERIC_WRITE | kGenericAll | 0x2 | 0x4;    // FILE_WRITE_DATA, FILE_APPEND_DATA
constexpr DWORD kDeleteAccess = kGenericAll | 0x10000;                     // DELETE
constexpr DWORD kShareDelete = 0x4;
constexpr DWORD kCreateNew = 1;
constexpr DWORD kCreateAlways = 2;
constexpr DWORD kOpenAlways = 4;
constexpr DWORD kTruncateExisting = 5;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorAlreadyExists = 183;

// The share mode `shareMode` lets another open with `access` in.
bool Admits(DWORD shareMode, DWORD access) {
  return ((access & kReadAccess) == 0 || (shareMode & FILE_SHARE_READ) != 0) &&
         ((access & kWriteAccess) == 0 || (shareMode & FILE_SHARE_WRITE) != 0) &&
         ((access & kDeleteAccess) == 0 || (shareMode & kShareDelete) != 0);
}

}  // namespace

bool DeviceServices::State::SharingAllows(DEVINST devInst, const GUID& interfaceClass, DWORD access,
                                          DWORD shareMode) {
  // Opens without data access (attributes only) take no part in sharing.
  constexpr DWORD kDataAccess = kReadAccess | kWriteAccess | kDeleteAccess;
  if ((access & kDataAccess) == 0) return true;
  for (const auto& [handle, open] : paths) {
    if ((open.access & kDataAccess) == 0) continue;
    if (open.devInst != devInst || std::memcmp(&open.interfaceClass, &interfaceClass, sizeof(GUID)) != 0) continue;
    if (!core.IsLive(handle, ResourceKind::FileHandle)) continue;
    if (!Admits(open.shareMode, access) || !Admits(shareMode, open.access)) return false;
  }
  return true;
}

// As the I/O manager opens a device object: parameters first, then the name, then
// what the disposition asks of an object that exists and cannot be replaced, then
// the share modes of the handles already open on it.
HANDLE DeviceServices::State::OpenDevicePath(const std::string& path, DWORD access, DWORD shareMode,
                                             DWORD disposition) {
  Ensure();
  if (disposition < kCreateNew || disposition > kTruncateExisting ||
      (shareMode & ~DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | kShareDelete}) != 0 ||
      (disposition == kTruncateExisting && (access & (GENERIC_WRITE | kGenericAll)) == 0)) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string prefix = "\\\\?\\";
  const std::size_t hash = path.rfind('#');
  const bool shaped = path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                      hash != std::string::npos && hash > prefix.size();
  const Device* device = nullptr;
  std::optional<GUID> guid;
  std::size_t i = DeviceIndex::npos;
  if (shaped) {
    guid = GuidFromString(path.substr(hash + 1));
    std::string id = path.substr(prefix.size(), hash - prefix.size());
    std::replace(id.begin(), id.end(), '#', '\\');
    i = index.ById(id);
    if (i != DeviceIndex::npos) device = &Devices()[i];
  }
  if (!guid || device == nullptr || !device->present || !HasInterface(*device, *guid) ||
      ToUpperAscii(DeviceInterfacePath(device->instanceId, *guid)) != ToUpperAscii(path)) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (IsEqualGUID(*guid, guids::InterfaceUsbHub) && device->hub && device->hub->openError != 0) {
    Fail(device->hub->openError);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == kCreateNew) {
    Fail(kErrorFileExists);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == kCreateAlways || disposition == kTruncateExisting) {
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const DEVINST devInst = index.DevInstAt(i);
  if (!SharingAllows(devInst, *guid, access, shareMode)) {
    Fail(kErrorSharingViolation);
    return INVALID_HANDLE_VALUE;
  }
  const std::uintptr_t handle = core.Acquire(ResourceKind::FileHandle, "CreateFileA(\"" + path + "\")");
  paths.emplace(handle, OpenPath{devInst, *guid, access, shareMode});
  if (disposition == kOpenAlways) core.SetLastError(kErrorAlreadyExists);
  if (paths.size() >= pathSweepAt) {
    // The file side closes these handles; forget the ones it has released.
    std::erase_if(paths, [this](const auto& entry) { return !core.IsLive(entry.first, ResourceKind::FileHandle); });
    pathSweepAt = std::max<std::size_t>(64, 2 * paths.size());
  }
  return reinterpret_cast<HANDLE>(handle);
}

BOOL DeviceServices::State::DeviceIoControl(std::uintptr_t handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                            DWORD outSize, LPDWORD returned) {
  Ensure();
  DWORD ignored = 0;
  DWORD& bytes = returned != nullptr ? *returned : ignored;
  bytes = 0;
  auto it = paths.find(handle);
  if (it == paths.end() || !core.IsLive(handle, ResourceKind::FileHandle)) return Fail(ERROR_INVALID_HANDLE);
  const std::size_t hubIndex = index.ByDevInst(it->second.devInst);
  const Device* hub = hubIndex == DeviceIndex::npos ? nullptr : &Devices()[hubIndex];
  if (hub == nullptr || !hub->present) return Fail(kErrorDeviceNotConnected);
  if (!hub->hub || !IsEqualGUID(it->second.interfaceClass, guids::InterfaceUsbHub)) {
    return Fail(ERROR_INVALID_FUNCTION);
  }
  const PortLookup ports = [this, hub, hubIndex](ULONG port) {
    PortView view;
    const std::size_t c = index.ConnectionOfPort(hubIndex, port);
    if (c == DeviceIndex::npos) return view;
    view.connection = &hub->hub->connections[c];
    const std::string& attached = view.connection->device;
    const std::size_t d = attached.empty() ? DeviceIndex::npos : index.ById(attached);
    if (d != DeviceIndex::npos && Devices()[d].present) {
      view.device = &Devices()[d];
      auto o = intervalOverride.find(index.DevInstAt(d));
      if (o != intervalOverride.end()) view.intervalOverride = o->second;
    }
    return view;
  };
  DWORD error = 0;
  if (!AnswerHubControl(*hub->hub, ports, code, in, inSize, out, outSize, &bytes, &error)) return Fail(error);
  return Succeed();
}

// ---------------------------------------------------------------------------------
// Class installer, restart and the filter driver's effect.

BOOL DeviceServices::SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                   PSP_CLASSINSTALL_HEADER params, DWORD paramsSize) {
  core_.Log("SetupDiSetClassInstallParamsA", Join(Handle(set), Rec(data), Rec(params), Dec(paramsSize)));
  DWORD e;
  if (core_.ShouldFail("SetupDiSetClassInstallParamsA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  DEVINST devInst = 0;
  if (data != nullptr && s.Element(set, data, &devInst) == nullptr) return FALSE;
  if (params == nullptr) {
    if (paramsSize != 0) return s.Fail(ERROR_INVALID_PARAMETER);
    if (devInst != 0) devSet->params.erase(devInst);
    else devSet->setParams.reset();
    return s.Succeed();
  }
  if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  if (params->InstallFunction != DIF_PROPERTYCHANGE || paramsSize != sizeof(SP_PROPCHANGE_PARAMS)) {
    return s.Fail(ERROR_INVALID_PARAMETER);
  }
  SP_PROPCHANGE_PARAMS copy;
  std::memcpy(&copy, params, sizeof(copy));
  if (devInst != 0) devSet->params[devInst] = copy;
  else devSet->setParams = copy;
  return s.Succeed();
}

BOOL DeviceServices::SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) {
  core_.Log("SetupDiCallClassInstaller", Join(Hex(function), Handle(set), Rec(data)));
  DWORD e;
  if (core_.ShouldFail("SetupDiCallClassInstaller", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  DEVINST devInst = 0;
  if (data == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  Device* device = s.Element(set, data, &devInst);
  if (device == nullptr) return FALSE;
  if (function != DIF_PROPERTYCHANGE) return s.Fail(ERROR_DI_DO_DEFAULT);
  auto it = devSet->params.find(devInst);
  const SP_PROPCHANGE_PARAMS* params =
      it != devSet->params.end() ? &it->second : (devSet->setParams ? &*devSet->setParams : nullptr);
  if (params == nullptr || params->StateChange != DICS_PROPCHANGE) return s.Fail(ERROR_INVALID_PARAMETER);
  if (!device->present) return s.Fail(ERROR_NO_SUCH_DEVINST);
  if (device->needsReboot) {
    devSet->rebootNeeded.insert(devInst);
    return s.Succeed();
  }
  const std::string instanceId = device->instanceId;
  if (!s.Restart(instanceId)) return s.Fail(ERROR_NO_SUCH_DEVINST);
  return s.Succeed();
}

BOOL DeviceServices::SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                    PSP_DEVINSTALL_PARAMS_A params) {
  core_.Log("SetupDiGetDeviceInstallParamsA", Join(Handle(set), Rec(data), Rec(params)));
  DWORD e;
  if (core_.ShouldFail("SetupDiGetDeviceInstallParamsA", &e)) return state_->Fail(e);
  State& s = *state_;
  s.Ensure();
  State::DevSet* devSet = s.FindSet(set);
  if (devSet == nullptr) return FALSE;
  DEVINST devInst = 0;
  if (data != nullptr && s.Element(set, data, &devInst) == nullptr) return FALSE;
  if (params == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) return s.Fail(ERROR_INVALID_USER_BUFFER);
  std::memset(reinterpret_cast<BYTE*>(params) + sizeof(DWORD), 0, sizeof(SP_DEVINSTALL_PARAMS_A) - sizeof(DWORD));
  if (devInst != 0 && devSet->rebootNeeded.count(devInst) != 0) params->Flags = DI_NEEDREBOOT;
  return s.Succeed();
}

bool DeviceServices::State::Restart(const std::string& instanceId) {
  Ensure();
  const std::size_t i = index.ById(instanceId);
  if (i == DeviceIndex::npos || !Devices()[i].present) return false;
  const DEVINST devInst = index.DevInstAt(i);
  ++restarts[devInst];

  // Removal: the device and every present node below it go away, by instance ID,
  // since the device-change handler may change the model.
  std::vector<std::string> removed;
  std::vector<std::size_t> pending{i};
  while (!pending.empty()) {
    const std::size_t at = pending.back();
    pending.pop_back();
    Device& node = Devices()[at];
    if (!node.present) continue;
    node.present = false;
    removed.push_back(node.instanceId);
    for (DEVINST child : index.ChildrenOf(at)) pending.push_back(index.ByDevInst(child));
  }
  if (core.deviceEvent) {
    for (const std::string& id : removed) core.deviceEvent(false, id);
  }
  if (core.deviceChanged) core.deviceChanged();

  Ensure();
  const std::size_t again = index.ById(instanceId);
  if (again != DeviceIndex::npos) {
    ApplyFilterEffect(again);
    Device& device = Devices()[again];
    if (device.problemAfterRestart != 0) device.problem = device.problemAfterRestart;
  }
  std::vector<std::string> arrived;
  for (const std::string& id : removed) {
    const std::size_t at = index.ById(id);
    if (at == DeviceIndex::npos) continue;
    Devices()[at].present = true;
    arrived.push_back(id);
  }
  if (core.deviceEvent) {
    for (const std::string& id : arrived) core.deviceEvent(true, id);
  }
  if (core.deviceChanged) core.deviceChanged();
  return true;
}

void DeviceServices::State::ApplyFilterEffect(std::size_t modelIndex) {
  Device& device = Devices()[modelIndex];
  const DEVINST devInst = index.DevInstAt(modelIndex);
  const bool nt = core.Model().system.platformId == VER_PLATFORM_WIN32_NT;

  const RegValue* filters = nullptr;
  if (nt) {
    auto it = device.properties.find(SPDRP_LOWERFILTERS);
    if (it != device.properties.end()) filters = &it->second;
  } else if (device.hardwareKey) {
    auto it = device.hardwareKey->find("LowerFilters");
    if (it != device.hardwareKey->end()) filters = &it->second;
  }
  const std::string entry = nt ? "MORVANE" : "MORVANE.SYS";
  bool listed = false;
  if (filters != nullptr) {
    std::string current;
    for (std::size_t k = 0; k <= filters->data.size() && !listed; ++k) {
      const char c = k < filters->data.size() ? static_cast<char>(filters->data[k]) : '\0';
      if (c != '\0') {
        current.push_back(c);
        continue;
      }
      listed = ToUpperAscii(current) == entry;
      current.clear();
    }
  }

  // The problem the device had on its own, before a failing filter replaced it.
  auto before = problemBeforeFilter.find(devInst);
  const ULONG ownProblem = before != problemBeforeFilter.end() ? before->second : device.problem;
  problemBeforeFilter.erase(devInst);
  intervalOverride.erase(devInst);
  device.problem = ownProblem;
  if (!listed) return;
  if (device.problemWithFilter != 0) {
    problemBeforeFilter[devInst] = ownProblem;
    device.problem = device.problemWithFilter;
    return;
  }

  Service* service = nullptr;
  for (Service& candidate : core.Model().services) {
    if (ToUpperAscii(candidate.name) == "MORVANE") service = &candidate;
  }
  if (service == nullptr || service->startType == SERVICE_DISABLED || service->startError != 0) {
    problemBeforeFilter[devInst] = ownProblem;
    device.problem = CM_PROB_DRIVER_FAILED_LOAD;
    return;
  }
  service->state = SERVICE_RUNNING;
  if (!device.driverKey) return;
  auto value = device.driverKey->find("bInterval");
  if (value == device.driverKey->end() || value->second.data.size() != 4) return;
  DWORD interval;
  std::memcpy(&interval, value->second.data.data(), 4);
  if (interval != 0) intervalOverride[devInst] = static_cast<BYTE>(std::min<DWORD>(interval, 255));
}

// ---------------------------------------------------------------------------------
// INF files.

HINF DeviceServices::SetupOpenInfFileA(LPCSTR fileName, LPCSTR infClass, DWORD infStyle, PUINT errorLine) {
  core_.Log("SetupOpenInfFileA", Join(Str(fileName), Str(infClass), Hex(infStyle), Out(errorLine)));
  DWORD e;
  if (core_.ShouldFail("SetupOpenInfFileA", &e)) {
    core_.SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  if (fileName == nullptr) {
    state_->Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = ResolvePath(core_.Model().system.currentDirectory, fileName);
  const File* file = FindModelFile(core_.Model(), path);
  if (file == nullptr || !HasExtension(file->path, ".inf")) {
    state_->Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (errorLine != nullptr) *errorLine = 0;
  const std::uintptr_t inf = core_.Acquire(ResourceKind::InfFile, "SetupOpenInfFileA(\"" + file->path + "\")");
  state_->Succeed();
  return reinterpret_cast<HINF>(inf);
}

void DeviceServices::SetupCloseInfFile(HINF inf) {
  core_.Log("SetupCloseInfFile", Handle(inf));
  DWORD e;
  if (core_.ShouldFail("SetupCloseInfFile", &e)) return;
  if (core_.IsLive(HandleValue(inf), ResourceKind::InfFile)) core_.Release(HandleValue(inf));
}

void DeviceServices::InstallHinfSectionA(HWND window, HINSTANCE module, LPCSTR commandLine, INT show) {
  core_.Log("InstallHinfSectionA", Join(Handle(window), Handle(module), Str(commandLine), SignedDec(show)));
  DWORD e;
  if (core_.ShouldFail("InstallHinfSectionA", &e)) {
    core_.SetLastError(e);
    return;
  }
  const std::optional<HinfCommand> command = ParseHinfCommand(commandLine != nullptr ? commandLine : "");
  if (!command || ToUpperAscii(command->section) != "DEFAULTINSTALL") {
    state_->Fail(ERROR_SECTION_NOT_FOUND);
    return;
  }
  const std::string path = ResolvePath(core_.Model().system.currentDirectory, command->path);
  if (!core_.installInf || !core_.installInf(path)) {
    state_->Fail(ERROR_FILE_NOT_FOUND);
    return;
  }
  state_->Succeed();
}

// ---------------------------------------------------------------------------------
// Configuration manager.

CONFIGRET DeviceServices::CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) {
  core_.Log("CM_Get_Device_ID_Size", Join(Out(length), Dec(devInst), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_Device_ID_Size", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (length == nullptr) return CR_INVALID_POINTER;
  *length = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  const Device* device = s.Node(devInst, &result);
  if (device == nullptr) return result;
  if (device->deviceIdError != 0) return device->deviceIdError;
  *length = static_cast<ULONG>(device->instanceId.size());
  return CR_SUCCESS;
}

CONFIGRET DeviceServices::CM_Get_Device_IDA(DEVINST devInst, LPSTR buffer, ULONG bufferLength, ULONG flags) {
  core_.Log("CM_Get_Device_IDA", Join(Dec(devInst), Buffer(buffer, bufferLength), Dec(bufferLength), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_Device_IDA", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (buffer == nullptr) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  const Device* device = s.Node(devInst, &result);
  if (device == nullptr) return result;
  if (device->deviceIdError != 0) return device->deviceIdError;
  if (bufferLength < device->instanceId.size() + 1) return CR_BUFFER_SMALL;
  std::memcpy(buffer, device->instanceId.c_str(), device->instanceId.size() + 1);
  return CR_SUCCESS;
}

CONFIGRET DeviceServices::CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
  core_.Log("CM_Get_DevNode_Status", Join(Out(status), Out(problem), Dec(devInst), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_DevNode_Status", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (status == nullptr || problem == nullptr) return CR_INVALID_POINTER;
  *status = 0;
  *problem = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  const Device* device = s.Node(devInst, &result);
  if (device == nullptr) return result;
  if (device->statusFails) return CR_NO_SUCH_VALUE;
  ULONG flagsOut = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  if (device->problem != 0) flagsOut |= DN_HAS_PROBLEM;
  *status = device->status.value_or(flagsOut);
  *problem = device->problem;
  return CR_SUCCESS;
}

CONFIGRET DeviceServices::CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) {
  core_.Log("CM_Get_Parent", Join(Out(parent), Dec(devInst), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_Parent", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (parent == nullptr) return CR_INVALID_POINTER;
  *parent = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  const Device* device = s.Node(devInst, &result);
  if (device == nullptr) return result;
  if (device->parentError != 0) return device->parentError;
  const DEVINST up = s.index.ParentOf(s.index.ByDevInst(devInst));
  const Device* upper = s.At(up);
  if (up == 0 || upper == nullptr || !upper->present) return CR_NO_SUCH_DEVNODE;
  *parent = up;
  return CR_SUCCESS;
}

CONFIGRET DeviceServices::CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags) {
  core_.Log("CM_Get_Child", Join(Out(child), Dec(devInst), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_Child", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (child == nullptr) return CR_INVALID_POINTER;
  *child = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  if (s.Node(devInst, &result) == nullptr) return result;
  const DEVINST first = s.PresentFrom(s.index.ChildrenOf(s.index.ByDevInst(devInst)), 0);
  if (first == 0) return CR_NO_SUCH_DEVNODE;
  *child = first;
  return CR_SUCCESS;
}

CONFIGRET DeviceServices::CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) {
  core_.Log("CM_Get_Sibling", Join(Out(sibling), Dec(devInst), Hex(flags)));
  DWORD e;
  if (core_.ShouldFail("CM_Get_Sibling", &e)) return CmFault(e);
  State& s = *state_;
  s.Ensure();
  if (sibling == nullptr) return CR_INVALID_POINTER;
  *sibling = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  CONFIGRET result = CR_SUCCESS;
  if (s.Node(devInst, &result) == nullptr) return result;
  const std::size_t i = s.index.ByDevInst(devInst);
  const std::size_t parent = s.index.ByDevInst(s.index.ParentOf(i));
  if (s.index.ParentOf(i) == 0 || parent == DeviceIndex::npos) return CR_NO_SUCH_DEVNODE;
  const DEVINST next = s.PresentFrom(s.index.ChildrenOf(parent), s.index.PositionInParent(i) + 1);
  if (next == 0) return CR_NO_SUCH_DEVNODE;
  *sibling = next;
  return CR_SUCCESS;
}

// ---------------------------------------------------------------------------------
// Observation.

void DeviceServices::Reindex() { state_->dirty = true; }

DEVINST DeviceServices::DevInstOf(const std::string& instanceId) const {
  state_->Ensure();
  return state_->index.DevInstOf(instanceId);
}

std::size_t DeviceServices::SetSize(HDEVINFO set) const {
  auto it = state_->sets.find(HandleValue(set));
  return it == state_->sets.end() ? 0 : it->second.elements.size();
}

bool DeviceServices::RestartDevice(const std::string& instanceId) { return state_->Restart(instanceId); }

std::size_t DeviceServices::RestartCount(const std::string& instanceId) const {
  state_->Ensure();
  auto it = state_->restarts.find(state_->index.DevInstOf(instanceId));
  return it == state_->restarts.end() ? 0 : it->second;
}

}  // namespace sim
