// Hub answers: a USB device whose parent hub answers every hub I/O control with
// whatever the input says: success or failure, any bytes, any length up to the
// buffer it was given, bytes left behind by a failed control.
//
// Input: one byte, the device's SPDRP_ADDRESS (0: the port is searched by driver
// key); then one record per I/O control in the order they are sent: a flag byte
// (bit 0: the control succeeds, bit 1: a failed control still writes its bytes), a
// 16-bit length and that many answer bytes.
//
// Checked: every control is sent with one buffer of the size its structure has, and
// that whole buffer is addressable; the hub handle is closed and nothing is left
// open; speed, result and intervals are the neutral result when no connection
// information was obtained, and otherwise what the last answer says; a second
// question sends nothing.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "devices/HubLayout.h"
#include "fuzz/FuzzInput.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/common/forwarding.h"
#include "tests/common/sim_model.h"

namespace {

using fuzz::Require;
namespace hub = morvane::hub;

const char* const kRoot = "HTREE\\ROOT\\0";
const char* const kController = "PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&A0";
const char* const kRootHub = "USB\\ROOT_HUB30\\4&2B8A3C0&0&0";
const char* const kDevice = "USB\\VID_046D&PID_C08B\\5&1A2B3C&0&1";
const char* const kDriverKey = "{36fc9e60-c465-11cf-8056-444553540000}\\0007";

using simtest::Node;

sim::MachineModel HubMachine(DWORD address) {
  sim::MachineModel model;
  model.devices.push_back(Node(kRoot, "", sim::guids::DevClassSystem, {}));
  model.devices.push_back(Node(kController, kRoot, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHostController}));
  sim::Device rootHub = Node(kRootHub, kController, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbHub});
  rootHub.hub = sim::Hub{};
  model.devices.push_back(rootHub);
  sim::Device device = Node(kDevice, kRootHub, sim::guids::DevClassUsb, {sim::guids::InterfaceUsbDevice});
  device.properties[SPDRP_DRIVER] = sim::RegValue::String(kDriverKey);
  if (address != 0) device.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(address);
  model.devices.push_back(device);
  return model;
}

