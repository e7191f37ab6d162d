// The USB connection query: the device's hub is asked once for the port the device
// hangs on, its speed and its open pipes.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "devices/AsciiText.h"
#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "devices/HubLayout.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

using ConnectionBuffer = std::array<BYTE, hub::kConnectionInfoSize>;

template <std::size_t N>
DWORD ReadU32(const std::array<BYTE, N>& buffer, std::size_t offset) {
  static_assert(N >= 4);
  DWORD value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<DWORD>(buffer[offset + i]) << (8 * i);
  return value;
}

template <std::size_t N>
void WriteU32(std::array<BYTE, N>& buffer, std::size_t offset, DWORD value) {
  for (std::size_t i = 0; i < 4; ++i) buffer[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

// Sends an I/O control that uses one buffer for input and output.
bool HubControl(HANDLE hubHandle, DWORD code, BYTE* buffer, DWORD size) {
  DWORD returned = 0;
  return platform::Files().DeviceIoControl(hubHandle, code, buffer, size, buffer, size, &returned, nullptr) != FALSE;
}

// The number of downstream ports, or nothing when the node is not a hub.
bool ReadHubPortCount(HANDLE hubHandle, BYTE& ports) {
  std::array<BYTE, hub::kNodeInfoSize> node{};
  if (!HubControl(hubHandle, IOCTL_USB_GET_NODE_INFORMATION, node.data(), hub::kNodeInfoSize)) return false;
  if (ReadU32(node, hub::kNodeTypeOffset) != hub::kNodeTypeUsbHub) return false;
  ports = node[hub::kNumberOfPortsOffset];
  return true;
}

std::string WideToAnsi(const WCHAR* wide, int length) {
  if (length <= 0) return {};
  platform::ISystem& system = platform::System();
  const int size = system.WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  const int written = system.WideCharToMultiByte(CP_ACP, 0, wide, length, text.data(), size, nullptr, nullptr);
  if (written <= 0) return {};
  text.resize(static_cast<std::size_t>(written));
  return text;
}

// The driver key name the hub reports for a port. False when the port has none, or
// when the name would not fit the 520-byte area: such a port is skipped rather
// than received past the area.
bool ReadPortDriverKey(HANDLE hubHandle, ULONG port, std::string& name) {
  std::array<BYTE, hub::kDriverKeyAreaSize> area{};
  WriteU32(area, hub::kConnectionIndexOffset, port);
  if (!HubControl(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), hub::kDriverKeyProbeSize)) {
    return false;
  }
  const DWORD actualLength = ReadU32(area, hub::kActualLengthOffset);
  if (actualLength < hub::kDriverKeyProbeSize || actualLength > hub::kDriverKeyAreaSize) return false;

  area.fill(0);
  WriteU32(area, hub::kConnectionIndexOffset, port);
  if (!HubControl(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), actualLength)) return false;

  // The name ends at its NUL or at the end of what the hub returned.
  std::array<WCHAR, hub::kDriverKeyNameUnits> wide{};
  const std::size_t units = (actualLength - hub::kDriverKeyNameOffset) / sizeof(WCHAR);
  std::memcpy(wide.data(), area.data() + hub::kDriverKeyNameOffset, units * sizeof(WCHAR));
  std::size_t length = 0;
  while (length < units && wide[length] != 0) ++length;
  name = WideToAnsi(wide.data(), static_cast<int>(length));
  return true;
}

// The port whose driver key matches, ignoring ASCII case; 0 when none does. An
// empty driver key (a device without a driver) matches no port.
ULONG FindPortOfDriverKey(HANDLE hubHandle, BYTE ports, const std::string& driverKey) {
  for (ULONG port = 1; port <= ports; ++port) {
    std::string portKey;
    if (!ReadPortDriverKey(hubHandle, port, portKey)) continue;
    if (!driverKey.empty() && EqualsIgnoringAsciiCase(portKey, driverKey)) return port;
  }
  return 0;
}

// The V2 control tells SuperSpeed and SuperSpeedPlus apart from the EX speed code.
void ApplyV2Speed(HANDLE hubHandle, ULONG port, ConnectionBuffer& info) {
  std::array<BYTE, hub::kV2Size> v2{};
  WriteU32(v2, hub::kConnectionIndexOffset, port);
  WriteU32(v2, hub::kV2LengthOffset, hub::kV2Size);
  WriteU32(v2, hub::kV2ProtocolsOffset, hub::kV2ProtocolsUsb110Usb200Usb300);
  if (!HubControl(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2.data(), hub::kV2Size)) return;
  const DWORD flags = ReadU32(v2, hub::kV2FlagsOffset);
  if ((flags & hub::kV2OperatingAtSuperSpeedPlusOrHigher) != 0) {
    info[hub::kSpeedOffset] = kSpeedSuperPlus;
  } else if ((flags & hub::kV2OperatingAtSuperSpeedOrHigher) != 0) {
    info[hub::kSpeedOffset] = kSpeedSuper;
  }
}

