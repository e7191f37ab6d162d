// The machine file: a JSON text describing a whole MachineModel (docs/machine-format.md),
// and the built-in default machine written in that format.
#include <cstdint>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace sim {

namespace {

using Json = nlohmann::json;

// A place in the file: the JSON value and its JSON pointer.
class Node {
 public:
  Node(const Json& value, std::string pointer) : value_(value), pointer_(std::move(pointer)) {}

  const Json& Value() const { return value_; }
  const std::string& Pointer() const { return pointer_; }
  std::string Where() const { return pointer_.empty() ? "/" : pointer_; }

  [[noreturn]] void Fail(const std::string& problem) const { throw MachineFileError(Where() + ": " + problem); }

  Node operator[](const std::string& key) const { return Node(value_.at(key), pointer_ + "/" + Escape(key)); }
  Node operator[](std::size_t index) const { return Node(value_.at(index), pointer_ + "/" + std::to_string(index)); }
  bool Has(const std::string& key) const { return value_.is_object() && value_.contains(key); }

  // An object whose keys are all among `allowed`.
  const Node& Object(std::initializer_list<const char*> allowed) const {
    if (!value_.is_object()) Fail("expected an object");
    for (const auto& [key, v] : value_.items()) {
      bool known = false;
      for (const char* name : allowed) known = known || key == name;
      if (!known) Node(v, pointer_ + "/" + Escape(key)).Fail("unknown key \"" + key + "\"");
    }
    return *this;
  }

  std::size_t ArraySize() const {
    if (!value_.is_array()) Fail("expected an array");
    return value_.size();
  }

  // A string, or {"ansi": "..."}: bytes that are no UTF-8, one character
  // U+0000 to U+00FF per byte.
  std::string String() const {
    if (IsAnsi()) return (*this)["ansi"].AnsiBytes();
    if (!value_.is_string()) Fail("expected a string");
    return value_.get<std::string>();
  }

  bool IsAnsi() const { return value_.is_object() && value_.size() == 1 && value_.contains("ansi"); }
  bool IsText() const { return value_.is_string() || IsAnsi(); }

  // An error code: an integer 1 to 4294967295 (0 would mean success).
  DWORD ErrorCode() const { return static_cast<DWORD>(Integer(1, 0xFFFFFFFFLL)); }

  bool Bool() const {
    if (!value_.is_boolean()) Fail("expected true or false");
    return value_.get<bool>();
  }

  // An integer in [min, max]; the message names the range.
  std::int64_t Integer(std::int64_t min, std::int64_t max) const {
    const std::string range = "expected an integer from " + std::to_string(min) + " to " + std::to_string(max);
    if (value_.is_number_unsigned()) {
      const std::uint64_t v = value_.get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(max)) Fail(range);
      if (static_cast<std::int64_t>(v) < min) Fail(range);
      return static_cast<std::int64_t>(v);
    }
    if (!value_.is_number_integer()) Fail(range);
    const std::int64_t v = value_.get<std::int64_t>();
    if (v < min || v > max) Fail(range);
    return v;
  }

  DWORD Dword() const { return static_cast<DWORD>(Integer(0, 0xFFFFFFFFLL)); }
  BYTE Byte() const { return static_cast<BYTE>(Integer(0, 255)); }

  std::uint64_t Qword() const {
    if (value_.is_number_unsigned()) return value_.get<std::uint64_t>();
    if (value_.is_number_integer() && value_.get<std::int64_t>() >= 0) return value_.get<std::uint64_t>();
    Fail("expected an integer from 0 to 18446744073709551615");
  }

 private:
  std::string AnsiBytes() const {
    if (!value_.is_string()) Fail("expected a string");
    const std::string utf8 = value_.get<std::string>();
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      const auto c = static_cast<unsigned char>(utf8[i]);
      if (c < 0x80) {
        bytes += static_cast<char>(c);
      } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
        bytes += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
      } else {
        Fail("expected characters U+0000 to U+00FF, one per byte");
      }
    }
    return bytes;
  }

  static std::string Escape(const std::string& key) {
    std::string out;
    for (char c : key) {
      if (c == '~') out += "~0";
      else if (c == '/') out += "~1";
      else out += c;
    }
    return out;
  }

  const Json& value_;
  std::string pointer_;
};

// Optional fields: read only when present.
template <typename F>
void IfHas(const Node& node, const char* key, F read) {
  if (node.Has(key)) read(node[key]);
}

// A name from a table, or one of its numeric values.
DWORD Named(const Node& node, const std::map<std::string, DWORD>& names, std::int64_t max) {
  if (node.Value().is_string()) {
    auto it = names.find(node.String());
    if (it != names.end()) return it->second;
    std::string list;
    for (const auto& [name, value] : names) list += (list.empty() ? "\"" : ", \"") + name + "\"";
    node.Fail("unknown name \"" + node.String() + "\"; expected one of " + list + " or a number");
  }
  return static_cast<DWORD>(node.Integer(0, max));
}

GUID NamedGuid(const Node& node, const std::map<std::string, GUID>& names, const char* what) {
  const std::string text = node.String();
  for (const auto& [name, guid] : names) {
    if (ToUpperAscii(name) == ToUpperAscii(text)) return guid;
  }
  if (const std::optional<GUID> guid = GuidFromString(text)) return *guid;
  std::string list;
  for (const auto& [name, guid] : names) list += (list.empty() ? "\"" : ", \"") + name + "\"";
  node.Fail("unknown " + std::string(what) + " \"" + text + "\"; expected one of " + list +
            " or a GUID in braces");
}

const std::map<std::string, GUID>& SetupClasses() {
  static const std::map<std::string, GUID> names = {
      {"USB", guids::DevClassUsb},         {"Mouse", guids::DevClassMouse},
      {"Keyboard", guids::DevClassKeyboard}, {"HIDClass", guids::DevClassHid},
      {"System", guids::DevClassSystem},   {"DiskDrive", guids::DevClassDiskDrive},
  };
  return names;
}

