#include "tests/setup/WindowFixture.h"

#include <cstdio>
#include <tuple>
#include <utility>

namespace morvane::test {
namespace {

using sim::Device;
using sim::Pipe;
using sim::PortConnection;
using sim::RegValue;

Pipe Interrupt(BYTE interval, BYTE address = 0x81) { return Pipe{address, 3, 8, interval, 0}; }
Pipe Bulk(BYTE address) { return Pipe{address, 2, 512, 0, 0}; }

Device Node(const std::string& id, const std::string& parent, const GUID& setupClass, const std::string& name,
            const std::string& enumerator) {
  Device d;
  d.instanceId = id;
  d.parent = parent;
  d.classGuid = setupClass;
  d.properties[SPDRP_DEVICEDESC] = RegValue::String(name);
  d.properties[SPDRP_ENUMERATOR_NAME] = RegValue::String(enumerator);
  return d;
}

Device Controller(const std::string& id, const std::string& name, const std::string& service) {
  Device d = Node(id, "HTREE\\ROOT\\0", sim::guids::DevClassUsb, name, "PCI");
  d.properties[SPDRP_SERVICE] = RegValue::String(service);
  d.interfaces = {sim::guids::InterfaceUsbHostController};
  d.driverKey = sim::ValueMap{};
  return d;
}

Device RootHub(const std::string& id, const std::string& controller, std::vector<PortConnection> ports) {
  Device d = Node(id, controller, sim::guids::DevClassUsb, "USB Root Hub (USB 3.0)", "USB");
  d.properties[SPDRP_SERVICE] = RegValue::String("USBHUB3");
  d.interfaces = {sim::guids::InterfaceUsbHub};
  d.driverKey = sim::ValueMap{};
  d.hub = sim::Hub{};
  d.hub->connections = std::move(ports);
  return d;
}

int g_driverNumber = 0;

Device UsbDevice(const std::string& id, const std::string& hub, const std::string& name, ULONG problem = 0) {
  Device d = Node(id, hub, sim::guids::DevClassHid, name, "USB");
  char driver[64];
  std::snprintf(driver, sizeof(driver), "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\%04d", ++g_driverNumber);
  d.properties[SPDRP_DRIVER] = RegValue::String(driver);
  d.properties[SPDRP_SERVICE] = RegValue::String("HidUsb");
  d.interfaces = {sim::guids::InterfaceUsbDevice};
  d.driverKey = sim::ValueMap{};
  d.hardwareKey = sim::ValueMap{};
  d.problem = problem;
  return d;
}

Device MouseChild(const std::string& parentId) {
  Device d = Node("HID\\" + parentId.substr(4) + "\\MOUSE", parentId, sim::guids::DevClassMouse,
                  "HID-compliant mouse", "HID");
  d.interfaces = {sim::guids::InterfaceHid};
  return d;
}

PortConnection Port(ULONG port, const std::string& device, BYTE speed, std::vector<Pipe> pipes) {
  PortConnection p;
  p.port = port;
  p.device = device;
  p.speed = speed;
  p.pipes = std::move(pipes);
  return p;
}

}  // namespace

sim::MachineModel TestMachineModel() {
  g_driverNumber = 0;
  const std::string xhci = "PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10\\3&11583659&0&A0";
  const std::string hub1 = "USB\\ROOT_HUB30\\4&2AB2E0E2&0&0";
  const std::string foreign = "PCI\\VEN_1B21&DEV_1242&SUBSYS_86751043&REV_00\\4&3A3B3C3D&0&00E4";
  const std::string hub2 = "USB\\ROOT_HUB30\\5&1F2E3D4C&0&0";

  PortConnection unknownSpeed = Port(5, kUnknownSpeedMouse, 1, {Interrupt(2)});
  unknownSpeed.exFails = true;
  unknownSpeed.plainFails = true;

  sim::MachineModel m;
  Device root;
  root.instanceId = "HTREE\\ROOT\\0";
  root.classGuid = sim::guids::DevClassSystem;
  m.devices.push_back(root);
  m.devices.push_back(Controller(xhci, kXhciName, "USBXHCI"));
  m.devices.push_back(RootHub(hub1, xhci,
                              {Port(1, kStorage, 2, {Bulk(0x81), Bulk(0x02)}),
                               Port(2, kFullMouse, 1, {Interrupt(1), Interrupt(8, 0x82)}),
                               Port(3, kLowMouse, 0, {Interrupt(10)}), Port(4, kHighMouse, 2, {Interrupt(4)}),
                               unknownSpeed, Port(6, kProblemMouse, 1, {Interrupt(4)})}));
  Device storage = UsbDevice(kStorage, hub1, "USB Mass Storage Device");
  storage.classGuid = sim::guids::DevClassUsb;
  storage.properties[SPDRP_SERVICE] = RegValue::String("USBSTOR");
  m.devices.push_back(storage);
  Device disk = Node("USBSTOR\\DISK&VEN_SANDISK\\4C530001&0", kStorage, sim::guids::DevClassDiskDrive,
                     "SanDisk Ultra USB Device", "USBSTOR");
  m.devices.push_back(disk);
  for (const auto& [id, name, problem] : std::vector<std::tuple<std::string, std::string, ULONG>>{
           {kFullMouse, kFullMouseName, 0},
           {kLowMouse, "Optical Wheel Mouse", 0},
           {kHighMouse, "Viper Mini", 0},
           {kUnknownSpeedMouse, "Wireless Receiver", 0},
           {kProblemMouse, "Basic Mouse", 10}}) {
    m.devices.push_back(UsbDevice(id, hub1, name, problem));
    m.devices.push_back(MouseChild(id));
  }
  m.devices.push_back(Controller(foreign, "ASMedia USB 3.1 Host Controller", "FOOHCI"));
  m.devices.push_back(
      RootHub(hub2, foreign, {Port(1, kForeignMouse, 1, {Interrupt(1)}), Port(2, kOddDevice, 2, {Bulk(0x81)})}));
  m.devices.push_back(UsbDevice(kForeignMouse, hub2, "Office Mouse"));
  m.devices.push_back(MouseChild(kForeignMouse));
  m.devices.push_back(UsbDevice(kOddDevice, hub2, "USB Ethernet", 28));

  sim::Service morvane;
  morvane.name = "morvane";
  morvane.displayName = "morvane";
  morvane.binaryPath = "\\SystemRoot\\System32\\drivers\\morvane.sys";
  m.services.push_back(morvane);
  return m;
}

std::vector<std::string> LowerFiltersOf(sim::Machine& machine, const std::string& instanceId) {
  std::vector<std::string> entries;
  const sim::Device* device = machine.FindDevice(instanceId);
  if (device == nullptr) return entries;
  const auto found = device->properties.find(SPDRP_LOWERFILTERS);
  if (found == device->properties.end()) return entries;
  std::string current;
  for (BYTE b : found->second.data) {
    if (b != 0) {
      current += static_cast<char>(b);
    } else if (!current.empty()) {
      entries.push_back(current);
      current.clear();
    }
  }
  return entries;
}

long long OverrideOf(sim::Machine& machine, const std::string& instanceId) {
  const sim::Device* device = machine.FindDevice(instanceId);
  if (device == nullptr || !device->driverKey) return -1;
  const auto found = device->driverKey->find("bInterval");
  if (found == device->driverKey->end() || found->second.data.size() < 4) return -1;
  const auto& d = found->second.data;
  return static_cast<long long>(d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<DWORD>(d[3]) << 24));
}

