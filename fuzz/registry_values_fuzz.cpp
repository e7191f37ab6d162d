// Registry values: the device properties, "LowerFilters", "bInterval" and
// "NTMPDriver" of any type, size and content, on the NT and the 9x family.
//
// Input: a flag byte (bit 0: the 9x family); then per value a presence byte (bit 0),
// a 32-bit type, a 16-bit length and the bytes: LowerFilters, bInterval, NTMPDriver,
// DeviceDesc, FriendlyName, HardwareID, Service, Address; then up to three faults
// (function, calls let through, error) for the attach and the detach.
//
// Checked: every read is the neutral result or the stored value read by the rules
// (texts without their last byte, 4-byte numbers only at size 4, the lower filters
// split at NUL, CR, LF and CR LF without trailing empty entries); attaching inserts
// the filter's entry in front of the entries read, or writes nothing; detaching
// removes every copy of it and nothing else; no entry that was read is lost or moved,
// whichever call fails on the way; nothing is left open.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "fuzz/FuzzInput.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

using fuzz::Require;
using Entries = std::vector<std::string>;

const char* const kRoot = "HTREE\\ROOT\\0";
const char* const kHub = "USB\\ROOT_HUB30\\4&2B8A3C0&0&0";
const char* const kDevice = "USB\\VID_046D&PID_C08B\\5&1A2B3C&0&1";

struct StoredValue {
  bool present = false;
  sim::RegValue value;
};

StoredValue ReadStored(fuzz::FuzzInput& input) {
  StoredValue v;
  v.present = input.Flag();
  v.value.type = input.Dword();
  v.value.data = input.Sized();
  return v;
}

struct Case {
  bool nt = true;
  StoredValue lowerFilters, bInterval, ntmpDriver, description, friendlyName, hardwareId, service, address;
};

sim::Device Node(const std::string& id, const std::string& parent, std::vector<GUID> interfaces) {
  sim::Device device;
  device.instanceId = id;
  device.parent = parent;
  device.classGuid = sim::guids::DevClassUsb;
  device.interfaces = std::move(interfaces);
  device.driverKey = sim::ValueMap{};
  device.hardwareKey = sim::ValueMap{};
  return device;
}

sim::MachineModel MachineOf(const Case& c) {
  sim::MachineModel model;
  model.system.platformId = c.nt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
  model.devices.push_back(Node(kRoot, "", {}));
  sim::Device hub = Node(kHub, kRoot, {sim::guids::InterfaceUsbHub});
  hub.hub = sim::Hub{};
  hub.hub->connections.push_back(sim::PortConnection{});
  hub.hub->connections.back().port = 1;
  hub.hub->connections.back().device = kDevice;
  model.devices.push_back(hub);
  sim::Device device = Node(kDevice, kHub, {sim::guids::InterfaceUsbDevice});
  auto property = [&](DWORD code, const StoredValue& v) {
    if (v.present) device.properties[code] = v.value;
  };
  auto value = [](sim::ValueMap& key, const char* name, const StoredValue& v) {
    if (v.present) key[name] = v.value;
  };
  if (c.nt) property(SPDRP_LOWERFILTERS, c.lowerFilters);
  else value(*device.hardwareKey, "LowerFilters", c.lowerFilters);
  value(*device.driverKey, "bInterval", c.bInterval);
  value(*device.driverKey, "NTMPDriver", c.ntmpDriver);
  property(SPDRP_DEVICEDESC, c.description);
  property(SPDRP_FRIENDLYNAME, c.friendlyName);
  property(SPDRP_HARDWAREID, c.hardwareId);
  property(SPDRP_SERVICE, c.service);
  property(SPDRP_ADDRESS, c.address);
  model.devices.push_back(device);
  return model;
}

// ---- The values as the rules read them ----

std::string TextOf(const StoredValue& v) {
  if (!v.present || v.value.data.empty() || v.value.data.size() > 32768) return {};
  return std::string(v.value.data.begin(), v.value.data.end() - 1);
}

