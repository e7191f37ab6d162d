// Records generated machines of 1,000 and 10,000 USB devices (the machine of
// devices_bench) into a PC snapshot and prints, per size, the time of the recording,
// the platform calls per device and the size of the file.
//
//   snapshot_bench [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim/sim.h"
#include "snapshot/Snapshot.h"
#include "tests/common/sim_model.h"

namespace {

constexpr int kPortsPerHub = 50;

using simtest::InterruptPipe;
using simtest::Node;
using simtest::Port;

// One controller with its root hub per 50 devices; each device has a HID leaf
// (alternately a mouse and a keyboard), an interrupt pipe, and every tenth device
// carries the filter.
sim::MachineModel GenerateMachine(int usbDevices) {
  using namespace sim::guids;
  sim::MachineModel model;
  model.devices.push_back(Node("HTREE\\ROOT\\0", "", DevClassSystem, {}));
  for (int first = 0; first < usbDevices; first += kPortsPerHub) {
    const std::string n = std::to_string(first / kPortsPerHub);
    const std::string controller = "PCI\\VEN_8086&DEV_A36D\\3&" + n;
    sim::Device c = Node(controller, "HTREE\\ROOT\\0", DevClassUsb, {InterfaceUsbHostController});
    c.properties[SPDRP_SERVICE] = sim::RegValue::String("USBXHCI");
    model.devices.push_back(c);
    const std::string rootHub = "USB\\ROOT_HUB30\\4&" + n;
    sim::Device hub = Node(rootHub, controller, DevClassUsb, {InterfaceUsbHub});
    hub.hub = sim::Hub{};
    const int count = std::min(kPortsPerHub, usbDevices - first);
    hub.hub->numberOfPorts = static_cast<BYTE>(count);
    for (int port = 1; port <= count; ++port) {
      const std::string tag = n + "&" + std::to_string(port);
      const std::string id = "USB\\VID_046D&PID_C08B\\5&" + tag;
      hub.hub->connections.push_back(Port(static_cast<ULONG>(port), id, 1, {InterruptPipe(1)}));
    }
    model.devices.push_back(hub);
    for (int port = 1; port <= count; ++port) {
      const std::string tag = n + "&" + std::to_string(port);
      const std::string id = "USB\\VID_046D&PID_C08B\\5&" + tag;
      sim::Device device = Node(id, rootHub, DevClassUsb, {InterfaceUsbDevice});
      device.properties[SPDRP_DEVICEDESC] = sim::RegValue::String("USB Input Device");
      device.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(static_cast<DWORD>(port));
      if ((first + port) % 10 == 0) device.properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
      if ((first + port) % 25 == 0) device.problem = CM_PROB_FAILED_START;
      model.devices.push_back(device);
      const bool mouse = port % 2 == 1;
      sim::Device leaf = Node("HID\\VID_046D&PID_C08B\\6&" + tag, id, mouse ? DevClassMouse : DevClassKeyboard,
                              {InterfaceHid});
      leaf.properties[SPDRP_DEVICEDESC] = sim::RegValue::String(mouse ? "HID-compliant mouse" : "HID Keyboard Device");
      model.devices.push_back(leaf);
    }
  }
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::printf("%8s %12s %14s %12s %14s\n", "devices", "best ms", "calls/device", "file bytes", "bytes/device");
  for (int size : {1000, 10000}) {
    sim::Machine machine(GenerateMachine(size));
    platform::ScopedBackend scope(machine.Backend());
    double best = 0;
    std::size_t bytes = 0;
    std::size_t calls = 0;
    for (int repetition = 0; repetition < repetitions; ++repetition) {
      machine.ClearCalls();
      const auto start = std::chrono::steady_clock::now();
      const std::string text = morvane::RecordMachineSnapshot();
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (repetition == 0 || ms < best) best = ms;
      bytes = text.size();
      calls = machine.Calls().size();
    }
    std::printf("%8d %12.1f %14.1f %12zu %14.1f\n", size, best, static_cast<double>(calls) / size, bytes,
                static_cast<double>(bytes) / size);
  }
  return 0;
}
