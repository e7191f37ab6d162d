// Byte layouts of the USB hub I/O control structures as the hub driver exchanges
// them: packed (1-byte aligned), integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvane::hub {

// USB_NODE_INFORMATION.
inline constexpr std::size_t kNodeInfoSize = 76;
inline constexpr std::size_t kNodeTypeOffset = 0;       // 4 bytes, 0 = UsbHub
inline constexpr std::size_t kNumberOfPortsOffset = 6;  // bNumberOfPorts of the hub descriptor
inline constexpr std::uint32_t kNodeTypeUsbHub = 0;

// USB_NODE_CONNECTION_DRIVERKEY_NAME.
inline constexpr std::size_t kConnectionIndexOffset = 0;
inline constexpr std::size_t kActualLengthOffset = 4;
inline constexpr std::size_t kDriverKeyNameOffset = 8;  // UTF-16, NUL-terminated
inline constexpr std::size_t kDriverKeyProbeSize = 10;  // the head and one UTF-16 unit
inline constexpr std::size_t kDriverKeyNameUnits = 256;
inline constexpr std::size_t kDriverKeyAreaSize = 520;
static_assert(kDriverKeyProbeSize == kDriverKeyNameOffset + 2);
static_assert(kDriverKeyAreaSize == kDriverKeyNameOffset + 2 * kDriverKeyNameUnits);

// USB_NODE_CONNECTION_INFORMATION(_EX): the same layout but for byte 23, which is
// Speed in the EX form and the LowSpeed boolean in the plain form.
inline constexpr std::size_t kSpeedOffset = 23;
inline constexpr std::size_t kNumberOfOpenPipesOffset = 27;  // signed 32-bit
inline constexpr std::size_t kPipeListOffset = 35;
inline constexpr std::size_t kPipeInfoSize = 11;  // USB_ENDPOINT_DESCRIPTOR (7) + ScheduleOffset (4)
inline constexpr std::size_t kPipeCapacity = 30;
inline constexpr std::size_t kConnectionInfoSize = 365;
static_assert(kSpeedOffset == 4 + 18 + 1);  // ConnectionIndex, DeviceDescriptor, CurrentConfigurationValue
static_assert(kNumberOfOpenPipesOffset == kSpeedOffset + 1 + 1 + 2);  // Speed, DeviceIsHub, DeviceAddress
static_assert(kPipeListOffset == kNumberOfOpenPipesOffset + 4 + 4);   // NumberOfOpenPipes, ConnectionStatus
static_assert(kPipeInfoSize == 7 + 4);
static_assert(kConnectionInfoSize == kPipeListOffset + kPipeCapacity * kPipeInfoSize);
static_assert(365 == 35 + 30 * 11);

// USB_PIPE_INFO entry.
inline constexpr std::size_t kPipeAttributesOffset = 3;  // bmAttributes, low two bits = transfer type
inline constexpr std::size_t kPipeIntervalOffset = 6;    // bInterval
inline constexpr std::uint8_t kTransferTypeMask = 3;
inline constexpr std::uint8_t kTransferInterrupt = 3;

// USB_NODE_CONNECTION_INFORMATION_EX_V2.
inline constexpr std::size_t kV2Size = 16;
inline constexpr std::size_t kV2LengthOffset = 4;
inline constexpr std::size_t kV2ProtocolsOffset = 8;
inline constexpr std::size_t kV2FlagsOffset = 12;
inline constexpr std::uint32_t kV2ProtocolsUsb110Usb200Usb300 = 1 | 2 | 4;
inline constexpr std::uint32_t kV2OperatingAtSuperSpeedOrHigher = 1u << 0;
inline constexpr std::uint32_t kV2OperatingAtSuperSpeedPlusOrHigher = 1u << 2;
static_assert(kV2FlagsOffset + 4 == kV2Size);

}  // namespace morvane::hub
