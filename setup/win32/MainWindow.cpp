#include "setup/win32/MainWindow.h"

#include <commctrl.h>
#include <dbt.h>

#include "setup/win32/ApplicationWindow.h"
#include "setup/win32/DialogFont.h"
#include "setup/win32/SnapshotMenu.h"
#include "setup/win32/UsbInterface.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace morvane::win {
namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kMainExStyle = WS_EX_CONTROLPARENT;
constexpr UINT_PTR kDeviceChangeTimerId = 1;
constexpr UINT_PTR kHelperTimerId = 2;

constexpr int kDesignClientWidth = 960;
constexpr int kDesignClientHeight = 360;
constexpr int kPanelHeight = 38;
constexpr int kListHeight = 200;  // of the open drop-down lists
constexpr int kDesignRowHeight = 21;
const std::vector<int> kDesignColWidths = {228, 34, 40, 50, 349, 228};

// Control identifiers; 1 and 2 are IDOK and IDCANCEL of the dialog manager.
enum ControlId : int {
  kIdHead = 100, kIdDevices, kIdLabel1, kIdGrid, kIdFoot, kIdFilter, kIdRate, kIdLabel2,
  kIdInstall, kIdApply, kIdCopyId, kIdClose,
};

RECT RectInParent(HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

int ScreenPixelsPerInch() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

MainWindow::MainWindow(ApplicationWindow* application)
    : application_(application), dpi_(ScreenPixelsPerInch()) {
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&icc);

  // "MS Sans Serif", 8 points at the screen's resolution, or a face that draws at that size.
  font_ = CreateDialogFont(dpi_).font;

  RegisterOwnClass(kMainClassName, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), CS_DBLCLKS);
  RECT frame{0, 0, kDesignClientWidth, kDesignClientHeight};
  ::AdjustWindowRectEx(&frame, kMainStyle, FALSE, kMainExStyle);
  CreateArgs args;
  args.parent = application != nullptr ? application->Hwnd() : nullptr;  // the owner
  args.text = kMainCaption;
  args.style = kMainStyle;
  // Without an application window the main window has the task-bar button itself.
  args.exStyle = kMainExStyle | (application != nullptr ? 0 : WS_EX_APPWINDOW);
  args.x = CW_USEDEFAULT;
  args.y = CW_USEDEFAULT;
  args.width = frame.right - frame.left;
  args.height = frame.bottom - frame.top;
  Create(kMainClassName, args);
  focus_ = std::make_unique<FocusKeeper>(Hwnd());
  ::SendMessageA(Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  CreateControls();
  Layout();
  AddSystemMenuItems();
}

void MainWindow::AddSystemMenuItems() {
  HMENU menu = ::GetSystemMenu(Hwnd(), FALSE);
  if (menu == nullptr) return;
  ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuA(menu, MF_STRING | MF_GRAYED, kSysMeasureRate, kMeasureRateMenuText);
}

MainWindow::~MainWindow() {
  Events = {};
  if (usbNotification_ != nullptr) ::UnregisterDeviceNotification(usbNotification_);
  if (::IsWindow(Hwnd())) ::DestroyWindow(Hwnd());
}

