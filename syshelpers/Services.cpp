#include "syshelpers/Services.h"

#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

struct ServiceAccess {
  DWORD manager;
  DWORD service;
};

constexpr ServiceAccess kQueryConfigAccess{STANDARD_RIGHTS_READ, STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG};
constexpr ServiceAccess kQueryStatusAccess{STANDARD_RIGHTS_READ, STANDARD_RIGHTS_READ | SERVICE_QUERY_STATUS};
constexpr ServiceAccess kStartAccess{SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS};
static_assert(kQueryConfigAccess.manager == 0x20000 && kQueryConfigAccess.service == 0x20001);
static_assert(kQueryStatusAccess.service == 0x20004);
static_assert(kStartAccess.manager == 0xF003F && kStartAccess.service == 0xF01FF);

// Both handles of one operation. The members are destroyed in reverse order, so the
// service handle is closed before the manager's; closing keeps the last error.
struct OpenedService {
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle service;
  explicit operator bool() const noexcept { return service.IsValid(); }
};

OpenedService OpenServiceFor(const std::string& serviceName, ServiceAccess access) {
  platform::IServiceControl& scm = platform::ServiceControl();
  OpenedService opened;
  opened.manager.Reset(scm.OpenSCManagerA(nullptr, nullptr, access.manager));
  if (!opened.manager) return opened;
  opened.service.Reset(scm.OpenServiceA(opened.manager.Get(), serviceName.c_str(), access.service));
  return opened;
}

constexpr DWORD kSizeOfConfigRecord = sizeof(QUERY_SERVICE_CONFIGA);

}  // namespace

ServiceConfigBlock::ServiceConfigBlock(DWORD size) : bytes_(new BYTE[size]()), size_(size) {}

ServiceConfig QueryServiceConfiguration(const std::string& serviceName) {
  OpenedService opened = OpenServiceFor(serviceName, kQueryConfigAccess);
  if (!opened) return nullptr;
  platform::IServiceControl& scm = platform::ServiceControl();
  DWORD needed = 0;
  scm.QueryServiceConfigA(opened.service.Get(), nullptr, 0, &needed);
  if (platform::System().GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return nullptr;
  // A block too small for the record itself could not be read safely.
  if (needed < kSizeOfConfigRecord) return nullptr;
  auto block = std::make_unique<ServiceConfigBlock>(needed);
  if (!scm.QueryServiceConfigA(opened.service.Get(), block->Buffer(), block->Size(), &needed)) return nullptr;
  return block;
}

bool IsServiceEnabled(const std::string& serviceName) {
  const ServiceConfig config = QueryServiceConfiguration(serviceName);
  return config != nullptr && config->Config().dwStartType != SERVICE_DISABLED;
}

bool IsServiceRunning(const std::string& serviceName) {
  OpenedService opened = OpenServiceFor(serviceName, kQueryStatusAccess);
  if (!opened) return false;
  SERVICE_STATUS status{};
  if (!platform::ServiceControl().QueryServiceStatus(opened.service.Get(), &status)) return false;
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool TryStartService(const std::string& serviceName) {
  OpenedService opened = OpenServiceFor(serviceName, kStartAccess);
  if (!opened) return false;
  if (platform::ServiceControl().StartServiceA(opened.service.Get(), 0, nullptr)) return true;
  return platform::System().GetLastError() == ERROR_SERVICE_DISABLED;
}

bool TestServiceLoading(const std::string& serviceName) {
  return IsServiceRunning(serviceName) || TryStartService(serviceName);
}

}  // namespace morvane
