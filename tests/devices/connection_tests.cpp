// The USB connection query: outcome table, speed decision, endpoint walk, port
// search, caching, and hub answers that make no sense.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "platform/errors.h"
#include "tests/devices/sim_machine.h"

namespace {

using namespace morvane;
using namespace devtest;

struct Outcome {
  bool result;
  BYTE speed;
  BYTE minInterval;
  BYTE maxInterval;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << "{result " << o.result << ", speed " << int(o.speed) << ", min " << int(o.minInterval) << ", max "
             << int(o.maxInterval) << "}";
}

// Forwards to the machine and keeps, for every I/O control, the bytes the caller
// sent and the sizes it passed.
class CapturingFiles : public simtest::ForwardingFiles {
 public:
  struct Control {
    DWORD code;
    std::vector<BYTE> in;
    DWORD inSize;
    DWORD outSize;
    ULONG Port() const {
      ULONG port = 0;
      if (in.size() >= sizeof(port)) std::memcpy(&port, in.data(), sizeof(port));
      return port;
    }
  };
  using ForwardingFiles::ForwardingFiles;
  std::vector<Control> controls;

  std::vector<Control> Of(DWORD code) const {
    std::vector<Control> matching;
    for (const Control& c : controls) {
      if (c.code == code) matching.push_back(c);
    }
    return matching;
  }

  BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD r,
                       LPOVERLAPPED o) override {
    const auto* bytes = static_cast<const BYTE*>(in);
    controls.push_back({code, bytes == nullptr ? std::vector<BYTE>{} : std::vector<BYTE>(bytes, bytes + inSize),
                        inSize, outSize});
    EXPECT_EQ(in, out) << "one buffer for input and output";
    EXPECT_EQ(o, nullptr);
    return inner_.DeviceIoControl(h, code, in, inSize, out, outSize, r, o);
  }
};

std::vector<BYTE> LittleEndian(std::initializer_list<ULONG> values) {
  std::vector<BYTE> bytes;
  for (ULONG value : values) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
  return bytes;
}

class ConnectionTest : public SimMachineTest {
 protected:
  // The mouse's port on the root hub, to change before Start().
  sim::PortConnection& Port() { return RootHub().hub->connections.at(0); }
  sim::Device& RootHub() { return ModelDevice(kRootHub); }
  sim::Device& Mouse() { return ModelDevice(kMouse); }
  sim::Device& ModelDevice(const std::string& id) {
    for (sim::Device& device : model_.devices) {
      if (device.instanceId == id) return device;
    }
    throw std::runtime_error("no such device " + id);
  }

  Outcome Query() {
    Load(model_);
    TDevice& mouse = Device(kMouse);
    const bool result = mouse.QueryConnection();
    return {result, mouse.GetSpeed(), mouse.GetMinInterval(), mouse.GetMaxInterval()};
  }

  // Runs the mouse's query with every I/O control captured.
  CapturingFiles& CapturedQuery() {
    Load(model_);
    TDevice& mouse = Device(kMouse);
    platform::Backend backend = machine_->Backend();
    capture_ = std::make_unique<CapturingFiles>(*backend.files);
    backend.files = capture_.get();
    platform::ScopedBackend captured(backend);
    mouse.QueryConnection();
    return *capture_;
  }

  std::size_t ControlsSent(DWORD code) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", code);
    std::size_t n = 0;
    for (const sim::Call& call : machine_->CallsTo("DeviceIoControl")) {
      if (call.args.find(hex) != std::string::npos) ++n;
    }
    return n;
  }

  sim::MachineModel model_ = UsbMachine();
  std::unique_ptr<CapturingFiles> capture_;
};

TEST_F(ConnectionTest, EndpointWalk) {
  Port().pipes = {};
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));

  Port().pipes = {BulkPipe(), InterruptPipe(10)};
  EXPECT_EQ(Query(), (Outcome{true, 1, 10, 10}));

  // A zero interval counts for the result only.
  Port().pipes = {InterruptPipe(0), InterruptPipe(4)};
  EXPECT_EQ(Query(), (Outcome{true, 1, 4, 4}));

  Port().pipes = {InterruptPipe(8), InterruptPipe(1), InterruptPipe(32)};
  EXPECT_EQ(Query(), (Outcome{true, 1, 1, 32}));

  Port().pipes = {InterruptPipe(0)};
  EXPECT_EQ(Query(), (Outcome{true, 1, 0, 0}));

  // Bulk, control and isochronous pipes never count; the direction is ignored.
  sim::Pipe iso = InterruptPipe(1);
  iso.attributes = 1 | 0x0C;
  sim::Pipe control = InterruptPipe(1);
  control.attributes = 0;
  sim::Pipe out = InterruptPipe(2);
  out.endpointAddress = 0x02;
  out.attributes = 3 | 0x30;
  Port().pipes = {BulkPipe(), iso, control};
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));
  Port().pipes = {out};
  EXPECT_EQ(Query(), (Outcome{true, 1, 2, 2}));
}