const std::map<std::string, GUID>& InterfaceClasses() {
  static const std::map<std::string, GUID> names = {
      {"USB_DEVICE", guids::InterfaceUsbDevice},
      {"USB_HUB", guids::InterfaceUsbHub},
      {"USB_HOST_CONTROLLER", guids::InterfaceUsbHostController},
      {"HID", guids::InterfaceHid},
  };
  return names;
}

const std::map<std::string, DWORD>& PropertyNames() {
  static const std::map<std::string, DWORD> names = {
      {"DeviceDesc", SPDRP_DEVICEDESC},
      {"HardwareID", SPDRP_HARDWAREID},
      {"CompatibleIDs", SPDRP_COMPATIBLEIDS},
      {"Service", SPDRP_SERVICE},
      {"Class", SPDRP_CLASS},
      {"ClassGUID", SPDRP_CLASSGUID},
      {"Driver", SPDRP_DRIVER},
      {"Mfg", SPDRP_MFG},
      {"FriendlyName", SPDRP_FRIENDLYNAME},
      {"LocationInformation", SPDRP_LOCATION_INFORMATION},
      {"UpperFilters", SPDRP_UPPERFILTERS},
      {"LowerFilters", SPDRP_LOWERFILTERS},
      {"EnumeratorName", SPDRP_ENUMERATOR_NAME},
      {"Address", SPDRP_ADDRESS},
  };
  return names;
}

std::vector<BYTE> HexBytes(const Node& node) {
  const std::string text = node.String();
  std::vector<BYTE> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else node.Fail("expected hex digits in pairs, such as \"0a0b\"");
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<BYTE>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0) node.Fail("expected hex digits in pairs, such as \"0a0b\"");
  return bytes;
}

// string: REG_SZ; array of strings: REG_MULTI_SZ; number: REG_DWORD;
// {"dword": n}, {"qword": n}, {"type": n, "hex": "..."}.
RegValue ReadValue(const Node& node) {
  const Json& v = node.Value();
  if (node.IsText()) return RegValue::String(node.String());
  if (v.is_number()) return RegValue::Dword(node.Dword());
  if (v.is_array()) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < v.size(); ++i) entries.push_back(node[i].String());
    return RegValue::MultiString(entries);
  }
  if (v.is_object()) {
    node.Object({"dword", "qword", "type", "hex", "error"});
    if (node.Has("error") && v.size() == 1) return RegValue::Unreadable(node["error"].ErrorCode());
    if (node.Has("dword") && v.size() == 1) return RegValue::Dword(node["dword"].Dword());
    if (node.Has("qword") && v.size() == 1) return RegValue::Qword(node["qword"].Qword());
    if (node.Has("type") && node.Has("hex") && v.size() == 2) {
      return RegValue::Binary(HexBytes(node["hex"]), node["type"].Dword());
    }
  }
  node.Fail("expected a registry value: a string, an array of strings, a number, {\"dword\": n}, "
            "{\"qword\": n}, {\"type\": n, \"hex\": \"...\"} or {\"error\": n}");
}

ValueMap ReadKey(const Node& node) {
  if (!node.Value().is_object()) node.Fail("expected an object of registry values or null");
  ValueMap values;
  for (const auto& [name, v] : node.Value().items()) values[name] = ReadValue(node[name]);
  return values;
}

std::optional<ValueMap> ReadOptionalKey(const Node& node) {
  if (node.Value().is_null()) return std::nullopt;
  return ReadKey(node);
}

SystemInfo ReadSystem(const Node& node) {
  node.Object({"platformId", "wow64", "hasWow64Functions", "isWow64ProcessFails", "windowsDirectory",
               "currentDirectory", "administrator", "heldPrivileges", "hasNtSetSystemInformation", "clipboardBusy", "helperExitCode", "highContrast",
               "messages", "serviceManagerError", "registry"});
  SystemInfo s;
  IfHas(node, "platformId", [&](const Node& n) {
    s.platformId = Named(n, {{"NT", VER_PLATFORM_WIN32_NT}, {"9x", VER_PLATFORM_WIN32_WINDOWS}}, 0xFFFFFFFFLL);
  });
  IfHas(node, "wow64", [&](const Node& n) { s.wow64 = n.Bool(); });
  IfHas(node, "hasWow64Functions", [&](const Node& n) { s.hasWow64Functions = n.Bool(); });
  IfHas(node, "isWow64ProcessFails", [&](const Node& n) { s.isWow64ProcessFails = n.Bool(); });
  IfHas(node, "windowsDirectory", [&](const Node& n) { s.windowsDirectory = n.String(); });
  IfHas(node, "currentDirectory", [&](const Node& n) { s.currentDirectory = n.String(); });
  IfHas(node, "administrator", [&](const Node& n) { s.administrator = n.Bool(); });
  IfHas(node, "serviceManagerError", [&](const Node& n) { s.serviceManagerError = n.ErrorCode(); });
  IfHas(node, "heldPrivileges", [&](const Node& n) {
    s.heldPrivileges.clear();
    for (std::size_t i = 0; i < n.ArraySize(); ++i) s.heldPrivileges.insert(n[i].String());
  });
  IfHas(node, "hasNtSetSystemInformation", [&](const Node& n) { s.hasNtSetSystemInformation = n.Bool(); });
  IfHas(node, "clipboardBusy", [&](const Node& n) { s.clipboardBusy = n.Bool(); });
  IfHas(node, "highContrast", [&](const Node& n) { s.highContrast = n.Bool(); });
  IfHas(node, "helperExitCode", [&](const Node& n) { s.helperExitCode = n.ErrorCode(); });
  IfHas(node, "registry", [&](const Node& n) {
    if (!n.Value().is_object()) n.Fail("expected an object of key paths and their values");
    for (const auto& [path, values] : n.Value().items()) s.machineKeys[path] = ReadKey(n[path]);
  });
  IfHas(node, "messages", [&](const Node& n) {
    if (!n.Value().is_object()) n.Fail("expected an object of error codes and texts");
    for (const auto& [code, text] : n.Value().items()) {
      const Node entry = n[code];
      char* end = nullptr;
      const unsigned long long value = std::strtoull(code.c_str(), &end, 0);
      if (code.empty() || *end != '\0' || value > 0xFFFFFFFFull) entry.Fail("expected an error code as the key");
      s.messages[static_cast<DWORD>(value)] = entry.String();
    }
  });
  return s;
}

