// The native controls, the main window and the message loop under Wine.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "setup/win32/DialogFont.h"
#include "setup/win32/FocusKeeper.h"
#include "setup/win32/MainWindow.h"
#include "setup/win32/MenuKeys.h"
#include "setup/win32/MessageLoop.h"
#include "setup/win32/NativeControls.h"
#include "tests/gui/gui_test_support.h"

namespace morvane::win {
namespace {

// Sends a control's notification to its parent, as the control itself would.
void Notify(const Wnd& control, WORD code) {
  ::SendMessageA(::GetParent(control.Hwnd()), WM_COMMAND,
                 MAKEWPARAM(::GetDlgCtrlID(control.Hwnd()), code), reinterpret_cast<LPARAM>(control.Hwnd()));
}

// Runs the thread's messages until `done` holds or the time is up.
template <typename F>
bool PumpUntil(F done, DWORD milliseconds) {
  const DWORD start = ::GetTickCount();
  MSG msg;
  while (!done()) {
    if (::GetTickCount() - start > milliseconds) return false;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::Sleep(5);
  }
  return true;
}

CreateArgs ChildOf(const HostWindow& host, int id) {
  CreateArgs args;
  args.parent = host.Hwnd();
  args.id = id;
  args.width = 100;
  args.height = 21;
  args.style = WS_TABSTOP;
  return args;
}

TEST(NativeControls, CheckBoxRunsItsClickForUserClicksAndForProgramChanges) {
  HostWindow host;
  CheckBox box(ChildOf(host, 10));
  int clicks = 0;
  box.OnClick = [&] { ++clicks; };
  box.SetChecked(true);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(clicks, 1);
  box.SetChecked(true);  // no change, no click
  EXPECT_EQ(clicks, 1);
  ::SendMessageA(box.Hwnd(), BM_CLICK, 0, 0);  // the user's click
  EXPECT_FALSE(box.Checked());
  EXPECT_EQ(clicks, 2);
}

TEST(NativeControls, DropDownListRunsItsClickOnlyForAChoiceOfTheUser) {
  HostWindow host;
  ComboBox combo(ChildOf(host, 11), 200);
  int clicks = 0;
  combo.OnClick = [&] { ++clicks; };
  for (const char* item : {"Default", "1000", "500"}) combo.AddItem(item);
  EXPECT_EQ(combo.ItemCount(), 3);
  EXPECT_EQ(combo.Item(1), "1000");
  EXPECT_EQ(combo.Item(7), "");
  EXPECT_EQ(combo.ItemIndex(), -1);

  combo.SetItemIndex(2);
  EXPECT_EQ(combo.ItemIndex(), 2);
  EXPECT_EQ(clicks, 0);

  ::SendMessageA(combo.Hwnd(), CB_SETCURSEL, 1, 0);  // the user picks "1000"...
  Notify(combo, CBN_SELCHANGE);
  EXPECT_EQ(clicks, 1);
  Notify(combo, CBN_SELENDOK);  // ...and the notifications that follow add nothing
  Notify(combo, CBN_CLOSEUP);
  EXPECT_EQ(clicks, 1);

  combo.Clear();
  EXPECT_EQ(combo.ItemCount(), 0);
  EXPECT_EQ(combo.ItemIndex(), -1);
  EXPECT_EQ(clicks, 1);
}

TEST(NativeControls, DisablingTheFocusedControlMovesTheFocusToTheNextTabStop) {
  HostWindow host;
  Button first(ChildOf(host, 12));
  Button second(ChildOf(host, 13));
  ::SetFocus(first.Hwnd());
  ASSERT_EQ(::GetFocus(), first.Hwnd());
  first.SetEnabled(false);
  EXPECT_FALSE(first.Enabled());
  EXPECT_EQ(::GetFocus(), second.Hwnd());
  second.SetEnabled(false);  // no enabled tab stop left: the window takes the keys
  EXPECT_EQ(::GetFocus(), host.Hwnd());
}

TEST(FocusKeeper, AControlDisabledWithTheFocusGetsItBackWhenEnabled) {
  HostWindow host;
  FocusKeeper keeper(host.Hwnd());
  Button first(ChildOf(host, 12));
  Button second(ChildOf(host, 13));
  Button third(ChildOf(host, 14));
  ::SetFocus(first.Hwnd());
  // Disabled one after the other, as the device controls are: the focus moves along
  // to the first control still enabled.
  first.SetEnabled(false);
  second.SetEnabled(false);
  EXPECT_EQ(::GetFocus(), third.Hwnd());
  // Enabled again in the same order: the first one had the focus and gets it back;
  // the second one, which only passed it on, does not take it.
  first.SetEnabled(true);
  EXPECT_EQ(::GetFocus(), first.Hwnd());
  second.SetEnabled(true);
  EXPECT_EQ(::GetFocus(), first.Hwnd());
}

TEST(FocusKeeper, AFocusTheUserMovedMeanwhileStaysWhereItIs) {
  HostWindow host;
  FocusKeeper keeper(host.Hwnd());
  Button first(ChildOf(host, 12));
  Button second(ChildOf(host, 13));
  Button third(ChildOf(host, 14));
  ::SetFocus(first.Hwnd());
  first.SetEnabled(false);
  EXPECT_EQ(::GetFocus(), second.Hwnd());
  ::SetFocus(third.Hwnd());  // the user tabs on
  first.SetEnabled(true);
  EXPECT_EQ(::GetFocus(), third.Hwnd());
}

TEST(FocusKeeper, ActivationGivesTheFocusBackToTheRememberedControl) {
  HostWindow host;
  FocusKeeper keeper(host.Hwnd());
  Button first(ChildOf(host, 12));
  Button second(ChildOf(host, 13));
  ::SetFocus(second.Hwnd());
  keeper.Deactivated();
  EXPECT_EQ(keeper.Remembered(), second.Hwnd());
  ::SetFocus(host.Hwnd());  // where the system leaves it on activation
  keeper.Activated();
  EXPECT_EQ(::GetFocus(), second.Hwnd());

  // Disabled while the window was inactive: the next tab stop has the focus until the
  // control is enabled again.
  keeper.Deactivated();
  ::SetFocus(host.Hwnd());
  ::EnableWindow(second.Hwnd(), FALSE);
  keeper.Activated();
  EXPECT_EQ(::GetFocus(), first.Hwnd());
  second.SetEnabled(true);
  EXPECT_EQ(::GetFocus(), second.Hwnd());
}

TEST(DialogFont, DrawsAtTheCharacterHeightTheLayoutAssumes) {
  for (const int dpi : {96, 108, 120, 144}) {
    const DialogFont font = CreateDialogFont(dpi);
    ASSERT_NE(font.font.Get(), nullptr);
    EXPECT_EQ(font.charHeight, DialogCharHeight(dpi)) << dpi << " pixels per inch, face " << font.face;
    const DialogFont bitmap = MeasureFace("MS Sans Serif", dpi);
    std::printf("%d ppi: wanted %d, \"MS Sans Serif\" draws %d (%s), chosen %s\n", dpi, DialogCharHeight(dpi),
                bitmap.charHeight, bitmap.face.c_str(), font.face.c_str());
  }
  EXPECT_EQ(DialogCharHeight(96), 11);
  EXPECT_EQ(DialogCharHeight(120), 13);
  EXPECT_EQ(DialogCharHeight(144), 16);
}

TEST(DialogFont, AFaceTheSystemDoesNotHaveIsSkipped) {
  const DialogFont font = CreateDialogFont(120, {"No Such Face Anywhere", "Tahoma"});
  EXPECT_EQ(font.face, "Tahoma");
  EXPECT_EQ(font.charHeight, 13);
}

TEST(DialogFont, AFaceWithoutTheSizeGivesWayToOneThatHasIt) {
  // A bitmap face has no 12-pixel size (8 points at 108 pixels per inch): the system
  // gives a neighbouring one, and the scalable face after it is chosen.
  const DialogFont bitmap = MeasureFace("MS Sans Serif", 108);
  if (bitmap.face != "MS Sans Serif" || bitmap.charHeight == 12) GTEST_SKIP() << "scalable here: " << bitmap.face;
  const DialogFont font = CreateDialogFont(108, {"MS Sans Serif", "Tahoma"});
  EXPECT_EQ(font.face, "Tahoma");
  EXPECT_EQ(font.charHeight, 12);
}

class ClassLessWindow : public Wnd {
 public:
  void CreateOf(const char* className) { Create(className, CreateArgs{}); }
};

TEST(WindowError, NamesTheStepTheCodeAndTheSystemsText) {
  ClassLessWindow window;
  try {
    window.CreateOf("MorvaneNoSuchClass");
    FAIL() << "created a window of a class nobody registered";
  } catch (const WindowError& e) {
    // Windows and Wine differ in the code (1407 or 1411), not in the form.
    ASSERT_NE(e.Code(), 0u);
    const std::string text = SystemErrorText(e.Code());
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(std::string(e.what()), "CreateWindowEx(MorvaneNoSuchClass) failed with error " +
                                         std::to_string(e.Code()) + ":\n" + text + ".");
  }
}

TEST(NativeControls, TimerFiresAfterItsIntervalAndNotWhenSwitchedOff) {
  HostWindow host;
  class TimerHost : public Wnd {
   public:
    explicit TimerHost(Timer*& timer) : timer_(timer) {
      RegisterOwnClass("MorvaneTimerHost", nullptr);
      CreateArgs args;
      Create("MorvaneTimerHost", args);
    }
   protected:
    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override {
      if (message == WM_TIMER && timer_ != nullptr && wParam == timer_->Id()) timer_->Fire();
      return Wnd::WndProc(message, wParam, lParam);
    }
   private:
    Timer*& timer_;
  };
  Timer* current = nullptr;
  TimerHost window(current);
  Timer timer(window.Hwnd(), 7, 50);
  current = &timer;
  int ticks = 0;
  timer.OnTimer = [&] {
    ++ticks;
    timer.SetEnabled(false);
  };
  EXPECT_FALSE(timer.Enabled());
  timer.SetEnabled(true);
  const DWORD start = ::GetTickCount();
  EXPECT_TRUE(PumpUntil([&] { return ticks == 1; }, 2000));
  EXPECT_GE(::GetTickCount() - start, 40U);
  EXPECT_FALSE(PumpUntil([&] { return ticks > 1; }, 200));

  timer.SetInterval(30);
  EXPECT_EQ(timer.Interval(), 30U);
  timer.SetEnabled(true);
  timer.SetEnabled(false);
  EXPECT_FALSE(PumpUntil([&] { return ticks > 1; }, 150));
  current = nullptr;
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindow window_;
};

struct Placement {
  HWND hwnd;
  const char* text;
  int left, top, width, height;
};

TEST_F(MainWindowTest, HasTheCaptionClientSizeControlsTextsAndPositions) {
  EXPECT_EQ(WindowText(window_.Hwnd()), "USB Devices Rate Setup");
  ASSERT_EQ(window_.PixelsPerInch(), 96) << "the positions below are those at 96 pixels per inch";
  EXPECT_EQ(window_.ClientWidth(), 960);
  EXPECT_EQ(window_.ClientHeight(), 360);

  const Placement expected[] = {
      {window_.pnlHEAD().Hwnd(), "", 0, 0, 960, 38},
      {window_.cbDevices().Hwnd(), nullptr, 24, 8, 153, -1},
      {window_.Label1().Hwnd(), "Devices", 184, 12, -1, -1},
      {window_.dgDevices().Hwnd(), "", 0, 38, 960, 284},
      {window_.pnlFOOT().Hwnd(), "", 0, 322, 960, 38},
      {window_.cbFilter().Hwnd(), "Filter On Device", 8, 11, 105, 17},
      {window_.cbRate().Hwnd(), nullptr, 112, 8, 89, -1},
      {window_.Label2().Hwnd(), "Selected Rate", 208, 12, -1, -1},
      {window_.btnInstall().Hwnd(), "Install Service", 294, 8, 90, 24},
      {window_.btnApply().Hwnd(), "Restart", 400, 8, 90, 24},
      {window_.btnCopyID().Hwnd(), "Copy IDs", 506, 8, 90, 24},
      {window_.btnClose().Hwnd(), "Close", 612, 8, 90, 24},
  };
  for (const auto& e : expected) {
    RECT r{};
    ::GetWindowRect(e.hwnd, &r);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(e.hwnd), reinterpret_cast<POINT*>(&r), 2);
    const std::string name = e.text != nullptr ? e.text : "combo box";
    EXPECT_EQ(r.left, e.left) << name;
    EXPECT_EQ(r.top, e.top) << name;
    if (e.width >= 0) {
      EXPECT_EQ(r.right - r.left, e.width) << name;
    }
    if (e.height >= 0) {
      EXPECT_EQ(r.bottom - r.top, e.height) << name;
    }
    if (e.text != nullptr) {
      EXPECT_EQ(WindowText(e.hwnd), e.text);
    }
  }
  // The drop-down lists take no typing, the labels size themselves to their text.
  EXPECT_EQ(::GetWindowLongA(window_.cbDevices().Hwnd(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(::GetWindowLongA(window_.cbRate().Hwnd(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_GT(window_.Label1().Width(), 20);
  EXPECT_EQ(window_.pnlFOOT().Left(), 0);
  EXPECT_EQ(window_.btnClose().Left() + window_.btnClose().Width() + window_.btnClose().Height(), 726);

  // "MS Sans Serif", 8 points: 11 pixels of character height at 96 pixels per inch.
  auto font = reinterpret_cast<HFONT>(::SendMessageA(window_.btnClose().Hwnd(), WM_GETFONT, 0, 0));
  LOGFONTA logFont{};
  ASSERT_NE(::GetObjectA(font, sizeof logFont, &logFont), 0);
  EXPECT_STREQ(logFont.lfFaceName, "MS Sans Serif");
  EXPECT_EQ(logFont.lfHeight, -11);
  EXPECT_EQ(::SendMessageA(window_.dgDevices().Hwnd(), WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));
  // The face the system really draws with: a missing font would be replaced by
  // another one whose wider letters cut "Filter On Device" and the grid titles short.
  {
    const HDC dc = ::GetDC(window_.Hwnd());
    const HGDIOBJ old = ::SelectObject(dc, font);
    char face[LF_FACESIZE] = "";
    ::GetTextFaceA(dc, LF_FACESIZE, face);
    SIZE extent{};
    ::GetTextExtentPoint32A(dc, "Filter On Device", 16, &extent);
    ::SelectObject(dc, old);
    ::ReleaseDC(window_.Hwnd(), dc);
    EXPECT_STREQ(face, "MS Sans Serif") << "the font is not installed where the system finds it";
    // The check box's text starts 17 pixels in (13-pixel box and gap).
    EXPECT_LE(extent.cx, 105 - 17) << "\"Filter On Device\" does not fit its check box";
  }

  // The timer starts off, at 1000 ms.
  EXPECT_FALSE(window_.tmrDeviceChange().Enabled());
  EXPECT_EQ(window_.tmrDeviceChange().Interval(), 1000U);
}

TEST_F(MainWindowTest, PanelsAndGridFollowTheClientSize) {
  window_.SetClientWidth(1200);
  window_.SetClientHeight(450);
  EXPECT_EQ(window_.ClientWidth(), 1200);
  EXPECT_EQ(window_.ClientHeight(), 450);
  EXPECT_EQ(window_.dgDevices().Width(), 1200);
  EXPECT_EQ(window_.dgDevices().Height(), 450 - 2 * 38);
  RECT foot{};
  ::GetWindowRect(window_.pnlFOOT().Hwnd(), &foot);
  ::MapWindowPoints(HWND_DESKTOP, window_.Hwnd(), reinterpret_cast<POINT*>(&foot), 2);
  EXPECT_EQ(foot.top, 450 - 38);
}

TEST_F(MainWindowTest, TabOrderFollowsTheControlTable) {
  window_.Show(SW_SHOW);
  const HWND order[] = {window_.cbDevices().Hwnd(),  window_.dgDevices().Hwnd(), window_.cbFilter().Hwnd(),
                        window_.cbRate().Hwnd(),     window_.btnInstall().Hwnd(), window_.btnApply().Hwnd(),
                        window_.btnCopyID().Hwnd(),  window_.btnClose().Hwnd()};
  HWND current = order[0];
  for (std::size_t i = 1; i <= std::size(order); ++i) {
    current = ::GetNextDlgTabItem(window_.Hwnd(), current, FALSE);
    EXPECT_EQ(current, order[i % std::size(order)]) << "after tab stop " << i - 1;
  }
}

TEST_F(MainWindowTest, HintsStayTenSecondsAndNameTheControls) {
  const HWND tips = window_.Tooltips();
  ASSERT_NE(tips, nullptr);
  EXPECT_EQ(::SendMessageA(tips, TTM_GETDELAYTIME, TTDT_AUTOPOP, 0), 10000);
  // Two tools per control: its own, and its rectangle on the parent for the time
  // it is disabled.
  EXPECT_EQ(::SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0), 16);
  // The wide query: the narrow one stops at 80 characters under Wine.
  auto hint = [&](const Wnd& control) {
    wchar_t text[256] = L"";
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = ::GetParent(control.Hwnd());
    tool.uId = reinterpret_cast<UINT_PTR>(control.Hwnd());
    tool.lpszText = text;
    ::SendMessageW(tips, TTM_GETTEXTW, std::size(text), reinterpret_cast<LPARAM>(&tool));
    std::string narrow;
    for (const wchar_t* p = text; *p != 0; ++p) narrow.push_back(static_cast<char>(*p));
    return narrow;
  };
  EXPECT_EQ(hint(window_.cbDevices()), "Pick filter for USB Devices");
  EXPECT_EQ(hint(window_.dgDevices()), "Select device to process");
  EXPECT_EQ(hint(window_.cbFilter()), "To (un)install MORVANE filter on selected device (un)check this box.");
  EXPECT_EQ(hint(window_.cbRate()), "Pick desired rate");
  EXPECT_EQ(hint(window_.btnInstall()),
            "Copy driver files and install driver service (need MORVANE.INF to be in current directory).");
  EXPECT_EQ(hint(window_.btnApply()), "Restart device so the registry changes take place.");
  EXPECT_EQ(hint(window_.btnCopyID()), "Copy Device And Controller IDs to Clipboard.");
  EXPECT_EQ(hint(window_.btnClose()), "Close Form.");

  // The parent's tool covers the control, also after the window changed size.
  auto area = [&](const Wnd& control) {
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.hwnd = ::GetParent(control.Hwnd());
    tool.uId = static_cast<UINT_PTR>(::GetDlgCtrlID(control.Hwnd()));
    ::SendMessageA(tips, TTM_GETTOOLINFOA, 0, reinterpret_cast<LPARAM>(&tool));
    RECT r{};
    ::GetWindowRect(control.Hwnd(), &r);
    ::MapWindowPoints(HWND_DESKTOP, tool.hwnd, reinterpret_cast<POINT*>(&r), 2);
    return ::EqualRect(&tool.rect, &r) != FALSE && (tool.uFlags & TTF_IDISHWND) == 0;
  };
  window_.SetClientWidth(1100);
  window_.SetClientHeight(500);
  for (const Wnd* control : std::initializer_list<const Wnd*>{
           &window_.cbDevices(), &window_.dgDevices(), &window_.cbFilter(), &window_.cbRate(),
           &window_.btnInstall(), &window_.btnApply(), &window_.btnCopyID(), &window_.btnClose()}) {
    EXPECT_TRUE(area(*control)) << ::GetDlgCtrlID(control->Hwnd());
  }
}

TEST_F(MainWindowTest, EscapeWorksCloseAndDeviceChangesReachTheLogic) {
  int closes = 0;
  int changes = 0;
  window_.btnClose().OnClick = [&] { ++closes; };
  window_.Events.OnDeviceChange = [&] { ++changes; };
  window_.Show(SW_SHOW);

  MSG escape{window_.cbFilter().Hwnd(), WM_KEYDOWN, VK_ESCAPE, 0x00010001, 0, {}};
  EXPECT_TRUE(::IsDialogMessageA(window_.Hwnd(), &escape));
  EXPECT_EQ(closes, 1);
  ::SendMessageA(window_.btnClose().Hwnd(), BM_CLICK, 0, 0);
  EXPECT_EQ(closes, 2);

  EXPECT_EQ(::SendMessageA(window_.Hwnd(), WM_DEVICECHANGE, 0x0007, 0), TRUE);
  EXPECT_EQ(::SendMessageA(window_.Hwnd(), WM_DEVICECHANGE, 0x8000, 0), TRUE);
  EXPECT_EQ(changes, 2);
}

TEST_F(MainWindowTest, TheSystemMenuOffersTheMeterOnlyForADeviceWithAMouse) {
  bool canMeasure = false;
  int opened = 0;
  window_.Events.CanMeasureRate = [&] { return canMeasure; };
  window_.Events.OnMeasureRate = [&] { ++opened; };
  HMENU menu = ::GetSystemMenu(window_.Hwnd(), FALSE);
  ASSERT_NE(menu, nullptr);
  char text[64] = "";
  ASSERT_GT(::GetMenuStringA(menu, kSysMeasureRate, text, sizeof text, MF_BYCOMMAND), 0);
  EXPECT_STREQ(text, "Measure Polling Rate...");
  // The last item, after a separator; the system's own items keep their places.
  const int count = ::GetMenuItemCount(menu);
  EXPECT_EQ(::GetMenuItemID(menu, count - 1), kSysMeasureRate);
  EXPECT_EQ(::GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
  EXPECT_NE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));

  auto opening = [&] {
    ::SendMessageA(window_.Hwnd(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(0, TRUE));
    return (::GetMenuState(menu, kSysMeasureRate, MF_BYCOMMAND) & MF_GRAYED) == 0;
  };
  EXPECT_FALSE(opening());
  canMeasure = true;
  EXPECT_TRUE(opening());

  ::SendMessageA(window_.Hwnd(), WM_SYSCOMMAND, kSysMeasureRate, 0);
  EXPECT_EQ(opened, 1);
  canMeasure = false;  // the selection changed since the menu opened: nothing opens
  ::SendMessageA(window_.Hwnd(), WM_SYSCOMMAND, kSysMeasureRate, 0);
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(opening());
}

// Holds Ctrl down in this thread's keyboard state (what GetKeyState reads) for a scope.
class CtrlHeld {
 public:
  CtrlHeld() {
    ::GetKeyboardState(saved_);
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_CONTROL] = 0x80;
    ::SetKeyboardState(state);
  }
  ~CtrlHeld() { ::SetKeyboardState(saved_); }

 private:
  BYTE saved_[256];
};

TEST_F(MainWindowTest, EverySystemMenuItemOfOursHasAShortcutShownInTheMenuAndWorkingWhereAllowed) {
  bool canMeasure = false;
  int opened = 0;
  window_.Events.CanMeasureRate = [&] { return canMeasure; };
  window_.Events.OnMeasureRate = [&] { ++opened; };
  HMENU menu = ::GetSystemMenu(window_.Hwnd(), FALSE);
  ASSERT_NE(menu, nullptr);
  ShowMenuKeys(menu);
  ShowMenuKeys(menu);  // shown once, however often asked
  char text[96] = "";
  ASSERT_GT(::GetMenuStringA(menu, kSysMeasureRate, text, sizeof text, MF_BYCOMMAND), 0);
  EXPECT_STREQ(text, "Measure Polling Rate...\tCtrl+M");
  // Every item of ours after the system's own has a shortcut.
  const int count = ::GetMenuItemCount(menu);
  int ours = 0;
  for (int i = 0; i < count; ++i) {
    const UINT id = ::GetMenuItemID(menu, i);
    if (id == static_cast<UINT>(-1) || id == 0 || id >= 0xF000) continue;
    ++ours;
    EXPECT_NE(FindMenuKey(id), nullptr) << "item " << id;
  }
  EXPECT_GE(ours, 1);

  auto key = [&](WPARAM vk, HWND target) {
    MSG msg{};
    msg.hwnd = target;
    msg.message = WM_KEYDOWN;
    msg.wParam = vk;
    return TranslateMenuKey(window_.Hwnd(), msg);
  };
  HWND grid = window_.dgDevices().Hwnd();
  EXPECT_FALSE(key('M', grid));  // without Ctrl the key is the control's
  {
    CtrlHeld ctrl;
    EXPECT_TRUE(key('M', grid));  // taken, but the meter is not allowed for this row
    EXPECT_EQ(opened, 0);
    canMeasure = true;
    EXPECT_TRUE(key('M', grid));
    EXPECT_EQ(opened, 1);
    EXPECT_FALSE(key('Q', grid));  // no item has Ctrl+Q
    HostWindow other;
    EXPECT_FALSE(key('M', other.Hwnd()));  // a key of another window is not ours
    EXPECT_EQ(opened, 1);
  }
}

TEST_F(MainWindowTest, TheLoopShowsAnEscapedExceptionAndGoesOnUntilTheWindowCloses) {
  RecordingUser user;
  platform::Backend backend;
  backend.user = &user;
  platform::ScopedBackend scope(backend);

  int clicks = 0;
  window_.btnApply().OnClick = [&] {
    ++clicks;
    throw std::runtime_error("TDeviceList.GetDevice(3) from 2");
  };
  window_.btnClose().OnClick = [&] { window_.Close(); };
  bool destroyed = false;
  window_.Events.OnDestroy = [&] { destroyed = true; };
  window_.Show(SW_SHOW);
  const HWND main = window_.Hwnd();
  const HWND apply = window_.btnApply().Hwnd();
  ::PostMessageA(apply, BM_CLICK, 0, 0);
  ::PostMessageA(apply, BM_CLICK, 0, 0);
  ::PostMessageA(window_.Hwnd(), WM_COMMAND, IDCANCEL, 0);

  EXPECT_EQ(RunMessageLoop(window_.Hwnd()), 0);
  EXPECT_EQ(clicks, 2);
  EXPECT_TRUE(destroyed);
  ASSERT_EQ(user.boxes.size(), 2U);  // one box for each failure
  for (const auto& box : user.boxes) {
    EXPECT_EQ(box.text, "TDeviceList.GetDevice(3) from 2");
    EXPECT_EQ(box.caption, "MORVANE Setup");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(box.owner, main);
  }
}

}  // namespace
}  // namespace morvane::win
