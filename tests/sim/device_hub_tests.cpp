// Device interfaces, their paths and handles, and the hub I/O controls byte for byte.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

using platform::UniqueDevInfo;
using platform::UniqueFile;

DWORD U32(const std::vector<BYTE>& b, std::size_t at) {
  DWORD v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

class DeviceInterfaces : public MachineTest {
 protected:
  // The path of the first interface of a class that a device exposes, as the
  // device access layer reads it; empty when there is none.
  std::string InterfacePath(const std::string& id, const GUID& interfaceClass) {
    UniqueDevInfo set(
        Di().SetupDiGetClassDevsA(&interfaceClass, id.c_str(), nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    SP_DEVINFO_DATA data = Record();
    if (!Di().SetupDiEnumDeviceInfo(set.Get(), 0, &data)) return "";
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    if (!Di().SetupDiEnumDeviceInterfaces(set.Get(), &data, &interfaceClass, 0, &iface)) return "";
    DWORD required = 0;
    EXPECT_FALSE(Di().SetupDiGetDeviceInterfaceDetailA(set.Get(), &iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> block(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(Di().SetupDiGetDeviceInterfaceDetailA(set.Get(), &iface, detail, required, &required, nullptr));
    return detail->DevicePath;
  }

  UniqueFile OpenHub(const std::string& id = kRootHub) {
    const std::string path = InterfacePath(id, sim::guids::InterfaceUsbHub);
    return UniqueFile(platform::Files().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
  }

  // Sends a control with one buffer for input and output, as the connection query does.
  bool Control(HANDLE hub, DWORD code, std::vector<BYTE>& buffer, DWORD* returned, DWORD size = 0) {
    const DWORD n = size != 0 ? size : static_cast<DWORD>(buffer.size());
    return platform::Files().DeviceIoControl(hub, code, buffer.data(), n, buffer.data(), n, returned, nullptr) != 0;
  }

  static std::vector<BYTE> PortBuffer(std::size_t size, ULONG port) {
    std::vector<BYTE> b(size, 0);
    std::memcpy(b.data(), &port, 4);
    return b;
  }
};

TEST_F(DeviceInterfaces, PathIsLowerCaseWithHashesAndTheDetailSizeIsExact) {
  const std::string path = InterfacePath(kRootHub, sim::guids::InterfaceUsbHub);
  EXPECT_EQ(path, "\\\\?\\usb#root_hub30#4&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_EQ(InterfacePath(kMouse, sim::guids::InterfaceUsbHub), "");

  UniqueDevInfo set(Di().SetupDiGetClassDevsA(&sim::guids::InterfaceUsbHub, kRootHub, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);
  ASSERT_TRUE(Di().SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &sim::guids::InterfaceUsbHub, 0, &iface));
  EXPECT_EQ(iface.Flags, 1u);
  EXPECT_FALSE(Di().SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &sim::guids::InterfaceUsbHub, 1, &iface));
  EXPECT_EQ(LastError(), ERROR_NO_MORE_ITEMS);

  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  std::vector<BYTE> block(need + 4, 0xCC);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD required = 0;
  EXPECT_FALSE(Di().SetupDiGetDeviceInterfaceDetailA(set.Get(), &iface, detail, need - 1, &required, nullptr));
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, need);
  detail->cbSize = 5;
  EXPECT_FALSE(Di().SetupDiGetDeviceInterfaceDetailA(set.Get(), &iface, detail, need, &required, nullptr));
  EXPECT_EQ(LastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA owner = Record();
  ASSERT_TRUE(Di().SetupDiGetDeviceInterfaceDetailA(set.Get(), &iface, detail, need, &required, &owner));
  EXPECT_EQ(block[need], 0xCC) << "nothing written past the required size";
  EXPECT_EQ(owner.DevInst, machine_->DevInstOf(kRootHub));
}

TEST_F(DeviceInterfaces, OnlyPresentInterfacesOpenAndOnlyHubsAnswerControls) {
  UniqueFile hub = OpenHub();
  ASSERT_TRUE(hub);
  const std::string upper = "\\\\?\\USB#ROOT_HUB30#4&0#{F18A0E88-C30C-11D0-8815-00A0C906BED8}";
  UniqueFile again(platform::Files().CreateFileA(upper.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(again) << "device paths compare case-insensitively";

  const std::string mousePath = InterfacePath(kMouse, sim::guids::InterfaceUsbDevice);
  UniqueFile mouse(
      platform::Files().CreateFileA(mousePath.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(mouse);
  std::vector<BYTE> info(76);
  DWORD returned = 0;
  EXPECT_FALSE(Control(mouse.Get(), IOCTL_USB_GET_NODE_INFORMATION, info, &returned));
  EXPECT_EQ(LastError(), ERROR_INVALID_FUNCTION);

  std::string absent = "\\\\?\\usb#vid_1a2c&pid_0003#5&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  EXPECT_EQ(platform::Files().CreateFileA(absent.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
}

// Device paths open as Windows opens a device object: the disposition and the share
// modes of the handles already open decide, not only the name.
TEST_F(DeviceInterfaces, DevicePathsCheckDispositionAndSharing) {
  const std::string path = InterfacePath(kMouse, sim::guids::InterfaceUsbDevice);
  const auto open = [&path](DWORD access, DWORD share, DWORD disposition) {
    return UniqueFile(platform::Files().CreateFileA(path.c_str(), access, share, nullptr, disposition, 0, nullptr));
  };
  struct Refused {
    DWORD access, share, disposition, error;
  };
  for (const Refused& r : {Refused{GENERIC_READ, 3, 0, ERROR_INVALID_PARAMETER},
                           Refused{GENERIC_READ, 3, 6, ERROR_INVALID_PARAMETER},
                           Refused{GENERIC_READ, 8, OPEN_EXISTING, ERROR_INVALID_PARAMETER},
                           Refused{GENERIC_READ, 3, 5, ERROR_INVALID_PARAMETER},     // truncating without write
                           Refused{GENERIC_READ, 3, 1, 80},                          // CREATE_NEW: ERROR_FILE_EXISTS
                           Refused{GENERIC_WRITE, 3, 2, ERROR_ACCESS_DENIED},        // CREATE_ALWAYS
                           Refused{GENERIC_WRITE, 3, 5, ERROR_ACCESS_DENIED}}) {     // TRUNCATE_EXISTING
    EXPECT_FALSE(open(r.access, r.share, r.disposition)) << r.disposition << " " << r.share;
    EXPECT_EQ(LastError(), r.error) << r.disposition << " " << r.share;
  }
  {
    UniqueFile always = open(GENERIC_READ, 3, 4);  // OPEN_ALWAYS opens what exists
    EXPECT_TRUE(always);
    EXPECT_EQ(LastError(), 183u);  // ERROR_ALREADY_EXISTS
  }

  // A reader that shares reading only keeps writers out, and a writer out of a handle
  // that does not share writing; both come in once it is closed.
  UniqueFile reader = open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  EXPECT_FALSE(open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  EXPECT_EQ(LastError(), 32u);  // ERROR_SHARING_VIOLATION
  EXPECT_FALSE(open(GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING)) << "does not share the reader's reading";
  EXPECT_EQ(LastError(), 32u);
  EXPECT_TRUE(open(0, 0, OPEN_EXISTING)) << "an open without data access takes part in no sharing";
  reader.Reset();
  EXPECT_TRUE(open(GENERIC_WRITE, 0, OPEN_EXISTING));

  // Other devices are other objects.
  UniqueFile exclusive = open(GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_TRUE(exclusive);
  EXPECT_TRUE(OpenHub());
}

TEST_F(DeviceInterfaces, NodeInformationReportsTypeAndPortCount) {
  UniqueFile hub = OpenHub();
  std::vector<BYTE> info(76, 0xEE);
  DWORD returned = 0;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_INFORMATION, info, &returned));
  EXPECT_EQ(returned, 76u);
  EXPECT_EQ(U32(info, 0), 0u) << "UsbHub";
  EXPECT_EQ(info[5], 0x29) << "hub descriptor type";
  EXPECT_EQ(info[6], 4) << "the highest port listed";
  machine_->FindDevice(kRootHub)->hub->numberOfPorts = 10;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_INFORMATION, info, &returned));
  EXPECT_EQ(info[6], 10);

  std::vector<BYTE> small(75);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_INFORMATION, small, &returned));
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(DeviceInterfaces, DriverKeyNameFirstCallFillsTheHeadAndTheFirstUnit) {
  UniqueFile hub = OpenHub();
  const std::string name = "{36fc9e60-c465-11cf-8056-444553540000}\\0007";
  const DWORD actual = static_cast<DWORD>(8 + 2 * (name.size() + 1));

  std::vector<BYTE> first = PortBuffer(10, 1);
  DWORD returned = 0;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, first, &returned));
  EXPECT_EQ(U32(first, 0), 1u);
  EXPECT_EQ(U32(first, 4), actual);
  EXPECT_EQ(first[8], '{');
  EXPECT_EQ(first[9], 0);
  EXPECT_EQ(returned, 10u);

  std::vector<BYTE> whole = PortBuffer(520, 1);
  std::fill(whole.begin() + 4, whole.end(), 0xEE);
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, whole, &returned, actual));
  EXPECT_EQ(returned, actual);
  std::string text;
  for (std::size_t i = 8; i + 1 < actual; i += 2) {
    if (whole[i] == 0 && whole[i + 1] == 0) break;
    text.push_back(static_cast<char>(whole[i]));
    EXPECT_EQ(whole[i + 1], 0);
  }
  EXPECT_EQ(text, name);
  EXPECT_EQ(whole[actual], 0xEE) << "nothing past ActualLength";

  std::vector<BYTE> tiny = PortBuffer(9, 1);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, tiny, &returned));

  machine_->FindDevice(kRootHub)->hub->connections[0].actualLengthOverride = 4000;
  machine_->FindDevice(kRootHub)->hub->connections[0].driverKeyName = "Other\\Key";
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, first, &returned));
  EXPECT_EQ(U32(first, 4), 4000u);
  EXPECT_EQ(first[8], 'O');

  std::vector<BYTE> empty = PortBuffer(10, 4);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, empty, &returned));
  const DWORD emptyPortError = LastError();
  // Port 3 is not listed but lies within the hub's four ports: an empty port too.
  std::vector<BYTE> unlisted = PortBuffer(10, 3);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, unlisted, &returned));
  EXPECT_EQ(LastError(), emptyPortError);
  std::vector<BYTE> beyond = PortBuffer(10, 5);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, beyond, &returned));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
  std::vector<BYTE> status = PortBuffer(365, 3);
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, status, &returned));
  EXPECT_EQ(U32(status, 31), 0u) << "NoDeviceConnected";
}

