#include "setup/win32/RateMeterWindow.h"

#include <commdlg.h>

#include <algorithm>

namespace morvane::win {
namespace {

constexpr UINT_PTR kRefreshTimerId = 1;
constexpr int kIdClose = 100;
constexpr int kIdSave = 101;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int kClientWidth = 560;
constexpr int kClientHeight = 440;
constexpr int kMargin = 12;
constexpr int kLineHeight = 17;
constexpr int kLines = 8;
constexpr COLORREF kPlotColour = RGB(0, 64, 192);
constexpr COLORREF kExpectedColour = RGB(208, 0, 0);

std::vector<std::string> lastTexts;

int ScreenPixelsPerInch() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

void Text(HDC dc, int x, int y, const std::string& text) {
  ::TextOutA(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

}  // namespace

const std::vector<std::string>& LastRateMeterTexts() { return lastTexts; }

RateMeterWindow::RateMeterWindow(HWND owner, TMeterTarget target)
    : logic_(std::move(target)), dpi_(ScreenPixelsPerInch()) {
  font_.Reset(::CreateFontA(-::MulDiv(8, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                            "MS Sans Serif"));
  RegisterOwnClass(kRateMeterClassName, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  RECT frame{0, 0, Scaled(kClientWidth), Scaled(kClientHeight)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  const std::string caption = logic_.Caption();
  CreateArgs args;
  args.parent = owner;  // owned: stays above the main window and goes with it
  args.text = caption.c_str();
  args.style = kStyle;
  args.x = CW_USEDEFAULT;
  args.y = CW_USEDEFAULT;
  args.width = frame.right - frame.left;
  args.height = frame.bottom - frame.top;
  Create(kRateMeterClassName, args);

  CreateArgs close;
  close.parent = Hwnd();
  close.id = kIdClose;
  close.text = "Close";
  close.width = Scaled(90);
  close.height = Scaled(24);
  btnClose_ = std::make_unique<Button>(close);
  ::SendMessageA(btnClose_->Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  btnClose_->OnClick = [this] { ::PostMessageA(Hwnd(), WM_CLOSE, 0, 0); };
  CreateArgs save;
  save.parent = Hwnd();
  save.id = kIdSave;
  save.text = "Save CSV...";
  save.width = Scaled(90);
  save.height = Scaled(24);
  btnSave_ = std::make_unique<Button>(save);
  ::SendMessageA(btnSave_->Hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  btnSave_->OnClick = [this] { SaveCsv(); };
  Layout();

  // Beside the owner's centre.
  RECT ownerRect{};
  if (owner != nullptr && ::GetWindowRect(owner, &ownerRect)) {
    ::SetWindowPos(Hwnd(), nullptr, (ownerRect.left + ownerRect.right - args.width) / 2,
                   (ownerRect.top + ownerRect.bottom - args.height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  logic_.Start(Hwnd());
  ::SetTimer(Hwnd(), kRefreshTimerId, kRefreshMs, nullptr);
  ::ShowWindow(Hwnd(), SW_SHOW);
  ::SetFocus(Hwnd());
}

RateMeterWindow::~RateMeterWindow() {
  DetachTextsAccessible(accessible_);
  accessible_ = nullptr;
  logic_.Stop();
  btnSave_.reset();
  btnClose_.reset();
}

void RateMeterWindow::SaveCsv() {
  // Taken before the dialog: the reports that arrive while it is open are not in it.
  const std::string csv = logic_.IntervalsCsv();
  std::vector<char> file(MAX_PATH * 4, '\0');
  const std::string suggested = "polling-rate.csv";
  suggested.copy(file.data(), suggested.size());
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = Hwnd();
  dialog.lpstrFilter = "CSV files (*.csv)\0*.csv\0All files (*.*)\0*.*\0";
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = "Save The Intervals";
  dialog.lpstrDefExt = "csv";
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetSaveFileNameA(&dialog)) return;
  const std::string path(file.data());
  // Written with the system's own file calls: the C++ streams would bring their locale
  // machinery into setup.exe, most of a megabyte.
  DWORD code = ERROR_SUCCESS;
  HANDLE out = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    code = ::GetLastError();
  } else {
    DWORD written = 0;
    ::SetLastError(ERROR_SUCCESS);  // a short write sets none
    const bool whole = ::WriteFile(out, csv.data(), static_cast<DWORD>(csv.size()), &written, nullptr) != FALSE &&
                       written == csv.size() && ::FlushFileBuffers(out) != FALSE;
    if (!whole) code = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_WRITE_FAULT;
    ::CloseHandle(out);
  }
  if (code != ERROR_SUCCESS) {
    std::string text = "The intervals could not be written to \"" + path + "\"";
    const std::string reason = SystemErrorText(code);
    text += reason.empty() ? "." : ": " + reason + ".";
    ::MessageBoxA(Hwnd(), text.c_str(), logic_.Caption().c_str(), MB_ICONERROR | MB_OK);
  }
}

void RateMeterWindow::Activate() {
  if (!IsOpen()) return;
  if (::IsIconic(Hwnd())) ::ShowWindow(Hwnd(), SW_RESTORE);
  ::SetForegroundWindow(Hwnd());
  ::SetFocus(Hwnd());
}

void RateMeterWindow::Retarget(TMeterTarget target) {
  logic_.Retarget(std::move(target));
  if (!IsOpen()) return;
  ::SetWindowTextA(Hwnd(), logic_.Caption().c_str());
  ::InvalidateRect(Hwnd(), nullptr, FALSE);
}

void RateMeterWindow::Layout() {
  if (!btnClose_) return;
  RECT client{};
  ::GetClientRect(Hwnd(), &client);
  ::MoveWindow(btnClose_->Hwnd(), client.right - Scaled(kMargin + 90), client.bottom - Scaled(8 + 24), Scaled(90),
               Scaled(24), TRUE);
  if (btnSave_) {
    ::MoveWindow(btnSave_->Hwnd(), client.right - Scaled(kMargin + 90 + 8 + 90), client.bottom - Scaled(8 + 24),
                 Scaled(90), Scaled(24), TRUE);
  }
}

void RateMeterWindow::OnTick() {
  if (NewerTarget) {
    if (std::optional<TMeterTarget> newer = NewerTarget()) Retarget(std::move(*newer));
  }
  logic_.OnTimer();
  const TRateFigures f = logic_.Meter().Figures();
  // Repaint while the figures change and once more as they freeze; nothing while still.
  if (f.Count != shownCount_ || f.Moving != shownMoving_) {
    shownCount_ = f.Count;
    shownMoving_ = f.Moving;
    ::InvalidateRect(Hwnd(), nullptr, FALSE);
  }
}

void RateMeterWindow::Paint(HDC dc, const RECT& client) {
  ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
  SelectInDc font(dc, font_.Get());
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
  std::vector<std::string> texts{logic_.Caption()};
  const std::vector<std::string> lines = logic_.Lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    Text(dc, Scaled(kMargin), Scaled(kMargin) + Scaled(kLineHeight) * static_cast<int>(i), lines[i]);
    texts.push_back(lines[i]);
  }
  RECT plot{Scaled(kMargin), Scaled(kMargin) + Scaled(kLineHeight) * kLines + Scaled(6),
            client.right - Scaled(kMargin), client.bottom - Scaled(8 + 24 + 8)};
  if (plot.right > plot.left + 20 && plot.bottom > plot.top + 20) PaintPlot(dc, plot);
  lastTexts = std::move(texts);
}

void RateMeterWindow::PaintPlot(HDC dc, const RECT& area) {
  ::FillRect(dc, &area, ::GetSysColorBrush(COLOR_WINDOW));
  ::FrameRect(dc, &area, ::GetSysColorBrush(COLOR_BTNSHADOW));
  const std::vector<std::int64_t> intervals = logic_.Meter().PlotIntervals();
  const std::optional<std::int64_t> expected = logic_.ExpectedTicks();
  const TRateMeter& meter = logic_.Meter();

  // The vertical scale: twice the expected interval, or more when the intervals need it.
  std::int64_t top = expected ? *expected * 2 : 0;
  for (std::int64_t v : intervals) top = std::max(top, v);
  if (top <= 0) top = meter.Frequency() / 500;  // 2 ms before anything is known
  top += top / 10;

  const int left = area.left + 1;
  const int width = area.right - area.left - 2;
  const int bottom = area.bottom - 2;
  const int height = area.bottom - area.top - 4;
  auto yOf = [&](std::int64_t v) { return bottom - static_cast<int>(MulDivRound(std::min(v, top), height, top)); };

  ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
  Text(dc, left + Scaled(3), area.top + Scaled(2), meter.MillisecondsText(top) + " ms");
  Text(dc, left + Scaled(3), bottom - Scaled(14), "last " + std::to_string(TRateMeter::PlotCapacity) + " reports");

  if (expected) {
    UniquePen pen(::CreatePen(PS_DOT, 1, kExpectedColour));
    SelectInDc use(dc, pen.Get());
    const int y = yOf(*expected);
    ::MoveToEx(dc, left, y, nullptr);
    ::LineTo(dc, left + width, y);
  }
  if (intervals.size() >= 2) {
    std::vector<POINT> points(intervals.size());
    const int span = static_cast<int>(TRateMeter::PlotCapacity) - 1;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
      points[i].x = left + ::MulDiv(static_cast<int>(i), width - 1, span);
      points[i].y = yOf(intervals[i]);
    }
    UniquePen pen(::CreatePen(PS_SOLID, 1, kPlotColour));
    SelectInDc use(dc, pen.Get());
    ::Polyline(dc, points.data(), static_cast<int>(points.size()));
  }
}

LRESULT RateMeterWindow::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INPUT:
      logic_.OnInput(reinterpret_cast<HRAWINPUT>(lParam));
      break;  // the default procedure frees the input's data
    case WM_TIMER:
      if (wParam == kRefreshTimerId) {
        OnTick();
        return 0;
      }
      break;
    // A screen reader reads the lines of figures as static texts.
    case WM_GETOBJECT:
      if (static_cast<LONG>(lParam) == static_cast<LONG>(OBJID_CLIENT)) {
        if (accessible_ == nullptr) accessible_ = CreateTextsAccessible(Hwnd(), [this] { return logic_.Lines(); });
        if (accessible_ != nullptr) return ::LresultFromObject(IID_IAccessible, wParam, AsAccessible(accessible_));
      }
      break;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) {
        ::PostMessageA(Hwnd(), WM_CLOSE, 0, 0);
        return 0;
      }
      // The window keeps the focus itself (so Escape reaches it): its button's action
      // has a key of its own, as the main window's menu items have.
      if (wParam == 'S' && (::GetKeyState(VK_CONTROL) & 0x8000) != 0) {
        SaveCsv();
        return 0;
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) ::SetFocus(Hwnd());  // Escape reaches the window, not the button
      return 0;
    case WM_SIZE:
      Layout();
      ::InvalidateRect(Hwnd(), nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // painted whole through a memory bitmap
    case WM_PAINT: {
      PaintScope paint(Hwnd());
      RECT client{};
      ::GetClientRect(Hwnd(), &client);
      MemoryDc memory(paint.Dc());
      UniqueBitmap bitmap(::CreateCompatibleBitmap(paint.Dc(), std::max<LONG>(client.right, 1),
                                                   std::max<LONG>(client.bottom, 1)));
      if (memory.Get() == nullptr || bitmap.Get() == nullptr) return 0;
      {
        SelectInDc select(memory.Get(), bitmap.Get());
        Paint(memory.Get(), client);
        ::BitBlt(paint.Dc(), 0, 0, client.right, client.bottom, memory.Get(), 0, 0, SRCCOPY);
      }
      return 0;
    }
    case WM_CLOSE:
      ::DestroyWindow(Hwnd());
      return 0;
    case WM_DESTROY:
      ::KillTimer(Hwnd(), kRefreshTimerId);
      logic_.Stop();
      DetachTextsAccessible(accessible_);
      accessible_ = nullptr;
      return 0;
    default:
      break;
  }
  return Wnd::WndProc(message, wParam, lParam);
}

}  // namespace morvane::win