TEST_F(ConnectionTest, SpeedFromTheExControlRefinedByTheV2Flags) {
  struct Case {
    BYTE exSpeed;
    ULONG flags;
    bool v2Fails;
    BYTE speed;
  };
  for (const Case& c : {Case{2, 5, false, 4}, Case{2, 1, false, 3}, Case{2, 2, false, 2}, Case{2, 4, false, 4},
                        Case{2, 0, false, 2}, Case{0, 0, false, 0}, Case{2, 5, true, 2}, Case{1, 8, false, 1}}) {
    Port().speed = c.exSpeed;
    Port().v2Flags = c.flags;
    Port().v2Fails = c.v2Fails;
    EXPECT_EQ(Query().speed, c.speed) << int(c.exSpeed) << " flags " << c.flags << " v2 fails " << c.v2Fails;
    EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2), 1u);
    EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION), 0u);
  }
}

TEST_F(ConnectionTest, PlainControlWhenTheExControlFails) {
  Port().exFails = true;
  Port().speed = 0;
  Port().pipes = {InterruptPipe(10)};
  EXPECT_EQ(Query(), (Outcome{true, 0, 10, 10}));
  EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION), 1u);
  EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2), 0u);

  Port().speed = 1;
  EXPECT_EQ(Query(), (Outcome{true, 1, 10, 10}));
  // The plain form only knows low speed or not.
  Port().speed = 2;
  EXPECT_EQ(Query(), (Outcome{true, 1, 10, 10}));
}

TEST_F(ConnectionTest, FailuresLeaveTrueAndUnknownSpeed) {
  const Outcome failed{true, kSpeedUnknown, 0, 0};
  Port().pipes = {};

  Port().exFails = true;
  Port().plainFails = true;
  EXPECT_EQ(Query(), failed);
  Port().exFails = Port().plainFails = false;

  // No port number and no port with the device's driver key.
  Mouse().properties.erase(SPDRP_ADDRESS);
  Port().driverKeyName = "{36FC9E60-C465-11CF-8056-444553540000}\\0099";
  EXPECT_EQ(Query(), failed);
  Port().driverKeyName.reset();
  RootHub().hub->nodeInfoFails = true;
  EXPECT_EQ(Query(), failed);
  RootHub().hub->nodeInfoFails = false;
  RootHub().hub->nodeType = 1;
  EXPECT_EQ(Query(), failed);
  RootHub().hub->nodeType = 0;
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));

  // The parent exposes no hub interface.
  RootHub().interfaces.clear();
  Load(model_);
  TDevice& mouse = Device(kMouse);
  EXPECT_TRUE(mouse.QueryConnection());
  EXPECT_EQ(mouse.GetSpeed(), kSpeedUnknown);
  EXPECT_TRUE(mouse.IsHighSpeedOrFaster());
  EXPECT_FALSE(mouse.IsLowSpeed());
  EXPECT_EQ(Count("DeviceIoControl"), 0u);
}

TEST_F(ConnectionTest, ParentLookupErrorPassesOnceAndIsRememberedAsTrue) {
  Load(model_);
  TDevice& root = Device(kRoot);
  try {
    root.QueryConnection();
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "GetParentDevice.FindDevInfo");
  }
  EXPECT_TRUE(root.QueryConnection());
  EXPECT_EQ(root.GetSpeed(), kSpeedUnknown);
  EXPECT_EQ(root.GetMinInterval(), 0);
  EXPECT_EQ(root.GetMaxInterval(), 0);
}

TEST_F(ConnectionTest, AccessorsRunTheQueryOnceAndThenReadTheCache) {
  Port().pipes = {InterruptPipe(4)};
  Load(model_);
  TDevice& mouse = Device(kMouse);
  EXPECT_EQ(mouse.GetMaxInterval(), 4);
  EXPECT_EQ(Count("CreateFileA"), 1u);
  EXPECT_EQ(Count("CloseHandle"), 1u);
  machine_->ClearCalls();
  Port().pipes.clear();
  EXPECT_TRUE(mouse.QueryConnection());
  EXPECT_EQ(mouse.GetMinInterval(), 4);
  EXPECT_EQ(mouse.GetSpeed(), 1);
  EXPECT_FALSE(mouse.IsHighSpeedOrFaster());
  EXPECT_FALSE(mouse.IsLowSpeed());
  EXPECT_TRUE(machine_->Calls().empty());

  // Each accessor alone starts the query on a fresh record.
  for (int accessor = 0; accessor < 5; ++accessor) {
    TDevice& fresh = Device(kMouse);
    machine_->ClearCalls();
    switch (accessor) {
      case 0: fresh.GetMinInterval(); break;
      case 1: fresh.GetMaxInterval(); break;
      case 2: fresh.GetSpeed(); break;
      case 3: fresh.IsHighSpeedOrFaster(); break;
      case 4: fresh.IsLowSpeed(); break;
    }
    EXPECT_EQ(Count("CreateFileA"), 1u) << accessor;
    fresh.QueryConnection();
    EXPECT_EQ(Count("CreateFileA"), 1u) << accessor;
  }
}

