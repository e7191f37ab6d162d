#include "platform/sim/core.h"

#include <sstream>

namespace sim {

const char* ResourceKindName(ResourceKind kind) {
  switch (kind) {
    case ResourceKind::DeviceInfoSet: return "device-information set";
    case ResourceKind::RegistryKey: return "registry key";
    case ResourceKind::FileHandle: return "file handle";
    case ResourceKind::TokenHandle: return "token handle";
    case ResourceKind::ServiceManager: return "service manager handle";
    case ResourceKind::ServiceHandle: return "service handle";
    case ResourceKind::GlobalMemory: return "global memory block";
    case ResourceKind::Module: return "module";
    case ResourceKind::InfFile: return "INF file";
    case ResourceKind::Process: return "process handle";
  }
  return "resource";
}

void SimCore::Log(const char* function, std::string args) { calls_.push_back({function, std::move(args)}); }

bool SimCore::ShouldFail(const std::string& function, DWORD* error) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->function != function) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    if (error != nullptr) *error = it->error;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    return true;
  }
  return false;
}

std::uintptr_t SimCore::Acquire(ResourceKind kind, std::string description) {
  const std::uintptr_t handle = nextHandle_;
  nextHandle_ += 0x10;
  live_.emplace(handle, Resource{kind, std::move(description)});
  return handle;
}

bool SimCore::IsLive(std::uintptr_t handle, ResourceKind kind) const {
  auto it = live_.find(handle);
  return it != live_.end() && it->second.kind == kind;
}

void SimCore::Release(std::uintptr_t handle) { live_.erase(handle); }

std::size_t SimCore::LiveCount(ResourceKind kind) const {
  std::size_t n = 0;
  for (const auto& [handle, resource] : live_) n += resource.kind == kind ? 1 : 0;
  return n;
}

std::string SimCore::LeakReport() const {
  std::ostringstream out;
  for (const auto& [handle, resource] : live_) {
    out << ResourceKindName(resource.kind) << " h" << handle << " left open: " << resource.description << "\n";
  }
  return out.str();
}

}  // namespace sim
