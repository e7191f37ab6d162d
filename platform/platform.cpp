#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

Backend g_backend;
// The platform identifier last read from the current backend; 0xFFFFFFFF: none yet.
constexpr DWORD kNoPlatformId = 0xFFFFFFFF;
DWORD g_platformId = kNoPlatformId;

template <typename T>
T& Require(T* service, const char* name) {
  if (service == nullptr) {
    std::fprintf(stderr, "platform: no backend provides %s\n", name);
    std::abort();
  }
  return *service;
}

}  // namespace

IDeviceInstall& DeviceInstall() { return Require(g_backend.deviceInstall, "IDeviceInstall"); }
IConfigManager& ConfigManager() { return Require(g_backend.configManager, "IConfigManager"); }
IRegistry& Registry() { return Require(g_backend.registry, "IRegistry"); }
IFiles& Files() { return Require(g_backend.files, "IFiles"); }
IServiceControl& ServiceControl() { return Require(g_backend.serviceControl, "IServiceControl"); }
IUser& User() { return Require(g_backend.user, "IUser"); }
IMemory& Memory() { return Require(g_backend.memory, "IMemory"); }
ISystem& System() { return Require(g_backend.system, "ISystem"); }
ISecurity& Security() { return Require(g_backend.security, "ISecurity"); }
IRawInput& RawInput() { return Require(g_backend.rawInput, "IRawInput"); }

const Backend& Current() { return g_backend; }
void Install(const Backend& backend) {
  g_backend = backend;
  g_platformId = kNoPlatformId;
}

ScopedBackend::ScopedBackend(const Backend& backend) : previous_(g_backend) {
  g_backend = backend;
  g_platformId = kNoPlatformId;
}
ScopedBackend::~ScopedBackend() {
  g_backend = previous_;
  g_platformId = kNoPlatformId;
}

bool ReadPlatformId(DWORD& id) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!System().GetVersionExA(&info)) return false;
  id = g_platformId = info.dwPlatformId;
  return true;
}

DWORD PlatformId() {
  DWORD id = 0;
  if (ReadPlatformId(id)) return id;
  // The family of a running system does not change: a failed read keeps the last answer.
  return g_platformId != kNoPlatformId ? g_platformId : VER_PLATFORM_WIN32_NT;
}

}  // namespace platform