DWORD NumberOf(const StoredValue& v, bool exactSize) {
  if (!v.present) return 0;
  const std::size_t size = v.value.data.size();
  if (exactSize ? size != 4 : size > 4) return 0;
  DWORD value = 0;
  if (size != 0) std::memcpy(&value, v.value.data.data(), size);
  return value;
}

Entries EntriesOf(const std::vector<BYTE>& bytes) {
  Entries entries;
  std::string current;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i] == 0 ? '\r' : static_cast<char>(bytes[i]);
    if (c != '\r' && c != '\n') {
      current += c;
      continue;
    }
    entries.push_back(current);
    current.clear();
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
  }
  if (!current.empty()) entries.push_back(current);
  while (!entries.empty() && entries.back().empty()) entries.pop_back();
  return entries;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsFilter(const std::string& entry, bool nt) { return Lower(entry) == (nt ? "morvane" : "morvane.sys"); }

// The list once the filter's entries are gone. Empty entries that were followed only
// by the filter's become trailing ones, which a written list never keeps.
Entries WithoutFilter(Entries entries, bool nt) {
  entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const std::string& e) { return IsFilter(e, nt); }),
                entries.end());
  while (!entries.empty() && entries.back().empty()) entries.pop_back();
  return entries;
}

bool HasFilter(const Entries& entries, bool nt) {
  return std::any_of(entries.begin(), entries.end(), [&](const std::string& e) { return IsFilter(e, nt); });
}

std::string Joined(const Entries& entries) {
  std::string text;
  for (std::size_t i = 0; i < entries.size(); ++i) text += (i == 0 ? "" : ",") + entries[i];
  return text;
}

// The lower-filter entries the machine holds now.
Entries StoredEntries(sim::Machine& machine, bool nt) {
  const sim::Device* device = machine.FindDevice(kDevice);
  if (nt) {
    auto it = device->properties.find(SPDRP_LOWERFILTERS);
    return it == device->properties.end() ? Entries{} : EntriesOf(it->second.data);
  }
  auto it = device->hardwareKey->find("LowerFilters");
  return it == device->hardwareKey->end() ? Entries{} : EntriesOf(it->second.data);
}

// ---- The device under test ----

class DeviceUnderTest {
 public:
  explicit DeviceUnderTest(sim::Machine& machine)
      : lookup_(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr)) {
    SP_DEVINFO_DATA record{};
    Require(morvane::OpenDevInstInfo(lookup_.Get(), machine.DevInstOf(kDevice), record), "the device cannot be opened");
    device_ = std::make_unique<morvane::TDevice>(lookup_.Get(), record, lookup_.Get());
  }
  ~DeviceUnderTest() { device_.reset(); }
  morvane::TDevice& operator*() { return *device_; }
  morvane::TDevice* operator->() { return device_.get(); }

 private:
  platform::UniqueDevInfo lookup_;
  std::unique_ptr<morvane::TDevice> device_;
};

void CheckReads(sim::Machine& machine, const Case& c) {
  DeviceUnderTest device(machine);
  Require(device->GetPropertyString(SPDRP_DEVICEDESC) == TextOf(c.description), "DeviceDesc read wrong");
  Require(device->GetHardwareIds() == TextOf(c.hardwareId), "the hardware IDs read wrong");
  Require(device->GetPropertyDword(SPDRP_ADDRESS) == NumberOf(c.address, false), "the address read wrong");

  const std::string description = TextOf(c.description);
  const std::string friendly = TextOf(c.friendlyName);
  std::string name = description;
  if (!friendly.empty()) {
    name = !description.empty() && friendly.find(description) != std::string::npos ? friendly
                                                                                    : description + " - " + friendly;
  }
  Require(device->GetName() == name, "the display name read wrong");

  std::string service = TextOf(c.service);
  if (service.empty() && !c.nt) service = TextOf(c.ntmpDriver);
  Require(device->GetServiceName() == service, "the service (or NTMPDriver) read wrong");

  Require(device->GetOverrideInterval() == NumberOf(c.bInterval, true), "bInterval read wrong");
  const DWORD rate = device->GetRate();
  Require(rate <= morvane::kMaxRateIndex, "a rate index out of range");
  const std::string rateText = device->GetRateText();
  Require(!rateText.empty() && rateText.find_first_not_of("0123456789Default") == std::string::npos,
          "a rate text that is neither a number nor Default", rateText);

  const Entries stored = c.lowerFilters.present ? EntriesOf(c.lowerFilters.value.data) : Entries{};
  Require(device->GetLowerFilters() == stored, "the lower filters read wrong");
  Require(device->GetLowerFiltersText() == Joined(stored), "the lower-filter text is wrong");
  Require(device->IsFilterInstalled() == HasFilter(stored, c.nt), "the filter state read wrong");

  const std::string report = device->GetDriverReport();
  Require(report.size() >= 2 && report.compare(report.size() - 2, 2, "\r\n") == 0, "a report without its line end");
}

