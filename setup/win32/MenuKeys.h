// Keyboard shortcuts of the system menu's items of our own: each item shows its key
// after a tab, and the message loop turns the key pressed anywhere in the main window
// into that item's WM_SYSCOMMAND, so every item is reachable without the mouse and
// without opening the menu (Alt+Space and the arrows open it as for any window).
#pragma once

#include <windows.h>

namespace morvane::win {

struct MenuKey {
  UINT command;     // the item's WM_SYSCOMMAND code
  UINT virtualKey;  // pressed with Ctrl
  const char* text;
};

// The items of the system menu that have a shortcut, with their keys.
const MenuKey* FindMenuKey(UINT command);

// Adds "\t<key>" to the text of every item of `menu` that has a shortcut.
void ShowMenuKeys(HMENU menu);

// When `message` is a shortcut's key-down in `main` or one of its controls, sends the
// item's WM_SYSCOMMAND to `main` (only while the item is enabled) and returns true.
bool TranslateMenuKey(HWND main, const MSG& message);

}  // namespace morvane::win