// Fills the connection information of a port with its speed code at byte 23:
// from the EX control (refined by V2), else from the plain control's LowSpeed flag.
bool ReadConnection(HANDLE hubHandle, ULONG port, ConnectionBuffer& info) {
  info.fill(0);
  WriteU32(info, hub::kConnectionIndexOffset, port);
  if (HubControl(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, info.data(), hub::kConnectionInfoSize)) {
    ApplyV2Speed(hubHandle, port, info);
    return true;
  }
  // A failed control may have left bytes behind; the plain control starts afresh.
  info.fill(0);
  WriteU32(info, hub::kConnectionIndexOffset, port);
  if (!HubControl(hubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info.data(), hub::kConnectionInfoSize)) {
    return false;
  }
  info[hub::kSpeedOffset] = info[hub::kSpeedOffset] != 0 ? kSpeedLow : kSpeedFull;
  return true;
}

// The number of pipe entries to walk: the reported count, held to what the buffer holds.
std::size_t PipeCount(const ConnectionBuffer& info) {
  const auto reported = static_cast<std::int32_t>(ReadU32(info, hub::kNumberOfOpenPipesOffset));
  if (reported <= 0) return 0;
  return std::min<std::size_t>(static_cast<std::size_t>(reported), hub::kPipeCapacity);
}

}  // namespace

bool TDevice::QueryConnection() {
  if (ConnectionKnown) return ConnectionResult;
  // True unless connection information was read and it lists no interrupt pipe;
  // stored on every way out, the exception of the parent lookup included.
  bool result = true;
  struct StoreOutcome {
    TDevice& device;
    const bool& result;
    ~StoreOutcome() {
      device.ConnectionResult = result;
      device.ConnectionKnown = true;
    }
  } storeOutcome{*this, result};
  RunConnectionQuery(result);
  return result;
}

void TDevice::RunConnectionQuery(bool& result) {
  TDevice& parent = GetParentDevice();
  platform::UniqueFile hubHandle(parent.OpenInterface(GUID_DEVINTERFACE_USB_HUB));
  Speed = kSpeedUnknown;
  if (!hubHandle) return;

  ULONG port = GetPropertyDword(SPDRP_ADDRESS);
  if (port == 0) {
    BYTE ports = 0;
    if (!ReadHubPortCount(hubHandle.Get(), ports)) return;
    port = FindPortOfDriverKey(hubHandle.Get(), ports, GetPropertyString(SPDRP_DRIVER));
    if (port == 0) return;
  }

  ConnectionBuffer info{};
  if (!ReadConnection(hubHandle.Get(), port, info)) return;
  result = false;
  Speed = info[hub::kSpeedOffset];

  const std::size_t pipes = PipeCount(info);
  for (std::size_t i = 0; i < pipes; ++i) {
    const BYTE* entry = info.data() + hub::kPipeListOffset + i * hub::kPipeInfoSize;
    if ((entry[hub::kPipeAttributesOffset] & hub::kTransferTypeMask) != hub::kTransferInterrupt) continue;
    result = true;
    const BYTE interval = entry[hub::kPipeIntervalOffset];
    if (interval == 0) continue;
    if (MinInterval == 0 || interval < MinInterval) MinInterval = interval;
    if (interval > MaxInterval) MaxInterval = interval;
  }
}

BYTE TDevice::GetMinInterval() {
  if (!ConnectionKnown) QueryConnection();
  return MinInterval;
}

BYTE TDevice::GetMaxInterval() {
  if (!ConnectionKnown) QueryConnection();
  return MaxInterval;
}

BYTE TDevice::GetSpeed() {
  if (!ConnectionKnown) QueryConnection();
  return Speed;
}

// 255 (not determined) counts as high speed or faster.
bool TDevice::IsHighSpeedOrFaster() { return GetSpeed() >= kSpeedHigh; }

bool TDevice::IsLowSpeed() { return GetSpeed() == kSpeedLow; }

}  // namespace morvane