void MainWindow::CreateControls() {
  // Creation order is the tab order: pnlHEAD (cbDevices), dgDevices, pnlFOOT
  // (cbFilter, cbRate, btnInstall, btnApply, btnCopyID, btnClose).
  auto at = [this](HWND parent, int id, const char* text, int x, int y, int w, int h, DWORD style = 0) {
    design_[id] = RECT{x, y, w, h};
    CreateArgs a;
    a.parent = parent;
    a.id = id;
    a.text = text;
    a.x = Scaled(x);
    a.y = Scaled(y);
    a.width = Scaled(w);
    a.height = Scaled(h);
    a.style = style;
    return a;
  };
  pnlHEAD_ = std::make_unique<Panel>(at(Hwnd(), kIdHead, "", 0, 0, kDesignClientWidth, kPanelHeight));
  cbDevices_ = std::make_unique<ComboBox>(at(pnlHEAD_->Hwnd(), kIdDevices, "", 24, 8, 153, 21, WS_TABSTOP),
                                          Scaled(kListHeight));
  Label1_ = std::make_unique<Label>(at(pnlHEAD_->Hwnd(), kIdLabel1, "Devices", 184, 12, 39, 13));

  dgDevices_ = std::make_unique<Grid>(at(Hwnd(), kIdGrid, "", 0, kPanelHeight, kDesignClientWidth, 284),
                                      kDesignColWidths, 2, kDesignRowHeight);

  pnlFOOT_ = std::make_unique<Panel>(at(Hwnd(), kIdFoot, "", 0, 322, kDesignClientWidth, kPanelHeight));
  HWND foot = pnlFOOT_->Hwnd();
  cbFilter_ = std::make_unique<CheckBox>(at(foot, kIdFilter, "Filter On Device", 8, 11, 105, 17, WS_TABSTOP));
  cbRate_ = std::make_unique<ComboBox>(at(foot, kIdRate, "", 112, 8, 89, 21, WS_TABSTOP), Scaled(kListHeight));
  Label2_ = std::make_unique<Label>(at(foot, kIdLabel2, "Selected Rate", 208, 12, 68, 13));
  btnInstall_ = std::make_unique<Button>(at(foot, kIdInstall, "Install Service", 294, 8, 90, 24, WS_TABSTOP));
  btnApply_ = std::make_unique<Button>(at(foot, kIdApply, "Restart", 400, 8, 90, 24, WS_TABSTOP));
  btnCopyID_ = std::make_unique<Button>(at(foot, kIdCopyId, "Copy IDs", 506, 8, 90, 24, WS_TABSTOP));
  btnClose_ = std::make_unique<Button>(at(foot, kIdClose, "Close", 612, 8, 90, 24, WS_TABSTOP));

  tmrDeviceChange_ = std::make_unique<Timer>(Hwnd(), kDeviceChangeTimerId, 1000);
  tmrHelper_ = std::make_unique<Timer>(Hwnd(), kHelperTimerId, 100);
  // Without them (refused) the window still hears the broadcasts of device changes.
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = UsbDeviceInterface;
  usbNotification_ = ::RegisterDeviceNotificationA(Hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  AddSnapshotMenuItem(Hwnd());

  for (const Wnd* control : std::initializer_list<const Wnd*>{
           pnlHEAD_.get(), cbDevices_.get(), Label1_.get(), dgDevices_.get(), pnlFOOT_.get(), cbFilter_.get(),
           cbRate_.get(), Label2_.get(), btnInstall_.get(), btnApply_.get(), btnCopyID_.get(), btnClose_.get()}) {
    ::SendMessageA(control->Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  }
  Label1_->AutoSize();
  Label2_->AutoSize();

  tooltips_ = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Hwnd(), nullptr,
                                Instance(), nullptr);
  if (tooltips_ != nullptr) {
    ::SendMessageA(tooltips_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    ::SendMessageA(tooltips_, TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(10000, 0));
    AddHint(*cbDevices_, "Pick filter for USB Devices");
    AddHint(*dgDevices_, "Select device to process");
    AddHint(*cbFilter_, "To (un)install MORVANE filter on selected device (un)check this box.");
    AddHint(*cbRate_, "Pick desired rate");
    AddHint(*btnInstall_,
            "Copy driver files and install driver service (need MORVANE.INF to be in current directory).");
    AddHint(*btnApply_, "Restart device so the registry changes take place.");
    AddHint(*btnCopyID_, "Copy Device And Controller IDs to Clipboard.");
    AddHint(*btnClose_, "Close Form.");
  }
}

void MainWindow::AddHint(const Wnd& control, const char* text) {
  TOOLINFOA tool{};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = ::GetParent(control.Hwnd());
  tool.uId = reinterpret_cast<UINT_PTR>(control.Hwnd());
  tool.lpszText = const_cast<LPSTR>(text);
  ::SendMessageA(tooltips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));

  // A disabled control gets no mouse messages: they go to its parent. A second tool
  // on the parent, over the control's rectangle, shows the hint there.
  TOOLINFOA area{};
  area.cbSize = TTTOOLINFOA_V2_SIZE;
  area.uFlags = TTF_SUBCLASS;
  area.hwnd = tool.hwnd;
  area.uId = static_cast<UINT_PTR>(::GetDlgCtrlID(control.Hwnd()));
  area.rect = RectInParent(control.Hwnd());
  area.lpszText = const_cast<LPSTR>(text);
  ::SendMessageA(tooltips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&area));
  hinted_.push_back(control.Hwnd());
}

