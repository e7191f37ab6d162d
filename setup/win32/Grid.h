// Our own owner-drawn grid control: one fixed title row, grid lines between all
// cells, columns resized by dragging the title-row borders, single-cell selection,
// keyboard navigation, scroll bars and the mouse wheel. Cells are drawn by the
// OnDrawCell callback through an ICanvas over the window's DC; OnSelectCell is
// asked before a cell becomes current.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "setup/Controls.h"
#include "setup/win32/GridAccessible.h"
#include "setup/win32/NativeControls.h"
#include "setup/win32/Window.h"

namespace morvane::win {

// ICanvas over a DC for one cell. Text goes out in the DC's current font and text
// colour, clipped to the given rectangle. Each text drawn is also recorded per
// cell, so the program can tell what the grid shows. Without tints (a high-contrast
// theme) the fills of the draw handler are left out: the cell keeps the system
// colours the grid painted it with.
class HdcCanvas : public ICanvas {
 public:
  HdcCanvas(HDC dc, std::string* drawnText, bool tints = true) : dc_(dc), drawnText_(drawnText), tints_(tints) {}
  void FillRect(const TRect& rect, TColor color) override;
  void TextOut(int x, int y, const std::string& text, const TRect& clip) override;

 private:
  HDC dc_;
  std::string* drawnText_;
  bool tints_;
};

// Whether the user chose a high-contrast theme (SPI_GETHIGHCONTRAST).
bool HighContrastOn();

using DrawCellHandler = std::function<void(int col, int row, const TRect& rect, TGridDrawState state, ICanvas&)>;
// Returns whether (col, row) may become current.
using SelectCellHandler = std::function<bool(int col, int row)>;

class Grid : public ControlBase<IGrid> {
 public:
  static constexpr const char* kClassName = "MorvaneGrid";

  Grid(const CreateArgs& args, std::vector<int> colWidths, int rowCount, int rowHeight);
  ~Grid() override;

  DrawCellHandler OnDrawCell;
  SelectCellHandler OnSelectCell;
  // A double click on a data cell, after the cell became current.
  std::function<void(int col, int row)> OnDoubleClick;

  int ColCount() const override { return static_cast<int>(colWidths_.size()); }
  int RowCount() const override { return rowCount_; }
  void SetRowCount(int rows) override;
  int Row() const override { return row_; }
  int Col() const override { return col_; }
  void SetCurrentCell(int col, int row) override;
  int ColWidth(int col) const override;
  void SetColWidth(int col, int width) override;
  int DefaultRowHeight() const override { return rowHeight_; }
  void SetDefaultRowHeight(int height) override;
  int GridLineWidth() const override { return kLineWidth; }
  void Invalidate() override;

  int TopRow() const { return topRow_; }       // first scrollable row on view
  int ScrollX() const { return scrollX_; }     // pixels scrolled to the right
  int VisibleRows() const;                     // whole scrollable rows that fit

  // The cell rectangle in client coordinates (it may lie outside the view).
  RECT CellRect(int col, int row) const;
  // The text last drawn into each cell, by (row, col); cells never drawn are absent.
  const std::map<std::pair<int, int>, std::string>& DrawnTexts() const { return drawnTexts_; }
  // The text the draw handler gives a cell, whether on view or not (empty when it fails).
  std::string CellText(int col, int row) const;

 protected:
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  static constexpr int kLineWidth = 1;
  static constexpr int kSizingMargin = 3;  // pixels either side of a border that grab it
  static constexpr int kMinColWidth = 0;

  struct Hit {
    int col = -1;
    int row = -1;
  };

  void Paint(HDC dc, const RECT& area);
  void PaintCell(HDC dc, int col, int row, const RECT& rect, bool tints);
  Hit HitTest(int x, int y) const;
  int SizingBorderAt(int x, int y) const;  // column whose right border is under (x, y), or -1
  int ColLeft(int col) const;
  int TotalWidth() const;
  int RowStride() const { return rowHeight_ + kLineWidth; }
  SIZE ClientSize() const;

  void MoveTo(int col, int row);  // keyboard and mouse moves: asks OnSelectCell
  void ScrollIntoView(int col, int row);
  void SetTopRow(int top);
  void SetScrollX(int x);
  void UpdateScrollBars();
  void InvalidateCell(int col, int row);
  void OnKeyDown(WPARAM key);
  void OnScroll(int bar, WORD request);

  std::vector<int> colWidths_;
  int rowCount_;
  int rowHeight_;
  int col_ = 0;
  int row_ = 1;
  int topRow_ = 1;
  int scrollX_ = 0;
  int sizingCol_ = -1;       // column being resized, -1 when none
  int sizingGrabOffset_ = 0; // mouse x minus the border's x at the start of the drag
  bool selecting_ = false;   // left button held over the cells
  int wheelRemainder_ = 0;
  bool updatingBars_ = false;
  HFONT font_ = nullptr;  // set by WM_SETFONT, owned by the window that set it
  std::map<std::pair<int, int>, std::string> drawnTexts_;
  // What screen readers see (GridAccessible.h): made at the first WM_GETOBJECT.
  std::unique_ptr<IAccessibleGrid> accessView_;
  GridAccessible* accessible_ = nullptr;
};

}  // namespace morvane::win
