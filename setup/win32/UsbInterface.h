#pragma once

// The device-interface class of USB devices, whose arrival and removal the window and
// the command line's restart watch, and the instance ID an interface's name stands for.

#include <windows.h>

#include <string>

namespace morvane {

// One interface arrives and goes away with each USB device node.
inline constexpr GUID UsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// "\\?\USB#VID_046D&PID_C08B#5&1A2B&0&1#{a5dcbf10-...}" -> "USB\VID_046D&PID_C08B\5&1A2B&0&1".
inline std::string InstanceIdOfInterface(const char* name) {
  std::string text = name;
  if (text.rfind("\\\\?\\", 0) == 0 || text.rfind("\\\\.\\", 0) == 0) text.erase(0, 4);
  const std::size_t guid = text.rfind("#{");
  if (guid != std::string::npos) text.erase(guid);
  for (char& ch : text) {
    if (ch == '#') ch = '\\';
  }
  return text;
}

}  // namespace morvane
