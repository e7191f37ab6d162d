// Builds the device list of every category on generated machines of 100, 1,000 and
// 10,000 USB devices and prints, per size, the platform calls and the time per
// device. Both should stay flat as the machine grows: the list is built in one pass
// and every look-up the simulated machine answers is an index access.
//
//   devices_bench [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "devices/DeviceList.h"
#include "devices/DeviceTables.h"
#include "platform/sim/sim.h"
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

struct Measure {
  double callsPerDevice = 0;
  double microsecondsPerDevice = 0;
  int listed = 0;
};

Measure Run(int usbDevices, int repetitions) {
  sim::Machine machine(GenerateMachine(usbDevices));
  platform::ScopedBackend scope(machine.Backend());
  Measure measure;
  double best = 0;
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    machine.ClearCalls();
    int listed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int category = 0; category < static_cast<int>(morvane::DeviceCategories.size()); ++category) {
      morvane::TDeviceList list(category);
      listed += list.Count();
      // The window asks every row for its name, children and controller.
      for (int i = 0; i < list.Count(); ++i) {
        list.GetDevice(i).GetName();
        list.GetDevice(i).GetChildNames();
        list.GetDevice(i).GetControllerDevice();
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (repetition == 0 || seconds < best) best = seconds;
    measure.callsPerDevice = static_cast<double>(machine.Calls().size()) / usbDevices;
    measure.listed = listed;
  }
  measure.microsecondsPerDevice = best * 1e6 / usbDevices;
  if (!machine.LeakReport().empty()) std::fprintf(stderr, "leak: %s\n", machine.LeakReport().c_str());
  return measure;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::printf("| USB devices | records listed (8 categories) | platform calls per device | time per device |\n");
  std::printf("|---:|---:|---:|---:|\n");
  double at1000 = 0;
  double at10000 = 0;
  for (int size : {100, 1000, 10000}) {
    const Measure m = Run(size, repetitions);
    std::printf("| %d | %d | %.2f | %.1f us |\n", size, m.listed, m.callsPerDevice, m.microsecondsPerDevice);
    std::fflush(stdout);
    if (size == 1000) at1000 = m.microsecondsPerDevice;
    if (size == 10000) at10000 = m.microsecondsPerDevice;
  }
  std::printf("time per device at 10,000 / at 1,000: %.2f\n", at10000 / at1000);
  return 0;
}
