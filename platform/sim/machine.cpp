#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/sim/device_paths.h"
#include "platform/sim/device_services.h"
#include "platform/sim/raw_input.h"
#include "platform/sim/sim.h"
#include "platform/sim/system_services.h"

namespace sim {

namespace {

const char* const kFilterService = "morvane";
const char* const kFilterBinaryPath = "\\SystemRoot\\System32\\drivers\\morvane.sys";

// The INF's DefaultInstall: the kernel service and its driver file.
bool InstallFilterInf(MachineModel& model, const std::string& infPath) {
  const File* inf = FindModelFile(model, infPath);
  if (inf == nullptr || !HasExtension(inf->path, ".inf")) return false;
  const std::string sourceDriver = FolderOf(inf->path) + "\\morvane.sys";
  // The file queue is committed before the services are added: a source file that is
  // missing ends the installation with nothing changed.
  const File* driver = FindModelFile(model, sourceDriver);
  if (driver == nullptr) return false;

  Service* service = nullptr;
  for (Service& s : model.services) {
    if (ToUpperAscii(s.name) == ToUpperAscii(kFilterService)) service = &s;
  }
  if (service == nullptr) {
    model.services.push_back(Service{});
    service = &model.services.back();
    service->name = kFilterService;
    service->displayName = kFilterService;
  }
  // AddService rewrites the configuration of an existing service; its state stays.
  service->type = SERVICE_KERNEL_DRIVER;
  service->startType = SERVICE_DEMAND_START;
  service->errorControl = SERVICE_ERROR_NORMAL;
  service->binaryPath = kFilterBinaryPath;

  {
    File copy = *driver;
    copy.path = model.system.windowsDirectory + "\\System32\\drivers\\morvane.sys";
    File* existing = const_cast<File*>(FindModelFile(model, copy.path));
    if (existing != nullptr) *existing = std::move(copy);
    else model.files.push_back(std::move(copy));
  }
  return true;
}

}  // namespace

struct Machine::Impl {
  explicit Impl(MachineModel m)
      : model(std::move(m)), core(model), devices(core), system(core), rawInput(core) {}

  MachineModel model;
  SimCore core;
  DeviceServices devices;
  SystemServices system;
  RawInputServices rawInput;
  std::function<void()> deviceChangeHandler;
  std::function<void(bool, const std::string&)> deviceEventHandler;
};

Machine::Machine(MachineModel model) : impl_(std::make_unique<Impl>(std::move(model))) {
  Impl& impl = *impl_;
  impl.core.installInf = [&impl](const std::string& infPath) { return InstallFilterInf(impl.model, infPath); };
  impl.core.deviceChanged = [&impl] {
    if (impl.deviceChangeHandler) impl.deviceChangeHandler();
  };
  impl.core.deviceEvent = [&impl](bool arrival, const std::string& instanceId) {
    if (impl.deviceEventHandler) impl.deviceEventHandler(arrival, instanceId);
  };
}

Machine::~Machine() = default;

std::unique_ptr<Machine> Machine::FromJson(const std::string& text) {
  return std::make_unique<Machine>(ParseModel(text));
}

std::unique_ptr<Machine> Machine::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MachineFileError(path + ": the machine file cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return FromJson(text.str());
  } catch (const MachineFileError& e) {
    throw MachineFileError(path + ": " + e.what());
  }
}


platform::Backend Machine::Backend() {
  platform::Backend backend;
  backend.deviceInstall = &impl_->devices;
  backend.configManager = &impl_->devices;
  backend.registry = &impl_->devices;
  backend.files = &impl_->system;
  backend.serviceControl = &impl_->system;
  backend.user = &impl_->system;
  backend.memory = &impl_->system;
  backend.system = &impl_->system;
  backend.security = &impl_->system;
  backend.rawInput = &impl_->rawInput;
  return backend;
}

// Handing out the model (or an element of it) may precede any change, so the
// device side rebuilds its lookups before the next call.
MachineModel& Machine::Model() {
  impl_->devices.Reindex();
  return impl_->model;
}

Device* Machine::FindDevice(const std::string& instanceId) {
  impl_->devices.Reindex();
  const std::string wanted = ToUpperAscii(instanceId);
  for (Device& device : impl_->model.devices) {
    if (ToUpperAscii(device.instanceId) == wanted) return &device;
  }
  return nullptr;
}

Service* Machine::FindService(const std::string& name) {
  const std::string wanted = ToUpperAscii(name);
  for (Service& service : impl_->model.services) {
    if (ToUpperAscii(service.name) == wanted) return &service;
  }
  return nullptr;
}

File* Machine::FindFile(const std::string& path) { return const_cast<File*>(FindModelFile(impl_->model, path)); }