Pipe ReadPipe(const Node& node) {
  node.Object({"type", "attributes", "interval", "endpoint", "maxPacket", "scheduleOffset"});
  Pipe p;
  if (node.Has("type") && node.Has("attributes")) node["attributes"].Fail("give either \"type\" or \"attributes\"");
  IfHas(node, "type", [&](const Node& n) {
    p.attributes = static_cast<BYTE>(
        Named(n, {{"control", 0}, {"isochronous", 1}, {"bulk", 2}, {"interrupt", 3}}, 3));
  });
  IfHas(node, "attributes", [&](const Node& n) { p.attributes = n.Byte(); });
  IfHas(node, "interval", [&](const Node& n) { p.interval = n.Byte(); });
  IfHas(node, "endpoint", [&](const Node& n) { p.endpointAddress = n.Byte(); });
  IfHas(node, "maxPacket", [&](const Node& n) { p.maxPacketSize = static_cast<WORD>(n.Integer(0, 0xFFFF)); });
  IfHas(node, "scheduleOffset", [&](const Node& n) { p.scheduleOffset = n.Dword(); });
  return p;
}

PortConnection ReadConnection(const Node& node) {
  node.Object({"port", "device", "driverKeyName", "speed", "v2Flags", "pipes", "openPipes", "actualLength", "fail"});
  PortConnection c;
  if (!node.Has("port")) node.Fail("missing \"port\"");
  c.port = static_cast<ULONG>(node["port"].Integer(1, 255));
  IfHas(node, "device", [&](const Node& n) { c.device = n.String(); });
  IfHas(node, "driverKeyName", [&](const Node& n) { c.driverKeyName = n.String(); });
  IfHas(node, "speed", [&](const Node& n) {
    c.speed = static_cast<BYTE>(
        Named(n, {{"low", 0}, {"full", 1}, {"high", 2}, {"super", 3}, {"superPlus", 4}}, 255));
  });
  IfHas(node, "v2Flags", [&](const Node& n) { c.v2Flags = n.Dword(); });
  IfHas(node, "pipes", [&](const Node& n) {
    for (std::size_t i = 0; i < n.ArraySize(); ++i) c.pipes.push_back(ReadPipe(n[i]));
  });
  IfHas(node, "openPipes", [&](const Node& n) {
    c.openPipesOverride = static_cast<LONG>(n.Integer(std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max()));
  });
  IfHas(node, "actualLength", [&](const Node& n) { c.actualLengthOverride = n.Dword(); });
  // "fail": the controls' names (ERROR_GEN_FAILURE), or an object of names and error codes.
  const auto failControl = [&c](const Node& at, const std::string& what, DWORD error) {
    if (what == "ex") c.exFails = true, c.exError = error;
    else if (what == "v2") c.v2Fails = true, c.v2Error = error;
    else if (what == "plain") c.plainFails = true, c.plainError = error;
    else if (what == "driverKey") c.driverKeyFails = true, c.driverKeyError = error;
    else if (what == "driverKeyName") c.driverKeyNameFails = true, c.driverKeyNameError = error;
    else at.Fail("unknown control \"" + what +
                 "\"; expected \"ex\", \"v2\", \"plain\", \"driverKey\" or \"driverKeyName\"");
  };
  IfHas(node, "fail", [&](const Node& n) {
    if (n.Value().is_object()) {
      for (const auto& [what, code] : n.Value().items()) failControl(n[what], what, n[what].ErrorCode());
      return;
    }
    for (std::size_t i = 0; i < n.ArraySize(); ++i) failControl(n[i], n[i].String(), ERROR_GEN_FAILURE);
  });
  return c;
}

Hub ReadHub(const Node& node) {
  node.Object({"nodeType", "ports", "nodeInfoFails", "openError", "connections"});
  Hub h;
  IfHas(node, "nodeType", [&](const Node& n) { h.nodeType = Named(n, {{"hub", 0}, {"miParent", 1}}, 1); });
  IfHas(node, "ports", [&](const Node& n) { h.numberOfPorts = n.Byte(); });
  IfHas(node, "nodeInfoFails", [&](const Node& n) {
    if (n.Value().is_boolean()) {
      h.nodeInfoFails = n.Bool();
    } else if (n.Value().is_number()) {
      h.nodeInfoFails = true;
      h.nodeInfoError = n.ErrorCode();
    } else {
      n.Fail("expected true or false or an error code");
    }
  });
  IfHas(node, "openError", [&](const Node& n) { h.openError = n.ErrorCode(); });
  IfHas(node, "connections", [&](const Node& n) {
    std::map<ULONG, std::size_t> seen;
    for (std::size_t i = 0; i < n.ArraySize(); ++i) {
      h.connections.push_back(ReadConnection(n[i]));
      auto [it, added] = seen.emplace(h.connections.back().port, i);
      if (!added) {
        n[i]["port"].Fail("port " + std::to_string(it->first) + " is listed twice (first at " + n[it->second].Where() +
                          ")");
      }
    }
  });
  return h;
}