TEST_F(DeviceInterfaces, ConnectionInformationExLaysOutHeadAndPipes) {
  UniqueFile hub = OpenHub();
  std::vector<BYTE> b = PortBuffer(365, 1);
  DWORD returned = 0;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, b, &returned));
  EXPECT_EQ(returned, 35u + 3 * 11);
  EXPECT_EQ(U32(b, 0), 1u);
  EXPECT_EQ(b[4], 18) << "device descriptor length";
  EXPECT_EQ(b[12] | (b[13] << 8), 0x1A2C) << "idVendor from the hardware ID";
  EXPECT_EQ(b[14] | (b[15] << 8), 0x0001);
  EXPECT_EQ(b[23], 1) << "full speed";
  EXPECT_EQ(U32(b, 27), 3u);
  EXPECT_EQ(U32(b, 31), 1u) << "DeviceConnected";
  const BYTE pipe0[11] = {7, 5, 0x81, 3, 8, 0, 8, 0, 0, 0, 0};
  const BYTE pipe1[11] = {7, 5, 0x02, 2, 64, 0, 0, 0, 0, 0, 0};
  const BYTE pipe2[11] = {7, 5, 0x83, 3, 16, 0, 4, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(b.data() + 35, pipe0, 11), 0);
  EXPECT_EQ(std::memcmp(b.data() + 46, pipe1, 11), 0);
  EXPECT_EQ(std::memcmp(b.data() + 57, pipe2, 11), 0);

  std::vector<BYTE> room = PortBuffer(46 + 5, 1);
  room[46] = 0xAB;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, room, &returned, 50));
  EXPECT_EQ(returned, 46u) << "one whole entry fits";
  EXPECT_EQ(U32(room, 27), 3u) << "the count still says three";
  EXPECT_EQ(room[46], 0xAB);

  machine_->FindDevice(kRootHub)->hub->connections[0].openPipesOverride = -5;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, b, &returned));
  EXPECT_EQ(U32(b, 27), 0xFFFFFFFBu);

  std::vector<BYTE> empty = PortBuffer(365, 4);
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, empty, &returned));
  EXPECT_EQ(U32(empty, 31), 0u) << "NoDeviceConnected";
  EXPECT_EQ(U32(empty, 27), 0u);

  std::vector<BYTE> head = PortBuffer(34, 1);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, head, &returned));
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(DeviceInterfaces, PlainControlReportsLowSpeedAndFailuresFollowThePort) {
  UniqueFile hub = OpenHub();
  DWORD returned = 0;
  std::vector<BYTE> low = PortBuffer(365, 2);
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, low, &returned));
  EXPECT_EQ(low[23], 1) << "LowSpeed";
  std::vector<BYTE> full = PortBuffer(365, 1);
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, full, &returned));
  EXPECT_EQ(full[23], 0);

  sim::PortConnection& port = machine_->FindDevice(kRootHub)->hub->connections[0];
  port.exFails = true;
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, full, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, full, &returned));
  port.plainFails = true;
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, full, &returned));

  std::vector<BYTE> unknown = PortBuffer(365, 9);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, unknown, &returned));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceInterfaces, V2ControlNeedsItsLengthAndReportsTheFlags) {
  machine_->FindDevice(kRootHub)->hub->connections[0].v2Flags = 5;
  UniqueFile hub = OpenHub();
  std::vector<BYTE> v2 = PortBuffer(16, 1);
  const ULONG length = 16;
  const ULONG protocols = 7;
  std::memcpy(v2.data() + 4, &length, 4);
  std::memcpy(v2.data() + 8, &protocols, 4);
  DWORD returned = 0;
  ASSERT_TRUE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2, &returned));
  EXPECT_EQ(returned, 16u);
  EXPECT_EQ(U32(v2, 12), 5u);

  const ULONG wrong = 12;
  std::memcpy(v2.data() + 4, &wrong, 4);
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2, &returned));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);

  std::memcpy(v2.data() + 4, &length, 4);
  machine_->FindDevice(kRootHub)->hub->connections[0].v2Fails = true;
  EXPECT_FALSE(Control(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2, &returned));
}

}  // namespace
}  // namespace simtest