void Machine::AddDevice(Device device) {
  if (impl_->devices.DevInstOf(device.instanceId) != 0) {
    throw std::invalid_argument("AddDevice: the instance ID " + device.instanceId + " is already in use");
  }
  const bool present = device.present;
  const std::string id = device.instanceId;
  impl_->model.devices.push_back(std::move(device));
  impl_->devices.Reindex();
  if (!present) return;
  impl_->core.deviceEvent(true, id);
  impl_->core.deviceChanged();
}

void Machine::RemoveDevice(const std::string& instanceId) {
  // The device goes with everything below it, as an unplugged device does.
  std::vector<Device>& devices = impl_->model.devices;
  std::vector<std::string> doomed{ToUpperAscii(instanceId)};
  bool grew = true;
  while (grew) {
    grew = false;
    for (const Device& d : devices) {
      const std::string id = ToUpperAscii(d.instanceId);
      if (d.parent.empty() || std::find(doomed.begin(), doomed.end(), id) != doomed.end()) continue;
      if (std::find(doomed.begin(), doomed.end(), ToUpperAscii(d.parent)) != doomed.end()) {
        doomed.push_back(id);
        grew = true;
      }
    }
  }
  std::vector<std::string> removed;
  std::erase_if(devices, [&](const Device& d) {
    const bool gone = std::find(doomed.begin(), doomed.end(), ToUpperAscii(d.instanceId)) != doomed.end();
    if (gone && d.present) removed.push_back(d.instanceId);
    return gone;
  });
  impl_->devices.Reindex();
  if (removed.empty()) return;
  for (const std::string& id : removed) impl_->core.deviceEvent(false, id);
  impl_->core.deviceChanged();
}

DEVINST Machine::DevInstOf(const std::string& instanceId) const { return impl_->devices.DevInstOf(instanceId); }

SimCore& Machine::Core() { return impl_->core; }
const std::vector<Call>& Machine::Calls() const { return impl_->core.Calls(); }

std::vector<Call> Machine::CallsTo(const std::string& function) const {
  std::vector<Call> calls;
  for (const Call& call : impl_->core.Calls()) {
    if (call.function == function) calls.push_back(call);
  }
  return calls;
}

std::size_t Machine::CountCalls(const std::string& function) const {
  std::size_t n = 0;
  for (const Call& call : impl_->core.Calls()) n += call.function == function ? 1 : 0;
  return n;
}

void Machine::ClearCalls() { impl_->core.ClearCalls(); }
void Machine::InjectFault(Fault fault) { impl_->core.InjectFault(std::move(fault)); }
std::size_t Machine::OpenResourceCount() const { return impl_->core.LiveCount(); }
std::string Machine::LeakReport() const { return impl_->core.LeakReport(); }
std::size_t Machine::SetSize(HDEVINFO set) const { return impl_->devices.SetSize(set); }

std::vector<UINT> Machine::ClipboardFormats() const { return impl_->system.ClipboardFormats(); }
std::optional<std::vector<BYTE>> Machine::ClipboardData(UINT format) const {
  return impl_->system.ClipboardData(format);
}
void Machine::SetClipboardText(const std::string& text) { impl_->system.SetClipboardText(text); }
void Machine::SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler) {
  impl_->system.SetMessageBoxHandler(std::move(handler));
}
const std::vector<MessageBoxCall>& Machine::MessageBoxes() const { return impl_->system.MessageBoxes(); }
const std::vector<ShellExecuteCall>& Machine::ShellExecutes() const { return impl_->system.ShellExecutes(); }
void Machine::HoldProcesses(bool hold) { impl_->system.HoldProcesses(hold); }
void Machine::EndProcesses() { impl_->system.EndProcesses(); }

void Machine::SetDeviceChangeHandler(std::function<void()> handler) {
  impl_->deviceChangeHandler = std::move(handler);
}
void Machine::SetDeviceEventHandler(std::function<void(bool arrival, const std::string& instanceId)> handler) {
  impl_->deviceEventHandler = std::move(handler);
}
bool Machine::RestartDevice(const std::string& instanceId) { return impl_->devices.RestartDevice(instanceId); }
std::size_t Machine::RestartCount(const std::string& instanceId) const {
  return impl_->devices.RestartCount(instanceId);
}

const std::vector<ULONG>& Machine::MemoryListCommands() const { return impl_->system.MemoryListCommands(); }
bool Machine::IsPrivilegeEnabled(const std::string& name) const { return impl_->system.IsPrivilegeEnabled(name); }

RawInputServices& Machine::RawInput() { return impl_->rawInput; }

}  // namespace sim