Device ReadDevice(const Node& node) {
  node.Object({"id", "parent", "class", "present", "problem", "status", "statusFails", "properties", "interfaces",
               "driverKey", "hardwareKey", "driverKeyError", "hardwareKeyError", "deviceIdError", "parentError", "hub",
               "needsReboot", "problemAfterRestart", "problemWithFilter"});
  Device d;
  if (!node.Has("id")) node.Fail("missing \"id\" (the instance ID)");
  d.instanceId = node["id"].String();
  if (d.instanceId.empty()) node["id"].Fail("the instance ID is empty");
  IfHas(node, "parent", [&](const Node& n) { d.parent = n.String(); });
  IfHas(node, "class", [&](const Node& n) { d.classGuid = NamedGuid(n, SetupClasses(), "setup class"); });
  IfHas(node, "present", [&](const Node& n) { d.present = n.Bool(); });
  IfHas(node, "problem", [&](const Node& n) { d.problem = n.Dword(); });
  IfHas(node, "status", [&](const Node& n) { d.status = n.Dword(); });
  IfHas(node, "statusFails", [&](const Node& n) { d.statusFails = n.Bool(); });
  IfHas(node, "needsReboot", [&](const Node& n) { d.needsReboot = n.Bool(); });
  IfHas(node, "problemAfterRestart", [&](const Node& n) { d.problemAfterRestart = n.ErrorCode(); });
  IfHas(node, "problemWithFilter", [&](const Node& n) { d.problemWithFilter = n.ErrorCode(); });
  IfHas(node, "deviceIdError", [&](const Node& n) { d.deviceIdError = n.ErrorCode(); });
  IfHas(node, "parentError", [&](const Node& n) { d.parentError = n.ErrorCode(); });
  IfHas(node, "properties", [&](const Node& n) {
    if (!n.Value().is_object()) n.Fail("expected an object of device properties");
    for (const auto& [name, v] : n.Value().items()) {
      const Node entry = n[name];
      DWORD code;
      auto it = PropertyNames().find(name);
      if (it != PropertyNames().end()) {
        code = it->second;
      } else if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos && name.size() <= 3) {
        code = static_cast<DWORD>(std::stoul(name));
      } else {
        entry.Fail("unknown property \"" + name + "\"; expected a name such as \"DeviceDesc\" or an SPDRP_ code");
      }
      d.properties[code] = ReadValue(entry);
    }
  });
  IfHas(node, "interfaces", [&](const Node& n) {
    for (std::size_t i = 0; i < n.ArraySize(); ++i) {
      d.interfaces.push_back(NamedGuid(n[i], InterfaceClasses(), "interface class"));
    }
  });
  IfHas(node, "driverKey", [&](const Node& n) { d.driverKey = ReadOptionalKey(n); });
  IfHas(node, "hardwareKey", [&](const Node& n) { d.hardwareKey = ReadOptionalKey(n); });
  IfHas(node, "driverKeyError", [&](const Node& n) { d.driverKeyError = n.ErrorCode(); });
  IfHas(node, "hardwareKeyError", [&](const Node& n) { d.hardwareKeyError = n.ErrorCode(); });
  IfHas(node, "hub", [&](const Node& n) { d.hub = ReadHub(n); });
  return d;
}

Service ReadService(const Node& node) {
  node.Object({"name", "displayName", "type", "startType", "errorControl", "binaryPath", "state", "startError",
               "openError", "configError", "statusError"});
  Service s;
  if (!node.Has("name")) node.Fail("missing \"name\"");
  s.name = node["name"].String();
  if (s.name.empty()) node["name"].Fail("the service name is empty");
  s.displayName = s.name;
  IfHas(node, "displayName", [&](const Node& n) { s.displayName = n.String(); });
  IfHas(node, "type", [&](const Node& n) {
    s.type = Named(n, {{"kernelDriver", SERVICE_KERNEL_DRIVER}, {"ownProcess", SERVICE_WIN32_OWN_PROCESS}},
                   0xFFFFFFFFLL);
  });
  IfHas(node, "startType", [&](const Node& n) {
    s.startType = Named(n,
                        {{"boot", SERVICE_BOOT_START},
                         {"system", SERVICE_SYSTEM_START},
                         {"auto", SERVICE_AUTO_START},
                         {"demand", SERVICE_DEMAND_START},
                         {"disabled", SERVICE_DISABLED}},
                        4);
  });
  IfHas(node, "errorControl", [&](const Node& n) { s.errorControl = static_cast<DWORD>(n.Integer(0, 3)); });
  IfHas(node, "binaryPath", [&](const Node& n) { s.binaryPath = n.String(); });
  IfHas(node, "state", [&](const Node& n) {
    s.state = Named(n,
                    {{"stopped", SERVICE_STOPPED},
                     {"startPending", SERVICE_START_PENDING},
                     {"stopPending", SERVICE_STOP_PENDING},
                     {"running", SERVICE_RUNNING},
                     {"paused", SERVICE_PAUSED}},
                    7);
  });
  IfHas(node, "startError", [&](const Node& n) { s.startError = n.Dword(); });
  IfHas(node, "openError", [&](const Node& n) { s.openError = n.ErrorCode(); });
  IfHas(node, "configError", [&](const Node& n) { s.configError = n.ErrorCode(); });
  IfHas(node, "statusError", [&](const Node& n) { s.statusError = n.ErrorCode(); });
  return s;
}

File ReadFile(const Node& node) {
  node.Object({"path", "version", "loadable", "versionInfoApi", "content", "openError", "loadError", "resourceError",
               "versionError"});
  File f;
  if (!node.Has("path")) node.Fail("missing \"path\"");
  f.path = node["path"].String();
  if (f.path.empty()) node["path"].Fail("the path is empty");
  IfHas(node, "version", [&](const Node& n) {
    if (n.Value().is_null()) return;
    n.Object({"fileVersion", "language", "codePage", "translation"});
    FileVersion v;
    if (!n.Has("fileVersion")) n.Fail("missing \"fileVersion\"");
    v.fileVersion = n["fileVersion"].String();
    IfHas(n, "language", [&](const Node& x) { v.language = static_cast<WORD>(x.Integer(0, 0xFFFF)); });
    IfHas(n, "codePage", [&](const Node& x) { v.codePage = static_cast<WORD>(x.Integer(0, 0xFFFF)); });
    IfHas(n, "translation", [&](const Node& x) { v.hasTranslation = x.Bool(); });
    f.version = v;
  });
  IfHas(node, "loadable", [&](const Node& n) { f.loadableAsData = n.Bool(); });
  IfHas(node, "versionInfoApi", [&](const Node& n) { f.versionInfoApi = n.Bool(); });
  IfHas(node, "openError", [&](const Node& n) { f.openError = n.ErrorCode(); });
  IfHas(node, "loadError", [&](const Node& n) { f.loadError = n.ErrorCode(); });
  IfHas(node, "resourceError", [&](const Node& n) { f.resourceError = n.ErrorCode(); });
  IfHas(node, "versionError", [&](const Node& n) { f.versionError = n.ErrorCode(); });
  IfHas(node, "content", [&](const Node& n) { f.content = n.String(); });
  return f;
}