void MainWindow::UpdateHintAreas() {
  if (tooltips_ == nullptr) return;
  for (HWND control : hinted_) {
    TOOLINFOA area{};
    area.cbSize = TTTOOLINFOA_V2_SIZE;
    area.hwnd = ::GetParent(control);
    area.uId = static_cast<UINT_PTR>(::GetDlgCtrlID(control));
    area.rect = RectInParent(control);
    ::SendMessageA(tooltips_, TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&area));
  }
}

TSetupControls MainWindow::Controls() {
  TSetupControls c;
  c.Form = this;
  c.pnlFOOT = pnlFOOT_.get();
  c.cbDevices = cbDevices_.get();
  c.dgDevices = dgDevices_.get();
  c.cbFilter = cbFilter_.get();
  c.cbRate = cbRate_.get();
  c.btnInstall = btnInstall_.get();
  c.btnApply = btnApply_.get();
  c.btnCopyID = btnCopyID_.get();
  c.btnClose = btnClose_.get();
  c.tmrDeviceChange = tmrDeviceChange_.get();
  c.tmrHelper = tmrHelper_.get();
  c.keepBox = &keepBox_;
  return c;
}

void MainWindow::Layout() {
  if (!dgDevices_ || !pnlFOOT_) return;
  RECT client{};
  ::GetClientRect(Hwnd(), &client);
  const int panel = Scaled(kPanelHeight);
  const int width = client.right;
  const int height = client.bottom;
  // The foot panel keeps to the bottom; the grid takes what lies between the panels.
  ::MoveWindow(pnlHEAD_->Hwnd(), 0, 0, width, panel, TRUE);
  ::MoveWindow(pnlFOOT_->Hwnd(), 0, std::max(panel, height - panel), width, panel, TRUE);
  ::MoveWindow(dgDevices_->Hwnd(), 0, panel, width, std::max(0, height - 2 * panel), TRUE);
  UpdateHintAreas();
}

void MainWindow::PlaceControls() {
  for (Wnd* control : std::initializer_list<Wnd*>{cbDevices_.get(), Label1_.get(), cbFilter_.get(), cbRate_.get(),
                                                  Label2_.get(), btnInstall_.get(), btnApply_.get(),
                                                  btnCopyID_.get(), btnClose_.get()}) {
    const RECT& r = design_.at(::GetDlgCtrlID(control->Hwnd()));
    const bool list = control == cbDevices_.get() || control == cbRate_.get();
    ::MoveWindow(control->Hwnd(), Scaled(r.left), Scaled(r.top), Scaled(r.right),
                 Scaled(list ? kListHeight : r.bottom), TRUE);
  }
  Label1_->AutoSize();
  Label2_->AutoSize();
}

