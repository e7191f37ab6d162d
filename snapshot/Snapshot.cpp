#include "snapshot/Snapshot.h"

#include <algorithm>
#include <cstdint>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <queue>
#include <set>
#include <string_view>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/AsciiText.h"
#include "devices/DeviceTables.h"
#include "devices/Diagnosis.h"
#include "devices/Journal.h"
#include "devices/DriverReport.h"
#include "devices/HubLayout.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFilterService = "morvane";
constexpr DWORD kFirstReadSize = 1024;
constexpr DWORD kLargestValue = 1024 * 1024;
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr const char* kUnreachableRoot = "UNREADABLE\\ROOT";
constexpr WORD kVersionResourceId = 1;  // the version resource the program reads
constexpr std::size_t kConnectionStatusOffset = 31;
static_assert(kConnectionStatusOffset == hub::kNumberOfOpenPipesOffset + 4);

// The properties the program reads, with their machine-file names.
struct PropertyName {
  DWORD code;
  const char* name;
};
constexpr std::array<PropertyName, 8> kProperties = {{{SPDRP_DEVICEDESC, "DeviceDesc"},
                                                      {SPDRP_HARDWAREID, "HardwareID"},
                                                      {SPDRP_SERVICE, "Service"},
                                                      {SPDRP_DRIVER, "Driver"},
                                                      {SPDRP_FRIENDLYNAME, "FriendlyName"},
                                                      {SPDRP_LOWERFILTERS, "LowerFilters"},
                                                      {SPDRP_ENUMERATOR_NAME, "EnumeratorName"},
                                                      {SPDRP_ADDRESS, "Address"}}};

struct NamedGuid {
  const GUID* guid;
  const char* name;
};
// The interfaces the program tests, in the order the file lists them.
const std::array<NamedGuid, 4> kInterfaces = {{{&GUID_DEVINTERFACE_USB_DEVICE, "USB_DEVICE"},
                                               {&GUID_DEVINTERFACE_USB_HUB, "USB_HUB"},
                                               {&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, "USB_HOST_CONTROLLER"},
                                               {&GUID_DEVINTERFACE_HID, "HID"}}};

constexpr GUID kClassUsb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kClassHid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
constexpr GUID kClassSystem = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kClassDiskDrive = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const std::array<NamedGuid, 6> kSetupClasses = {{{&kClassUsb, "USB"},
                                                 {&GUID_DEVCLASS_MOUSE, "Mouse"},
                                                 {&GUID_DEVCLASS_KEYBOARD, "Keyboard"},
                                                 {&kClassHid, "HIDClass"},
                                                 {&kClassSystem, "System"},
                                                 {&kClassDiskDrive, "DiskDrive"}}};

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// Strict UTF-8, as the JSON writer takes it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    std::uint32_t point;
    if (c >= 0xC2 && c <= 0xDF) extra = 1, point = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) extra = 2, point = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) extra = 3, point = c & 0x07;
    else return false;
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 2) return false;
      point = (point << 6) | (next & 0x3F);
    }
    if (extra == 2 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) return false;
    if (extra == 3 && (point < 0x10000 || point > 0x10FFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// JSON texts are UTF-8. An ANSI text that is not is written as {"ansi": "..."},
// one character U+0000 to U+00FF per byte, which the loader turns back into the
// same bytes.
Json JsonText(const std::string& text) {
  if (IsValidUtf8(text)) return text;
  std::string characters;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      characters += ch;
    } else {
      characters += static_cast<char>(0xC0 | (c >> 6));
      characters += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return Json{{"ansi", characters}};
}

std::string HexOf(const std::vector<BYTE>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (BYTE b : bytes) {
    if (!hex.empty()) hex += ' ';
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

// A registry value in the shortest form of the machine file that stores exactly
// these bytes with this type.
Json ValueJson(DWORD type, const std::vector<BYTE>& bytes) {
  const std::string text(bytes.begin(), bytes.end());
  if (type == REG_SZ && !text.empty() && text.find('\0') == text.size() - 1) {
    return JsonText(text.substr(0, text.size() - 1));
  }
  if (type == REG_MULTI_SZ) {
    if (text == std::string(1, '\0')) return Json::array();
    if (text.size() >= 3 && text.compare(text.size() - 2, 2, std::string(2, '\0')) == 0 &&
        text.find(std::string(2, '\0')) == text.size() - 2) {
      Json entries = Json::array();
      std::size_t start = 0;
      while (start + 1 < text.size()) {
        const std::size_t end = text.find('\0', start);
        entries.push_back(JsonText(text.substr(start, end - start)));
        start = end + 1;
      }
      return entries;
    }
  }
  if (type == REG_DWORD && bytes.size() == 4) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data(), 4);
    return value;
  }
  if (type == REG_QWORD && bytes.size() == 8) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data(), 8);
    return Json{{"qword", value}};
  }
  return Json{{"type", type}, {"hex", HexOf(bytes)}};
}

std::string ClassText(const GUID& g) {
  for (const NamedGuid& named : kSetupClasses) {
    if (IsEqualGUID(*named.guid, g)) return named.name;
  }
  return GuidText(g);
}

