#include "setup/win32/NativeControls.h"

#include <commctrl.h>

#include "setup/win32/FocusKeeper.h"

namespace morvane::win {
namespace {

CreateArgs WithStyle(CreateArgs args, DWORD style) {
  args.style |= WS_CHILD | WS_VISIBLE | style;
  return args;
}

}  // namespace

void MoveFocusOffDisabled(HWND hwnd) {
  if (FocusKeeper* keeper = FocusKeeper::Of(hwnd)) {
    keeper->BeforeDisabling(hwnd);
    return;
  }
  HWND focus = ::GetFocus();
  if (focus == nullptr || (focus != hwnd && !::IsChild(hwnd, focus))) return;
  HWND top = ::GetAncestor(hwnd, GA_ROOT);
  HWND next = ::GetNextDlgTabItem(top, hwnd, FALSE);
  // Only another enabled tab stop will do; with none left the top-level window
  // takes the keys (Escape still closes it).
  ::SetFocus(next != nullptr && next != hwnd && ::IsWindowEnabled(next) ? next : top);
}

void ReturnFocusToEnabled(HWND hwnd) {
  if (FocusKeeper* keeper = FocusKeeper::Of(hwnd)) keeper->AfterEnabling(hwnd);
}

// --- CheckBox ---------------------------------------------------------------

CheckBox::CheckBox(const CreateArgs& args) { Create(WC_BUTTONA, WithStyle(args, BS_AUTOCHECKBOX)); }

bool CheckBox::Checked() const { return ::SendMessageA(Hwnd(), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void CheckBox::SetChecked(bool checked) {
  if (checked == Checked()) return;
  ::SendMessageA(Hwnd(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  if (OnClick) OnClick();
}

void CheckBox::OnCommandReflect(WORD code) {
  if (code == BN_CLICKED && OnClick) OnClick();
}

// --- ComboBox ---------------------------------------------------------------

ComboBox::ComboBox(const CreateArgs& args, int listHeight) {
  CreateArgs withList = WithStyle(args, CBS_DROPDOWNLIST | WS_VSCROLL);
  withList.height = listHeight;
  Create(WC_COMBOBOXA, withList);
}

void ComboBox::Clear() {
  ::SendMessageA(Hwnd(), CB_RESETCONTENT, 0, 0);
  lastIndex_ = -1;
}

void ComboBox::AddItem(const std::string& text) {
  ::SendMessageA(Hwnd(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int ComboBox::ItemCount() const { return static_cast<int>(::SendMessageA(Hwnd(), CB_GETCOUNT, 0, 0)); }

std::string ComboBox::Item(int index) const {
  const LRESULT length = ::SendMessageA(Hwnd(), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const LRESULT copied =
      ::SendMessageA(Hwnd(), CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
  return text;
}

int ComboBox::ItemIndex() const { return static_cast<int>(::SendMessageA(Hwnd(), CB_GETCURSEL, 0, 0)); }

void ComboBox::SetItemIndex(int index) {
  ::SendMessageA(Hwnd(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  lastIndex_ = ItemIndex();
}

void ComboBox::OnCommandReflect(WORD code) {
  switch (code) {
    case CBN_SELCHANGE:
      // While the list is open the highlight follows the keys; the choice is made
      // when it closes.
      if (::SendMessageA(Hwnd(), CB_GETDROPPEDSTATE, 0, 0) == FALSE) SelectionMade();
      break;
    case CBN_CLOSEUP:
    case CBN_SELENDOK:
      SelectionMade();
      break;
    default:
      break;
  }
}

void ComboBox::SelectionMade() {
  const int index = ItemIndex();
  if (index == lastIndex_) return;
  lastIndex_ = index;
  if (OnClick) OnClick();
}

// --- Button, Label, Panel ---------------------------------------------------

Button::Button(const CreateArgs& args) { Create(WC_BUTTONA, WithStyle(args, BS_PUSHBUTTON)); }

void Button::OnCommandReflect(WORD code) {
  if (code == BN_CLICKED && OnClick) OnClick();
}

Label::Label(const CreateArgs& args) { Create(WC_STATICA, WithStyle(args, SS_LEFT | SS_NOPREFIX)); }

void Label::AutoSize() {
  const std::string text = WindowText(Hwnd());
  HDC dc = ::GetDC(Hwnd());
  SIZE extent{};
  {
    auto font = reinterpret_cast<HGDIOBJ>(::SendMessageA(Hwnd(), WM_GETFONT, 0, 0));
    SelectInDc select(dc, font != nullptr ? font : ::GetStockObject(DEFAULT_GUI_FONT));
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  }
  ::ReleaseDC(Hwnd(), dc);
  ::SetWindowPos(Hwnd(), nullptr, 0, 0, extent.cx, extent.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Panel::Panel(const CreateArgs& args) {
  static constexpr const char* kClass = "MorvanePanel";
  RegisterOwnClass(kClass, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), 0);
  CreateArgs panel = WithStyle(args, WS_CLIPSIBLINGS);
  panel.exStyle |= WS_EX_CONTROLPARENT;  // tab navigation walks into the panel
  Create(kClass, panel);
}

// --- Timer ------------------------------------------------------------------

Timer::~Timer() {
  if (enabled_) ::KillTimer(window_, id_);
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) {
    ::SetTimer(window_, id_, interval_, nullptr);
  } else {
    ::KillTimer(window_, id_);
  }
}

void Timer::SetInterval(unsigned milliseconds) {
  interval_ = milliseconds;
  if (enabled_) ::SetTimer(window_, id_, interval_, nullptr);  // restarts the count
}

void Timer::Fire() {
  // A WM_TIMER already queued when the timer was switched off is dropped.
  if (enabled_ && OnTimer) OnTimer();
}

}  // namespace morvane::win
