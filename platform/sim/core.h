// Facilities that every simulated service shares: the thread's last error, the call
// log, fault injection, the accounting of every handle, key, set and memory block,
// and the hooks through which one service reaches another.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/model.h"

namespace sim {

// A handle (or any pointer) as the number the accounting and the logs use.
template <typename T>
std::uintptr_t HandleValue(T handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

// One logged call: the function's Win32 name and its arguments, formatted as
// documented in sim.h.
struct Call {
  std::string function;
  std::string args;
};

// Makes the next matching calls fail: the first `skip` calls to `function` pass,
// then `times` calls fail with `error` (times < 0: every later call fails).
struct Fault {
  std::string function;
  DWORD error = ERROR_GEN_FAILURE;
  int skip = 0;
  int times = 1;
};

enum class ResourceKind {
  DeviceInfoSet,
  RegistryKey,
  FileHandle,      // files and device interfaces opened with CreateFileA
  TokenHandle,
  ServiceManager,
  ServiceHandle,
  GlobalMemory,
  Module,
  InfFile,
  Process,         // a process handle from ShellExecuteExA
};
const char* ResourceKindName(ResourceKind kind);

class SimCore {
 public:
  explicit SimCore(MachineModel& model) : model_(model) {}

  MachineModel& Model() { return model_; }

  // The thread's last error code.
  DWORD LastError() const { return lastError_; }
  void SetLastError(DWORD code) { lastError_ = code; }

  // Call log.
  void Log(const char* function, std::string args);
  const std::vector<Call>& Calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }

  // Fault injection: true when this call of `function` is to fail; the caller then
  // sets `error` as the last error (or the CONFIGRET/LSTATUS it maps to) and fails.
  void InjectFault(Fault fault) { faults_.push_back(std::move(fault)); }
  bool ShouldFail(const std::string& function, DWORD* error);
  void ClearFaults() { faults_.clear(); }
  // Injected faults that have not run out yet.
  std::size_t PendingFaultCount() const { return faults_.size(); }

  // Accounting. Acquire returns a handle value that is never 0 or -1 and is unique
  // for the life of the machine; Release forgets it. `description` names the
  // resource in leak reports.
  std::uintptr_t Acquire(ResourceKind kind, std::string description);
  bool IsLive(std::uintptr_t handle, ResourceKind kind) const;
  void Release(std::uintptr_t handle);
  std::size_t LiveCount() const { return live_.size(); }
  std::size_t LiveCount(ResourceKind kind) const;
  std::string LeakReport() const;  // one line per live resource, empty when none

  // Hooks between services, set by the machine when it wires its services together.
  // Opening "\\?\..." interface paths and their I/O controls (device side).
  std::function<HANDLE(const std::string& path, DWORD access, DWORD shareMode, DWORD disposition)> openDevicePath;
  std::function<bool(std::uintptr_t handle)> isDeviceHandle;
  std::function<BOOL(std::uintptr_t handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned)>
      deviceIoControl;
  // Restarts a device as the class installer does; false when the ID is unknown.
  std::function<bool(const std::string& instanceId)> restartDevice;
  // Installs the DefaultInstall section of an INF file (the service it names).
  std::function<bool(const std::string& infPath)> installInf;
  // Called for every WM_DEVICECHANGE the machine broadcasts.
  std::function<void()> deviceChanged;
  // Called for every device that goes away (arrival false) or arrives, before the
  // broadcast that announces it.
  std::function<void(bool arrival, const std::string& instanceId)> deviceEvent;

 private:
  struct Resource {
    ResourceKind kind;
    std::string description;
  };
  MachineModel& model_;
  DWORD lastError_ = 0;
  std::vector<Call> calls_;
  std::vector<Fault> faults_;
  std::map<std::uintptr_t, Resource> live_;
  std::uintptr_t nextHandle_ = 0x1000;
};

}  // namespace sim