void MainWindow::ApplyFont(HFONT font) {
  ::SendMessageA(Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  for (const Wnd* control : std::initializer_list<const Wnd*>{
           pnlHEAD_.get(), cbDevices_.get(), Label1_.get(), dgDevices_.get(), pnlFOOT_.get(), cbFilter_.get(),
           cbRate_.get(), Label2_.get(), btnInstall_.get(), btnApply_.get(), btnCopyID_.get(), btnClose_.get()}) {
    ::SendMessageA(control->Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (tooltips_ != nullptr) ::SendMessageA(tooltips_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

void MainWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  if (dpi <= 0) return;
  dpi_ = dpi;
  // Every control gets the new font before the old one is deleted.
  DialogFont font = CreateDialogFont(dpi_);
  ApplyFont(font.font.Get());
  font_ = std::move(font.font);
  PlaceControls();
  // The grid as it was created; the logic scales it as when the window was first shown.
  dgDevices_->SetDefaultRowHeight(kDesignRowHeight);
  for (int col = 0; col < static_cast<int>(kDesignColWidths.size()); ++col) {
    dgDevices_->SetColWidth(col, kDesignColWidths[static_cast<std::size_t>(col)]);
  }
  ::SetWindowPos(Hwnd(), nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
  if (Events.OnDpiChanged) Events.OnDpiChanged();
  ::RedrawWindow(Hwnd(), nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void MainWindow::Show(int showCommand) {
  if (Events.OnShow) Events.OnShow();
  RECT frame{};
  ::GetWindowRect(Hwnd(), &frame);
  RECT work{};
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  ::SetWindowPos(Hwnd(), nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ::ShowWindow(Hwnd(), showCommand);
  ::UpdateWindow(Hwnd());
  if (cbDevices_) ::SetFocus(cbDevices_->Hwnd());
}

int MainWindow::ClientWidth() const {
  RECT r{};
  ::GetClientRect(Hwnd(), &r);
  return r.right;
}

int MainWindow::ClientHeight() const {
  RECT r{};
  ::GetClientRect(Hwnd(), &r);
  return r.bottom;
}

void MainWindow::SetClientWidth(int width) { SetClientSize(width, ClientHeight()); }
void MainWindow::SetClientHeight(int height) { SetClientSize(ClientWidth(), height); }

void MainWindow::SetClientSize(int width, int height) {
  RECT frame{0, 0, width, height};
  ::AdjustWindowRectEx(&frame, kMainStyle, FALSE, static_cast<DWORD>(::GetWindowLongPtrA(Hwnd(), GWL_EXSTYLE)));
  ::SetWindowPos(Hwnd(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::Close() { ::PostMessageA(Hwnd(), WM_CLOSE, 0, 0); }

LRESULT MainWindow::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // Escape, through the dialog manager of the message loop, works btnClose.
      if (lParam == 0 && LOWORD(wParam) == IDCANCEL) {
        if (btnClose_ && btnClose_->OnClick && ::IsWindowEnabled(btnClose_->Hwnd())) btnClose_->OnClick();
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      if (HandleSnapshotCommand(Hwnd(), wParam)) return 0;
      if ((wParam & 0xFFF0) == kSysMeasureRate) {
        if (Events.OnMeasureRate && (!Events.CanMeasureRate || Events.CanMeasureRate())) Events.OnMeasureRate();
        return 0;
      }
      if (Events.OnSysCommand && Events.OnSysCommand(wParam)) return 0;
      if (application_ != nullptr && application_->OnMainSysCommand(wParam)) return 0;
      break;
    case WM_INITMENUPOPUP:
      if (HIWORD(lParam) != 0) {  // the system menu
        const bool can = Events.CanMeasureRate && Events.CanMeasureRate();
        ::EnableMenuItem(reinterpret_cast<HMENU>(wParam), kSysMeasureRate,
                         MF_BYCOMMAND | (can ? MF_ENABLED : MF_GRAYED));
      }
      break;
    case WM_SIZE:
      Layout();
      return 0;
    // The grid draws its own colours: it hears of a theme or colour change too.
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      if (dgDevices_) ::SendMessageA(dgDevices_->Hwnd(), message, wParam, lParam);
      break;
    case WM_ACTIVATE:
      // As the dialog manager does: the focus comes back to the control that had it.
      if (focus_ && LOWORD(wParam) == WA_INACTIVE) {
        focus_->Deactivated();
      } else if (focus_ && HIWORD(wParam) == 0) {
        focus_->Activated();
        return 0;
      }
      break;
    case WM_DPICHANGED:
      if (lParam != 0) OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_TIMER:
      if (tmrDeviceChange_ && wParam == tmrDeviceChange_->Id()) {
        tmrDeviceChange_->Fire();
        return 0;
      }
      if (tmrHelper_ && wParam == tmrHelper_->Id()) {
        tmrHelper_->Fire();
        return 0;
      }
      break;
    case WM_DEVICECHANGE:
      if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0 &&
          reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
          Events.OnDeviceEvent) {
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
        Events.OnDeviceEvent(wParam == DBT_DEVICEARRIVAL, InstanceIdOfInterface(device->dbcc_name));
      }
      if (Events.OnDeviceChange) Events.OnDeviceChange();
      return TRUE;
    case WM_DESTROY:
      if (tmrDeviceChange_) tmrDeviceChange_->SetEnabled(false);
      if (tmrHelper_) tmrHelper_->SetEnabled(false);
      if (Events.OnDestroy) Events.OnDestroy();
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return Wnd::WndProc(message, wParam, lParam);
}

}  // namespace morvane::win