TEST_F(ConnectionTest, ReportedPortIsAskedDirectly) {
  Mouse().properties[SPDRP_ADDRESS] = sim::RegValue::Dword(5);
  Port().port = 5;
  Port().speed = 2;
  Port().pipes = {InterruptPipe(3)};
  EXPECT_EQ(Query(), (Outcome{true, 2, 3, 3}));
  EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_INFORMATION), 0u);
  EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME), 0u);
}

TEST_F(ConnectionTest, PortSearchMatchesTheDriverKeyIgnoringCase) {
  Mouse().properties.erase(SPDRP_ADDRESS);
  sim::Hub& hub = *RootHub().hub;
  sim::PortConnection other;
  other.port = 1;
  other.device = kExternalHub;
  other.driverKeyName = "{36FC9E60-C465-11CF-8056-444553540000}\\0001";
  sim::PortConnection empty;
  empty.port = 2;
  sim::PortConnection mouse = hub.connections.at(0);
  mouse.port = 3;
  mouse.speed = 0;
  mouse.pipes = {InterruptPipe(10)};
  mouse.driverKeyName = "{36fc9e60-c465-11cf-8056-444553540000}\\0007";
  hub.connections = {other, empty, mouse};
  hub.numberOfPorts = 4;
  EXPECT_EQ(Query(), (Outcome{true, 0, 10, 10}));

  CapturingFiles& files = CapturedQuery();
  const auto node = files.Of(IOCTL_USB_GET_NODE_INFORMATION);
  ASSERT_EQ(node.size(), 1u);
  EXPECT_EQ(node[0].in, std::vector<BYTE>(76, 0));
  EXPECT_EQ(node[0].outSize, 76u);
  // Ports 1 (its device is not in the machine) and 2 (nothing attached) fail the
  // probe; port 3 answers both name controls and ends the search, so port 4 is never asked.
  const auto names = files.Of(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME);
  std::vector<ULONG> ports;
  for (const auto& control : names) ports.push_back(control.Port());
  ASSERT_EQ(ports, (std::vector<ULONG>{1, 2, 3, 3}));
  // The probe sends the 10-byte head with the port, the read ActualLength bytes
  // (the head and the NUL-terminated UTF-16 name of 43 characters).
  for (std::size_t i : {0u, 1u, 2u}) {
    std::vector<BYTE> probe(10, 0);
    probe[0] = static_cast<BYTE>(ports[i]);
    EXPECT_EQ(names[i].in, probe) << i;
    EXPECT_EQ(names[i].outSize, 10u) << i;
  }
  std::vector<BYTE> read(8 + 2 * 44, 0);
  read[0] = 3;
  EXPECT_EQ(names[3].in, read);
  EXPECT_EQ(names[3].outSize, read.size());
  const auto ex = files.Of(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX);
  ASSERT_EQ(ex.size(), 1u);
  EXPECT_EQ(ex[0].Port(), 3u);
}

TEST_F(ConnectionTest, ConnectionControlsCarryThePortAndTheFixedSizes) {
  Mouse().properties[SPDRP_ADDRESS] = sim::RegValue::Dword(1);
  Port().speed = 3;
  Port().v2Flags = 1;
  CapturingFiles& files = CapturedQuery();
  ASSERT_EQ(files.controls.size(), 2u);
  std::vector<BYTE> connection(365, 0);
  connection[0] = 1;
  EXPECT_EQ(files.controls[0].code, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX);
  EXPECT_EQ(files.controls[0].in, connection);
  EXPECT_EQ(files.controls[0].outSize, 365u);
  // ConnectionIndex, Length 16, the USB 1.10, 2.00 and 3.00 protocol bits, no flags.
  EXPECT_EQ(files.controls[1].code, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2);
  EXPECT_EQ(files.controls[1].in, LittleEndian({1, 16, 7, 0}));
  EXPECT_EQ(files.controls[1].outSize, 16u);

  Port().exFails = true;
  CapturingFiles& fallback = CapturedQuery();
  ASSERT_EQ(fallback.controls.size(), 2u);
  EXPECT_EQ(fallback.controls[1].code, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
  EXPECT_EQ(fallback.controls[1].in, connection);
  EXPECT_EQ(fallback.controls[1].outSize, 365u);
}

// Every port answers the driver-key controls with an empty name.
class EmptyDriverKeyNames final : public CapturingFiles {
 public:
  using CapturingFiles::CapturingFiles;
  BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD r,
                       LPOVERLAPPED o) override {
    if (code != IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME || outSize < 10) {
      return CapturingFiles::DeviceIoControl(h, code, in, inSize, out, outSize, r, o);
    }
    controls.push_back({code, {}, inSize, outSize});
    const std::vector<BYTE> head = LittleEndian({0, 10});
    std::memcpy(static_cast<BYTE*>(out) + 4, head.data() + 4, 4);
    std::memset(static_cast<BYTE*>(out) + 8, 0, 2);
    *r = 10;
    return TRUE;
  }
};

