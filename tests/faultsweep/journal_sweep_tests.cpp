// The fault sweep over the way back (fault_sweep.h): /restore, /uninstall and the
// undo of a /set whose device does not come back healthy, over a machine whose
// journal holds earlier changes. Every call of each command is failed in turn with
// its real errors, the journal's own reads and writes included. After each faulted
// run:
//
//   - nothing escapes the command, and nothing is left open;
//   - no device lost or reordered a lower filter other than the program's entry,
//     and no device the command is not about changed at all;
//   - exit code 0 or 1 only when the machine, read again without faults, is what the
//     command promises; 12 only when the undone device holds what it had before;
//     any other exit code comes with a line beginning "error: ";
//   - the next run of the way back without faults (the next start) ends with 0 or 1,
//     leaves the machine as promised, and no change in the journal is left pending.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "devices/Journal.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "setup/cli/CommandLine.h"
#include "setup/cli/Commands.h"
#include "tests/faultsweep/fault_sweep.h"

namespace faultsweep {
namespace {

using morvane::cli::CommandResult;

struct State {
  std::vector<std::string> filters;
  std::optional<DWORD> override;
  bool operator==(const State&) const = default;
};

std::map<std::string, State> States(sim::Machine& machine) {
  std::map<std::string, State> states;
  for (const sim::Device& device : machine.Model().devices) {
    states[sim::ToUpperAscii(device.instanceId)] = {LowerFiltersOf(device), OverrideOf(device)};
  }
  return states;
}

// A faulted read that answers as the system does when there is no such value or
// key: the program cannot tell it from the truth.
bool SaysThereIsNone(const std::optional<Injection>& injection) {
  if (!injection) return false;
  return (injection->function == "SetupDiGetDeviceRegistryPropertyA" && injection->error == ERROR_INVALID_DATA) ||
         (injection->function == "RegQueryValueExA" && injection->error == ERROR_FILE_NOT_FOUND) ||
         (injection->function == "RegOpenKeyExA" && injection->error == ERROR_FILE_NOT_FOUND) ||
         (injection->function == "SetupDiOpenDevRegKey" && injection->error == ERROR_KEY_DOES_NOT_EXIST) ||
         (injection->function == "SetupDiEnumDeviceInfo" && injection->error == ERROR_NO_MORE_ITEMS) ||
         (injection->function == "OpenServiceA" && injection->error == ERROR_SERVICE_DOES_NOT_EXIST);
}

std::vector<std::string> Others(std::vector<std::string> filters) {
  std::erase_if(filters, [](const std::string& f) { return sim::ToUpperAscii(f) == "MORVANE"; });
  return filters;
}

bool HasOurs(const std::vector<std::string>& filters) { return Others(filters).size() != filters.size(); }

CommandResult Run(sim::Machine& machine, const std::string& arguments) {
  morvane::cli::VirtualDeviceChangeWatch watch;
  machine.SetDeviceChangeHandler([&watch] { watch.Notify(); });
  machine.SetDeviceEventHandler([&watch](bool arrival, const std::string& id) { watch.NotifyEvent(arrival, id); });
  morvane::cli::CommandHost host;
  host.watch = &watch;
  CommandResult result = morvane::cli::RunParsed(morvane::cli::ParseCommandLine("setup.exe " + arguments), host);
  machine.SetDeviceChangeHandler({});
  machine.SetDeviceEventHandler({});
  return result;
}

std::vector<morvane::JournalEntry> JournalOf(sim::Machine& machine) {
  auto& keys = machine.Model().system.machineKeys;
  const auto key = keys.find(morvane::JournalKeyPath);
  if (key == keys.end()) return {};
  const auto value = key->second.find(morvane::JournalValueName);
  if (value == key->second.end()) return {};
  return morvane::ParseJournal(std::string(value->second.data.begin(), value->second.data.end())).entries;
}

// The built-in PC after three earlier runs: the keyboard got the filter (in front of
// another driver's) and rate 500, the gaming mouse lost it, the optical mouse got
// rate 125. `originals` is what those devices held before.
struct Prepared {
  sim::MachineModel model;
  std::map<std::string, State> originals;
};

const Prepared& JournalMachine() {
  static const Prepared prepared = [] {
    sim::MachineModel model = BuiltInModel();
    for (sim::Device& device : model.devices) {
      if (sim::ToUpperAscii(device.instanceId) == sim::ToUpperAscii(kKeyboard)) {
        device.properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"kbdfix", "Zfilter"});
      }
    }
    auto machine = std::make_unique<sim::Machine>(model);
    platform::ScopedBackend scope(machine->Backend());
    morvane::TJournal::Clock() = [] { return std::string("2026-12-09T04:00:00Z"); };
    const auto before = States(*machine);
    for (const std::string& command : {"/set " + kKeyboard + " /filter on /rate 500 /yes",
                                       "/set " + kGamingMouse + " /filter off /yes",
                                       "/set " + kOpticalMouse + " /rate 125 /yes"}) {
      const CommandResult r = Run(*machine, command);
      if (r.exitCode != 0) throw std::runtime_error("preparing the journal: " + command + ": " + r.output);
    }
    Prepared p{machine->Model(), {}};
    for (const std::string& id : {kKeyboard, kGamingMouse, kOpticalMouse}) {
      p.originals[sim::ToUpperAscii(id)] = before.at(sim::ToUpperAscii(id));
    }
    return p;
  }();
  return prepared;
}

