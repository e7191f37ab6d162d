// The application window: an empty top-level window of no size whose caption,
// the application title, is the text of the program's task-bar button. It owns the
// main window, so the main window has no button of its own; minimizing the main
// window minimizes the application, and activating the application activates the
// main window again.
#pragma once

#include <windows.h>

#include "setup/win32/Window.h"

namespace morvane::win {

class ApplicationWindow : public Wnd {
 public:
  explicit ApplicationWindow(const char* title);
  void SetMainWindow(HWND main) { main_ = main; }

  // Handles what the main window must pass to the application (minimizing);
  // true when `message` was handled.
  bool OnMainSysCommand(WPARAM command);

 protected:
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  HWND main_ = nullptr;
};

}  // namespace morvane::win
