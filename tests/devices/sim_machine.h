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
#include "tests/common/forwarding.h"
#include "tests/common/machine_test.h"
#include "tests/common/sim_model.h"

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

using simtest::BulkPipe;
using simtest::ForwardingDeviceInstall;
using simtest::InterruptPipe;
using simtest::Node;
using simtest::Port;
using simtest::SetText;

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
  hub.connections.push_back(Port(1, kMouse, 1, {InterruptPipe(1)}));
  hub.numberOfPorts = 4;
  rootHub.hub = hub;
  model.devices.push_back(rootHub);

  sim::Device mouse = Node(kMouse, kRootHub, DevClassUsb, {InterfaceUsbDevice});
  SetText(mouse, SPDRP_DEVICEDESC, "USB Composite Device");
  SetText(mouse, SPDRP_SERVICE, "usbccgp");
  SetText(mouse, SPDRP_DRIVER, kMouseDriverKey);
  mouse.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(1);
  model.devices.push_back(mouse);

  // An interface node of the mouse and the HID leaf below it.
  const auto addInterface = [&model](const char* interfaceId, const char* leafId, const GUID& leafClass,
                                     const char* leafText) {
    sim::Device node = Node(interfaceId, kMouse, DevClassHid);
    SetText(node, SPDRP_DEVICEDESC, "USB Input Device");
    model.devices.push_back(node);
    sim::Device leaf = Node(leafId, interfaceId, leafClass, {InterfaceHid});
    SetText(leaf, SPDRP_DEVICEDESC, leafText);
    model.devices.push_back(leaf);
  };
  addInterface(kMouseIf0, kMouseHid0, DevClassMouse, "HID-compliant mouse");
  addInterface(kMouseIf1, kMouseHid1, DevClassKeyboard, "HID Keyboard Device");
  return model;
}

// The machine of the last test stays until the fixture goes.
class SimMachineTest : public simtest::MachineTest {
 protected:
  void TearDown() override { Release(); }

  void LoadDefault() {
    Unload();
    machine_ = sim::Machine::Default();
    scope_.emplace(machine_->Backend());
  }

  sim::Device& Model(const std::string& id) {
    sim::Device* device = machine_->FindDevice(id);
    EXPECT_NE(device, nullptr) << id;
    return *device;
  }

  std::size_t Count(const std::string& function) const { return machine_->CountCalls(function); }
};

}  // namespace devtest