TEST_F(ConnectionTest, ADeviceWithoutADriverKeyMatchesNoPortWithAnEmptyName) {
  Mouse().properties.erase(SPDRP_ADDRESS);
  Mouse().properties.erase(SPDRP_DRIVER);
  Load(model_);
  TDevice& mouse = Device(kMouse);
  platform::Backend backend = machine_->Backend();
  EmptyDriverKeyNames files(*backend.files);
  backend.files = &files;
  platform::ScopedBackend captured(backend);
  EXPECT_TRUE(mouse.QueryConnection());
  EXPECT_EQ(mouse.GetSpeed(), kSpeedUnknown);
  // All four ports were asked (probe and read), none was taken.
  EXPECT_EQ(files.Of(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME).size(), 8u);
  EXPECT_TRUE(files.Of(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX).empty());
}

TEST_F(ConnectionTest, ANameLongerThanTheAreaIsNeverReceived) {
  Mouse().properties.erase(SPDRP_ADDRESS);
  Port().actualLengthOverride = 60000;
  CapturingFiles& files = CapturedQuery();
  const auto names = files.Of(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME);
  // Port 1 gets its probe only and is skipped; the empty ports 2 to 4 are probed too.
  std::vector<ULONG> ports;
  for (const auto& control : names) ports.push_back(control.Port());
  EXPECT_EQ(ports, (std::vector<ULONG>{1, 2, 3, 4}));
  for (const auto& control : names) EXPECT_EQ(control.outSize, 10u);
  for (const auto& control : files.controls) EXPECT_LE(control.outSize, 520u) << control.code;
  EXPECT_TRUE(files.Of(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX).empty());
}

TEST_F(ConnectionTest, GarbageHubAnswersGiveDefinedValues) {
  // More pipes reported than the buffer holds: only the 30 entries in it are walked.
  Port().pipes.clear();
  for (int i = 0; i < 30; ++i) Port().pipes.push_back(BulkPipe());
  Port().pipes.push_back(InterruptPipe(7));
  Port().openPipesOverride = 1000;
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));
  Port().pipes.at(29) = InterruptPipe(9);
  EXPECT_EQ(Query(), (Outcome{true, 1, 9, 9}));

  Port().pipes = {InterruptPipe(7)};
  Port().openPipesOverride = -5;
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));
  Port().openPipesOverride = static_cast<LONG>(0x80000000u);
  EXPECT_EQ(Query(), (Outcome{false, 1, 0, 0}));
  Port().openPipesOverride.reset();

  // A driver key name longer than the 520-byte area: the port is skipped, the search goes on.
  Mouse().properties.erase(SPDRP_ADDRESS);
  Port().actualLengthOverride = 60000;
  EXPECT_EQ(Query(), (Outcome{true, kSpeedUnknown, 0, 0}));
  sim::PortConnection second = Port();
  second.port = 2;
  second.actualLengthOverride.reset();
  second.pipes = {InterruptPipe(2)};
  RootHub().hub->connections.push_back(second);
  EXPECT_EQ(Query(), (Outcome{true, 1, 2, 2}));
  Port().actualLengthOverride = 4;
  EXPECT_EQ(Query(), (Outcome{true, 1, 2, 2}));
}

TEST_F(ConnectionTest, EveryPathReleasesTheHubHandle) {
  Port().exFails = true;
  Port().plainFails = true;
  Load(model_);
  TDevice& mouse = Device(kMouse);
  const std::size_t open = machine_->OpenResourceCount();
  mouse.QueryConnection();
  EXPECT_EQ(Count("CloseHandle"), Count("CreateFileA"));
  EXPECT_EQ(machine_->OpenResourceCount(), open);
  TDevice& again = Device(kMouse);
  machine_->InjectFault({"DeviceIoControl", ERROR_GEN_FAILURE, 0, -1});
  EXPECT_TRUE(again.QueryConnection());
  EXPECT_EQ(machine_->OpenResourceCount(), open);
}

}  // namespace
