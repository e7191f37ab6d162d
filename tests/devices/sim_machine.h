// Small simulated machines written in C++ for the device tests, and a fixture that
// installs one for a test and checks at its end that nothing was left open.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace devtest {

inline const char* const kRoot = "HTREE\\ROOT\\0";
inline const char* const kController = "PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&A0";
inline const char* const kRootHub = "USB\\ROOT_HUB30\\4&2B8A3C0&0&0";
inline const char* const kExternalHub = "USB\\VID_05E3&PID_0608\\5&1A2B3C&0&2";
inline const char* const kMouse = "USB\\VID_046D&PID_C08B\\5&1A2B3C&0&1";
inline const char* const kMouseIf0 = "USB\\VID_046D&PID_C08B&MI_00\\6&2C5D7E&0&0000";
inline const char* const kMouseHid0 = "HID\\VID_046D&PID_C08B&MI_00\\7&3A4B5C&0&0000";
inline const char* const kMouseIf1 = "USB\\VID_046D&PID_C08B&MI_01\\6&2C5D7E&0&0001";
inline const char* const kMouseHid1 = "HID\\VID_046D&PID_C08B&MI_01&COL01\\7&1F2E3D&0&0000";
inline const char* const kMouseDriverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0007";

inline sim::Device Node(const std::string& id, const std::string& parent, const GUID& setupClass,
                        std::vector<GUID> interfaces = {}) {
  sim::Device device;
  device.instanceId = id;
  device.parent = parent;
  device.classGuid = setupClass;
  device.interfaces = std::move(interfaces);
  device.driverKey = sim::ValueMap{};
  device.hardwareKey = sim::ValueMap{};
  return device;
}

inline void SetText(sim::Device& device, DWORD property, const std::string& text) {
  device.properties[property] = sim::RegValue::String(text);
}

inline sim::Pipe InterruptPipe(BYTE interval) {
  sim::Pipe pipe;
  pipe.attributes = 3;
  pipe.interval = interval;
  return pipe;
}

inline sim::Pipe BulkPipe() {
  sim::Pipe pipe;
  pipe.attributes = 2;
  pipe.endpointAddress = 0x02;
  pipe.maxPacketSize = 512;
  return pipe;
}

// A PC with one xHCI controller and its root hub; the composite mouse on port 1
// has a mouse leaf and a keyboard leaf below its two interface nodes.
inline sim::MachineModel UsbMachine() {
  using namespace sim::guids;
  sim::MachineModel model;
  model.devices.push_back(Node(kRoot, "", DevClassSystem));
  sim::Device controller = Node(kController, kRoot, DevClassUsb, {InterfaceUsbHostController});
  SetText(controller, SPDRP_DEVICEDESC, "USB xHCI Compliant Host Controller");
  SetText(controller, SPDRP_SERVICE, "USBXHCI");
  model.devices.push_back(controller);

  sim::Device rootHub = Node(kRootHub, kController, DevClassUsb, {InterfaceUsbHub});
  SetText(rootHub, SPDRP_DEVICEDESC, "USB Root Hub (USB 3.0)");
  SetText(rootHub, SPDRP_SERVICE, "USBHUB3");
  sim::Hub hub;
  sim::PortConnection port1;
  port1.port = 1;
  port1.device = kMouse;
  port1.speed = 1;
  port1.pipes = {InterruptPipe(1)};
  hub.connections.push_back(port1);
  hub.numberOfPorts = 4;
  rootHub.hub = hub;
  model.devices.push_back(rootHub);

  sim::Device mouse = Node(kMouse, kRootHub, DevClassUsb, {InterfaceUsbDevice});
  SetText(mouse, SPDRP_DEVICEDESC, "USB Composite Device");
  SetText(mouse, SPDRP_SERVICE, "usbccgp");
  SetText(mouse, SPDRP_DRIVER, kMouseDriverKey);
  mouse.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(1);
  model.devices.push_back(mouse);

  sim::Device if0 = Node(kMouseIf0, kMouse, DevClassHid);
  SetText(if0, SPDRP_DEVICEDESC, "USB Input Device");
  model.devices.push_back(if0);
  sim::Device hid0 = Node(kMouseHid0, kMouseIf0, DevClassMouse, {InterfaceHid});
  SetText(hid0, SPDRP_DEVICEDESC, "HID-compliant mouse");
  model.devices.push_back(hid0);
  sim::Device if1 = Node(kMouseIf1, kMouse, DevClassHid);
  SetText(if1, SPDRP_DEVICEDESC, "USB Input Device");
  model.devices.push_back(if1);
  sim::Device hid1 = Node(kMouseHid1, kMouseIf1, DevClassKeyboard, {InterfaceHid});
  SetText(hid1, SPDRP_DEVICEDESC, "HID Keyboard Device");
  model.devices.push_back(hid1);
  return model;
}

