// Lookups over the machine's device list: by DevInst, by instance ID, by enumerator,
// setup class and interface class, the tree's parent/child/sibling links, and a hub's
// ports. Built in one pass over the model; every lookup after that is a hash or
// vector access, so nothing scans the device list.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/sim/model.h"

namespace sim {

// Where a device hangs on a hub: the hub's model index and the connection's index.
struct PortRef {
  std::size_t hub = 0;
  std::size_t connection = 0;
};

class DeviceIndex {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Rebuilds every index from the model. DevInst values are handed out once per
  // instance ID (case-insensitive) and kept for the life of this object.
  void Rebuild(const MachineModel& model);

  std::size_t ByDevInst(DEVINST devInst) const;  // model index or npos
  std::size_t ById(const std::string& instanceId) const;
  DEVINST DevInstAt(std::size_t modelIndex) const { return devInstOf_[modelIndex]; }
  DEVINST DevInstOf(const std::string& instanceId) const;  // 0 when unknown

  DEVINST ParentOf(std::size_t modelIndex) const { return parent_[modelIndex]; }
  const std::vector<DEVINST>& ChildrenOf(std::size_t modelIndex) const { return children_[modelIndex]; }
  std::size_t PositionInParent(std::size_t modelIndex) const { return position_[modelIndex]; }

  // Model indices in model order; an empty list for unknown keys.
  const std::vector<std::size_t>& WithEnumerator(const std::string& enumerator) const;
  const std::vector<std::size_t>& WithSetupClass(const GUID& classGuid) const;
  const std::vector<std::size_t>& WithInterface(const GUID& interfaceClass) const;

  // The connection index of a port on a hub (model index of the hub), or npos.
  std::size_t ConnectionOfPort(std::size_t hubIndex, ULONG port) const;
  // The hub port a device is attached to.
  std::optional<PortRef> PortOf(std::size_t modelIndex) const;

  std::size_t Size() const { return devInstOf_.size(); }

 private:
  std::unordered_map<std::string, DEVINST> assigned_;  // upper-cased ID -> DevInst, never forgotten
  DEVINST nextDevInst_ = 1;

  std::unordered_map<std::string, std::size_t> byId_;  // upper-cased ID -> model index
  std::vector<std::size_t> byDevInst_;                 // DevInst -> model index
  std::vector<DEVINST> devInstOf_;
  std::vector<DEVINST> parent_;
  std::vector<std::vector<DEVINST>> children_;
  std::vector<std::size_t> position_;
  std::unordered_map<std::string, std::vector<std::size_t>> byEnumerator_;
  std::unordered_map<std::string, std::vector<std::size_t>> bySetupClass_;
  std::unordered_map<std::string, std::vector<std::size_t>> byInterface_;
  std::vector<std::unordered_map<ULONG, std::size_t>> ports_;
  std::vector<std::optional<PortRef>> portOf_;
};

// The enumerator a device belongs to: its SPDRP_ENUMERATOR_NAME text when present,
// else its instance ID up to the first backslash.
std::string EnumeratorOf(const Device& device);

// The text of a string property without its terminating NUL; empty when absent.
std::string PropertyText(const Device& device, DWORD property);

}  // namespace sim