enum class Goal { Restored, RestoredKeyboard, Uninstalled, Undone };

struct WayBack {
  std::string name;
  std::function<sim::MachineModel()> model;
  std::string arguments;
  Goal goal;
  std::string nextStart;  // the command the next start runs
};

// Whether the machine is what the way back promises; `why` says what is not.
bool Holds(sim::Machine& machine, Goal goal, const std::map<std::string, State>& before, std::string& why) {
  const auto now = States(machine);
  switch (goal) {
    case Goal::Restored:
    case Goal::RestoredKeyboard:
      for (const auto& [id, original] : JournalMachine().originals) {
        if (goal == Goal::RestoredKeyboard && id != sim::ToUpperAscii(kKeyboard)) continue;
        if (now.at(id) != original) {
          why = id + " is not as it was";
          return false;
        }
      }
      return true;
    case Goal::Uninstalled:
      for (const auto& [id, state] : now) {
        if (HasOurs(state.filters)) {
          why = id + " still names the filter";
          return false;
        }
      }
      if (now.at(sim::ToUpperAscii(kKeyboard)).override.value_or(0) != 0 ||
          now.at(sim::ToUpperAscii(kOpticalMouse)).override.value_or(0) != 0) {
        why = "an override the journal says the program wrote is still there";
        return false;
      }
      if (machine.FindService("morvane") != nullptr) {
        why = "the service is still there";
        return false;
      }
      return true;
    case Goal::Undone: {
      const std::string id = sim::ToUpperAscii(kKeyboard);
      if (now.at(id).filters != before.at(id).filters) {
        why = "the keyboard's lower filters are not what they were";
        return false;
      }
      return true;
    }
  }
  return false;
}

