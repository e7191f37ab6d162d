#include "setup/win32/ApplicationWindow.h"

namespace morvane::win {

ApplicationWindow::ApplicationWindow(const char* title) {
  static constexpr const char* kClass = "MorvaneApplication";
  RegisterOwnClass(kClass, nullptr, 0);
  CreateArgs args;
  args.text = title;
  args.style = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX;
  args.x = ::GetSystemMetrics(SM_CXSCREEN) / 2;
  args.y = ::GetSystemMetrics(SM_CYSCREEN) / 2;
  Create(kClass, args);
  // Visible but of no size: it shows only as the task-bar button.
  ::SetWindowPos(Hwnd(), nullptr, args.x, args.y, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

bool ApplicationWindow::OnMainSysCommand(WPARAM command) {
  if ((command & 0xFFF0) != SC_MINIMIZE) return false;
  ::ShowWindow(Hwnd(), SW_MINIMIZE);  // hides the windows it owns, the main window among them
  return true;
}

LRESULT ApplicationWindow::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      // Activation by its task-bar button goes on to the main window.
      if (LOWORD(wParam) != WA_INACTIVE && HIWORD(wParam) == 0 && main_ != nullptr && ::IsWindowVisible(main_) &&
          ::IsWindowEnabled(main_)) {
        ::SetActiveWindow(main_);
        return 0;
      }
      break;
    case WM_CLOSE:
      if (main_ != nullptr) ::PostMessageA(main_, WM_CLOSE, 0, 0);
      return 0;
    default:
      break;
  }
  return Default(message, wParam, lParam);
}

}  // namespace morvane::win