// The device list as a whole: unique IDs, existing parents, one root, no cycle, and
// hub connections that name existing devices.
void CheckDeviceTree(const Node& devices, const std::vector<Device>& list) {
  if (list.empty()) return;
  std::map<std::string, std::size_t> byId;
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto [it, added] = byId.emplace(ToUpperAscii(list[i].instanceId), i);
    if (!added) {
      devices[i]["id"].Fail("the instance ID \"" + list[i].instanceId + "\" is used twice (first at " +
                            devices[it->second].Where() + ")");
    }
  }
  std::optional<std::size_t> root;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].parent.empty()) {
      if (root) {
        devices[i].Fail("a second root device (the first is " + devices[*root].Where() +
                        "); every other device needs a \"parent\"");
      }
      root = i;
    } else if (byId.count(ToUpperAscii(list[i].parent)) == 0) {
      devices[i]["parent"].Fail("no device has the instance ID \"" + list[i].parent + "\"");
    }
  }
  if (!root) devices.Fail("no root device: one device must have no \"parent\"");
  for (std::size_t i = 0; i < list.size(); ++i) {
    // Climbing from each device must reach the root within list.size() steps.
    std::size_t at = i;
    for (std::size_t steps = 0; !list[at].parent.empty(); ++steps) {
      if (steps > list.size()) devices[i]["parent"].Fail("the parents form a cycle");
      at = byId.at(ToUpperAscii(list[at].parent));
    }
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].hub) continue;
    const std::vector<PortConnection>& connections = list[i].hub->connections;
    for (std::size_t c = 0; c < connections.size(); ++c) {
      const std::string& attached = connections[c].device;
      if (!attached.empty() && byId.count(ToUpperAscii(attached)) == 0) {
        devices[i]["hub"]["connections"][c]["device"].Fail("no device has the instance ID \"" + attached + "\"");
      }
    }
  }
}

std::string LineAndColumn(const std::string& text, std::size_t byte) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  // The parser reports the position after the offending character.
  if (column > 1) --column;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

MachineModel Machine::ParseModel(const std::string& text) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    std::string reason = e.what();
    const std::size_t colon = reason.rfind(": ");
    if (colon != std::string::npos) reason = reason.substr(colon + 2);
    throw MachineFileError("/: invalid JSON at " + LineAndColumn(text, e.byte) + ": " + reason);
  } catch (const Json::out_of_range& e) {
    // A number beyond what a double holds ("1e400"); the parser names it, not its place.
    std::string reason = e.what();
    const std::size_t bracket = reason.find("] ");
    if (bracket != std::string::npos) reason = reason.substr(bracket + 2);
    throw MachineFileError("/: invalid JSON: " + reason);
  }
  const Node root(json, "");
  root.Object({"system", "devices", "services", "files"});

  MachineModel model;
  IfHas(root, "system", [&](const Node& n) { model.system = ReadSystem(n); });
  IfHas(root, "devices", [&](const Node& n) {
    for (std::size_t i = 0; i < n.ArraySize(); ++i) model.devices.push_back(ReadDevice(n[i]));
    CheckDeviceTree(n, model.devices);
  });
  IfHas(root, "services", [&](const Node& n) {
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < n.ArraySize(); ++i) {
      model.services.push_back(ReadService(n[i]));
      auto [it, added] = seen.emplace(ToUpperAscii(model.services.back().name), i);
      if (!added) n[i]["name"].Fail("the service \"" + model.services.back().name + "\" is listed twice");
    }
  });
  IfHas(root, "files", [&](const Node& n) {
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < n.ArraySize(); ++i) {
      model.files.push_back(ReadFile(n[i]));
      auto [it, added] = seen.emplace(ToUpperAscii(model.files.back().path), i);
      if (!added) n[i]["path"].Fail("the file \"" + model.files.back().path + "\" is listed twice");
    }
  });
  return model;
}

