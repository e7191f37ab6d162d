#include "setup/win32/Grid.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "platform/platform.h"

namespace morvane::win {
namespace {

RECT ToRect(const TRect& r) { return RECT{r.Left, r.Top, r.Right, r.Bottom}; }
TRect ToTRect(const RECT& r) { return TRect{r.left, r.top, r.right, r.bottom}; }

void Fill(HDC dc, const RECT& rect, COLORREF color) {
  UniqueBrush brush(::CreateSolidBrush(color));
  ::FillRect(dc, &rect, brush.Get());
}

// A canvas that only keeps the text drawn: what a cell says, without a DC.
class TextCanvas : public ICanvas {
 public:
  void FillRect(const TRect&, TColor) override {}
  void TextOut(int, int, const std::string& text, const TRect&) override { text_ += text; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// The grid as GridAccessible reads it.
class AccessView : public IAccessibleGrid {
 public:
  explicit AccessView(Grid& grid) : grid_(grid) {}
  HWND GridWindow() const override { return grid_.Hwnd(); }
  int RowCount() const override { return grid_.RowCount(); }
  int ColCount() const override { return grid_.ColCount(); }
  std::string CellText(int col, int row) const override { return grid_.CellText(col, row); }
  RECT CellRect(int col, int row) const override { return grid_.CellRect(col, row); }
  int Row() const override { return grid_.Row(); }
  int Col() const override { return grid_.Col(); }
  void SetCurrentCell(int col, int row) override { grid_.SetCurrentCell(col, row); }

 private:
  Grid& grid_;
};

// Tells assistive technology that the grid's row `row` (child id row + 1) changed.
void NotifyRow(HWND grid, DWORD event, int row) {
  ::NotifyWinEvent(event, grid, OBJID_CLIENT, row + 1);
}

}  // namespace

bool HighContrastOn() {
  HIGHCONTRASTA contrast{};
  contrast.cbSize = sizeof contrast;
  // Asked through the platform (setup-sim.exe answers from its machine), or of the
  // system itself where no platform is installed (the window's own tests).
  const BOOL asked = platform::Current().user != nullptr
                         ? platform::User().SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0)
                         : ::SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0);
  return asked != FALSE && (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// --- HdcCanvas --------------------------------------------------------------

void HdcCanvas::FillRect(const TRect& rect, TColor color) {
  if (tints_) Fill(dc_, ToRect(rect), color);
}

void HdcCanvas::TextOut(int x, int y, const std::string& text, const TRect& clip) {
  const RECT clipRect = ToRect(clip);
  ::ExtTextOutA(dc_, x, y, ETO_CLIPPED, &clipRect, text.data(), static_cast<UINT>(text.size()), nullptr);
  if (drawnText_ != nullptr) drawnText_->append(text);
}

// --- Grid: state ------------------------------------------------------------

Grid::Grid(const CreateArgs& args, std::vector<int> colWidths, int rowCount, int rowHeight)
    : colWidths_(std::move(colWidths)), rowCount_(std::max(rowCount, 2)), rowHeight_(rowHeight) {
  RegisterOwnClass(kClassName, nullptr, CS_DBLCLKS);
  CreateArgs grid = args;
  grid.style |= WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | WS_CLIPSIBLINGS;
  grid.exStyle |= WS_EX_CLIENTEDGE;
  Create(kClassName, grid);
  UpdateScrollBars();
}

Grid::~Grid() {
  DetachGridAccessible(accessible_);
  accessible_ = nullptr;
}

std::string Grid::CellText(int col, int row) const {
  if (!OnDrawCell || col < 0 || col >= ColCount() || row < 0 || row >= rowCount_) return {};
  TGridDrawState state;
  state.Fixed = row == 0;
  state.Selected = !state.Fixed && col == col_ && row == row_;
  TextCanvas canvas;
  try {
    OnDrawCell(col, row, ToTRect(CellRect(col, row)), state, canvas);
  } catch (...) {
    return {};  // asked for by a screen reader: the cell's painting reports the error
  }
  return canvas.Text();
}

void Grid::SetRowCount(int rows) {
  rowCount_ = std::max(rows, 2);  // the title row and at least one more
  if (row_ >= rowCount_) row_ = rowCount_ - 1;
  for (auto it = drawnTexts_.begin(); it != drawnTexts_.end();) {
    it = it->first.first >= rowCount_ ? drawnTexts_.erase(it) : std::next(it);
  }
  UpdateScrollBars();
  SetTopRow(topRow_);
  Invalidate();
  // The rows were made again: a screen reader reads them anew.
  ::NotifyWinEvent(EVENT_OBJECT_REORDER, Hwnd(), OBJID_CLIENT, CHILDID_SELF);
}

void Grid::SetCurrentCell(int col, int row) {
  if (col < 0 || col >= ColCount() || row < 1 || row >= rowCount_) return;
  if (OnSelectCell && !OnSelectCell(col, row)) return;
  InvalidateCell(col_, row_);
  col_ = col;
  row_ = row;
  ScrollIntoView(col, row);
  InvalidateCell(col_, row_);
  NotifyRow(Hwnd(), EVENT_OBJECT_SELECTION, row_);
  if (::GetFocus() == Hwnd()) NotifyRow(Hwnd(), EVENT_OBJECT_FOCUS, row_);
}

int Grid::ColWidth(int col) const {
  return col >= 0 && col < ColCount() ? colWidths_[static_cast<std::size_t>(col)] : 0;
}

void Grid::SetColWidth(int col, int width) {
  if (col < 0 || col >= ColCount()) return;
  colWidths_[static_cast<std::size_t>(col)] = std::max(width, kMinColWidth);
  UpdateScrollBars();
  SetScrollX(scrollX_);
  Invalidate();
}

void Grid::SetDefaultRowHeight(int height) {
  rowHeight_ = std::max(height, 1);
  UpdateScrollBars();
  SetTopRow(topRow_);
  Invalidate();
}

void Grid::Invalidate() { ::InvalidateRect(Hwnd(), nullptr, FALSE); }

// --- Grid: geometry ---------------------------------------------------------

SIZE Grid::ClientSize() const {
  RECT r{};
  ::GetClientRect(Hwnd(), &r);
  return SIZE{r.right, r.bottom};
}

int Grid::VisibleRows() const {
  return std::max(1, (static_cast<int>(ClientSize().cy) - RowStride()) / RowStride());
}

int Grid::ColLeft(int col) const {
  int x = -scrollX_;
  for (int c = 0; c < col; ++c) x += colWidths_[static_cast<std::size_t>(c)] + kLineWidth;
  return x;
}

int Grid::TotalWidth() const { return ColLeft(ColCount()) + scrollX_; }

RECT Grid::CellRect(int col, int row) const {
  const int left = ColLeft(col);
  const int top = row == 0 ? 0 : RowStride() * (1 + row - topRow_);
  return RECT{left, top, left + ColWidth(col), top + rowHeight_};
}

Grid::Hit Grid::HitTest(int x, int y) const {
  Hit hit;
  if (y < 0 || x < 0) return hit;
  const int slot = y / RowStride();
  hit.row = slot == 0 ? 0 : topRow_ + slot - 1;
  if (hit.row >= rowCount_) hit.row = -1;
  for (int c = 0; c < ColCount(); ++c) {
    const int left = ColLeft(c);
    if (x >= left && x < left + ColWidth(c) + kLineWidth) {
      hit.col = c;
      break;
    }
  }
  return hit;
}

int Grid::SizingBorderAt(int x, int y) const {
  if (y < 0 || y >= RowStride()) return -1;
  int best = -1;
  int bestDistance = kSizingMargin + 1;
  for (int c = 0; c < ColCount(); ++c) {
    const int border = ColLeft(c) + ColWidth(c);
    const int distance = std::abs(x - border);
    // On a tie the later column wins, so a column dragged to width 0 can be widened again.
    if (distance <= bestDistance) {
      best = c;
      bestDistance = distance;
    }
  }
  return bestDistance <= kSizingMargin ? best : -1;
}

// --- Grid: scrolling --------------------------------------------------------

void Grid::SetTopRow(int top) {
  const int maxTop = std::max(1, rowCount_ - VisibleRows());
  top = std::clamp(top, 1, maxTop);
  if (top == topRow_) return;
  topRow_ = top;
  UpdateScrollBars();
  Invalidate();
}

void Grid::SetScrollX(int x) {
  const int maxX = std::max(0, TotalWidth() - static_cast<int>(ClientSize().cx));
  x = std::clamp(x, 0, maxX);
  if (x == scrollX_) return;
  scrollX_ = x;
  UpdateScrollBars();
  Invalidate();
}

void Grid::ScrollIntoView(int col, int row) {
  if (row < topRow_) {
    SetTopRow(row);
  } else if (row >= topRow_ + VisibleRows()) {
    SetTopRow(row - VisibleRows() + 1);
  }
  const int left = ColLeft(col) + scrollX_;
  const int right = left + ColWidth(col);
  const int width = ClientSize().cx;
  if (left < scrollX_) {
    SetScrollX(left);
  } else if (right > scrollX_ + width) {
    SetScrollX(std::min(left, right - width));
  }
}

void Grid::UpdateScrollBars() {
  if (Hwnd() == nullptr || updatingBars_) return;
  // Showing or hiding a bar resizes the client area and comes back here via WM_SIZE.
  updatingBars_ = true;
  SCROLLINFO v{};
  v.cbSize = sizeof v;
  v.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  v.nMin = 1;
  v.nMax = rowCount_ - 1;
  v.nPage = static_cast<UINT>(VisibleRows());
  v.nPos = topRow_;
  ::SetScrollInfo(Hwnd(), SB_VERT, &v, TRUE);

  SCROLLINFO h{};
  h.cbSize = sizeof h;
  h.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  h.nMin = 0;
  h.nMax = TotalWidth() - 1;
  h.nPage = static_cast<UINT>(std::max(0L, ClientSize().cx));
  h.nPos = scrollX_;
  ::SetScrollInfo(Hwnd(), SB_HORZ, &h, TRUE);
  updatingBars_ = false;
}

void Grid::OnScroll(int bar, WORD request) {
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_ALL;
  ::GetScrollInfo(Hwnd(), bar, &info);
  const bool vertical = bar == SB_VERT;
  const int line = vertical ? 1 : 16;
  const int page = vertical ? VisibleRows() : std::max(1, static_cast<int>(info.nPage));
  int pos = info.nPos;
  switch (request) {
    case SB_LINEUP: pos -= line; break;
    case SB_LINEDOWN: pos += line; break;
    case SB_PAGEUP: pos -= page; break;
    case SB_PAGEDOWN: pos += page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: pos = info.nTrackPos; break;
    case SB_TOP: pos = info.nMin; break;
    case SB_BOTTOM: pos = info.nMax; break;
    default: return;
  }
  if (vertical) {
    SetTopRow(pos);
  } else {
    SetScrollX(pos);
  }
}

// --- Grid: input ------------------------------------------------------------

void Grid::MoveTo(int col, int row) {
  col = std::clamp(col, 0, ColCount() - 1);
  row = std::clamp(row, 1, rowCount_ - 1);
  if (col == col_ && row == row_) return;
  SetCurrentCell(col, row);
}

void Grid::OnKeyDown(WPARAM key) {
  const bool ctrl = (::GetKeyState(VK_CONTROL) & 0x8000) != 0;
  switch (key) {
    case VK_UP: MoveTo(col_, row_ - 1); break;
    case VK_DOWN: MoveTo(col_, row_ + 1); break;
    case VK_LEFT: MoveTo(col_ - 1, row_); break;
    case VK_RIGHT: MoveTo(col_ + 1, row_); break;
    case VK_HOME: MoveTo(0, ctrl ? 1 : row_); break;
    case VK_END: MoveTo(ColCount() - 1, ctrl ? rowCount_ - 1 : row_); break;
    case VK_PRIOR: MoveTo(col_, row_ - VisibleRows()); break;
    case VK_NEXT: MoveTo(col_, row_ + VisibleRows()); break;
    default: break;
  }
}

// --- Grid: painting ---------------------------------------------------------

void Grid::InvalidateCell(int col, int row) {
  if (Hwnd() == nullptr) return;
  RECT r = CellRect(col, row);
  ::InvalidateRect(Hwnd(), &r, FALSE);
}

void Grid::PaintCell(HDC dc, int col, int row, const RECT& rect, bool tints) {
  TGridDrawState state;
  state.Fixed = row == 0;
  state.Selected = !state.Fixed && col == col_ && row == row_;
  state.Focused = state.Selected && ::GetFocus() == Hwnd();

  const int background = state.Fixed ? COLOR_BTNFACE : state.Selected ? COLOR_HIGHLIGHT : COLOR_WINDOW;
  const int text = state.Fixed ? COLOR_BTNTEXT : state.Selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT;
  Fill(dc, rect, ::GetSysColor(background));
  ::SetTextColor(dc, ::GetSysColor(text));

  std::string& drawn = drawnTexts_[{row, col}];
  drawn.clear();
  if (OnDrawCell) {
    HdcCanvas canvas(dc, &drawn, tints);
    OnDrawCell(col, row, ToTRect(rect), state, canvas);
  }
  if (state.Fixed) {
    // A raised inner edge, as title cells are drawn.
    RECT edge = rect;
    ::DrawEdge(dc, &edge, BDR_RAISEDINNER, BF_TOPLEFT);
  }
  if (state.Focused) {
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    ::DrawFocusRect(dc, &rect);
  }
}

void Grid::Paint(HDC target, const RECT& area) {
  const SIZE size = ClientSize();
  if (size.cx <= 0 || size.cy <= 0) return;
  MemoryDc dc(target);
  UniqueBitmap bitmap(::CreateCompatibleBitmap(target, size.cx, size.cy));
  SelectInDc selectBitmap(dc.Get(), bitmap.Get());
  SelectInDc selectFont(dc.Get(), font_ != nullptr ? static_cast<HGDIOBJ>(font_) : ::GetStockObject(DEFAULT_GUI_FONT));
  ::SetBkMode(dc.Get(), TRANSPARENT);

  const RECT client{0, 0, size.cx, size.cy};
  Fill(dc.Get(), client, ::GetSysColor(COLOR_WINDOW));
  const bool tints = !HighContrastOn();

  // A draw handler that throws ends only its own cell; the rest is painted and the
  // first error is passed on afterwards.
  std::exception_ptr firstError;
  const int lastRow = std::min(rowCount_ - 1, topRow_ + VisibleRows());
  for (int row = 0; row <= lastRow; row = row == 0 ? topRow_ : row + 1) {
    for (int col = 0; col < ColCount(); ++col) {
      const RECT cell = CellRect(col, row);
      if (cell.left >= size.cx || cell.right + kLineWidth <= 0 || cell.top >= size.cy) continue;
      const COLORREF line = ::GetSysColor(row == 0 ? COLOR_BTNSHADOW : COLOR_BTNFACE);
      Fill(dc.Get(), RECT{cell.right, cell.top, cell.right + kLineWidth, cell.bottom + kLineWidth}, line);
      Fill(dc.Get(), RECT{cell.left, cell.bottom, cell.right + kLineWidth, cell.bottom + kLineWidth}, line);
      RECT clip{};
      if (!::IntersectRect(&clip, &cell, &area)) continue;
      try {
        PaintCell(dc.Get(), col, row, cell, tints);
      } catch (...) {
        if (!firstError) firstError = std::current_exception();
      }
    }
  }
  ::BitBlt(target, area.left, area.top, area.right - area.left, area.bottom - area.top, dc.Get(), area.left,
           area.top, SRCCOPY);
  if (firstError) std::rethrow_exception(firstError);
}

LRESULT Grid::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PaintScope paint(Hwnd());
      Paint(paint.Dc(), paint.Area());
      return 0;
    }
    case WM_PRINTCLIENT: {
      RECT client{};
      ::GetClientRect(Hwnd(), &client);
      Paint(reinterpret_cast<HDC>(wParam), client);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      UpdateScrollBars();
      SetTopRow(topRow_);
      SetScrollX(scrollX_);
      Invalidate();
      return 0;
    case WM_SETFONT:
      font_ = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam) != 0) Invalidate();
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS;
    case WM_SETFOCUS:
      InvalidateCell(col_, row_);
      NotifyRow(Hwnd(), EVENT_OBJECT_FOCUS, row_);
      return 0;
    case WM_KILLFOCUS:
      InvalidateCell(col_, row_);
      return 0;
    // A theme or colour change (passed on by the main window): drawn again in the new
    // colours, with or without tints.
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      Invalidate();
      return 0;
    case WM_GETOBJECT:
      if (static_cast<LONG>(lParam) == static_cast<LONG>(OBJID_CLIENT)) {
        if (accessible_ == nullptr) {
          accessView_ = std::make_unique<AccessView>(*this);
          accessible_ = CreateGridAccessible(*accessView_);
        }
        if (accessible_ != nullptr) return ::LresultFromObject(IID_IAccessible, wParam, AsAccessible(accessible_));
      }
      break;
    case WM_DESTROY:
      DetachGridAccessible(accessible_);
      accessible_ = nullptr;
      break;
    case WM_ENABLE:
      Invalidate();
      return 0;
    case WM_KEYDOWN:
      OnKeyDown(wParam);
      return 0;
    case WM_VSCROLL:
      OnScroll(SB_VERT, LOWORD(wParam));
      return 0;
    case WM_HSCROLL:
      OnScroll(SB_HORZ, LOWORD(wParam));
      return 0;
    case WM_MOUSEWHEEL: {
      UINT lines = 3;
      ::SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
      wheelRemainder_ += GET_WHEEL_DELTA_WPARAM(wParam);
      const int notches = wheelRemainder_ / WHEEL_DELTA;
      wheelRemainder_ -= notches * WHEEL_DELTA;
      if (notches != 0) SetTopRow(topRow_ - notches * static_cast<int>(std::max(1U, lines)));
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      if (::GetFocus() != Hwnd()) ::SetFocus(Hwnd());
      const int x = static_cast<short>(LOWORD(lParam));
      const int y = static_cast<short>(HIWORD(lParam));
      const int border = SizingBorderAt(x, y);
      if (border >= 0) {
        sizingCol_ = border;
        sizingGrabOffset_ = x - (ColLeft(border) + ColWidth(border));
        ::SetCapture(Hwnd());
        return 0;
      }
      const Hit hit = HitTest(x, y);
      if (hit.col >= 0 && hit.row >= 1) {
        selecting_ = true;
        ::SetCapture(Hwnd());
        MoveTo(hit.col, hit.row);
        // A double click on a row that became (or was) current opens that row.
        if (message == WM_LBUTTONDBLCLK && OnDoubleClick && row_ == hit.row) {
          selecting_ = false;
          ::ReleaseCapture();
          OnDoubleClick(hit.col, hit.row);
        }
      }
      return 0;
    }
    case WM_MOUSEMOVE: {
      const int x = static_cast<short>(LOWORD(lParam));
      const int y = static_cast<short>(HIWORD(lParam));
      if (sizingCol_ >= 0) {
        SetColWidth(sizingCol_, x - sizingGrabOffset_ - ColLeft(sizingCol_));
      } else if (selecting_) {
        const Hit hit = HitTest(std::max(x, 0), std::clamp(y, RowStride(), std::max(RowStride(), static_cast<int>(ClientSize().cy) - 1)));
        if (hit.col >= 0 && hit.row >= 1) MoveTo(hit.col, hit.row);
      }
      return 0;
    }
    case WM_LBUTTONUP:
      if (sizingCol_ >= 0 || selecting_) ::ReleaseCapture();
      sizingCol_ = -1;
      selecting_ = false;
      return 0;
    case WM_CAPTURECHANGED:
      sizingCol_ = -1;
      selecting_ = false;
      return 0;
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT) {
        POINT p{};
        ::GetCursorPos(&p);
        ::ScreenToClient(Hwnd(), &p);
        if (sizingCol_ >= 0 || SizingBorderAt(p.x, p.y) >= 0) {
          ::SetCursor(::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_SIZEWE)));
          return TRUE;
        }
      }
      break;
    default:
      break;
  }
  return Default(message, wParam, lParam);
}

}  // namespace morvane::win
