// setup-sim.exe: the same window over the simulated machine, read from the file
// named by MORVANE_MACHINE or the built-in one. With MORVANE_MACHINE_DUMP set, the
// machine's state and the grid's texts are written to that file at the end.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "platform/win32/win32_backend.h"
#include "setup/cli/CommandLine.h"
#include "setup/win32/CommandLineMain.h"
#include "setup/win32/ErrorQueue.h"
#include "setup/win32/HybridUser.h"
#include "setup/win32/MachineDump.h"
#include "setup/win32/SetupApp.h"

namespace {

constexpr WPARAM kDevNodesChanged = 0x0007;  // DBT_DEVNODES_CHANGED

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
  using namespace morvane::win;
  const platform::Backend& real = platform::win32::RealBackend();

  const morvane::cli::ParseResult parsed = morvane::cli::ParseCommandLine(::GetCommandLineA());
  std::unique_ptr<sim::Machine> machine;
  const std::string machineFile = Environment("MORVANE_MACHINE");
  try {
    machine = machineFile.empty() ? sim::Machine::Default() : sim::Machine::FromFile(machineFile);
  } catch (const std::exception& e) {
    if (parsed.isCommand) {
      WriteCommandOutput(std::string("error: the machine file cannot be loaded: ") + e.what() + "\r\n",
                         parsed.arguments.outFile);
      return morvane::cli::ExitMachineNotLoaded;
    }
    ::MessageBoxA(nullptr, e.what(), kApplicationTitle, MB_ICONERROR);
    return 2;
  }

  platform::Backend backend = machine->Backend();
  HybridUser user(*real.user, *backend.user, *backend.system);
  backend.user = &user;
  backend.memory = real.memory;  // the clipboard takes real global memory
  platform::ScopedBackend scope(backend);

  if (parsed.isCommand) {
    // The simulated restarts are over before the request returns: nothing happens
    // while the command waits, so it waits on a clock of its own.
    morvane::cli::VirtualDeviceChangeWatch watch;
    machine->SetDeviceChangeHandler([&watch] { watch.Notify(); });
    morvane::cli::CommandHost host;
    host.watch = &watch;
    const int exitCode = RunCommandLine(parsed, host);
    machine->SetDeviceChangeHandler({});
    const std::string dumpFile = Environment("MORVANE_MACHINE_DUMP");
    if (!dumpFile.empty()) {
      std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
      out << MachineStateJson(machine->Model(), {}) << "\n";
    }
    return exitCode;
  }

  SetupHooks hooks;
  hooks.OnWindowCreated = [&machine](MainWindow& window) {
    HWND hwnd = window.Hwnd();
    // The simulated device changes arrive as the broadcast would: posted to the window.
    machine->SetDeviceChangeHandler([hwnd] { ::PostMessageA(hwnd, WM_DEVICECHANGE, kDevNodesChanged, 0); });
  };
  hooks.OnExit = [&machine](MainWindow& window) {
    machine->SetDeviceChangeHandler({});
    const std::string dumpFile = Environment("MORVANE_MACHINE_DUMP");
    if (dumpFile.empty()) return;
    std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
    out << MachineStateJson(machine->Model(), window.dgDevices().DrawnTexts()) << "\n";
  };
  return RunSetup(::GetCommandLineA(), showCommand, hooks);
}
