// Native controls behind the controls interface of the window logic: check box,
// drop-down list, push button, label, borderless panel, and the timer.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "setup/Controls.h"
#include "setup/win32/Window.h"

namespace morvane::win {

// Position and enabling shared by every control.
template <typename Interface>
class ControlBase : public Wnd, public Interface {
 public:
  bool Enabled() const override { return ::IsWindowEnabled(Hwnd()) != FALSE; }
  void SetEnabled(bool enabled) override;
  int Left() const override { return BoundsInParent().left; }
  int Width() const override {
    const RECT r = BoundsInParent();
    return r.right - r.left;
  }
  int Height() const override {
    const RECT r = BoundsInParent();
    return r.bottom - r.top;
  }

 protected:
  RECT BoundsInParent() const;
};

// Moves the keyboard focus off a window that is about to be disabled, to the next
// tab stop of its top-level window, as the dialog manager would.
void MoveFocusOffDisabled(HWND hwnd);

// Gives the focus back to a window that had it when it was disabled (FocusKeeper).
void ReturnFocusToEnabled(HWND hwnd);

template <typename Interface>
void ControlBase<Interface>::SetEnabled(bool enabled) {
  if (!enabled) MoveFocusOffDisabled(Hwnd());
  ::EnableWindow(Hwnd(), enabled ? TRUE : FALSE);
  if (enabled) ReturnFocusToEnabled(Hwnd());
}

template <typename Interface>
RECT ControlBase<Interface>::BoundsInParent() const {
  RECT r{};
  ::GetWindowRect(Hwnd(), &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(Hwnd()), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

class CheckBox : public ControlBase<ICheckBox> {
 public:
  CheckBox(const CreateArgs& args);
  std::function<void()> OnClick;

  bool Checked() const override;
  void SetChecked(bool checked) override;
  void OnCommandReflect(WORD code) override;
};

// A drop-down list without typing (CBS_DROPDOWNLIST). A selection by the user runs
// OnClick once it is made: at once for a closed list (arrow keys, wheel), when the
// list closes for an open one, and never for a selection from the program.
class ComboBox : public ControlBase<IComboBox> {
 public:
  // `listHeight` is the height of the open list; the closed box takes its height
  // from the font.
  ComboBox(const CreateArgs& args, int listHeight);
  std::function<void()> OnClick;

  void Clear() override;
  void AddItem(const std::string& text) override;
  int ItemCount() const override;
  std::string Item(int index) const override;
  int ItemIndex() const override;
  void SetItemIndex(int index) override;
  void OnCommandReflect(WORD code) override;

 private:
  void SelectionMade();
  int lastIndex_ = -1;  // the selection the handler has last seen or the program set
};

class Button : public ControlBase<IButton> {
 public:
  Button(const CreateArgs& args);
  std::function<void()> OnClick;
  void OnCommandReflect(WORD code) override;
};

// A static text that sizes itself to its text in its font, as labels do.
class Label : public ControlBase<IControl> {
 public:
  Label(const CreateArgs& args);
  void AutoSize();
};

// A borderless child window in the button-face colour that holds other controls and
// reflects their notifications to them.
class Panel : public ControlBase<IControl> {
 public:
  Panel(const CreateArgs& args);
};

// SetTimer/KillTimer on a window; the window routes WM_TIMER with the timer's id
// to Fire().
class Timer : public ITimer {
 public:
  Timer(HWND window, UINT_PTR id, unsigned interval) : window_(window), id_(id), interval_(interval) {}
  ~Timer() override;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  std::function<void()> OnTimer;

  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;
  unsigned Interval() const override { return interval_; }
  void SetInterval(unsigned milliseconds) override;
  UINT_PTR Id() const { return id_; }
  void Fire();

 private:
  HWND window_;
  UINT_PTR id_;
  unsigned interval_;
  bool enabled_ = false;
};

}  // namespace morvane::win
