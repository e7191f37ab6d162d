#include "setup/win32/KeepBox.h"

#include <windows.h>

#include <string>

namespace morvane::win {
namespace {

constexpr const char* kCaption = "Keep these settings?";
constexpr const char* kRevertText = "&Revert";
constexpr const char* kOkText = "&OK";
constexpr int kMessageTextId = 0xFFFF;  // the static text of a message box
constexpr UINT kFirstTick = 10;         // ms: the button is renamed as the box opens
constexpr UINT kTick = 1000;

// The box being asked on this thread; one at a time.
struct Countdown {
  std::string text;
  unsigned remaining = 0;
  bool renamed = false;
  HWND box = nullptr;
  UINT_PTR timer = 0;
};
thread_local Countdown* g_countdown = nullptr;

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  char className[16] = {};
  char caption[64] = {};
  ::GetClassNameA(window, className, sizeof className);
  ::GetWindowTextA(window, caption, sizeof caption);
  if (std::string(className) == "#32770" && std::string(caption) == kCaption) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

std::string CountdownText(const Countdown& c) {
  return c.text + "\r\n\r\nThe previous settings come back in " + std::to_string(c.remaining) +
         (c.remaining == 1 ? " second." : " seconds.");
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  Countdown* c = g_countdown;
  if (c == nullptr) return;
  if (c->box == nullptr) ::EnumThreadWindows(::GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&c->box));
  if (c->box == nullptr) return;
  if (!c->renamed) {
    ::SetDlgItemTextA(c->box, IDOK, kOkText);
    ::SetDlgItemTextA(c->box, IDCANCEL, kRevertText);
    c->renamed = true;
    c->timer = ::SetTimer(nullptr, c->timer, kTick, Tick);
    return;
  }
  if (c->remaining > 0) --c->remaining;
  ::SetDlgItemTextA(c->box, kMessageTextId, CountdownText(*c).c_str());
  // No answer: the box answers "Revert" itself.
  if (c->remaining == 0) ::PostMessageA(c->box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

}  // namespace

bool KeepBox::AskKeep(void* owner, const std::string& text, unsigned seconds) {
  if (g_countdown != nullptr) return false;  // a second question while one is open: put back
  Countdown countdown;
  countdown.text = text;
  countdown.remaining = seconds;
  g_countdown = &countdown;
  // A thread timer: the box's own message loop delivers it.
  countdown.timer = ::SetTimer(nullptr, 0, kFirstTick, Tick);
  const std::string first = CountdownText(countdown);
  const int answer = ::MessageBoxA(static_cast<HWND>(owner), first.c_str(), kCaption,
                                   MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND);
  if (countdown.timer != 0) ::KillTimer(nullptr, countdown.timer);
  g_countdown = nullptr;
  return answer == IDOK;
}

}  // namespace morvane::win