// The built-in gaming PC; docs/machine-format.md walks through it.
const char* Machine::DefaultJson() {
  return R"json({
  "system": {
    "platformId": "NT",
    "windowsDirectory": "C:\\WINDOWS",
    "currentDirectory": "C:\\MORVANE"
  },
  "devices": [
    {"id": "HTREE\\ROOT\\0", "properties": {"DeviceDesc": "Root"}},
    {"id": "ACPI\\PNP0A08\\0", "parent": "HTREE\\ROOT\\0", "class": "System",
     "properties": {"DeviceDesc": "PCI Express Root Complex", "Service": "pci", "EnumeratorName": "ACPI",
                    "HardwareID": ["ACPI\\PNP0A08", "*PNP0A08"],
                    "Driver": "{4d36e97d-e325-11ce-bfc1-08002be10318}\\0012"},
     "driverKey": {"DriverDesc": "PCI Express Root Complex", "ProviderName": "Microsoft"}},

    {"id": "PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10\\3&11583659&0&A0", "parent": "ACPI\\PNP0A08\\0",
     "class": "USB", "interfaces": ["USB_HOST_CONTROLLER"],
     "properties": {"DeviceDesc": "USB xHCI Compliant Host Controller", "Service": "USBXHCI", "Mfg": "Generic USB xHCI Host Controller",
                    "HardwareID": ["PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10", "PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043",
                                   "PCI\\VEN_8086&DEV_A36D&CC_0C0330", "PCI\\VEN_8086&DEV_A36D"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0000"},
     "driverKey": {"DriverDesc": "USB xHCI Compliant Host Controller", "ProviderName": "Microsoft",
                   "DriverVersion": "10.0.19041.3636"}},
    {"id": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0", "parent": "PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10\\3&11583659&0&A0",
     "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "USB Root Hub (USB 3.0)", "Service": "USBHUB3", "EnumeratorName": "USB",
                    "HardwareID": ["USB\\ROOT_HUB30&VID8086&PIDA36D&REV0010", "USB\\ROOT_HUB30&VID8086&PIDA36D", "USB\\ROOT_HUB30"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0001"},
     "driverKey": {"DriverDesc": "USB Root Hub (USB 3.0)", "ProviderName": "Microsoft", "DriverVersion": "10.0.19041.3636"},
     "hub": {"ports": 10, "connections": [
       {"port": 1, "device": "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1", "speed": "full",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 64, "interval": 1}]},
       {"port": 2, "device": "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2", "speed": "full",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 8, "interval": 1},
                  {"type": "interrupt", "endpoint": 130, "maxPacket": 16, "interval": 4}]},
       {"port": 3, "device": "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3", "speed": "high",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 1, "interval": 12}]},
       {"port": 4, "device": "USB\\VID_0951&PID_1666\\60A44C413B8DF1B0C9B800F6", "speed": "high",
        "pipes": [{"type": "bulk", "endpoint": 129, "maxPacket": 512},
                  {"type": "bulk", "endpoint": 2, "maxPacket": 512}]},
       {"port": 5, "device": "USB\\VID_0BDA&PID_B812\\123456", "speed": "high"},
       {"port": 6, "device": "USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6", "speed": "full", "fail": ["ex", "plain"],
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 32, "interval": 2}]}
     ]}},

    {"id": "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "USB", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Composite Device", "FriendlyName": "Raptor Pro Gaming Mouse", "Service": "usbccgp",
                    "HardwareID": ["USB\\VID_1A2C&PID_0E24&REV_0105", "USB\\VID_1A2C&PID_0E24"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0002", "Address": 1,
                    "LowerFilters": ["morvane", "ravenflt"], "LocationInformation": "Port_#0001.Hub_#0001"},
     "driverKey": {"DriverDesc": "USB Composite Device", "ProviderName": "Microsoft", "bInterval": {"dword": 1}},
     "hardwareKey": {}},
    {"id": "USB\\VID_1A2C&PID_0E24&MI_00\\7&2B3C4D5E&0&0000", "parent": "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1",
     "class": "HIDClass",
     "properties": {"DeviceDesc": "USB Input Device", "Service": "HidUsb", "EnumeratorName": "USB",
                    "HardwareID": ["USB\\VID_1A2C&PID_0E24&REV_0105&MI_00", "USB\\VID_1A2C&PID_0E24&MI_00"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0003"},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"}},
    {"id": "HID\\VID_1A2C&PID_0E24&MI_00\\8&1D2E3F40&0&0000", "parent": "USB\\VID_1A2C&PID_0E24&MI_00\\7&2B3C4D5E&0&0000",
     "class": "HIDClass", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant device", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_0E24&REV_0105&MI_00", "HID\\VID_1A2C&PID_0E24&MI_00"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0004"},
     "driverKey": {"DriverDesc": "HID-compliant device", "ProviderName": "Microsoft"}},
    {"id": "HID\\VID_1A2C&PID_0E24&MI_00&COL01\\9&3A1F2B7C&0&0000", "parent": "HID\\VID_1A2C&PID_0E24&MI_00\\8&1D2E3F40&0&0000",
     "class": "Mouse", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant mouse", "Service": "mouhid", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_0E24&MI_00&Col01", "HID_DEVICE_SYSTEM_MOUSE"],
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0000"},
     "driverKey": {"DriverDesc": "HID-compliant mouse", "ProviderName": "Microsoft"}},

    {"id": "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "USB", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Composite Device", "FriendlyName": "Raptor Mechanical Keyboard", "Service": "usbccgp",
                    "HardwareID": ["USB\\VID_1A2C&PID_2124&REV_0210", "USB\\VID_1A2C&PID_2124"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0003", "Address": 2},
     "driverKey": {"DriverDesc": "USB Composite Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "USB\\VID_1A2C&PID_2124&MI_00\\7&1A9B8C7D&0&0000", "parent": "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2",
     "class": "HIDClass",
     "properties": {"DeviceDesc": "USB Input Device", "Service": "HidUsb", "EnumeratorName": "USB",
                    "HardwareID": ["USB\\VID_1A2C&PID_2124&REV_0210&MI_00", "USB\\VID_1A2C&PID_2124&MI_00"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0005"},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"}},
    {"id": "HID\\VID_1A2C&PID_2124&MI_00\\8&2C4D6E8F&0&0000", "parent": "USB\\VID_1A2C&PID_2124&MI_00\\7&1A9B8C7D&0&0000",
     "class": "Keyboard", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID Keyboard Device", "Service": "kbdhid", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_2124&REV_0210&MI_00", "HID_DEVICE_SYSTEM_KEYBOARD"],
                    "Driver": "{4d36e96b-e325-11ce-bfc1-08002be10318}\\0000"},
     "driverKey": {"DriverDesc": "HID Keyboard Device", "ProviderName": "Microsoft"}},
    {"id": "USB\\VID_1A2C&PID_2124&MI_01\\7&1A9B8C7D&0&0001", "parent": "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2",
     "class": "HIDClass",
     "properties": {"DeviceDesc": "USB Input Device", "Service": "HidUsb", "EnumeratorName": "USB",
                    "HardwareID": ["USB\\VID_1A2C&PID_2124&REV_0210&MI_01", "USB\\VID_1A2C&PID_2124&MI_01"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0006"},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"}},
    {"id": "HID\\VID_1A2C&PID_2124&MI_01&COL01\\8&3E5F7A9B&0&0000", "parent": "USB\\VID_1A2C&PID_2124&MI_01\\7&1A9B8C7D&0&0001",
     "class": "HIDClass", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant consumer control device", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_2124&MI_01&Col01", "HID_DEVICE_UP:000C_U:0001"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0007"},
     "driverKey": {"DriverDesc": "HID-compliant consumer control device", "ProviderName": "Microsoft"}},

    {"id": "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "USB", "interfaces": ["USB_DEVICE", "USB_HUB"],
     "properties": {"DeviceDesc": "Generic USB Hub", "Service": "USBHUB3",
                    "HardwareID": ["USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0004", "Address": 3},
     "driverKey": {"DriverDesc": "Generic USB Hub", "ProviderName": "Microsoft"},
     "hub": {"ports": 4, "connections": [
       {"port": 1, "device": "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1", "speed": "low",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 4, "interval": 10}]},
       {"port": 2}, {"port": 3}, {"port": 4}
     ]}},
    {"id": "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1", "parent": "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3",
     "class": "HIDClass", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Input Device", "FriendlyName": "USB Optical Mouse", "Service": "HidUsb",
                    "HardwareID": ["USB\\VID_0461&PID_4D81&REV_0100", "USB\\VID_0461&PID_4D81"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0008", "Address": 1},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "HID\\VID_0461&PID_4D81\\8&1F3E5D7C&0&0000", "parent": "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1",
     "class": "Mouse", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant mouse", "Service": "mouhid", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_0461&PID_4D81&REV_0100", "HID_DEVICE_SYSTEM_MOUSE"],
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0001"},
     "driverKey": {"DriverDesc": "HID-compliant mouse", "ProviderName": "Microsoft"}},

    {"id": "USB\\VID_0951&PID_1666\\60A44C413B8DF1B0C9B800F6", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "USB", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Mass Storage Device", "Service": "USBSTOR",
                    "HardwareID": ["USB\\VID_0951&PID_1666&REV_0110", "USB\\VID_0951&PID_1666"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0005", "Address": 4},
     "driverKey": {"DriverDesc": "USB Mass Storage Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\\60A44C413B8DF1B0C9B800F6&0",
     "parent": "USB\\VID_0951&PID_1666\\60A44C413B8DF1B0C9B800F6", "class": "DiskDrive",
     "properties": {"DeviceDesc": "Disk drive", "FriendlyName": "Generic Flash Disk USB Device", "Service": "disk",
                    "EnumeratorName": "USBSTOR",
                    "HardwareID": ["USBSTOR\\DiskGeneric_Flash_Disk_____1.00", "USBSTOR\\DiskGeneric_Flash_Disk_____", "GenDisk"],
                    "Driver": "{4d36e967-e325-11ce-bfc1-08002be10318}\\0001"},
     "driverKey": {"DriverDesc": "Disk drive", "ProviderName": "Microsoft"}},

    {"id": "USB\\VID_0BDA&PID_B812\\123456", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "{4D36E97E-E325-11CE-BFC1-08002BE10318}", "problem": 28,
     "properties": {"DeviceDesc": "802.11ac WLAN Adapter", "Address": 5,
                    "HardwareID": ["USB\\VID_0BDA&PID_B812&REV_0210", "USB\\VID_0BDA&PID_B812"]},
     "driverKey": null, "hardwareKey": {}},

    {"id": "USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6", "parent": "USB\\ROOT_HUB30\\4&2A7C8D4&0&0",
     "class": "HIDClass", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Input Device", "FriendlyName": "Wireless Receiver", "Service": "HidUsb",
                    "HardwareID": ["USB\\VID_1A2C&PID_7A11&REV_0300", "USB\\VID_1A2C&PID_7A11"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0009", "Address": 6},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "HID\\VID_1A2C&PID_7A11\\7&2F4E6D8C&0&0000", "parent": "USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6",
     "class": "HIDClass", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant vendor-defined device", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_7A11&REV_0300", "HID_DEVICE_UP:FF00_U:0001"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0010"},
     "driverKey": {"DriverDesc": "HID-compliant vendor-defined device", "ProviderName": "Microsoft"}},

    {"id": "PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04\\3&11583659&0&D0", "parent": "ACPI\\PNP0A08\\0",
     "class": "USB", "interfaces": ["USB_HOST_CONTROLLER"],
     "properties": {"DeviceDesc": "Standard Enhanced PCI to USB Host Controller", "Service": "usbehci",
                    "HardwareID": ["PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04", "PCI\\VEN_8086&DEV_1E2D&CC_0C0320"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0006"},
     "driverKey": {"DriverDesc": "Standard Enhanced PCI to USB Host Controller", "ProviderName": "Microsoft"}},
    {"id": "USB\\ROOT_HUB20\\4&1B3E9A5C&0", "parent": "PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04\\3&11583659&0&D0",
     "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "USB Root Hub", "Service": "usbhub",
                    "HardwareID": ["USB\\ROOT_HUB20&VID8086&PID1E2D&REV0004", "USB\\ROOT_HUB20"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0007"},
     "driverKey": {"DriverDesc": "USB Root Hub", "ProviderName": "Microsoft"},
     "hub": {"ports": 2, "connections": [
       {"port": 1, "device": "USB\\VID_1A2C&PID_3106\\5&2D4C6B8A&0&1", "speed": "full",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 64, "interval": 4},
                  {"type": "interrupt", "endpoint": 2, "maxPacket": 64, "interval": 4}]},
       {"port": 2}
     ]}},
    {"id": "USB\\VID_1A2C&PID_3106\\5&2D4C6B8A&0&1", "parent": "USB\\ROOT_HUB20\\4&1B3E9A5C&0",
     "class": "HIDClass", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Input Device", "FriendlyName": "Raptor Game Controller", "Service": "HidUsb",
                    "HardwareID": ["USB\\VID_1A2C&PID_3106&REV_0114", "USB\\VID_1A2C&PID_3106"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0011", "Address": 1},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "HID\\VID_1A2C&PID_3106\\6&3B5A7C9E&0&0000", "parent": "USB\\VID_1A2C&PID_3106\\5&2D4C6B8A&0&1",
     "class": "HIDClass", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID-compliant game controller", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_3106&REV_0114", "HID_DEVICE_SYSTEM_GAME"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0012"},
     "driverKey": {"DriverDesc": "HID-compliant game controller", "ProviderName": "Microsoft"}},

    {"id": "PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01\\4&2A3E1F0&0&000A", "parent": "ACPI\\PNP0A08\\0",
     "class": "USB",
     "properties": {"DeviceDesc": "AMD USB 3.10 eXtensible Host Controller - 1.10 (Microsoft)", "Service": "amdxhc",
                    "HardwareID": ["PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01", "PCI\\VEN_1022&DEV_43D5&CC_0C0330"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0008"},
     "driverKey": {"DriverDesc": "AMD USB 3.10 eXtensible Host Controller - 1.10 (Microsoft)", "ProviderName": "AMD"}},
    {"id": "USB\\ROOT_HUB30\\5&3C2D1E0F&0&0", "parent": "PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01\\4&2A3E1F0&0&000A",
     "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "AMD USB 3.10 Root Hub", "Service": "amdhub30",
                    "HardwareID": ["USB\\ROOT_HUB30&VID1022&PID43D5&REV0001", "USB\\ROOT_HUB30"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0009"},
     "driverKey": {"DriverDesc": "AMD USB 3.10 Root Hub", "ProviderName": "AMD"},
     "hub": {"ports": 4, "connections": [
       {"port": 1, "device": "USB\\VID_1A2C&PID_1B07\\5&1E3D5C7B&0&1", "speed": "full",
        "pipes": [{"type": "interrupt", "endpoint": 129, "maxPacket": 8, "interval": 10}]},
       {"port": 2}, {"port": 3}, {"port": 4}
     ]}},
    {"id": "USB\\VID_1A2C&PID_1B07\\5&1E3D5C7B&0&1", "parent": "USB\\ROOT_HUB30\\5&3C2D1E0F&0&0",
     "class": "HIDClass", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Input Device", "FriendlyName": "USB Keyboard", "Service": "HidUsb",
                    "HardwareID": ["USB\\VID_1A2C&PID_1B07&REV_0101", "USB\\VID_1A2C&PID_1B07"],
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0013", "Address": 1},
     "driverKey": {"DriverDesc": "USB Input Device", "ProviderName": "Microsoft"},
     "hardwareKey": {}},
    {"id": "HID\\VID_1A2C&PID_1B07\\6&2A4C6E8A&0&0000", "parent": "USB\\VID_1A2C&PID_1B07\\5&1E3D5C7B&0&1",
     "class": "Keyboard", "interfaces": ["HID"],
     "properties": {"DeviceDesc": "HID Keyboard Device", "Service": "kbdhid", "EnumeratorName": "HID",
                    "HardwareID": ["HID\\VID_1A2C&PID_1B07&REV_0101", "HID_DEVICE_SYSTEM_KEYBOARD"],
                    "Driver": "{4d36e96b-e325-11ce-bfc1-08002be10318}\\0001"},
     "driverKey": {"DriverDesc": "HID Keyboard Device", "ProviderName": "Microsoft"}}
  ],
  "services": [
    {"name": "pci", "displayName": "PCI Bus Driver", "startType": "boot", "state": "running",
     "binaryPath": "System32\\drivers\\pci.sys"},
    {"name": "USBXHCI", "displayName": "USB xHCI Compliant Host Controller", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\USBXHCI.SYS"},
    {"name": "USBHUB3", "displayName": "SuperSpeed Hub", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\UsbHub3.sys"},
    {"name": "usbehci", "displayName": "Microsoft USB 2.0 Enhanced Host Controller Miniport Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\usbehci.sys"},
    {"name": "usbhub", "displayName": "Microsoft USB Standard Hub Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\usbhub.sys"},
    {"name": "amdxhc", "displayName": "AMD USB 3.10 eXtensible Host Controller", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\amdxhc.sys"},
    {"name": "amdhub30", "displayName": "AMD USB 3.10 Hub", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\amdhub30.sys"},
    {"name": "usbccgp", "displayName": "Microsoft USB Generic Parent Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\usbccgp.sys"},
    {"name": "HidUsb", "displayName": "Microsoft HID Class Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\hidusb.sys"},
    {"name": "mouhid", "displayName": "Mouse HID Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\mouhid.sys"},
    {"name": "kbdhid", "displayName": "Keyboard HID Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\kbdhid.sys"},
    {"name": "USBSTOR", "displayName": "USB Mass Storage Driver", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\USBSTOR.SYS"},
    {"name": "disk", "displayName": "Disk Driver", "startType": "boot", "state": "running",
     "binaryPath": "System32\\drivers\\disk.sys"},
    {"name": "ravenflt", "displayName": "Raptor Macro Filter", "state": "running",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\ravenflt.sys"},
    {"name": "morvane", "displayName": "morvane", "startType": "demand", "state": "stopped",
     "binaryPath": "\\SystemRoot\\System32\\drivers\\morvane.sys"}
  ],
  "files": [
    {"path": "C:\\WINDOWS\\System32\\drivers\\pci.sys", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\USBXHCI.SYS", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\UsbHub3.sys", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\usbehci.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\usbport.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\usbhub.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\amdxhc.sys", "version": {"fileVersion": "1.1.0.0185"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\amdhub30.sys", "version": {"fileVersion": "1.1.0.0185"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\usbccgp.sys", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\hidusb.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\hidclass.sys", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\mouhid.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\kbdhid.sys", "version": {"fileVersion": "10.0.19041.1 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\USBSTOR.SYS", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\disk.sys", "version": {"fileVersion": "10.0.19041.3636 (WinBuild.160101.0800)"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\ravenflt.sys", "version": {"fileVersion": "2.4.1.0"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\morvane.sys", "version": {"fileVersion": "1.0.0.0"}},
    {"path": "C:\\MORVANE\\morvane.inf",
     "content": "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\nClassGUID={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%Provider%\r\nDriverVer=01/01/2026,1.0.0.0\r\n\r\n[DefaultInstall.NTamd64]\r\nCopyFiles=Morvane.Copy\r\n\r\n[DefaultInstall]\r\nCopyFiles=Morvane.Copy\r\n\r\n[DefaultInstall.Services]\r\nAddService=morvane,,Morvane.Service\r\n\r\n[Morvane.Copy]\r\nmorvane.sys\r\n\r\n[Morvane.Service]\r\nDisplayName=%ServiceName%\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\morvane.sys\r\n\r\n[SourceDisksNames]\r\n1=%Disk%\r\n\r\n[SourceDisksFiles]\r\nmorvane.sys=1\r\n\r\n[DestinationDirs]\r\nMorvane.Copy=12\r\n\r\n[Strings]\r\nProvider=\"MORVANE\"\r\nServiceName=\"morvane\"\r\nDisk=\"MORVANE Setup\"\r\n"},
    {"path": "C:\\MORVANE\\morvane.sys", "version": {"fileVersion": "1.0.0.0"}},
    {"path": "C:\\MORVANE\\TALON64.EXE", "version": {"fileVersion": "1.0.0.0"}}
  ]
})json";
}

std::unique_ptr<Machine> Machine::Default() { return FromJson(DefaultJson()); }

}  // namespace sim
