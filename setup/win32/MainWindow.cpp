#include "setup/win32/MainWindow.h"

#include <commctrl.h>

#include "setup/win32/ApplicationWindow.h"
#include "setup/win32/SnapshotMenu.h"

namespace morvane::win {
namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kMainExStyle = WS_EX_CONTROLPARENT;
constexpr UINT_PTR kDeviceChangeTimerId = 1;
constexpr int kDesignClientWidth = 960;
constexpr int kDesignClientHeight = 360;
constexpr int kPanelHeight = 38;
constexpr int kListHeight = 200;  // of the open drop-down lists

// Control identifiers; 1 and 2 are IDOK and IDCANCEL of the dialog manager.
enum ControlId : int {
  kIdHead = 100, kIdDevices, kIdLabel1, kIdGrid, kIdFoot, kIdFilter, kIdRate, kIdLabel2,
  kIdInstall, kIdApply, kIdCopyId, kIdClose,
};

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

  // "MS Sans Serif", 8 points at the screen's resolution.
  font_.Reset(::CreateFontA(-::MulDiv(8, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                            "MS Sans Serif"));

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
  ::SendMessageA(Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  CreateControls();
  Layout();
}

MainWindow::~MainWindow() {
  Events = {};
  if (::IsWindow(Hwnd())) ::DestroyWindow(Hwnd());
}

void MainWindow::CreateControls() {
  // Creation order is the tab order: pnlHEAD (cbDevices), dgDevices, pnlFOOT
  // (cbFilter, cbRate, btnInstall, btnApply, btnCopyID, btnClose).
  auto at = [this](HWND parent, int id, const char* text, int x, int y, int w, int h, DWORD style = 0) {
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
                                      std::vector<int>{228, 34, 40, 50, 349, 228}, 2, 21);

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
      if (application_ != nullptr && application_->OnMainSysCommand(wParam)) return 0;
      break;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_TIMER:
      if (tmrDeviceChange_ && wParam == tmrDeviceChange_->Id()) {
        tmrDeviceChange_->Fire();
        return 0;
      }
      break;
    case WM_DEVICECHANGE:
      if (Events.OnDeviceChange) Events.OnDeviceChange();
      return TRUE;
    case WM_DESTROY:
      if (tmrDeviceChange_) tmrDeviceChange_->SetEnabled(false);
      if (Events.OnDestroy) Events.OnDestroy();
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return Wnd::WndProc(message, wParam, lParam);
}

}  // namespace morvane::win
