// The fault sweep over the command line's /set and /install-service (fault_sweep.h):
// every call of each command, on both Windows families and both restart routes, is
// failed in turn with its real errors. After each faulted run:
//
//   - nothing escapes the command, and nothing is left open;
//   - no other device lost or changed a lower filter or an override, and the
//     command's own device lost no filter but the "morvane" entry;
//   - exit code 0 or 1 (and 3010, for what it says is done) only when the machine,
//     read again without faults, is as asked: the filter entry, the override, the
//     restart seen with the device present and without a problem, the service with
//     the INF's driver file;
//   - any other exit code comes with a line beginning "error: " (or, for 3, the
//     questions' line).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "setup/cli/CommandLine.h"
#include "setup/cli/Commands.h"
#include "tests/faultsweep/fault_sweep.h"

namespace faultsweep {
namespace {

using morvane::cli::CommandResult;

// What a command asked for, as the machine holds it.
struct Asked {
  std::optional<bool> filter;         // the "morvane" entry in the target's lower filters
  std::optional<DWORD> override;      // the target's override; 0: none
  bool restart = false;               // the target restarted and is present without a problem
  bool service = false;               // the service with the INF's driver file
};

struct CliAction {
  std::string name;
  std::function<sim::MachineModel()> model;
  std::string arguments;  // after the program name
  std::string target;     // the device the command is about; empty for /install-service
  Asked asked;
};

sim::MachineModel Wow64(sim::MachineModel model) {
  model.system.wow64 = true;
  return model;
}

sim::MachineModel Family9x(sim::MachineModel model) {
  model.system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  return model;
}

std::vector<std::string> EntriesOf(const sim::Device& device, bool nt) {
  if (nt) return LowerFiltersOf(device);
  if (!device.hardwareKey) return {};
  const auto found = device.hardwareKey->find("LowerFilters");
  if (found == device.hardwareKey->end()) return {};
  return MultiStringEntries(found->second.data);
}

bool IsFilterEntry(const std::string& entry, bool nt) {
  return sim::ToUpperAscii(entry) == (nt ? "MORVANE" : "MORVANE.SYS");
}

std::vector<std::string> WithoutFilterEntry(std::vector<std::string> entries, bool nt) {
  std::erase_if(entries, [nt](const std::string& e) { return IsFilterEntry(e, nt); });
  return entries;
}

struct DeviceState {
  std::vector<std::string> filters;
  std::optional<DWORD> override;
};

std::map<std::string, DeviceState> AllDeviceStates(sim::Machine& machine, bool nt) {
  std::map<std::string, DeviceState> states;
  for (const sim::Device& device : machine.Model().devices) {
    states[sim::ToUpperAscii(device.instanceId)] = {EntriesOf(device, nt), OverrideOf(device)};
  }
  return states;
}

// A faulted read that answers as the system does when there is no such value: the
// program cannot tell it from the truth, so "already as asked" after it is no lie of
// the program's. Writes after it are still checked: nothing else may be lost.
bool SaysThereIsNone(const std::optional<Injection>& injection) {
  if (!injection) return false;
  return (injection->function == "SetupDiGetDeviceRegistryPropertyA" && injection->error == ERROR_INVALID_DATA) ||
         (injection->function == "RegQueryValueExA" && injection->error == ERROR_FILE_NOT_FOUND) ||
         (injection->function == "SetupDiOpenDevRegKey" && injection->error == ERROR_KEY_DOES_NOT_EXIST);
}

RunResult RunCliAction(const CliAction& action, const std::optional<Injection>& injection) {
  RunResult result;
  Outcomes check(result);
  auto machine = std::make_unique<sim::Machine>(action.model());
  platform::ScopedBackend scope(machine->Backend());
  const bool nt = machine->Model().system.platformId == VER_PLATFORM_WIN32_NT;
  morvane::cli::VirtualDeviceChangeWatch watch;
  machine->SetDeviceChangeHandler([&watch] { watch.Notify(); });
  machine->SetDeviceEventHandler([&watch](bool arrival, const std::string& id) { watch.NotifyEvent(arrival, id); });
  morvane::cli::CommandHost host;
  host.watch = &watch;
  const auto before = AllDeviceStates(*machine, nt);
  const std::size_t restartsBefore = action.target.empty() ? 0 : machine->RestartCount(action.target);

  if (injection) machine->InjectFault(sim::Fault{injection->function, injection->error, injection->occurrence, 1});
  CommandResult command;
  bool escaped = false;
  try {
    command = morvane::cli::RunParsed(morvane::cli::ParseCommandLine("setup.exe " + action.arguments), host);
  } catch (...) {
    escaped = true;
  }
  result.actionCalls = machine->Calls();
  std::string leftOpen;
  if (injection) {
    result.faultTaken = machine->Core().PendingFaultCount() == 0;
    machine->Core().ClearFaults();
    leftOpen = LeftOpenByFaultedRelease(result.actionCalls, *injection);
  }
  machine->SetDeviceChangeHandler({});
  machine->SetDeviceEventHandler({});

  check.Check(!escaped, "an exception escaped the command");
  const std::string leaks = UnexplainedLeaks(machine->LeakReport(), leftOpen, injection && injection->function == "GlobalFree");
  check.Check(leaks.empty(), "left open after the command:\n" + leaks);

  // Nothing lost from any other device or any other filter.
  const auto after = AllDeviceStates(*machine, nt);
  const std::string target = sim::ToUpperAscii(action.target);
  for (const auto& [id, state] : before) {
    const auto found = after.find(id);
    if (found == after.end()) {
      check.Check(false, id + " is gone");
      continue;
    }
    if (id != target) {
      check.Check(found->second.filters == state.filters, id + ": another device's lower filters changed");
      check.Check(found->second.override == state.override, id + ": another device's override changed");
    } else {
      check.Check(WithoutFilterEntry(found->second.filters, nt) == WithoutFilterEntry(state.filters, nt),
                  id + ": a lower filter other than the program's was changed");
    }
  }

  // The state asked for, read again without faults.
  bool asWritten = true;
  bool restarted = true;
  std::string state;
  if (!action.target.empty()) {
    const sim::Device* device = machine->FindDevice(action.target);
    if (device == nullptr) {
      asWritten = restarted = false;
    } else {
      if (action.asked.filter) {
        const auto entries = EntriesOf(*device, nt);
        const bool on = std::any_of(entries.begin(), entries.end(), [nt](const std::string& e) { return IsFilterEntry(e, nt); });
        asWritten = asWritten && on == *action.asked.filter;
        state += std::string(" filter ") + (on ? "on" : "off");
      }
      if (action.asked.override) {
        const DWORD value = OverrideOf(*device).value_or(0);
        asWritten = asWritten && value == *action.asked.override;
        state += " override " + std::to_string(value);
      }
      if (action.asked.restart) {
        restarted = machine->RestartCount(action.target) > restartsBefore && device->present && device->problem == 0;
        state += std::string(" restart ") + (restarted ? "seen" : "not seen");
      }
    }
  }
  if (action.asked.service) {
    const sim::File* installed = machine->FindFile(kInstalledDriver);
    const sim::File* source = machine->FindFile(kSourceDriver);
    const sim::Service* service = machine->FindService("morvane");
    asWritten = service != nullptr && installed != nullptr && source != nullptr &&
                installed->version.has_value() == source->version.has_value() &&
                (!source->version || installed->version->fileVersion == source->version->fileVersion) &&
                (!nt || service->startType != SERVICE_DISABLED);
    state += std::string(" service ") + (asWritten ? "installed" : "not installed");
  }
  const int code = command.exitCode;
  const std::string said = "exit code " + std::to_string(code) + " with" + state + ": " + command.output;
  if (code == morvane::cli::ExitNothingToDo && SaysThereIsNone(injection)) {
    ++result.neutralShown;  // counted: the system's own "there is none" believed
  } else if (code == morvane::cli::ExitDone || code == morvane::cli::ExitNothingToDo) {
    check.Check(asWritten && restarted, "done or nothing to do, but the machine is not as asked: " + said);
  } else if (code == morvane::cli::ExitRebootNeeded) {
    check.Check(asWritten, "3010, but the writes are not as asked: " + said);
  } else {
    check.Check(command.output.rfind("error: ", 0) == 0 || command.output.find("\r\nerror: ") != std::string::npos,
                "an error exit without its error line: " + said);
  }
  return result;
}

// The built-in PC as the sweep's devices need it: the gaming mouse's filter on, the
// keyboard's off, the optical (low-speed) mouse with an override of 2 (500).
sim::MachineModel Prepared() {
  sim::MachineModel model = BuiltInModel();
  for (sim::Device& device : model.devices) {
    if (sim::ToUpperAscii(device.instanceId) == sim::ToUpperAscii(kOpticalMouse) && device.driverKey) {
      (*device.driverKey)["bInterval"] = sim::RegValue::Dword(2);
    }
  }
  return model;
}

std::vector<CliAction> CliActions() {
  const auto builtIn = [] { return Prepared(); };
  const auto wow64 = [] { return Wow64(Prepared()); };
  const auto nine = [] { return Family9x(Prepared()); };
  auto filterOn = [](bool on) {
    Asked asked;
    asked.filter = on;
    return asked;
  };
  auto rate = [](DWORD value) {
    Asked asked;
    asked.override = value;
    return asked;
  };
  Asked restart;
  restart.restart = true;
  Asked all;
  all.filter = true;
  all.override = 2;
  all.restart = true;
  Asked service;
  service.service = true;
  const auto disabledService = [] {
    sim::MachineModel model = Wow64(Prepared());
    for (sim::Service& s : model.services) {
      if (sim::ToUpperAscii(s.name) == "MORVANE") s.startType = SERVICE_DISABLED;
    }
    return model;
  };
  return {
      {"/set filter off", builtIn, "/set " + kGamingMouse + " /filter off", kGamingMouse, filterOn(false)},
      {"/set filter on", builtIn, "/set " + kKeyboard + " /filter on", kKeyboard, filterOn(true)},
      {"/set rate (full speed)", builtIn, "/set " + kGamingMouse + " /rate 250", kGamingMouse, rate(4)},
      {"/set rate default", builtIn, "/set " + kOpticalMouse + " /rate default", kOpticalMouse, rate(0)},
      {"/set restart (class installer)", builtIn, "/set " + kGamingMouse + " /restart", kGamingMouse, restart},
      {"/set restart (helper)", wow64, "/set " + kGamingMouse + " /restart", kGamingMouse, restart},
      {"/set filter, rate and restart", builtIn, "/set " + kKeyboard + " /filter on /rate 500 /restart", kKeyboard,
       all},
      {"/set filter on (9x)", nine, "/set " + kKeyboard + " /filter on", kKeyboard, filterOn(true)},
      {"/set rate and restart (9x)", nine, "/set " + kGamingMouse + " /rate 500 /restart", kGamingMouse,
       [] {
         Asked asked;
         asked.override = 2;
         asked.restart = true;
         return asked;
       }()},
      {"/install-service (first, helper)", [] { return Wow64(WithoutFilterService()); }, "/install-service",
       "", service},
      {"/install-service (first, shell)", WithoutFilterService, "/install-service", "", service},
      {"/install-service (again over a disabled service, helper)", disabledService, "/install-service /yes", "",
       service},
  };
}

TEST(FaultSweep, EveryCallOfTheCommandLinesSetAndInstallServiceFails) {
  SweepActions("command line", CliActions(), RunCliAction);
}

}  // namespace
}  // namespace faultsweep