std::uint32_t U32(const BYTE* bytes, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

// The hub: answers from the input, and a record of what was asked.
class ScriptedHub : public simtest::ForwardingFiles {
 public:
  ScriptedHub(platform::IFiles& inner, fuzz::FuzzInput& input) : ForwardingFiles(inner), input_(input) {}

  BOOL DeviceIoControl(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED overlapped) override {
    ++controls;
    Require(in == out && inSize == outSize && in != nullptr, "a control without one shared buffer");
    Require(overlapped == nullptr, "an overlapped control");
    Require(returned != nullptr, "no place for the returned size");
    Require(__asan_region_is_poisoned(out, outSize) == nullptr, "the buffer is smaller than its size says");
    CheckRequest(code, static_cast<const BYTE*>(in), inSize);

    const std::uint8_t flags = input_.Byte();
    const std::vector<std::uint8_t> answer = input_.Sized();
    const bool ok = (flags & 1) != 0;
    const std::size_t n = std::min<std::size_t>(answer.size(), outSize);
    if ((ok || (flags & 2) != 0) && n != 0) std::memcpy(out, answer.data(), n);
    *returned = static_cast<DWORD>(n);
    if (ok) Record(code, static_cast<const BYTE*>(out));
    return ok ? TRUE : FALSE;
  }

  std::size_t controls = 0;
  bool nodeInfoAsked = false;
  bool connectionRead = false;  // the EX or the plain control succeeded
  bool exSucceeded = false;
  bool v2Succeeded = false;
  std::uint32_t v2Flags = 0;
  std::uint32_t connectionPort = 0;
  std::array<BYTE, hub::kConnectionInfoSize> connection{};
  int searchPorts = -1;  // bNumberOfPorts of a successful node-information answer

 private:
  void CheckRequest(DWORD code, const BYTE* in, DWORD size) {
    switch (code) {
      case IOCTL_USB_GET_NODE_INFORMATION:
        nodeInfoAsked = true;
        Require(size == hub::kNodeInfoSize, "node information of the wrong size");
        break;
      case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
        Require(size >= hub::kDriverKeyProbeSize && size <= hub::kDriverKeyAreaSize, "a driver key name past its area",
                std::to_string(size));
        Require(searchPorts >= 1 && U32(in, 0) >= 1 && U32(in, 0) <= static_cast<std::uint32_t>(searchPorts),
                "a driver key asked of a port the hub does not have");
        break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
        Require(size == hub::kConnectionInfoSize, "connection information of the wrong size");
        connectionPort = U32(in, 0);
        Require(connectionPort != 0, "connection information of port 0");
        for (std::size_t i = 4; i < size; ++i) Require(in[i] == 0, "connection information not zero-filled");
        break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2:
        Require(size == hub::kV2Size, "V2 of the wrong size");
        Require(exSucceeded, "V2 without a successful EX control");
        Require(U32(in, 0) == connectionPort && U32(in, 4) == hub::kV2Size &&
                    U32(in, 8) == hub::kV2ProtocolsUsb110Usb200Usb300 && U32(in, 12) == 0,
                "a V2 request of the wrong form");
        break;
      default:
        fuzz::Violated("an unknown I/O control", std::to_string(code));
    }
  }

  void Record(DWORD code, const BYTE* out) {
    switch (code) {
      case IOCTL_USB_GET_NODE_INFORMATION:
        if (U32(out, hub::kNodeTypeOffset) == hub::kNodeTypeUsbHub) searchPorts = out[hub::kNumberOfPortsOffset];
        break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
        exSucceeded = true;
        [[fallthrough]];
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
        connectionRead = true;
        std::memcpy(connection.data(), out, connection.size());
        break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2:
        v2Succeeded = true;
        v2Flags = U32(out, hub::kV2FlagsOffset);
        break;
      default:
        break;
    }
  }

  fuzz::FuzzInput& input_;
};

struct Expected {
  bool result = true;
  BYTE speed = 255;
  BYTE minInterval = 0;
  BYTE maxInterval = 0;
};

Expected ExpectedOutcome(const ScriptedHub& hubAnswers) {
  Expected e;
  if (!hubAnswers.connectionRead) return e;
  const BYTE* info = hubAnswers.connection.data();
  e.speed = info[hub::kSpeedOffset];
  if (!hubAnswers.exSucceeded) {
    e.speed = e.speed != 0 ? 0 : 1;
  } else if (hubAnswers.v2Succeeded && (hubAnswers.v2Flags & 4) != 0) {
    e.speed = 4;
  } else if (hubAnswers.v2Succeeded && (hubAnswers.v2Flags & 1) != 0) {
    e.speed = 3;
  }
  e.result = false;
  const auto count = static_cast<std::int32_t>(U32(info, hub::kNumberOfOpenPipesOffset));
  for (std::int32_t i = 0; i < std::min<std::int32_t>(count, hub::kPipeCapacity); ++i) {
    const BYTE* pipe = info + hub::kPipeListOffset + static_cast<std::size_t>(i) * hub::kPipeInfoSize;
    if ((pipe[hub::kPipeAttributesOffset] & 3) != 3) continue;
    e.result = true;
    const BYTE interval = pipe[hub::kPipeIntervalOffset];
    if (interval == 0) continue;
    if (e.minInterval == 0 || interval < e.minInterval) e.minInterval = interval;
    e.maxInterval = std::max(e.maxInterval, interval);
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  fuzz::FuzzInput input(data, size);
  const DWORD address = input.Byte();
  sim::Machine machine(HubMachine(address));
  platform::Backend backend = machine.Backend();
  ScriptedHub hubAnswers(*backend.files, input);
  backend.files = &hubAnswers;
  {
    platform::ScopedBackend scope(backend);
    platform::UniqueDevInfo lookup(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA record{};
    Require(morvane::OpenDevInstInfo(lookup.Get(), machine.DevInstOf(kDevice), record), "the device cannot be opened");
    {
      morvane::TDevice device(lookup.Get(), record, lookup.Get());
      const bool result = device.QueryConnection();
      const Expected e = ExpectedOutcome(hubAnswers);
      Require(result == e.result, "the connection result differs from the answer");
      Require(device.GetSpeed() == e.speed, "the speed differs from the answer",
              std::to_string(device.GetSpeed()) + " instead of " + std::to_string(e.speed));
      Require(device.GetMinInterval() == e.minInterval && device.GetMaxInterval() == e.maxInterval,
              "the intervals differ from the answer");
      Require(device.IsHighSpeedOrFaster() == (e.speed >= 2), "high speed differs from the speed");
      if (address != 0) {
        Require(!hubAnswers.nodeInfoAsked, "a port search although the device reports its port");
        if (hubAnswers.connectionPort != 0) Require(hubAnswers.connectionPort == address, "another port was asked");
      }
      const std::size_t controls = hubAnswers.controls;
      device.QueryConnection();
      device.GetSpeed();
      Require(hubAnswers.controls == controls, "a second question asked the hub again");
    }
  }
  Require(machine.LeakReport().empty(), "resources left open", machine.LeakReport());
  return 0;
}
