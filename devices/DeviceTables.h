// The device model's constant tables: the GUIDs of the setup and interface classes
// it tests, the categories of the device list, the rate tables and the names of the
// known USB host-controller drivers.
#pragma once

#include <array>

#include "platform/types.h"

namespace morvane {

inline constexpr GUID GUID_DEVCLASS_KEYBOARD = {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_MOUSE = {0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HUB = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
inline constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HOST_CONTROLLER = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
inline constexpr GUID GUID_DEVINTERFACE_HID = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The list's categories; the position is the category number.
inline constexpr std::array<const char*, 8> DeviceCategories = {
    "Mice", "Keyboards", "HIDs", "with Interrupts", "USB", "All", "with MORVANE", "with Problem"};

// Indexed by the rate index 0 to 6 (0: no override).
inline constexpr std::array<const char*, 7> RateTexts = {"Default", "1000", "500", "250", "125", "62", "31"};
// The override value at low and full speed: bInterval in 1 ms frames.
inline constexpr std::array<DWORD, 7> RateIntervals = {0, 1, 2, 4, 8, 16, 32};
inline constexpr DWORD kMaxRateIndex = 6;

inline constexpr std::array<const char*, 8> ControllerDriverNames = {
    "USBXHCI", "USBEHCI", "USBUHCI", "USBOHCI", "UHCD", "OPENHCI", "IUSB3XHC", "XHCDRV"};

// Speed codes of the USB connection.
inline constexpr BYTE kSpeedLow = 0;
inline constexpr BYTE kSpeedFull = 1;
inline constexpr BYTE kSpeedHigh = 2;
inline constexpr BYTE kSpeedSuper = 3;
inline constexpr BYTE kSpeedSuperPlus = 4;
inline constexpr BYTE kSpeedUnknown = 255;

}  // namespace morvane