RunResult RunWayBack(const WayBack& action, const std::optional<Injection>& injection) {
  RunResult result;
  Outcomes check(result);
  auto machine = std::make_unique<sim::Machine>(action.model());
  platform::ScopedBackend scope(machine->Backend());
  morvane::TJournal::Clock() = [] { return std::string("2026-12-09T04:10:00Z"); };
  const auto before = States(*machine);

  if (injection) machine->InjectFault(sim::Fault{injection->function, injection->error, injection->occurrence, 1});
  CommandResult command;
  bool escaped = false;
  std::vector<sim::Call> calls;
  try {
    command = Run(*machine, action.arguments);
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
  check.Check(!escaped, "an exception escaped the command");
  const bool globalFree = injection && injection->function == "GlobalFree";
  const std::string leaks = UnexplainedLeaks(machine->LeakReport(), leftOpen, globalFree);
  check.Check(leaks.empty(), "left open after the command:\n" + leaks);

  // No other driver's filter lost or reordered anywhere; devices the command is not
  // about unchanged.
  std::set<std::string> about;
  if (action.goal == Goal::Restored) {
    for (const auto& [id, original] : JournalMachine().originals) about.insert(id);
  } else if (action.goal == Goal::Undone || action.goal == Goal::RestoredKeyboard) {
    about.insert(sim::ToUpperAscii(kKeyboard));
  }
  const auto after = States(*machine);
  for (const auto& [id, state] : before) {
    const State& now = after.at(id);
    check.Check(Others(now.filters) == Others(state.filters), id + ": another driver's filter was lost or moved");
    if (action.goal != Goal::Uninstalled && about.count(id) == 0) {
      check.Check(now == state, id + ": a device the command is not about changed");
    }
  }

  std::string why;
  const bool holds = Holds(*machine, action.goal, before, why);
  const int code = command.exitCode;
  const std::string said = "exit code " + std::to_string(code) + ": " + command.output;
  if ((code == morvane::cli::ExitDone || code == morvane::cli::ExitNothingToDo) && SaysThereIsNone(injection)) {
    ++result.neutralShown;  // the system's own "there is none" believed; the next start must still mend it
  } else if (code == morvane::cli::ExitDone || code == morvane::cli::ExitNothingToDo) {
    check.Check(action.goal != Goal::Undone, "a failed restart ended as done: " + said);
    check.Check(holds, "done, but " + why + ": " + said);
  } else if (code == morvane::cli::ExitUndone) {
    check.Check(action.goal == Goal::Undone && holds, "12, but " + why + ": " + said);
  } else {
    check.Check(command.output.rfind("error: ", 0) == 0 || command.output.find("\r\nerror: ") != std::string::npos,
                "an error exit without its error line: " + said);
  }

  // The next start: the way back without faults finishes what was cut short.
  const CommandResult next = Run(*machine, action.nextStart);
  check.Check(next.exitCode == morvane::cli::ExitDone || next.exitCode == morvane::cli::ExitNothingToDo,
              "the next start's " + action.nextStart + " ended with " + std::to_string(next.exitCode) + ": " +
                  next.output + " (after " + said + ")");
  if (action.goal != Goal::Undone) {
    check.Check(Holds(*machine, action.goal, before, why), "after the next start, " + why + " (after " + said + ")");
  }
  for (const morvane::JournalEntry& e : JournalOf(*machine)) {
    check.Check(e.state != morvane::JournalState::Pending,
                "entry " + std::to_string(e.sequence) + " (" + e.command + ") is still pending after the next start");
  }
  const auto finalStates = States(*machine);
  for (const auto& [id, state] : before) {
    check.Check(Others(finalStates.at(id).filters) == Others(state.filters),
                id + ": the next start lost or moved another driver's filter");
  }
  const std::string nextLeaks = UnexplainedLeaks(machine->LeakReport(), leftOpen, globalFree);
  check.Check(nextLeaks.empty(), "left open by the next start:\n" + nextLeaks);
  return result;
}

std::vector<WayBack> WayBacks() {
  const auto journal = [] { return JournalMachine().model; };
  const auto keyboardFails = [] {
    sim::MachineModel model = BuiltInModel();
    for (sim::Device& device : model.devices) {
      if (sim::ToUpperAscii(device.instanceId) == sim::ToUpperAscii(kKeyboard)) {
        device.properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"kbdfix", "Zfilter"});
        device.problemWithFilter = 10;
      }
    }
    return model;
  };
  return {
      {"/restore all", journal, "/restore all /yes", Goal::Restored, "/restore all /yes"},
      {"/restore one device", journal, "/restore " + kKeyboard + " /yes", Goal::RestoredKeyboard,
       "/restore " + kKeyboard + " /yes"},
      {"/uninstall", journal, "/uninstall /yes", Goal::Uninstalled, "/uninstall /yes"},
      {"/set /restart undone (problem 10)", keyboardFails, "/set " + kKeyboard + " /filter on /restart /yes",
       Goal::Undone, "/restore all /yes"},
  };
}

TEST(FaultSweep, EveryCallOfTheWayBackFails) {
  SweepActions("the way back", WayBacks(), RunWayBack);
}

}  // namespace
}  // namespace faultsweep
