#include "setup/win32/FocusKeeper.h"

namespace morvane::win {
namespace {

constexpr const char* kKeeperProperty = "MorvaneFocusKeeper";

}  // namespace

FocusKeeper::FocusKeeper(HWND top) : top_(top) { ::SetPropA(top_, kKeeperProperty, this); }

FocusKeeper::~FocusKeeper() {
  if (::IsWindow(top_) && ::GetPropA(top_, kKeeperProperty) == this) ::RemovePropA(top_, kKeeperProperty);
}

FocusKeeper* FocusKeeper::Of(HWND window) {
  HWND top = window == nullptr ? nullptr : ::GetAncestor(window, GA_ROOT);
  return top == nullptr ? nullptr : static_cast<FocusKeeper*>(::GetPropA(top, kKeeperProperty));
}

bool FocusKeeper::Owns(HWND window) const {
  return window != nullptr && (window == top_ || ::IsChild(top_, window));
}

bool FocusKeeper::IsActive() const { return Owns(::GetFocus()); }

HWND FocusKeeper::Holder() const { return IsActive() ? ::GetFocus() : remembered_; }

HWND FocusKeeper::NextTabStop(HWND control) const {
  HWND next = ::GetNextDlgTabItem(top_, control, FALSE);
  return next != nullptr && next != control && ::IsWindowEnabled(next) ? next : top_;
}

void FocusKeeper::GiveFocus(HWND control) {
  if (IsActive()) {
    ::SetFocus(control);
  } else {
    remembered_ = control;
  }
}

void FocusKeeper::Deactivated() {
  HWND focus = ::GetFocus();
  if (Owns(focus)) remembered_ = focus;
}

void FocusKeeper::Activated() {
  HWND target = remembered_;
  if (!::IsWindow(target) || !Owns(target)) target = ::GetNextDlgTabItem(top_, nullptr, FALSE);
  if (target != nullptr && target != top_ && !::IsWindowEnabled(target)) {
    // Disabled while the window was inactive: it gets the focus back once enabled.
    parked_ = target;
    target = NextTabStop(target);
    parkedAt_ = target;
  }
  ::SetFocus(target != nullptr ? target : top_);
}

void FocusKeeper::BeforeDisabling(HWND control) {
  HWND holder = Holder();
  if (holder == nullptr || (holder != control && !::IsChild(control, holder))) return;
  // Controls disabled one after the other pass the focus along; the first one is the
  // one to return to.
  if (parked_ == nullptr || control != parkedAt_) parked_ = control;
  parkedAt_ = NextTabStop(control);
  GiveFocus(parkedAt_);
}

void FocusKeeper::AfterEnabling(HWND control) {
  if (control != parked_) return;
  HWND holder = Holder();
  if (holder == parkedAt_ || holder == nullptr || holder == top_) GiveFocus(control);
  parked_ = nullptr;
  parkedAt_ = nullptr;
}

}  // namespace morvane::win
