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
#include "setup/win32/RateMeterWindow.h"
#include "setup/win32/SetupApp.h"

namespace {

constexpr WPARAM kDevNodesChanged = 0x0007;  // DBT_DEVNODES_CHANGED

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Refuses every window of its class, as a system out of window resources would.
LRESULT CALLBACK RefusingWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

// MORVANE_REFUSE_WINDOW names one of the program's window classes (for the tests of
// a failed start): it is registered here first with a procedure that refuses its
// windows, so the program finds the class and cannot create the window.
void RegisterRefusingClass(const std::string& className) {
  if (className.empty()) return;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &RefusingWindowProc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = className.c_str();
  ::RegisterClassExA(&wc);
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

  // MORVANE_RAW_INPUT: mice that move from the start, "<rate>:<instance ID>;...",
  // timed by the real performance counter.
  try {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    machine->RawInput().UseClock([] {
      LARGE_INTEGER now{};
      ::QueryPerformanceCounter(&now);
      return now.QuadPart;
    }, frequency.QuadPart);
    for (sim::RawInputStream stream : sim::ParseRawInputStreams(Environment("MORVANE_RAW_INPUT"))) {
      stream.start = machine->RawInput().Now();
      machine->RawInput().Play(stream);
    }
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, (std::string("MORVANE_RAW_INPUT: ") + e.what()).c_str(), kApplicationTitle, MB_ICONERROR);
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
    machine->SetDeviceEventHandler(
        [&watch](bool arrival, const std::string& instanceId) { watch.NotifyEvent(arrival, instanceId); });
    morvane::cli::CommandHost host;
    host.watch = &watch;
    host.snapshot = morvane::win::SnapshotCommand;
    // /measure reads the simulated mice's reports as they come on the real clock.
    InputWindow input;
    host.input = &input;
    const int exitCode = RunCommandLine(parsed, host);
    machine->SetDeviceChangeHandler({});
    machine->SetDeviceEventHandler({});
    const std::string dumpFile = Environment("MORVANE_MACHINE_DUMP");
    if (!dumpFile.empty()) {
      std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
      out << MachineStateJson(machine->Model(), {}) << "\n";
    }
    return exitCode;
  }

  RegisterRefusingClass(Environment("MORVANE_REFUSE_WINDOW"));

  SetupHooks hooks;
  hooks.OnWindowCreated = [&machine](MainWindow& window) {
    HWND hwnd = window.Hwnd();
    // The simulated device changes arrive as the broadcast would: posted to the window.
    machine->SetDeviceChangeHandler([hwnd] { ::PostMessageA(hwnd, WM_DEVICECHANGE, kDevNodesChanged, 0); });
    // The interface notifications name the device; handed on as they happen.
    machine->SetDeviceEventHandler([&window](bool arrival, const std::string& id) {
      if (window.Events.OnDeviceEvent) window.Events.OnDeviceEvent(arrival, id);
    });
  };
  hooks.OnExit = [&machine](MainWindow& window) {
    machine->SetDeviceChangeHandler({});
    machine->SetDeviceEventHandler({});
    const std::string dumpFile = Environment("MORVANE_MACHINE_DUMP");
    if (dumpFile.empty()) return;
    std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
    out << MachineStateJson(machine->Model(), window.dgDevices().DrawnTexts(), LastRateMeterTexts()) << "\n";
  };
  return RunSetup(::GetCommandLineA(), showCommand, hooks);
}
