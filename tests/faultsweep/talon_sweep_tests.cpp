// The fault sweep over the helper program's commands (fault_sweep.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceList.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "talon64/TalonCommands.h"
#include "tests/faultsweep/fault_sweep.h"

namespace faultsweep {
namespace {

// ---- The helper program ----

enum class TalonEffect { Restart, Install };

struct TalonAction {
  std::string name;
  std::function<sim::MachineModel()> model;
  std::vector<std::string> args;
  TalonEffect effect;
  std::string target;
};

RunResult RunTalonAction(const TalonAction& action, const std::optional<Injection>& injection) {
  RunResult result;
  Outcomes check(result);
  auto machine = std::make_unique<sim::Machine>(action.model());
  platform::ScopedBackend scope(machine->Backend());
  const FilterMap filtersBefore = AllLowerFilters(*machine);
  const std::size_t restartsBefore = action.target.empty() ? 0 : machine->RestartCount(action.target);

  if (injection) machine->InjectFault(sim::Fault{injection->function, injection->error, injection->occurrence, 1});
  std::ostringstream errors;
  int exitCode = static_cast<int>(morvane::TalonExit::InternalError);
  bool crashed = false;
  // As the program's entry point: an exception ends it with a message and its own code.
  try {
    exitCode = static_cast<int>(morvane::RunTalon(action.args, errors));
  } catch (const std::exception& e) {
    errors << "TALON64: " << e.what() << '\n';
  } catch (...) {
    crashed = true;
  }
  result.actionCalls = machine->Calls();
  std::string leftOpen;
  if (injection) {
    result.faultTaken = machine->Core().PendingFaultCount() == 0;
    machine->Core().ClearFaults();
    leftOpen = LeftOpenByFaultedRelease(result.actionCalls, *injection);
  }

  check.Check(!crashed, "an exception that is no std::exception escaped the command");
  const std::string leaks = UnexplainedLeaks(machine->LeakReport(), leftOpen, injection && injection->function == "GlobalFree");
  check.Check(leaks.empty(), "left open after the command:\n" + leaks);
  check.Check(AllLowerFilters(*machine) == filtersBefore, "a lower-filter list was changed");

  // The installation's effect: the service as the INF configures it (demand start,
  // which an installation over a disabled service restores), and the driver file it
  // loads as the one beside the INF (an older one left in place is no installation).
  bool effectHappened = false;
  if (action.effect == TalonEffect::Restart) {
    effectHappened = machine->RestartCount(action.target) > restartsBefore;
  } else {
    const sim::File* installed = machine->FindFile(kInstalledDriver);
    const sim::File* source = machine->FindFile(kSourceDriver);
    const sim::Service* service = machine->FindService(morvane::FilterServiceName);
    effectHappened = service != nullptr && service->startType == SERVICE_DEMAND_START && installed != nullptr &&
                     source != nullptr && installed->version.has_value() == source->version.has_value() &&
                     (!source->version || installed->version->fileVersion == source->version->fileVersion);
  }
  const std::string message = errors.str();
  check.Check(exitCode != 0 || effectHappened, "exit code 0 although the command's effect did not happen");
  check.Check(exitCode == 0 || !message.empty(), "exit code " + std::to_string(exitCode) + " without a message");
  check.Check(exitCode != 0 || message.empty(), "exit code 0 with the message " + message);
  return result;
}

// The built-in PC with an older filter driver installed than the one beside the INF.
sim::MachineModel WithOlderDriverInstalled() {
  sim::MachineModel model = BuiltInModel();
  for (sim::File& file : model.files) {
    if (sim::ToUpperAscii(file.path) == sim::ToUpperAscii(kInstalledDriver)) {
      file.version = sim::FileVersion{"0.9.0.0", 0x0409, 0x04B0, true};
    }
  }
  return model;
}

// The built-in PC with the filter service installed and then disabled: installing
// again has an effect to see (the INF's demand start), so "exit code 0" is checked
// against something the run must have done.
sim::MachineModel WithDisabledService() {
  sim::MachineModel model = BuiltInModel();
  for (sim::Service& service : model.services) {
    if (sim::ToUpperAscii(service.name) == "MORVANE") service.startType = SERVICE_DISABLED;
  }
  return model;
}

std::vector<TalonAction> TalonActions() {
  return {
      {"TALON64 U", [] { return BuiltInModel(); }, {"U", kGamingMouse}, TalonEffect::Restart, kGamingMouse},
      {"TALON64 e install (first)", WithoutFilterService, {"e", "install", "morvane.inf"}, TalonEffect::Install, ""},
      {"TALON64 e install (again, over the disabled service)", WithDisabledService, {"e", "install", "morvane.inf"},
       TalonEffect::Install, ""},
      {"TALON64 e install (over an older driver)", WithOlderDriverInstalled, {"e", "install", "morvane.inf"},
       TalonEffect::Install, ""},
  };
}

TEST(FaultSweep, EveryCallOfEveryHelperCommandFails) {
  const SweepFigures figures = SweepActions("helper", TalonActions(), RunTalonAction);
  EXPECT_EQ(figures.unfailable, 0) << "calls the machine cannot fail yet";
}

}  // namespace
}  // namespace faultsweep
