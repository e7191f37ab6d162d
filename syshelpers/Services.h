// Questions to the service control manager about one service, and a test start.
// Every operation opens the manager and the service for its own call and closes
// both before it returns. When an operation answers false (or none), the last error
// code is still the one the failing step left.
#pragma once

#include <memory>
#include <string>

#include "platform/types.h"

namespace morvane {

// A service's configuration record followed, in the same block, by the strings its
// pointer fields point into.
class ServiceConfigBlock {
 public:
  explicit ServiceConfigBlock(DWORD size);
  ServiceConfigBlock(const ServiceConfigBlock&) = delete;
  ServiceConfigBlock& operator=(const ServiceConfigBlock&) = delete;

  LPQUERY_SERVICE_CONFIGA Buffer() noexcept { return reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(bytes_.get()); }
  DWORD Size() const noexcept { return size_; }
  const QUERY_SERVICE_CONFIGA& Config() const noexcept {
    return *reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(bytes_.get());
  }

 private:
  std::unique_ptr<BYTE[]> bytes_;
  DWORD size_;
};

using ServiceConfig = std::unique_ptr<ServiceConfigBlock>;

// The configuration, or null when the service cannot be opened or queried.
ServiceConfig QueryServiceConfiguration(const std::string& serviceName);

// The service exists, its configuration can be read and it is not disabled.
bool IsServiceEnabled(const std::string& serviceName);

// The service's current state is SERVICE_RUNNING.
bool IsServiceRunning(const std::string& serviceName);

// The service was started, or its start was refused because it is disabled.
bool TryStartService(const std::string& serviceName);

// Running already, or TryStartService succeeded.
bool TestServiceLoading(const std::string& serviceName);

}  // namespace morvane
