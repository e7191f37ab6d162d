// A machine with thousands of USB devices: every per-device question costs the same
// number of calls however large the machine is, and time grows about linearly.
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

// One controller with root hubs of 200 ports each, and `count` mice on them.
sim::MachineModel GeneratedMachine(std::size_t count) {
  sim::MachineModel model;
  sim::Device root;
  root.instanceId = "HTREE\\ROOT\\0";
  model.devices.push_back(root);
  sim::Device controller;
  controller.instanceId = "PCI\\VEN_8086&DEV_A36D\\3&0";
  controller.parent = "HTREE\\ROOT\\0";
  controller.classGuid = sim::guids::DevClassUsb;
  controller.interfaces = {sim::guids::InterfaceUsbHostController};
  model.devices.push_back(controller);
  const std::size_t hubs = (count + 199) / 200;
  for (std::size_t h = 0; h < hubs; ++h) {
    sim::Device hub;
    hub.instanceId = "USB\\ROOT_HUB30\\4&" + std::to_string(h);
    hub.parent = controller.instanceId;
    hub.classGuid = sim::guids::DevClassUsb;
    hub.interfaces = {sim::guids::InterfaceUsbHub};
    hub.hub = sim::Hub{};
    model.devices.push_back(hub);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t h = i / 200;
    const ULONG port = static_cast<ULONG>(i % 200 + 1);
    sim::Device mouse;
    mouse.instanceId = "USB\\VID_1A2C&PID_0E24\\6&" + std::to_string(i);
    mouse.parent = "USB\\ROOT_HUB30\\4&" + std::to_string(h);
    mouse.classGuid = sim::guids::DevClassUsb;
    mouse.interfaces = {sim::guids::InterfaceUsbDevice};
    mouse.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(port);
    mouse.properties[SPDRP_DEVICEDESC] = sim::RegValue::String("Mouse " + std::to_string(i));
    mouse.driverKey = sim::ValueMap{};
    sim::PortConnection connection;
    connection.port = port;
    connection.device = mouse.instanceId;
    connection.pipes = {sim::Pipe{0x81, 3, 8, 1, 0}};
    model.devices[2 + h].hub->connections.push_back(connection);
    model.devices.push_back(mouse);
  }
  return model;
}

struct ScaleRun {
  std::size_t calls = 0;
  std::size_t devices = 0;
  double seconds = 0;
};

// What a list build asks of every device: its ID, a lookup-set record, its parent,
// the single-instance interface test, a property, a driver-key value and the hub's
// connection information.
ScaleRun EnumerateLikeTheDeviceList(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  auto& di = platform::DeviceInstall();
  auto& cm = platform::ConfigManager();
  machine.ClearCalls();
  ScaleRun run;
  const auto start = std::chrono::steady_clock::now();
  platform::UniqueDevInfo set(
      di.SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  platform::UniqueDevInfo lookup(di.SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD i = 0; di.SetupDiEnumDeviceInfo(set.Get(), i, &data); ++i) {
    char id[256];
    di.SetupDiGetDeviceInstanceIdA(set.Get(), &data, id, sizeof(id), nullptr);
    DEVINST parent = 0;
    cm.CM_Get_Parent(&parent, data.DevInst, 0);
    char parentId[256];
    cm.CM_Get_Device_IDA(parent, parentId, sizeof(parentId), 0);
    SP_DEVINFO_DATA parentData{};
    parentData.cbSize = sizeof(parentData);
    di.SetupDiOpenDeviceInfoA(lookup.Get(), parentId, nullptr, 0, &parentData);
    platform::UniqueDevInfo one(di.SetupDiGetClassDevsA(&sim::guids::InterfaceUsbDevice, id, nullptr,
                                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof(element);
    di.SetupDiEnumDeviceInfo(one.Get(), 0, &element);
    DWORD address = 0;
    di.SetupDiGetDeviceRegistryPropertyA(set.Get(), &data, SPDRP_ADDRESS, nullptr, reinterpret_cast<BYTE*>(&address),
                                         4, nullptr);
    platform::UniqueDevRegKey key(di.SetupDiOpenDevRegKey(set.Get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    DWORD size = 4;
    DWORD value = 0;
    platform::Registry().RegQueryValueExA(key.Get(), "bInterval", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                                          &size);
    const std::string hubPath = "\\\\?\\" + std::string(parentId) + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    std::string path = hubPath;
    for (char& c : path) c = c == '\\' && &c > &path[3] ? '#' : c;
    platform::UniqueFile hub(platform::Files().CreateFileA(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0,
                                                           nullptr));
    BYTE buffer[365] = {};
    std::memcpy(buffer, &address, 4);
    DWORD returned = 0;
    if (platform::Files().DeviceIoControl(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buffer, 365,
                                          buffer, 365, &returned, nullptr) &&
        buffer[35 + 6] == 1) {
      ++run.devices;
    }
  }
  set.Reset();
  lookup.Reset();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.calls = machine.Calls().size();
  return run;
}

TEST(DeviceScale, TenThousandDevicesCostTheSameCallsPerDeviceAsAThousand) {
  sim::Machine small(GeneratedMachine(1000));
  sim::Machine large(GeneratedMachine(10000));
  const ScaleRun a = EnumerateLikeTheDeviceList(small);
  const ScaleRun b = EnumerateLikeTheDeviceList(large);
  EXPECT_EQ(a.devices, 1000u) << "every device answered with its own port";
  EXPECT_EQ(b.devices, 10000u);
  // Five calls open and close the two sets and end the enumeration; the rest are per device.
  EXPECT_EQ((b.calls - 5) % 10000, 0u) << "calls: " << a.calls << " for 1000, " << b.calls << " for 10000";
  EXPECT_EQ((b.calls - 5) / 10000, (a.calls - 5) / 1000) << "the same number of calls per device";
  std::printf("1000 devices: %.3f s, 10000 devices: %.3f s\n", a.seconds, b.seconds);
  // Generous: a scan of the device list per call would make this a hundredfold.
  EXPECT_LT(b.seconds, 40 * a.seconds + 0.5);
  EXPECT_EQ(small.LeakReport(), "");
  EXPECT_EQ(large.LeakReport(), "");
}

}  // namespace
}  // namespace simtest
