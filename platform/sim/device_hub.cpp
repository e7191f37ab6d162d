#include "platform/sim/device_hub.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/sim/device_index.h"

namespace sim {

namespace {

#pragma pack(push, 1)
struct NodeInformation {
  ULONG NodeType;
  BYTE bDescriptorLength;
  BYTE bDescriptorType;
  BYTE bNumberOfPorts;
  WORD wHubCharacteristics;
  BYTE bPowerOnToPowerGood;
  BYTE bHubControlCurrent;
  BYTE bRemoveAndPowerMask[64];
  BYTE HubIsBusPowered;
};

struct DriverKeyNameHead {
  ULONG ConnectionIndex;
  ULONG ActualLength;
  WCHAR DriverKeyName[1];
};

struct UsbDeviceDescriptor {
  BYTE bLength;
  BYTE bDescriptorType;
  WORD bcdUSB;
  BYTE bDeviceClass;
  BYTE bDeviceSubClass;
  BYTE bDeviceProtocol;
  BYTE bMaxPacketSize0;
  WORD idVendor;
  WORD idProduct;
  WORD bcdDevice;
  BYTE iManufacturer;
  BYTE iProduct;
  BYTE iSerialNumber;
  BYTE bNumConfigurations;
};

struct ConnectionHead {
  ULONG ConnectionIndex;
  UsbDeviceDescriptor DeviceDescriptor;
  BYTE CurrentConfigurationValue;
  BYTE Speed;  // LowSpeed (a boolean) in the plain control
  BYTE DeviceIsHub;
  WORD DeviceAddress;
  ULONG NumberOfOpenPipes;
  ULONG ConnectionStatus;
};

struct PipeInfo {
  BYTE bLength;
  BYTE bDescriptorType;
  BYTE bEndpointAddress;
  BYTE bmAttributes;
  WORD wMaxPacketSize;
  BYTE bInterval;
  ULONG ScheduleOffset;
};

struct ConnectionV2 {
  ULONG ConnectionIndex;
  ULONG Length;
  ULONG SupportedUsbProtocols;
  ULONG Flags;
};
#pragma pack(pop)

static_assert(sizeof(NodeInformation) == 76);
static_assert(offsetof(NodeInformation, bNumberOfPorts) == 6);
static_assert(sizeof(DriverKeyNameHead) == 10);
static_assert(offsetof(DriverKeyNameHead, ActualLength) == 4);
static_assert(offsetof(DriverKeyNameHead, DriverKeyName) == 8);
static_assert(sizeof(UsbDeviceDescriptor) == 18);
static_assert(sizeof(ConnectionHead) == 35);
static_assert(offsetof(ConnectionHead, Speed) == 23);
static_assert(offsetof(ConnectionHead, NumberOfOpenPipes) == 27);
static_assert(offsetof(ConnectionHead, ConnectionStatus) == 31);
static_assert(sizeof(PipeInfo) == 11);
static_assert(offsetof(PipeInfo, bmAttributes) == 3);
static_assert(offsetof(PipeInfo, bInterval) == 6);
static_assert(sizeof(ConnectionV2) == 16);
static_assert(offsetof(ConnectionV2, Flags) == 12);

constexpr ULONG kNoDeviceConnected = 0;
constexpr ULONG kDeviceConnected = 1;
constexpr DWORD kErrorDeviceNotConnected = 1167;

bool Fail(DWORD code, DWORD* error) {
  *error = code;
  return false;
}

template <typename T>
void Put(void* out, DWORD outSize, const T& value) {
  std::memcpy(out, &value, std::min<std::size_t>(sizeof(T), outSize));
}

ULONG ReadPort(const void* in) {
  ULONG port;
  std::memcpy(&port, in, sizeof(port));
  return port;
}

// Four hex digits after `tag` in the first hardware ID, as USB IDs carry them.
WORD HexAfter(const std::string& text, const char* tag) {
  const std::size_t at = ToUpperAscii(text).find(tag);
  if (at == std::string::npos) return 0;
  const std::size_t from = at + std::strlen(tag);
  if (from + 4 > text.size()) return 0;
  WORD value = 0;
  for (std::size_t i = from; i < from + 4; ++i) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return 0;
    value = static_cast<WORD>(value * 16 + d);
  }
  return value;
}

UsbDeviceDescriptor DescriptorOf(const PortConnection& connection, const Device& device) {
  UsbDeviceDescriptor d{};
  d.bLength = 18;
  d.bDescriptorType = 1;
  d.bcdUSB = connection.speed >= 3 ? 0x0320 : connection.speed == 2 ? 0x0200 : 0x0110;
  d.bDeviceClass = device.hub ? 9 : 0;
  d.bMaxPacketSize0 = connection.speed == 0 ? 8 : connection.speed >= 3 ? 9 : 64;
  const std::string hardwareId = PropertyText(device, SPDRP_HARDWAREID);
  d.idVendor = HexAfter(hardwareId, "VID_");
  d.idProduct = HexAfter(hardwareId, "PID_");
  d.bcdDevice = HexAfter(hardwareId, "REV_");
  d.bNumConfigurations = 1;
  return d;
}

// The ports a hub says it has: as given, or up to the highest one listed.
BYTE PortCount(const Hub& hub) {
  if (hub.numberOfPorts) return *hub.numberOfPorts;
  BYTE ports = 0;
  for (const PortConnection& c : hub.connections) ports = std::max<BYTE>(ports, static_cast<BYTE>(std::min<ULONG>(c.port, 255)));
  return ports;
}

bool NodeInformationControl(const Hub& hub, void* out, DWORD outSize, DWORD* returned, DWORD* error) {
  if (out == nullptr || outSize < sizeof(NodeInformation)) return Fail(ERROR_INSUFFICIENT_BUFFER, error);
  if (hub.nodeInfoFails) return Fail(hub.nodeInfoError, error);
  const BYTE ports = PortCount(hub);
  NodeInformation info{};
  info.NodeType = hub.nodeType;
  if (hub.nodeType == 0) {
    info.bDescriptorLength = static_cast<BYTE>(7 + 2 * ((ports + 8) / 8));
    info.bDescriptorType = 0x29;
    info.bNumberOfPorts = ports;
    info.bPowerOnToPowerGood = 50;
  } else {
    // USB_MI_PARENT_INFORMATION: the number of interfaces follows the node type.
    const ULONG interfaces = ports;
    std::memcpy(&info.bDescriptorLength, &interfaces, sizeof(interfaces));
  }
  Put(out, outSize, info);
  *returned = sizeof(NodeInformation);
  return true;
}

bool DriverKeyNameControl(const PortView& view, ULONG port, void* out, DWORD outSize, DWORD* returned,
                          DWORD* error) {
  if (out == nullptr || outSize < sizeof(DriverKeyNameHead)) return Fail(ERROR_INSUFFICIENT_BUFFER, error);
  const PortConnection& connection = *view.connection;
  if (connection.driverKeyFails) return Fail(connection.driverKeyError, error);
  const bool attached = !connection.device.empty() && view.device != nullptr;
  std::string name;
  if (connection.driverKeyName) name = *connection.driverKeyName;
  else if (attached) name = PropertyText(*view.device, SPDRP_DRIVER);
  if (connection.driverKeyNameFails) {
    // The size query (room for the head alone) answers whatever is attached; the name
    // query after it, which asks for more, fails.
    if (outSize > sizeof(DriverKeyNameHead)) return Fail(connection.driverKeyNameError, error);
  } else {
    if (!attached) return Fail(kErrorDeviceNotConnected, error);
    if (name.empty()) return Fail(ERROR_GEN_FAILURE, error);  // no driver: no driver key to report
  }

  const ULONG nameBytes = static_cast<ULONG>(2 * (name.size() + 1));
  const ULONG actualLength = 8 + nameBytes;
  const ULONG reported = connection.actualLengthOverride.value_or(actualLength);
  BYTE* bytes = static_cast<BYTE*>(out);
  std::memcpy(bytes, &port, 4);
  std::memcpy(bytes + 4, &reported, 4);
  const DWORD room = outSize - 8;
  for (DWORD i = 0; i < nameBytes && i < room; ++i) {
    const std::size_t unit = i / 2;
    const WCHAR c = unit < name.size() ? static_cast<WCHAR>(static_cast<unsigned char>(name[unit])) : 0;
    bytes[8 + i] = static_cast<BYTE>(i % 2 == 0 ? c & 0xFF : c >> 8);
  }
  *returned = std::min<DWORD>(actualLength, outSize);
  return true;
}

bool ConnectionControl(const PortView& view, ULONG port, bool ex, void* out, DWORD outSize, DWORD* returned,
                       DWORD* error) {
  if (out == nullptr || outSize < sizeof(ConnectionHead)) return Fail(ERROR_INSUFFICIENT_BUFFER, error);
  const PortConnection& connection = *view.connection;
  if (ex ? connection.exFails : connection.plainFails) {
    return Fail(ex ? connection.exError : connection.plainError, error);
  }

  ConnectionHead head{};
  head.ConnectionIndex = port;
  const bool attached = !connection.device.empty() && view.device != nullptr;
  std::size_t pipeCount = 0;
  if (attached) {
    head.DeviceDescriptor = DescriptorOf(connection, *view.device);
    head.CurrentConfigurationValue = 1;
    head.Speed = ex ? connection.speed : (connection.speed == 0 ? 1 : 0);
    head.DeviceIsHub = view.device->hub ? 1 : 0;
    head.DeviceAddress = static_cast<WORD>(port + 1);
    pipeCount = connection.pipes.size();
    head.NumberOfOpenPipes = static_cast<ULONG>(connection.openPipesOverride.value_or(static_cast<LONG>(pipeCount)));
    head.ConnectionStatus = kDeviceConnected;
  } else {
    head.ConnectionStatus = kNoDeviceConnected;
  }
  Put(out, outSize, head);

  const std::size_t fit = (outSize - sizeof(ConnectionHead)) / sizeof(PipeInfo);
  const std::size_t written = std::min(pipeCount, fit);
  BYTE* bytes = static_cast<BYTE*>(out) + sizeof(ConnectionHead);
  for (std::size_t i = 0; i < written; ++i) {
    const Pipe& pipe = connection.pipes[i];
    PipeInfo info{};
    info.bLength = 7;
    info.bDescriptorType = 5;
    info.bEndpointAddress = pipe.endpointAddress;
    info.bmAttributes = pipe.attributes;
    info.wMaxPacketSize = pipe.maxPacketSize;
    const bool interrupt = (pipe.attributes & 3) == 3;
    info.bInterval = interrupt && view.intervalOverride ? *view.intervalOverride : pipe.interval;
    info.ScheduleOffset = pipe.scheduleOffset;
    std::memcpy(bytes + i * sizeof(PipeInfo), &info, sizeof(PipeInfo));
  }
  *returned = static_cast<DWORD>(sizeof(ConnectionHead) + written * sizeof(PipeInfo));
  return true;
}

bool ConnectionV2Control(const PortView& view, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned, DWORD* error) {
  if (inSize < sizeof(ConnectionV2) || out == nullptr || outSize < sizeof(ConnectionV2)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, error);
  }
  ConnectionV2 request;
  std::memcpy(&request, in, sizeof(request));
  if (request.Length != sizeof(ConnectionV2)) return Fail(ERROR_INVALID_PARAMETER, error);
  if (view.connection->v2Fails) return Fail(view.connection->v2Error, error);
  ConnectionV2 answer = request;
  answer.SupportedUsbProtocols = request.SupportedUsbProtocols & 7;
  answer.Flags = view.connection->device.empty() ? 0 : view.connection->v2Flags;
  Put(out, outSize, answer);
  *returned = sizeof(ConnectionV2);
  return true;
}

}  // namespace