struct PlannedFault {
  const char* function;
  int skip;
  DWORD error;
};

std::vector<PlannedFault> ReadFaults(fuzz::FuzzInput& input) {
  static const char* const kFunctions[] = {"SetupDiGetDeviceRegistryPropertyA", "SetupDiSetDeviceRegistryPropertyA",
                                           "SetupDiOpenDevRegKey", "RegQueryValueExA", "RegSetValueExA",
                                           "RegDeleteValueA"};
  // Errors of a list that exists but cannot be read or written; "absent" errors are
  // left out, as they would tell the program truthfully that there is no list.
  static const DWORD kErrors[] = {ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER,
                                  ERROR_NOT_ENOUGH_MEMORY, ERROR_MORE_DATA};
  std::vector<PlannedFault> faults;
  const int count = input.Byte() % 4;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t function = input.Byte();
    const int skip = input.Byte() % 8;
    const std::uint8_t error = input.Byte();
    faults.push_back({kFunctions[function % std::size(kFunctions)], skip, kErrors[error % std::size(kErrors)]});
  }
  return faults;
}

void CheckAttachDetach(sim::Machine& machine, const Case& c, const std::vector<PlannedFault>& faults) {
  const Entries before = StoredEntries(machine, c.nt);
  const std::string filter = c.nt ? "morvane" : "morvane.sys";
  for (const PlannedFault& f : faults) machine.InjectFault(sim::Fault{f.function, f.error, f.skip, 1});

  { DeviceUnderTest(machine)->SetFilterInstalled(true); }
  const Entries attached = StoredEntries(machine, c.nt);
  Entries inserted = before;
  inserted.insert(inserted.begin(), filter);
  const bool attachRight = HasFilter(before, c.nt) ? attached == before : attached == inserted;
  Require(attachRight || (!faults.empty() && attached == before), "attaching lost, moved or added entries");

  { DeviceUnderTest(machine)->SetFilterInstalled(false); }
  const Entries detached = StoredEntries(machine, c.nt);
  const bool detachRight = detached == WithoutFilter(attached, c.nt);
  Require(detachRight || (!faults.empty() && detached == attached), "detaching lost, moved or added entries");

  if (faults.empty()) {
    Require(detached == WithoutFilter(before, c.nt), "attach and detach changed the other entries");
    Require(!DeviceUnderTest(machine)->IsFilterInstalled(), "the filter still reads as attached");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  fuzz::FuzzInput input(data, size);
  Case c;
  c.nt = !input.Flag();
  for (StoredValue* v : {&c.lowerFilters, &c.bInterval, &c.ntmpDriver, &c.description, &c.friendlyName,
                         &c.hardwareId, &c.service, &c.address}) {
    *v = ReadStored(input);
  }
  const std::vector<PlannedFault> faults = ReadFaults(input);

  sim::Machine machine(MachineOf(c));
  {
    platform::ScopedBackend scope(machine.Backend());
    CheckReads(machine, c);
    Require(machine.LeakReport().empty(), "resources left open by the reads", machine.LeakReport());
    CheckAttachDetach(machine, c, faults);
  }
  Require(machine.LeakReport().empty(), "resources left open", machine.LeakReport());
  return 0;
}
