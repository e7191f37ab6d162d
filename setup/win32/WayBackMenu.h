// The system-menu items of the way back: "Undo Changes To This Device..." puts back
// what the selected device held before the program's first change to it, and
// restarts it; "Remove The Filter From All Devices..." takes the filter out of every
// device and removes the service. Each lists first what will change and asks.
#pragma once

#include <windows.h>

#include "setup/SetupF.h"

namespace morvane::win {

inline constexpr UINT kUndoDeviceCommand = 0x0190;
inline constexpr UINT kRemoveFilterCommand = 0x0170;
static_assert((kUndoDeviceCommand & 0xF) == 0 && (kRemoveFilterCommand & 0xF) == 0);

void AddWayBackMenuItems(HWND window);
// For WM_SYSCOMMAND: true when the command is one of the items'.
bool HandleWayBackCommand(HWND window, TfrmSetup& form, WPARAM command);

}  // namespace morvane::win