WindowTest::WindowTest(sim::MachineModel model)
    : machine(std::make_unique<sim::Machine>(std::move(model))), scope(machine->Backend()) {
  machine->SetDeviceChangeHandler([this] {
    if (deliverAtOnce) {
      frm.WMDeviceChange();
    } else {
      ++pendingDeviceChanges;
    }
  });
  machine->SetDeviceEventHandler([this](bool arrival, const std::string& instanceId) {
    if (deliverAtOnce) {
      frm.WMDeviceEvent(arrival, instanceId);
    } else {
      pendingDeviceEvents.emplace_back(arrival, instanceId);
    }
  });
  machine->SetMessageBoxHandler([this](const sim::MessageBoxCall& box) {
    if ((box.type & MB_YESNO) == 0) return IDOK;
    if (answers_.empty()) return IDYES;
    const int answer = answers_.front();
    answers_.erase(answers_.begin());
    return answer;
  });
}

WindowTest::~WindowTest() {
  frm.FormDestroy();
  EXPECT_EQ(machine->LeakReport(), "");
}

void WindowTest::Open(const std::string& argument) {
  frm.FormCreate(argument);
  frm.FormShow();
}

int WindowTest::RowOf(const std::string& instanceId) {
  for (int i = 0; i < frm.DeviceCount; ++i) {
    if (frm.DeviceList->GetDevice(i).InstanceId == instanceId) return i + 1;
  }
  return 0;
}

void WindowTest::Select(const std::string& instanceId) {
  const int row = RowOf(instanceId);
  ASSERT_NE(row, 0) << instanceId << " is not listed";
  w.ClickRow(row);
  ASSERT_EQ(w.dgDevices.Row(), row);
}

std::string WindowTest::SelectedId() { return frm.GetSelectedDevice().InstanceId; }

void WindowTest::DeliverDeviceChanges() {
  // The interface notifications come before the broadcast that follows them.
  const auto events = std::move(pendingDeviceEvents);
  pendingDeviceEvents.clear();
  for (const auto& [arrival, id] : events) frm.WMDeviceEvent(arrival, id);
  for (; pendingDeviceChanges > 0; --pendingDeviceChanges) frm.WMDeviceChange();
}

void WindowTest::Answer(std::vector<int> answers) { answers_ = std::move(answers); }

std::vector<std::string> WindowTest::BoxTexts() const {
  std::vector<std::string> texts;
  for (const auto& box : machine->MessageBoxes()) texts.push_back(box.text);
  return texts;
}

std::size_t WindowTest::ListBuilds() const {
  std::size_t builds = 0;
  for (const auto& call : machine->CallsTo("SetupDiGetClassDevsA")) {
    const bool byInterface = call.args == "{A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12";
    const bool byEnumerator = call.args == "null, \"USB\", null, 0x6";
    if (byInterface || byEnumerator) ++builds;
  }
  return builds;
}

}  // namespace morvane::test