// The node's instance ID; empty, with the CONFIGRET in `error`, when it cannot be read.
std::string DeviceIdOf(DEVINST devInst, CONFIGRET& error) {
  platform::IConfigManager& cm = platform::ConfigManager();
  ULONG length = 0;
  error = cm.CM_Get_Device_ID_Size(&length, devInst, 0);
  if (error != CR_SUCCESS) return {};
  std::vector<char> id(static_cast<std::size_t>(length) + 1, '\0');
  error = cm.CM_Get_Device_IDA(devInst, id.data(), length + 1, 0);
  if (error != CR_SUCCESS) return {};
  if (id[0] == '\0') error = CR_NO_SUCH_VALUE;
  return std::string(id.data());
}

constexpr std::size_t kNoNode = static_cast<std::size_t>(-1);

// One node of the tree the recording reaches.
struct Node {
  DEVINST devInst = 0;
  std::string id;
  CONFIGRET idError = CR_SUCCESS;
  std::string name;    // the node's name in the file: its ID, or a name of the file's own when none can be read
  DEVINST parent = 0;
  bool hasParent = false;
  std::size_t parentIndex = kNoNode;  // the parent among the recorded nodes
  CONFIGRET parentError = CR_SUCCESS;  // false: the root (Wine answers 0 as a parent, a node whose ID cannot be read)
  std::size_t discovery = 0;
  SP_DEVINFO_DATA data{};
  bool opened = false;
  Json json;
  std::map<DWORD, std::pair<DWORD, std::vector<BYTE>>> properties;  // code -> type, bytes
  bool hasHubInterface = false;
};

