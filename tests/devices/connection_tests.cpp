// The USB connection query: outcome table, speed decision, endpoint walk, port
// search, caching, and hub answers that make no sense.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

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
  EXPECT_EQ(ControlsSent(IOCTL_USB_GET_NODE_INFORMATION), 1u);
  // Ports 1 and 3 answer both name controls; port 2 has nothing attached. Port 4 is never asked.
  EXPECT_LE(ControlsSent(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME), 6u);
  for (const sim::Call& call : machine_->CallsTo("DeviceIoControl")) {
    if (call.args.find("0x220448") != std::string::npos) {
      EXPECT_THAT(call.args, ::testing::HasSubstr("365"));
    }
  }
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
