// Keeps the keyboard focus of a top-level window where the user left it, as the
// dialog manager does for dialog boxes:
//   - on deactivation (a message box, another program) the focused control is
//     remembered, and on activation it gets the focus back;
//   - a control disabled while it has the focus hands it to the next enabled tab stop
//     for the time being, and gets it back when it is enabled again, unless the user
//     has put the focus elsewhere meanwhile.
// The controls find the keeper of their top-level window through Of().
#pragma once

#include <windows.h>

namespace morvane::win {

class FocusKeeper {
 public:
  explicit FocusKeeper(HWND top);
  ~FocusKeeper();
  FocusKeeper(const FocusKeeper&) = delete;
  FocusKeeper& operator=(const FocusKeeper&) = delete;

  // The keeper of the top-level window `window` belongs to; null when it has none.
  static FocusKeeper* Of(HWND window);

  // WM_ACTIVATE with WA_INACTIVE, and with WA_ACTIVE or WA_CLICKACTIVE.
  void Deactivated();
  void Activated();

  // Around EnableWindow of a control of the window.
  void BeforeDisabling(HWND control);
  void AfterEnabling(HWND control);

  // The control that gets the focus when the window is activated.
  HWND Remembered() const { return remembered_; }

 private:
  bool IsActive() const;
  bool Owns(HWND window) const;
  // The next enabled tab stop after `control`, or the window itself when there is none.
  HWND NextTabStop(HWND control) const;
  // Where the focus is, or where it will be once the window is active again.
  HWND Holder() const;
  void GiveFocus(HWND control);

  HWND top_;
  HWND remembered_ = nullptr;
  HWND parked_ = nullptr;    // the disabled control that had the focus
  HWND parkedAt_ = nullptr;  // where its focus went meanwhile
};

}  // namespace morvane::win