class Recorder {
 public:
  Recorder() : lookup_(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr)) {}

  Json Record() {
    Json machine;
    machine["system"] = RecordSystem();
    CollectTree();
    for (Node& node : nodes_) {
      const auto parent = node.hasParent ? index_.find(node.parent) : index_.end();
      if (parent != index_.end()) node.parentIndex = parent->second;
      else ++parentless_;
    }
    for (Node& node : nodes_) RecordNode(node);
    for (Node& node : nodes_) {
      if (node.hasHubInterface) RecordHub(node);
    }
    Json devices = Json::array();
    if (parentless_ > 1) {
      devices.push_back(Json{{"id", kUnreachableRoot}, {"present", false}, {"deviceIdError", CR_NO_SUCH_DEVNODE}});
    }
    for (std::size_t index : Order()) devices.push_back(std::move(nodes_[index].json));
    machine["devices"] = std::move(devices);
    machine["services"] = RecordServices();
    machine["files"] = RecordFiles();
    return machine;
  }

 private:
  Json RecordSystem() {
    Json system;
    system["platformId"] = platform::IsNtPlatform() ? Json("NT")
                           : platform::PlatformId() == VER_PLATFORM_WIN32_WINDOWS ? Json("9x")
                                                                                 : Json(platform::PlatformId());
    PVOID token = nullptr;
    const bool hasWow64Functions = DisableWow64Redirection(token) != -1;
    if (hasWow64Functions) RevertWow64Redirection(token);
    system["wow64"] = IsWow64();
    if (!hasWow64Functions) system["hasWow64Functions"] = false;
    std::string windows;
    GetWindowsDir(windows);
    system["windowsDirectory"] = JsonText(windows);
    // Whether the filter service could be installed and started: the full-access open
    // is made and closed again at once.
    platform::UniqueServiceHandle manager(
        platform::ServiceControl().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager && platform::System().GetLastError() == ERROR_ACCESS_DENIED) system["administrator"] = false;
    // The open every service query makes: when it fails, no service can be read at all.
    platform::UniqueServiceHandle reader(
        platform::ServiceControl().OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ));
    if (!reader) system["serviceManagerError"] = LastErrorOr(ERROR_GEN_FAILURE);
    Json registry = RecordMachineValues();
    if (!registry.empty()) system["registry"] = std::move(registry);
    return system;
  }

  // The system values the diagnosis of the filter reads (Memory Integrity, Secure
  // Boot, the start options) and the program's journal of changes, by key; a key
  // that does not open is left out.
  static Json RecordMachineValues() {
    Json registry = Json::object();
    platform::IRegistry& reg = platform::Registry();
    std::vector<MachineValueName> names(std::begin(DiagnosisValues), std::end(DiagnosisValues));
    names.push_back({JournalKeyPath, JournalValueName});
    for (const MachineValueName& name : names) {
      HKEY key = nullptr;
      if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.key, 0, KEY_READ, &key) != ERROR_SUCCESS || key == nullptr) continue;
      Json& values = registry[name.key];
      if (values.is_null()) values = Json::object();
      DWORD type = 0;
      DWORD size = 0;
      LSTATUS status = reg.RegQueryValueExA(key, name.value, nullptr, &type, nullptr, &size);
      std::vector<BYTE> bytes;
      if (status == ERROR_SUCCESS && size <= kLargestValue) {
        bytes.assign(size, 0);
        status = reg.RegQueryValueExA(key, name.value, nullptr, &type, bytes.data(), &size);
      }
      reg.RegCloseKey(key);
      if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && size > kLargestValue)) continue;
      if (status != ERROR_SUCCESS) {
        values[name.value] = Json{{"error", static_cast<DWORD>(status)}};
        continue;
      }
      bytes.resize(std::min<std::size_t>(size, bytes.size()));
      values[name.value] = ValueJson(type, bytes);
    }
    return registry;
  }

  // The nodes of both enumerations, their ancestors and their descendants, and the
  // orders in which the program meets them.
  void CollectTree() {
    std::vector<DEVINST> byInterface = Enumerate(&GUID_DEVINTERFACE_USB_DEVICE, nullptr,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::vector<DEVINST> byEnumerator = Enumerate(nullptr, "USB", DIGCF_PRESENT | DIGCF_ALLCLASSES);
    orders_.push_back(byInterface);
    orders_.push_back(byEnumerator);
    for (const auto* list : {&byInterface, &byEnumerator}) {
      for (DEVINST devInst : *list) {
        AddAncestors(devInst);
        AddDescendants(devInst);
      }
    }
  }

  std::vector<DEVINST> Enumerate(const GUID* guid, const char* enumerator, DWORD flags) {
    std::vector<DEVINST> found;
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    platform::UniqueDevInfo set(setup.SetupDiGetClassDevsA(guid, enumerator, nullptr, flags));
    if (!set) return found;
    // The set lives as long as the recording: Wine's node handles are valid only while
    // a set that holds the node exists, as the program's own lists keep theirs.
    const HDEVINFO held = set.Get();
    enumerated_.push_back(std::move(set));
    for (DWORD index = 0;; ++index) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof(SP_DEVINFO_DATA);
      if (!setup.SetupDiEnumDeviceInfo(held, index, &data)) break;
      found.push_back(data.DevInst);
    }
    return found;
  }

  // Adds the node if new; false when it was known already.
  bool Add(DEVINST devInst) {
    if (index_.count(devInst) != 0) return false;
    Node node;
    node.devInst = devInst;
    node.id = DeviceIdOf(devInst, node.idError);
    node.name = node.id;
    if (node.idError == CR_SUCCESS) {
      // Wine hands out a handle of its own for a node in each set: the ID tells them apart.
      const auto [known, added] = byId_.emplace(ToUpperAscii(node.id), nodes_.size());
      if (!added) {
        index_[devInst] = known->second;
        return false;
      }
    } else {
      node.name = "UNREADABLE\\ID\\" + std::to_string(++unreadableIds_);
    }
    node.discovery = nodes_.size();
    DEVINST parent = 0;
    node.parentError = platform::ConfigManager().CM_Get_Parent(&parent, devInst, 0);
    if (node.parentError == CR_SUCCESS && parent != devInst) {
      node.parent = parent;
      node.hasParent = true;
    }
    index_[devInst] = nodes_.size();
    nodes_.push_back(std::move(node));
    return true;
  }

  void AddAncestors(DEVINST devInst) {
    std::vector<DEVINST> chain;
    DEVINST current = devInst;
    for (int depth = 0; depth < 1024; ++depth) {
      chain.push_back(current);
      DEVINST parent = 0;
      if (platform::ConfigManager().CM_Get_Parent(&parent, current, 0) != CR_SUCCESS || parent == current) break;
      current = parent;
    }
    // Root first, so that parents come before their children when nothing else decides.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) Add(*it);
  }

  void AddDescendants(DEVINST devInst) {
    if (walked_.count(devInst) != 0) return;
    walked_.insert(devInst);
    platform::IConfigManager& cm = platform::ConfigManager();
    std::vector<DEVINST> children;
    // An answer that leaves the node in place is no answer, as the device record takes it.
    DEVINST child = devInst;
    if (cm.CM_Get_Child(&child, devInst, 0) != CR_SUCCESS || child == devInst) return;
    for (std::size_t guard = 0; guard < 100000; ++guard) {
      children.push_back(child);
      DEVINST sibling = child;
      if (cm.CM_Get_Sibling(&sibling, child, 0) != CR_SUCCESS || sibling == child) break;
      child = sibling;
    }
    orders_.push_back(children);
    for (DEVINST c : children) {
      Add(c);
      AddDescendants(c);
    }
  }

  // The device list: every enumeration and every sibling order kept, otherwise the
  // order of discovery. Orders that contradict each other (possible only on a real
  // machine) give way in discovery order.
  std::vector<std::size_t> Order() {
    const std::size_t n = nodes_.size();
    std::vector<std::set<std::size_t>> next(n);
    std::vector<std::size_t> incoming(n, 0);
    for (const std::vector<DEVINST>& order : orders_) {
      for (std::size_t i = 1; i < order.size(); ++i) {
        const std::size_t a = index_.at(order[i - 1]);
        const std::size_t b = index_.at(order[i]);
        if (a != b && next[a].insert(b).second) ++incoming[b];
      }
    }
    std::set<std::size_t> ready;
    std::set<std::size_t> remaining;
    for (std::size_t i = 0; i < n; ++i) {
      remaining.insert(i);
      if (incoming[i] == 0) ready.insert(i);
    }
    std::vector<std::size_t> result;
    while (!remaining.empty()) {
      const std::size_t pick = ready.empty() ? *remaining.begin() : *ready.begin();
      ready.erase(pick);
      remaining.erase(pick);
      result.push_back(pick);
      for (std::size_t b : next[pick]) {
        if (remaining.count(b) != 0 && --incoming[b] == 0) ready.insert(b);
      }
      incoming[pick] = 0;
    }
    return result;
  }

  // A property read: its type and bytes, or the error code of the failed read.
  struct PropertyRead {
    DWORD error = 0;
    DWORD type = 0;
    std::vector<BYTE> bytes;
  };

  PropertyRead ReadProperty(Node& node, DWORD code) {
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    PropertyRead read;
    read.bytes.assign(kFirstReadSize, 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
      DWORD required = 0;
      if (setup.SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &node.data, code, &read.type, read.bytes.data(),
                                                  static_cast<DWORD>(read.bytes.size()), &required)) {
        read.bytes.resize(std::min<std::size_t>(required, read.bytes.size()));
        return read;
      }
      read.error = platform::System().GetLastError();
      if (read.error != ERROR_INSUFFICIENT_BUFFER || required <= read.bytes.size() || required > kLargestValue) break;
      read.bytes.assign(required, 0);
    }
    if (read.error == 0) read.error = ERROR_GEN_FAILURE;
    return read;
  }

  // The named values of one of the device's keys; null when the key cannot be opened,
  // with the open's error code in `error` unless it is the loader's own for a missing key.
  Json ReadKey(Node& node, DWORD keyType, std::initializer_list<const char*> names, const char* errorName) {
    platform::UniqueDevRegKey key(platform::DeviceInstall().SetupDiOpenDevRegKey(
        lookup_.Get(), &node.data, DICS_FLAG_GLOBAL, 0, keyType, KEY_READ));
    if (!key) {
      const DWORD error = platform::System().GetLastError();
      if (error != ERROR_KEY_DOES_NOT_EXIST) node.json[errorName] = error != 0 ? error : DWORD{ERROR_GEN_FAILURE};
      return nullptr;
    }
    Json values = Json::object();
    platform::IRegistry& registry = platform::Registry();
    for (const char* name : names) {
      DWORD type = 0;
      DWORD size = 0;
      LSTATUS status = registry.RegQueryValueExA(key.Get(), name, nullptr, &type, nullptr, &size);
      std::vector<BYTE> bytes;
      if (status == ERROR_SUCCESS) {
        if (size > kLargestValue) continue;
        bytes.assign(size, 0);
        status = registry.RegQueryValueExA(key.Get(), name, nullptr, &type, bytes.data(), &size);
      }
      if (status == ERROR_FILE_NOT_FOUND) continue;
      if (status != ERROR_SUCCESS) {
        values[name] = Json{{"error", static_cast<DWORD>(status)}};
        continue;
      }
      bytes.resize(std::min<std::size_t>(size, bytes.size()));
      values[name] = ValueJson(type, bytes);
    }
    return values;
  }

  void RecordNode(Node& node) {
    Json& json = node.json;
    json["id"] = JsonText(node.name);
    if (node.idError != CR_SUCCESS) json["deviceIdError"] = node.idError;
    if (node.parentIndex != kNoNode) {
      json["parent"] = JsonText(nodes_[node.parentIndex].name);
    } else if (parentless_ > 1) {
      // Nodes without a parent hang below a root of the file's own that nothing reaches.
      json["parent"] = kUnreachableRoot;
      json["parentError"] = node.parentError != CR_SUCCESS ? node.parentError : CR_NO_SUCH_DEVNODE;
    } else if (node.parentError != CR_SUCCESS && node.parentError != CR_NO_SUCH_DEVNODE) {
      json["parentError"] = node.parentError;  // the loader's root answers CR_NO_SUCH_DEVNODE
    }
    node.data.cbSize = sizeof(SP_DEVINFO_DATA);
    node.opened = !node.id.empty() &&
                  platform::DeviceInstall().SetupDiOpenDeviceInfoA(lookup_.Get(), node.id.c_str(), nullptr, 0,
                                                                  &node.data) != FALSE;
    if (node.opened && !IsEqualGUID(node.data.ClassGuid, GUID{})) json["class"] = ClassText(node.data.ClassGuid);

    ULONG status = 0;
    ULONG problem = 0;
    if (platform::ConfigManager().CM_Get_DevNode_Status(&status, &problem, node.devInst, 0) != CR_SUCCESS) {
      json["statusFails"] = true;
    } else {
      if (problem != 0) json["problem"] = problem;
      ULONG derived = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
      if (problem != 0) derived |= DN_HAS_PROBLEM;
      if (status != derived) json["status"] = status;
    }
    if (!node.opened) return;

    Json properties = Json::object();
    for (const PropertyName& property : kProperties) {
      if (property.code == SPDRP_LOWERFILTERS && !platform::IsNtPlatform()) continue;
      PropertyRead value = ReadProperty(node, property.code);
      // ERROR_INVALID_DATA is how a property that is not there answers.
      if (value.error == ERROR_INVALID_DATA) continue;
      if (value.error != 0) {
        properties[property.name] = Json{{"error", value.error}};
        continue;
      }
      properties[property.name] = ValueJson(value.type, value.bytes);
      node.properties[property.code] = {value.type, std::move(value.bytes)};
    }
    json["properties"] = std::move(properties);

    Json interfaces = Json::array();
    for (const NamedGuid& named : kInterfaces) {
      if (!InstanceHasInterface(node.id, *named.guid)) continue;
      interfaces.push_back(named.name);
      if (named.guid == &GUID_DEVINTERFACE_USB_HUB) node.hasHubInterface = true;
    }
    if (!interfaces.empty()) json["interfaces"] = std::move(interfaces);

    if (platform::IsNtPlatform()) {
      json["driverKey"] = ReadKey(node, DIREG_DRV, {"bInterval"}, "driverKeyError");
      json["hardwareKey"] = ReadKey(node, DIREG_DEV, {}, "hardwareKeyError");
    } else {
      json["driverKey"] = ReadKey(node, DIREG_DRV, {"bInterval", "NTMPDriver"}, "driverKeyError");
      json["hardwareKey"] = ReadKey(node, DIREG_DEV, {"LowerFilters"}, "hardwareKeyError");
    }
  }

  std::string PropertyText(const Node& node, DWORD code) const {
    const auto it = node.properties.find(code);
    if (it == node.properties.end() || it->second.second.empty()) return {};
    const std::vector<BYTE>& bytes = it->second.second;
    return std::string(bytes.begin(), bytes.end() - 1);
  }

  DWORD PropertyDword(const Node& node, DWORD code) const {
    const auto it = node.properties.find(code);
    if (it == node.properties.end() || it->second.second.size() < 4) return 0;
    DWORD value = 0;
    std::memcpy(&value, it->second.second.data(), 4);
    return value;
  }

  static bool Control(HANDLE hub, DWORD code, BYTE* buffer, DWORD size) {
    DWORD returned = 0;
    return platform::Files().DeviceIoControl(hub, code, buffer, size, buffer, size, &returned, nullptr) != FALSE;
  }

  static DWORD U32(const BYTE* bytes) {
    DWORD value = 0;
    std::memcpy(&value, bytes, 4);
    return value;
  }

  static Json PipesOf(const BYTE* info, std::size_t count) {
    Json pipes = Json::array();
    for (std::size_t i = 0; i < count; ++i) {
      const BYTE* entry = info + hub::kPipeListOffset + i * hub::kPipeInfoSize;
      Json pipe;
      pipe["attributes"] = entry[hub::kPipeAttributesOffset];
      pipe["endpoint"] = entry[2];
      pipe["maxPacket"] = static_cast<unsigned>(entry[4] | (entry[5] << 8));
      pipe["interval"] = entry[hub::kPipeIntervalOffset];
      const DWORD offset = U32(entry + 7);
      if (offset != 0) pipe["scheduleOffset"] = offset;
      pipes.push_back(std::move(pipe));
    }
    return pipes;
  }

  // The hub controls that failed for a port, in the order they were asked, with
  // their error codes.
  using Failures = std::vector<std::pair<const char*, DWORD>>;

  static DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = platform::System().GetLastError();
    return error != 0 ? error : fallback;
  }

  // The names alone where every control failed with ERROR_GEN_FAILURE (the loader's
  // default), else the names with their codes.
  static Json FailuresJson(const Failures& failures) {
    bool plain = true;
    for (const auto& [name, error] : failures) plain = plain && error == ERROR_GEN_FAILURE;
    Json out = plain ? Json::array() : Json::object();
    for (const auto& [name, error] : failures) {
      if (plain) out.push_back(name);
      else out[name] = error;
    }
    return out;
  }

  // What the hub answers for each port the program can ask about.
  void RecordHub(Node& node) {
    platform::UniqueFile handle(OpenInterfaceHandle(node.id, GUID_DEVINTERFACE_USB_HUB));
    if (!handle) {
      node.json["hub"] = Json{{"openError", LastErrorOr(ERROR_GEN_FAILURE)}};
      return;
    }
    Json hubJson;
    std::array<BYTE, hub::kNodeInfoSize> info{};
    BYTE ports = 0;
    if (Control(handle.Get(), IOCTL_USB_GET_NODE_INFORMATION, info.data(), hub::kNodeInfoSize)) {
      const DWORD nodeType = U32(info.data());
      if (nodeType != 0) hubJson["nodeType"] = nodeType;
      ports = info[hub::kNumberOfPortsOffset];
      hubJson["ports"] = ports;
    } else {
      const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
      hubJson["nodeInfoFails"] = error == ERROR_GEN_FAILURE ? Json(true) : Json(error);
    }

    // The hub's recorded children: by driver key and by address.
    const std::size_t self = static_cast<std::size_t>(&node - nodes_.data());
    std::vector<const Node*> children;
    std::set<ULONG> asked;
    for (ULONG port = 1; port <= ports; ++port) asked.insert(port);
    for (const Node& child : nodes_) {
      if (child.parentIndex != self || !child.opened) continue;
      children.push_back(&child);
      const DWORD address = PropertyDword(child, SPDRP_ADDRESS);
      if (address >= 1 && address <= 255) asked.insert(address);
    }

    Json connections = Json::array();
    for (ULONG port : asked) {
      Json connection = RecordPort(handle.Get(), port, children, port <= ports);
      if (!connection.is_null()) connections.push_back(std::move(connection));
    }
    hubJson["connections"] = std::move(connections);
    node.json["hub"] = std::move(hubJson);
  }

  Json RecordPort(HANDLE hubHandle, ULONG port, const std::vector<const Node*>& children, bool counted) {
    Failures failures;
    // Driver key name: the size, then the name; a failure of the first call is "driverKey",
    // one of the second "driverKeyName".
    std::optional<std::string> keyName;
    // Kept apart from the name: a length the hub reports is recorded even when no name follows.
    DWORD actualLength = 0;
    bool lengthRead = false;
    std::array<BYTE, hub::kDriverKeyAreaSize> area{};
    std::memcpy(area.data(), &port, 4);
    if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), hub::kDriverKeyProbeSize)) {
      actualLength = U32(area.data() + hub::kActualLengthOffset);
      lengthRead = true;
      if (actualLength >= hub::kDriverKeyProbeSize && actualLength <= hub::kDriverKeyAreaSize) {
        area.fill(0);
        std::memcpy(area.data(), &port, 4);
        if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), actualLength)) {
          std::string name;
          for (std::size_t at = hub::kDriverKeyNameOffset; at + 1 < actualLength; at += 2) {
            const unsigned unit = area[at] | (area[at + 1] << 8);
            if (unit == 0) break;
            name += unit < 0x100 ? static_cast<char>(unit) : '?';
          }
          keyName = name;
        } else {
          // The size query answered: its length is kept, so that the replay asks for the name
          // with the same size and fails there.
          failures.emplace_back("driverKeyName", LastErrorOr(ERROR_GEN_FAILURE));
        }
      }
    } else {
      failures.emplace_back("driverKey", LastErrorOr(ERROR_GEN_FAILURE));
    }

    // Connection information: EX (with V2), else plain.
    std::array<BYTE, hub::kConnectionInfoSize> connection{};
    std::memcpy(connection.data(), &port, 4);
    bool read = false;
    std::optional<BYTE> speed;
    std::optional<DWORD> v2Flags;
    if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, connection.data(),
                hub::kConnectionInfoSize)) {
      read = true;
      speed = connection[hub::kSpeedOffset];
      std::array<BYTE, hub::kV2Size> v2{};
      const DWORD length = hub::kV2Size;
      const DWORD protocols = hub::kV2ProtocolsUsb110Usb200Usb300;
      std::memcpy(v2.data(), &port, 4);
      std::memcpy(v2.data() + hub::kV2LengthOffset, &length, 4);
      std::memcpy(v2.data() + hub::kV2ProtocolsOffset, &protocols, 4);
      if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2.data(), hub::kV2Size)) {
        v2Flags = U32(v2.data() + hub::kV2FlagsOffset);
      } else {
        failures.emplace_back("v2", LastErrorOr(ERROR_GEN_FAILURE));
      }
    } else {
      failures.emplace_back("ex", LastErrorOr(ERROR_GEN_FAILURE));
      connection.fill(0);
      std::memcpy(connection.data(), &port, 4);
      if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, connection.data(),
                  hub::kConnectionInfoSize)) {
        read = true;
        speed = connection[hub::kSpeedOffset] != 0 ? kSpeedLow : kSpeedFull;
      } else {
        failures.emplace_back("plain", LastErrorOr(ERROR_GEN_FAILURE));
      }
    }

    // The attached device: the child whose driver key the hub names, else the child
    // at this address.
    const Node* attached = nullptr;
    if (keyName && !keyName->empty()) {
      for (const Node* child : children) {
        if (EqualsIgnoringAsciiCase(PropertyText(*child, SPDRP_DRIVER), *keyName)) attached = child;
      }
    }
    if (attached == nullptr) {
      for (const Node* child : children) {
        if (PropertyDword(*child, SPDRP_ADDRESS) == port) attached = child;
      }
    }
    if (attached == nullptr) return EmptyPort(port, counted, failures, lengthRead && !keyName, actualLength);

    Json out;
    out["port"] = port;
    out["device"] = JsonText(attached->id);
    if (keyName && *keyName != PropertyText(*attached, SPDRP_DRIVER)) out["driverKeyName"] = JsonText(*keyName);
    if (lengthRead && keyName) {
      const DWORD natural = static_cast<DWORD>(8 + 2 * (keyName->size() + 1));
      if (actualLength != natural) out["actualLength"] = actualLength;
    } else if (lengthRead) {
      out["actualLength"] = actualLength;
    }
    if (speed) out["speed"] = *speed;
    if (v2Flags && *v2Flags != 0) out["v2Flags"] = *v2Flags;
    if (read) {
      const auto reported = static_cast<std::int32_t>(U32(connection.data() + hub::kNumberOfOpenPipesOffset));
      const std::size_t listed =
          reported <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(reported), hub::kPipeCapacity);
      Json pipes = PipesOf(connection.data(), listed);
      if (!pipes.empty()) out["pipes"] = std::move(pipes);
      if (static_cast<std::int64_t>(reported) != static_cast<std::int64_t>(listed)) out["openPipes"] = reported;
    }
    if (!failures.empty()) out["fail"] = FailuresJson(failures);
    return out;
  }

  // A port without a recorded device, listed only where its answers differ from the
  // loader's: a port the hub counts answers like an empty one (the driver key name
  // fails with ERROR_DEVICE_NOT_CONNECTED), one beyond the count fails every control
  // with ERROR_INVALID_PARAMETER.
  // A length the size query answered before the name query failed is kept with it.
  static Json EmptyPort(ULONG port, bool counted, Failures failures, bool lengthOnly, DWORD actualLength) {
    if (!counted && !failures.empty()) {
      bool asUnlisted = true;
      for (const auto& [name, error] : failures) asUnlisted = asUnlisted && error == ERROR_INVALID_PARAMETER;
      // The driver key name and the two connection controls all failed as the loader answers.
      if (asUnlisted && failures.size() == 3) return nullptr;
    }
    std::erase_if(failures, [](const auto& failure) {
      return std::strcmp(failure.first, "driverKey") == 0 && failure.second == kErrorDeviceNotConnected;
    });
    if (counted && failures.empty()) return nullptr;
    Json out{{"port", port}};
    const bool nameQueryFailed = std::any_of(failures.begin(), failures.end(), [](const auto& failure) {
      return std::strcmp(failure.first, "driverKeyName") == 0;
    });
    if (lengthOnly && nameQueryFailed) out["actualLength"] = actualLength;
    if (!failures.empty()) out["fail"] = FailuresJson(failures);
    return out;
  }

  // The services the recorded devices name, and the filter service; sorted by name.
  std::vector<std::string> ServiceNames() const {
    std::map<std::string, std::string> names;
    names[ToUpperAscii(kFilterService)] = kFilterService;
    for (const Node& node : nodes_) {
      const std::string service = PropertyText(node, SPDRP_SERVICE);
      if (!service.empty()) names.emplace(ToUpperAscii(service), service);
    }
    std::vector<std::string> list;
    for (const auto& [upper, name] : names) list.push_back(name);
    return list;
  }

  Json RecordServices() {
    Json services = Json::array();
    for (const std::string& name : ServiceNames()) {
      Json service = RecordService(name);
      if (!service.is_null()) services.push_back(std::move(service));
    }
    return services;
  }

  // One service as the program asks about it: its configuration and its state, each
  // through an open of its own with the program's access rights. Null when the
  // service does not exist or the service manager cannot be opened.
  static Json RecordService(const std::string& name) {
    constexpr DWORD kConfigAccess = STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG;
    constexpr DWORD kStatusAccess = STANDARD_RIGHTS_READ | SERVICE_QUERY_STATUS;
    platform::IServiceControl& scm = platform::ServiceControl();
    platform::UniqueServiceHandle manager(scm.OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ));
    if (!manager) return nullptr;
    Json service;
    service["name"] = JsonText(name);

    platform::UniqueServiceHandle forConfig(scm.OpenServiceA(manager.Get(), name.c_str(), kConfigAccess));
    if (!forConfig) {
      const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) return nullptr;
      service["openError"] = error;
      return service;
    }
    DWORD needed = 0;
    DWORD error = 0;
    if (scm.QueryServiceConfigA(forConfig.Get(), nullptr, 0, &needed)) {
      error = ERROR_GEN_FAILURE;  // no record fits in nothing: a manager that says otherwise is not believed
    } else {
      error = LastErrorOr(ERROR_GEN_FAILURE);
    }
    ServiceConfig config;
    if (error == ERROR_INSUFFICIENT_BUFFER && needed >= sizeof(QUERY_SERVICE_CONFIGA) && needed <= kLargestValue) {
      config = std::make_unique<ServiceConfigBlock>(needed);
      error = scm.QueryServiceConfigA(forConfig.Get(), config->Buffer(), config->Size(), &needed)
                  ? 0
                  : LastErrorOr(ERROR_GEN_FAILURE);
    }
    if (error == 0) {
      service["startType"] = config->Config().dwStartType;
      const char* path = config->Config().lpBinaryPathName;
      if (path != nullptr && *path != '\0') service["binaryPath"] = JsonText(path);
    } else {
      service["configError"] = error;
    }

    platform::UniqueServiceHandle forStatus(scm.OpenServiceA(manager.Get(), name.c_str(), kStatusAccess));
    SERVICE_STATUS status{};
    if (!forStatus || !scm.QueryServiceStatus(forStatus.Get(), &status)) {
      service["statusError"] = LastErrorOr(ERROR_GEN_FAILURE);
    } else {
      service["state"] = StateJson(status.dwCurrentState);
    }
    return service;
  }

  static Json StateJson(DWORD state) {
    switch (state) {
      case SERVICE_STOPPED: return "stopped";
      case SERVICE_START_PENDING: return "startPending";
      case SERVICE_STOP_PENDING: return "stopPending";
      case SERVICE_RUNNING: return "running";
      case SERVICE_PAUSED: return "paused";
      default: return state;
    }
  }

  // One driver file as the driver report reaches it: opened, then its version read through
  // the version resource and, when that gives none, through the version-information functions.
  // The calls are made again one by one for their error codes, each recorded only where the
  // replay would not answer it so by itself. Null for a file that does not exist.
  static Json RecordFile(const std::string& entry, const std::string& fullPath) {
    DriverFileScope scope;
    scope.EnterWindowsDirectory();
    RedirectionOff redirectionOff;
    const std::string path = ResolveDriverPath(entry);
    platform::IFiles& files = platform::Files();
    Json file;
    file["path"] = JsonText(fullPath);
    {
      platform::UniqueFile opened(files.CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
      if (!opened) {
        const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
        if (error == ERROR_FILE_NOT_FOUND) return nullptr;
        file["openError"] = error;
        return file;
      }
    }
    std::string version = GetVersionFromResource(path);
    const bool fromResource = !version.empty();
    if (!fromResource) version = GetVersionFromVersionInfo(path);
    if (!version.empty()) file["version"] = Json{{"fileVersion", JsonText(version)}};

    platform::UniqueModule module(files.LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) {
      const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
      if (error == ERROR_BAD_EXE_FORMAT) file["loadable"] = false;
      else file["loadError"] = error;
    } else if (!fromResource &&
               files.FindResourceA(module.Get(), MAKEINTRESOURCEA(kVersionResourceId), RT_VERSION) == nullptr) {
      // Without a version the replay's lookup fails with ERROR_RESOURCE_TYPE_NOT_FOUND by itself.
      const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
      if (!version.empty() || error != ERROR_RESOURCE_TYPE_NOT_FOUND) file["resourceError"] = error;
    }
    if (!fromResource) {
      DWORD handle = 0;
      if (files.GetFileVersionInfoSizeA(path.c_str(), &handle) == 0) {
        const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
        if (error != ERROR_RESOURCE_TYPE_NOT_FOUND) file["versionError"] = error;
      }
    }
    return file;
  }

  // The driver files the driver report names, with their versions; sorted by path.
  Json RecordFiles() {
    std::vector<std::string> entries;
    if (platform::IsNtPlatform()) {
      for (const std::string& name : ServiceNames()) entries.push_back(GetServiceImagePath(name));
    } else {
      for (Node& node : nodes_) {
        if (!node.opened || !PropertyText(node, SPDRP_SERVICE).empty()) continue;
        for (const std::string& entry :
             SplitDriverFileList(GetDevRegString(lookup_.Get(), node.data, DIREG_DRV, "NTMPDriver"))) {
          entries.push_back(entry);
        }
      }
    }
    entries.emplace_back(PortDriverEntry);
    entries.emplace_back(FilterDriverEntry);

    std::map<std::string, Json> files;
    for (const std::string& entry : entries) {
      if (entry.empty()) continue;
      const std::string path = GetDriverFullPath(entry);
      if (path.empty() || files.count(ToUpperAscii(path)) != 0) continue;
      Json file = RecordFile(entry, path);
      if (!file.is_null()) files[ToUpperAscii(path)] = std::move(file);
    }
    Json list = Json::array();
    for (auto& [upper, file] : files) list.push_back(std::move(file));
    return list;
  }

  platform::UniqueDevInfo lookup_;
  std::vector<platform::UniqueDevInfo> enumerated_;
  std::vector<Node> nodes_;
  std::map<DEVINST, std::size_t> index_;
  std::set<DEVINST> walked_;
  std::vector<std::vector<DEVINST>> orders_;
  unsigned unreadableIds_ = 0;
  std::map<std::string, std::size_t> byId_;  // upper-case ID -> node
  std::size_t parentless_ = 0;
};

}  // namespace

std::string RecordMachineSnapshot() {
  Recorder recorder;
  return recorder.Record().dump(1) + "\n";
}

int WriteSnapshotCommand(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "Name the file for the PC snapshot: /snapshot <file>";
    return 2;
  }
  std::string text;
  try {
    text = RecordMachineSnapshot();
  } catch (const std::exception& e) {
    error = std::string("The PC snapshot could not be taken: ") + e.what();
    return 3;
  }
  // C stdio, not std::ofstream: a file stream brings the whole of the standard locale
  // machinery into setup.exe (about half of its code) for one binary write.
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> out(std::fopen(path.c_str(), "wb"));
  bool written = out != nullptr && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
  if (out != nullptr && std::fclose(out.release()) != 0) written = false;
  if (!written) {
    error = "The PC snapshot could not be written to \"" + path + "\".";
    return 4;
  }
  return 0;
}

}  // namespace morvane
