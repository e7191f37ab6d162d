#include "snapshot/Snapshot.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <queue>
#include <set>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/AsciiText.h"
#include "devices/DeviceTables.h"
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
constexpr ULONG kDeviceConnected = 1;
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

bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    if (c < 0x80) extra = 0;
    else if ((c >> 5) == 6) extra = 1;
    else if ((c >> 4) == 14) extra = 2;
    else if ((c >> 3) == 30) extra = 3;
    else return false;
    if (extra != 0 && i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return false;
    }
    i += extra + 1;
  }
  return true;
}

// JSON texts must be UTF-8; an ANSI text that is not is written byte for byte as
// the characters U+0080 to U+00FF.
std::string JsonText(const std::string& text) {
  if (IsValidUtf8(text)) return text;
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
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
  if (type == REG_SZ && !text.empty() && text.find('\0') == text.size() - 1 && IsValidUtf8(text)) {
    return text.substr(0, text.size() - 1);
  }
  if (type == REG_MULTI_SZ && IsValidUtf8(text)) {
    if (text == std::string(1, '\0')) return Json::array();
    if (text.size() >= 3 && text.compare(text.size() - 2, 2, std::string(2, '\0')) == 0 &&
        text.find(std::string(2, '\0')) == text.size() - 2) {
      Json entries = Json::array();
      std::size_t start = 0;
      while (start + 1 < text.size()) {
        const std::size_t end = text.find('\0', start);
        entries.push_back(text.substr(start, end - start));
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

std::string DeviceIdOf(DEVINST devInst) {
  platform::IConfigManager& cm = platform::ConfigManager();
  ULONG length = 0;
  if (cm.CM_Get_Device_ID_Size(&length, devInst, 0) != CR_SUCCESS) return {};
  std::vector<char> id(static_cast<std::size_t>(length) + 1, '\0');
  if (cm.CM_Get_Device_IDA(devInst, id.data(), length + 1, 0) != CR_SUCCESS) return {};
  return std::string(id.data());
}

// One node of the tree the recording reaches.
struct Node {
  DEVINST devInst = 0;
  std::string id;
  DEVINST parent = 0;  // 0: none recorded (the root)
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
    for (Node& node : nodes_) RecordNode(node);
    for (Node& node : nodes_) {
      if (node.hasHubInterface) RecordHub(node);
    }
    Json devices = Json::array();
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
    return system;
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
    for (DWORD index = 0;; ++index) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof(SP_DEVINFO_DATA);
      if (!setup.SetupDiEnumDeviceInfo(set.Get(), index, &data)) break;
      found.push_back(data.DevInst);
    }
    return found;
  }

  // Adds the node if new; false when it was known already.
  bool Add(DEVINST devInst) {
    if (index_.count(devInst) != 0) return false;
    Node node;
    node.devInst = devInst;
    node.id = DeviceIdOf(devInst);
    node.discovery = nodes_.size();
    DEVINST parent = 0;
    if (platform::ConfigManager().CM_Get_Parent(&parent, devInst, 0) == CR_SUCCESS) node.parent = parent;
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
      if (platform::ConfigManager().CM_Get_Parent(&parent, current, 0) != CR_SUCCESS) break;
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
    DEVINST child = 0;
    if (cm.CM_Get_Child(&child, devInst, 0) != CR_SUCCESS) return;
    for (std::size_t guard = 0; guard < 100000; ++guard) {
      children.push_back(child);
      DEVINST sibling = 0;
      if (cm.CM_Get_Sibling(&sibling, child, 0) != CR_SUCCESS) break;
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

  std::optional<std::pair<DWORD, std::vector<BYTE>>> ReadProperty(Node& node, DWORD code) {
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    std::vector<BYTE> buffer(kFirstReadSize, 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
      DWORD type = 0;
      DWORD required = 0;
      if (setup.SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &node.data, code, &type, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), &required)) {
        buffer.resize(std::min<std::size_t>(required, buffer.size()));
        return std::make_pair(type, buffer);
      }
      if (platform::System().GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
      if (required <= buffer.size() || required > kLargestValue) return std::nullopt;
      buffer.assign(required, 0);
    }
    return std::nullopt;
  }

  // The named values of one of the device's keys; null when the key cannot be opened.
  Json ReadKey(Node& node, DWORD keyType, std::initializer_list<const char*> names) {
    platform::UniqueDevRegKey key(platform::DeviceInstall().SetupDiOpenDevRegKey(
        lookup_.Get(), &node.data, DICS_FLAG_GLOBAL, 0, keyType, KEY_READ));
    if (!key) return nullptr;
    Json values = Json::object();
    platform::IRegistry& registry = platform::Registry();
    for (const char* name : names) {
      DWORD type = 0;
      DWORD size = 0;
      if (registry.RegQueryValueExA(key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) continue;
      if (size > kLargestValue) continue;
      std::vector<BYTE> bytes(size, 0);
      if (registry.RegQueryValueExA(key.Get(), name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS) continue;
      bytes.resize(std::min<std::size_t>(size, bytes.size()));
      values[name] = ValueJson(type, bytes);
    }
    return values;
  }

  void RecordNode(Node& node) {
    Json& json = node.json;
    json["id"] = JsonText(node.id);
    const auto parent = index_.find(node.parent);
    if (node.parent != 0 && parent != index_.end()) json["parent"] = JsonText(nodes_[parent->second].id);
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
      auto value = ReadProperty(node, property.code);
      if (!value) continue;
      properties[property.name] = ValueJson(value->first, value->second);
      node.properties[property.code] = std::move(*value);
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
      json["driverKey"] = ReadKey(node, DIREG_DRV, {"bInterval"});
      json["hardwareKey"] = ReadKey(node, DIREG_DEV, {});
    } else {
      json["driverKey"] = ReadKey(node, DIREG_DRV, {"bInterval", "NTMPDriver"});
      json["hardwareKey"] = ReadKey(node, DIREG_DEV, {"LowerFilters"});
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

  // What the hub answers for each port the program can ask about.
  void RecordHub(Node& node) {
    platform::UniqueFile handle(OpenInterfaceHandle(node.id, GUID_DEVINTERFACE_USB_HUB));
    if (!handle) return;
    Json hubJson;
    std::array<BYTE, hub::kNodeInfoSize> info{};
    BYTE ports = 0;
    if (Control(handle.Get(), IOCTL_USB_GET_NODE_INFORMATION, info.data(), hub::kNodeInfoSize)) {
      const DWORD nodeType = U32(info.data());
      if (nodeType != 0) hubJson["nodeType"] = nodeType;
      ports = info[hub::kNumberOfPortsOffset];
      hubJson["ports"] = ports;
    } else {
      hubJson["nodeInfoFails"] = true;
    }

    // The hub's recorded children: by driver key and by address.
    std::vector<const Node*> children;
    std::set<ULONG> asked;
    for (ULONG port = 1; port <= ports; ++port) asked.insert(port);
    for (const Node& child : nodes_) {
      if (child.parent != node.devInst || !child.opened) continue;
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
    Json fail = Json::array();
    // Driver key name.
    std::optional<std::string> keyName;
    std::optional<DWORD> actualLength;
    std::array<BYTE, hub::kDriverKeyAreaSize> area{};
    std::memcpy(area.data(), &port, 4);
    if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), hub::kDriverKeyProbeSize)) {
      actualLength = U32(area.data() + hub::kActualLengthOffset);
      if (*actualLength >= hub::kDriverKeyProbeSize && *actualLength <= hub::kDriverKeyAreaSize) {
        area.fill(0);
        std::memcpy(area.data(), &port, 4);
        if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), *actualLength)) {
          std::string name;
          for (std::size_t at = hub::kDriverKeyNameOffset; at + 1 < *actualLength; at += 2) {
            const unsigned unit = area[at] | (area[at + 1] << 8);
            if (unit == 0) break;
            name += unit < 0x100 ? static_cast<char>(unit) : '?';
          }
          keyName = name;
        }
      }
    } else {
      fail.push_back("driverKey");
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
        fail.push_back("v2");
      }
    } else {
      fail.push_back("ex");
      connection.fill(0);
      std::memcpy(connection.data(), &port, 4);
      if (Control(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, connection.data(),
                  hub::kConnectionInfoSize)) {
        read = true;
        speed = connection[hub::kSpeedOffset] != 0 ? kSpeedLow : kSpeedFull;
      } else {
        fail.push_back("plain");
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
    const bool connected = read && U32(connection.data() + kConnectionStatusOffset) == kDeviceConnected;
    if (attached == nullptr) {
      // An empty port the hub counts is one the machine file need not list.
      if (counted || (!read && !actualLength)) return nullptr;
      return Json{{"port", port}};
    }
    (void)connected;

    Json out;
    out["port"] = port;
    out["device"] = JsonText(attached->id);
    if (keyName && *keyName != PropertyText(*attached, SPDRP_DRIVER)) out["driverKeyName"] = JsonText(*keyName);
    if (actualLength && keyName) {
      const DWORD natural = static_cast<DWORD>(8 + 2 * (keyName->size() + 1));
      if (*actualLength != natural) out["actualLength"] = *actualLength;
    } else if (actualLength) {
      out["actualLength"] = *actualLength;
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
    if (!fail.empty()) out["fail"] = std::move(fail);
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
      const ServiceConfig config = QueryServiceConfiguration(name);
      if (config == nullptr) continue;
      Json service;
      service["name"] = JsonText(name);
      service["startType"] = config->Config().dwStartType;
      const char* path = config->Config().lpBinaryPathName;
      if (path != nullptr && *path != '\0') service["binaryPath"] = JsonText(path);
      service["state"] = IsServiceRunning(name) ? "running" : "stopped";
      services.push_back(std::move(service));
    }
    return services;
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
      if (!OpenDriverFile(entry)) continue;
      Json file;
      file["path"] = JsonText(path);
      const std::string version = GetDriverFileVersion(entry);
      if (!version.empty()) file["version"] = Json{{"fileVersion", JsonText(version)}};
      files[ToUpperAscii(path)] = std::move(file);
    }
    Json list = Json::array();
    for (auto& [upper, file] : files) list.push_back(std::move(file));
    return list;
  }

  platform::UniqueDevInfo lookup_;
  std::vector<Node> nodes_;
  std::map<DEVINST, std::size_t> index_;
  std::set<DEVINST> walked_;
  std::vector<std::vector<DEVINST>> orders_;
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (out) out.close();
  if (!out) {
    error = "The PC snapshot could not be written to \"" + path + "\".";
    return 4;
  }
  return 0;
}

namespace {

// The next argument from `at`: blanks separate, double quotes group and are removed.
std::string NextArgument(std::string_view line, std::size_t& at) {
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::string argument;
  bool quoted = false;
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      break;
    } else {
      argument += c;
    }
  }
  return argument;
}

}  // namespace

bool SnapshotPathFromCommandLine(std::string_view commandLine, std::string& path) {
  std::size_t at = 0;
  NextArgument(commandLine, at);  // the program
  const std::string option = NextArgument(commandLine, at);
  if (option.size() != 9 || (option[0] != '/' && option[0] != '-') ||
      ToUpperAscii(option.substr(1)) != "SNAPSHOT") {
    return false;
  }
  path = NextArgument(commandLine, at);
  return true;
}

}  // namespace morvane
