#include "setup/win32/MenuKeys.h"

#include <cstddef>
#include <iterator>
#include <string>

#include "setup/win32/MainWindow.h"
#include "setup/win32/SnapshotMenu.h"
#include "setup/win32/WayBackMenu.h"

namespace morvane::win {
namespace {

constexpr MenuKey kMenuKeys[] = {
    {kSysMeasureRate, 'M', "Ctrl+M"},
    {kUndoDeviceCommand, 'Z', "Ctrl+Z"},
    {kRemoveFilterCommand, 'U', "Ctrl+U"},
    {kDiagnoseCommand, 'D', "Ctrl+D"},
    {kSaveSnapshotCommand, 'S', "Ctrl+S"},
};

// The system menu's items of ours are told apart by their codes alone: no two may share one.
constexpr bool DistinctCommands() {
  for (std::size_t i = 0; i < std::size(kMenuKeys); ++i) {
    for (std::size_t j = i + 1; j < std::size(kMenuKeys); ++j) {
      if (kMenuKeys[i].command == kMenuKeys[j].command || kMenuKeys[i].virtualKey == kMenuKeys[j].virtualKey) {
        return false;
      }
    }
  }
  return true;
}
static_assert(DistinctCommands(), "two system-menu items share a command code or a key");

bool Pressed(int key) { return (::GetKeyState(key) & 0x8000) != 0; }

}  // namespace

const MenuKey* FindMenuKey(UINT command) {
  for (const MenuKey& key : kMenuKeys) {
    if (key.command == command) return &key;
  }
  return nullptr;
}

void ShowMenuKeys(HMENU menu) {
  if (menu == nullptr) return;
  for (const MenuKey& key : kMenuKeys) {
    char text[128] = "";
    if (::GetMenuStringA(menu, key.command, text, sizeof text, MF_BYCOMMAND) <= 0) continue;
    std::string shown(text);
    if (shown.find('\t') != std::string::npos) continue;  // shown already
    shown += '\t';
    shown += key.text;
    const UINT state = ::GetMenuState(menu, key.command, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED);
    ::ModifyMenuA(menu, key.command, MF_BYCOMMAND | MF_STRING | state, key.command, shown.c_str());
  }
}

bool TranslateMenuKey(HWND main, const MSG& message) {
  if (message.message != WM_KEYDOWN || main == nullptr) return false;
  if (message.hwnd != main && !::IsChild(main, message.hwnd)) return false;
  if (!Pressed(VK_CONTROL) || Pressed(VK_MENU) || Pressed(VK_SHIFT)) return false;
  for (const MenuKey& key : kMenuKeys) {
    if (message.wParam != key.virtualKey) continue;
    HMENU menu = ::GetSystemMenu(main, FALSE);
    if (menu == nullptr) return false;
    // The menu's own rule decides whether the item can be used now (the rate meter
    // only for a device with a mouse): asked as when the menu opens.
    ::SendMessageA(main, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(0, TRUE));
    const UINT state = ::GetMenuState(menu, key.command, MF_BYCOMMAND);
    if (state == static_cast<UINT>(-1)) return false;  // not in this window's menu
    if ((state & (MF_GRAYED | MF_DISABLED)) == 0) ::SendMessageA(main, WM_SYSCOMMAND, key.command, 0);
    return true;
  }
  return false;
}

}  // namespace morvane::win
