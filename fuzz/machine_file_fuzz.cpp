// The machine-file loader: any bytes either load a whole machine or raise
// sim::MachineFileError with a message that names the place in the file. A machine
// that loads is then used as setup-sim.exe uses one: its device lists are built and
// every device's facts read, and nothing may be left open afterwards.
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "fuzz/FuzzInput.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

using fuzz::Require;

// Every device of the "All" category, with the facts the grid shows.
void UseMachine(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  try {
    morvane::TDeviceList list(5);
    for (int i = 0; i < list.Count(); ++i) {
      morvane::TDevice& device = list.GetDevice(i);
      device.GetName();
      device.GetChildNames();
      device.QueryConnection();
      device.GetRateText();
      device.IsFilterInstalled();
      device.HasProblem();
    }
  } catch (const morvane::Error&) {
    // A broken precondition of the machine (a device without a parent record, say)
    // is reported as the program reports it; it must still leave nothing open.
  }
  Require(machine.LeakReport().empty(), "resources left open", machine.LeakReport());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<sim::Machine> machine;
  try {
    machine = sim::Machine::FromJson(text);
  } catch (const sim::MachineFileError& e) {
    // "<JSON pointer>: <problem>"
    const char* message = e.what();
    Require(message[0] == '/' && std::strstr(message, ": ") != nullptr, "an error message without its place",
            message);
    return 0;
  } catch (const std::exception& e) {
    fuzz::Violated("the loader raised something else than MachineFileError",
                   std::string(typeid(e).name()) + ": " + e.what());
  }
  Require(machine != nullptr, "no machine and no error");
  UseMachine(*machine);
  return 0;
}
