// The program's message loop: tab and Escape navigation through the dialog manager,
// and the error box for an exception that escaped a handler.
#pragma once

#include <windows.h>

namespace morvane::win {

// Runs until WM_QUIT and returns its exit code. `main` is the main window: keys
// go through its system menu's shortcuts (MenuKeys.h) and its dialog manager (Tab,
// Shift+Tab, Escape), and it owns the error boxes. After every message the errors queued by handlers are shown.
int RunMessageLoop(HWND main);

}  // namespace morvane::win