// Forwards every call to another device-install service; a test overrides the
// calls it wants to watch or to answer differently.
class ForwardingDeviceInstall : public platform::IDeviceInstall {
 public:
  explicit ForwardingDeviceInstall(platform::IDeviceInstall& inner) : inner_(inner) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID* g, LPCSTR e, HWND p, DWORD f) override {
    return inner_.SetupDiGetClassDevsA(g, e, p, f);
  }
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* g, HWND p) override {
    return inner_.SetupDiCreateDeviceInfoList(g, p);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiEnumDeviceInfo(s, i, d);
  }
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO s, LPCSTR id, HWND p, DWORD f, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiOpenDeviceInfoA(s, id, p, f, d);
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO s, PSP_DEVINFO_DATA d, LPSTR b, DWORD n, PDWORD r) override {
    return inner_.SetupDiGetDeviceInstanceIdA(s, d, b, n, r);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    return inner_.SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
  }
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, const BYTE* b, DWORD n) override {
    return inner_.SetupDiSetDeviceRegistryPropertyA(s, d, p, b, n);
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD sc, DWORD h, DWORD k, REGSAM a) override {
    return inner_.SetupDiOpenDevRegKey(s, d, sc, h, k, a);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* g, DWORD i,
                                   PSP_DEVICE_INTERFACE_DATA o) override {
    return inner_.SetupDiEnumDeviceInterfaces(s, d, g, i, o);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A o, DWORD n, PDWORD r,
                                        PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiGetDeviceInterfaceDetailA(s, i, o, n, r, d);
  }
  BOOL SetupDiSetClassInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_CLASSINSTALL_HEADER p, DWORD n) override {
    return inner_.SetupDiSetClassInstallParamsA(s, d, p, n);
  }
  BOOL SetupDiCallClassInstaller(DI_FUNCTION f, HDEVINFO s, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiCallClassInstaller(f, s, d);
  }
  BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_DEVINSTALL_PARAMS_A p) override {
    return inner_.SetupDiGetDeviceInstallParamsA(s, d, p);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override { return inner_.SetupDiDestroyDeviceInfoList(s); }
  HINF SetupOpenInfFileA(LPCSTR f, LPCSTR c, DWORD s, PUINT e) override {
    return inner_.SetupOpenInfFileA(f, c, s, e);
  }
  void SetupCloseInfFile(HINF i) override { inner_.SetupCloseInfFile(i); }
  void InstallHinfSectionA(HWND w, HINSTANCE m, LPCSTR c, INT s) override { inner_.InstallHinfSectionA(w, m, c, s); }

 protected:
  platform::IDeviceInstall& inner_;
};

class SimMachineTest : public ::testing::Test {
 protected:
  void TearDown() override {
    devices_.clear();
    lookup_.Reset();
    if (machine_) {
      EXPECT_EQ(machine_->LeakReport(), "");
    }
    scope_.reset();
  }

  void Load(sim::MachineModel model) {
    Unload();
    machine_ = std::make_unique<sim::Machine>(std::move(model));
    scope_.emplace(machine_->Backend());
  }
  void LoadDefault() {
    Unload();
    machine_ = sim::Machine::Default();
    scope_.emplace(machine_->Backend());
  }
  // Every machine is checked for leaks before it goes.
  void Unload() {
    devices_.clear();
    lookup_.Reset();
    if (machine_) {
      EXPECT_EQ(machine_->LeakReport(), "");
    }
    scope_.reset();
    machine_.reset();
  }

  sim::Device& Model(const std::string& id) {
    sim::Device* device = machine_->FindDevice(id);
    EXPECT_NE(device, nullptr) << id;
    return *device;
  }

  // A lookup set of the test's own, as the device list keeps one.
  HDEVINFO Lookup() {
    if (!lookup_) lookup_.Reset(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
    return lookup_.Get();
  }

  // The record of a device opened into the lookup set.
  SP_DEVINFO_DATA Record(const std::string& id) {
    SP_DEVINFO_DATA data{};
    EXPECT_TRUE(morvane::OpenDevInstInfo(Lookup(), machine_->DevInstOf(id), data)) << id;
    return data;
  }

  // A TDevice over the lookup set, owned by the fixture.
  morvane::TDevice& Device(const std::string& id) {
    SP_DEVINFO_DATA data = Record(id);
    devices_.push_back(std::make_unique<morvane::TDevice>(Lookup(), data, Lookup()));
    return *devices_.back();
  }

  std::size_t Count(const std::string& function) const { return machine_->CountCalls(function); }

  std::unique_ptr<sim::Machine> machine_;
  std::optional<platform::ScopedBackend> scope_;
  platform::UniqueDevInfo lookup_;
  std::vector<std::unique_ptr<morvane::TDevice>> devices_;
};

}  // namespace devtest