bool AnswerHubControl(const Hub& hub, const PortLookup& ports, DWORD code, const void* in, DWORD inSize, void* out,
                      DWORD outSize, DWORD* returned, DWORD* error) {
  *returned = 0;
  if (code == IOCTL_USB_GET_NODE_INFORMATION) return NodeInformationControl(hub, out, outSize, returned, error);

  const bool known = code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME ||
                     code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION ||
                     code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ||
                     code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2;
  if (!known) return Fail(ERROR_INVALID_FUNCTION, error);
  if (in == nullptr || inSize < sizeof(ULONG)) return Fail(ERROR_INVALID_PARAMETER, error);
  const ULONG port = ReadPort(in);
  PortView view = port == 0 ? PortView{} : ports(port);
  // A port the hub has but the machine does not list is an empty port.
  static const PortConnection emptyPort;
  if (view.connection == nullptr && port >= 1 && port <= PortCount(hub)) view.connection = &emptyPort;
  if (view.connection == nullptr) return Fail(ERROR_INVALID_PARAMETER, error);

  switch (code) {
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      return DriverKeyNameControl(view, port, out, outSize, returned, error);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return ConnectionControl(view, port, false, out, outSize, returned, error);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
      return ConnectionControl(view, port, true, out, outSize, returned, error);
    default:
      return ConnectionV2Control(view, in, inSize, out, outSize, returned, error);
  }
}

}  // namespace sim
