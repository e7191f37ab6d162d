#include "platform/sim/device_index.h"

namespace sim {

namespace {
const std::vector<std::size_t> kNone;

const std::vector<std::size_t>& Lookup(const std::unordered_map<std::string, std::vector<std::size_t>>& map,
                                       const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? kNone : it->second;
}
}  // namespace

std::string PropertyText(const Device& device, DWORD property) {
  auto it = device.properties.find(property);
  if (it == device.properties.end()) return {};
  const std::vector<BYTE>& data = it->second.data;
  std::string text(data.begin(), data.end());
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::string EnumeratorOf(const Device& device) {
  std::string name = PropertyText(device, SPDRP_ENUMERATOR_NAME);
  if (!name.empty()) return name;
  const std::size_t slash = device.instanceId.find('\\');
  return slash == std::string::npos ? std::string() : device.instanceId.substr(0, slash);
}

void DeviceIndex::Rebuild(const MachineModel& model) {
  const std::size_t n = model.devices.size();
  byId_.clear();
  byId_.reserve(n);
  devInstOf_.assign(n, 0);
  parent_.assign(n, 0);
  children_.assign(n, {});
  position_.assign(n, 0);
  byEnumerator_.clear();
  bySetupClass_.clear();
  byInterface_.clear();
  ports_.assign(n, {});
  portOf_.assign(n, std::nullopt);

  for (std::size_t i = 0; i < n; ++i) {
    const Device& device = model.devices[i];
    const std::string key = ToUpperAscii(device.instanceId);
    if (!byId_.emplace(key, i).second) continue;  // a duplicate ID stays unreachable
    auto [it, added] = assigned_.emplace(key, nextDevInst_);
    if (added) ++nextDevInst_;
    devInstOf_[i] = it->second;
    byEnumerator_[ToUpperAscii(EnumeratorOf(device))].push_back(i);
    bySetupClass_[GuidToString(device.classGuid)].push_back(i);
    std::vector<std::string> seen;
    for (const GUID& g : device.interfaces) {
      std::string text = GuidToString(g);
      bool again = false;
      for (const std::string& s : seen) again = again || s == text;
      if (again) continue;
      seen.push_back(text);
      byInterface_[text].push_back(i);
    }
  }

  byDevInst_.assign(nextDevInst_, npos);
  for (std::size_t i = 0; i < n; ++i) {
    if (devInstOf_[i] != 0) byDevInst_[devInstOf_[i]] = i;
  }

  for (std::size_t i = 0; i < n; ++i) {
    const Device& device = model.devices[i];
    if (devInstOf_[i] == 0 || device.parent.empty()) continue;
    const std::size_t p = ById(device.parent);
    if (p == npos || p == i) continue;
    parent_[i] = devInstOf_[p];
    position_[i] = children_[p].size();
    children_[p].push_back(devInstOf_[i]);
  }

  for (std::size_t i = 0; i < n; ++i) {
    const Device& device = model.devices[i];
    if (devInstOf_[i] == 0 || !device.hub) continue;
    const std::vector<sim::PortConnection>& connections = device.hub->connections;
    for (std::size_t c = 0; c < connections.size(); ++c) {
      ports_[i].emplace(connections[c].port, c);
      if (connections[c].device.empty()) continue;
      const std::size_t attached = ById(connections[c].device);
      if (attached != npos && !portOf_[attached]) portOf_[attached] = PortRef{i, c};
    }
  }
}

std::size_t DeviceIndex::ByDevInst(DEVINST devInst) const {
  return devInst < byDevInst_.size() ? byDevInst_[devInst] : npos;
}

std::size_t DeviceIndex::ById(const std::string& instanceId) const {
  auto it = byId_.find(ToUpperAscii(instanceId));
  return it == byId_.end() ? npos : it->second;
}

DEVINST DeviceIndex::DevInstOf(const std::string& instanceId) const {
  const std::size_t i = ById(instanceId);
  return i == npos ? 0 : devInstOf_[i];
}

const std::vector<std::size_t>& DeviceIndex::WithEnumerator(const std::string& enumerator) const {
  return Lookup(byEnumerator_, ToUpperAscii(enumerator));
}

const std::vector<std::size_t>& DeviceIndex::WithSetupClass(const GUID& classGuid) const {
  return Lookup(bySetupClass_, GuidToString(classGuid));
}

const std::vector<std::size_t>& DeviceIndex::WithInterface(const GUID& interfaceClass) const {
  return Lookup(byInterface_, GuidToString(interfaceClass));
}

std::size_t DeviceIndex::ConnectionOfPort(std::size_t hubIndex, ULONG port) const {
  if (hubIndex >= ports_.size()) return npos;
  auto it = ports_[hubIndex].find(port);
  return it == ports_[hubIndex].end() ? npos : it->second;
}

std::optional<PortRef> DeviceIndex::PortOf(std::size_t modelIndex) const {
  return modelIndex < portOf_.size() ? portOf_[modelIndex] : std::nullopt;
}

}  // namespace sim
