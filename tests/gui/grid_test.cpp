// The owner-drawn grid under Wine: geometry, selection through the select-cell
// handler, keys, mouse, column resizing, scrolling and painting.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "setup/win32/ErrorQueue.h"
#include "setup/win32/Grid.h"
#include "tests/gui/gui_test_support.h"

namespace morvane::win {
namespace {

const std::vector<int> kWidths{228, 34, 40, 50, 349, 228};

class GridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateArgs args;
    args.parent = host_.Hwnd();
    args.id = 1;
    args.width = 960;
    args.height = 284;
    grid_ = std::make_unique<Grid>(args, kWidths, 2, 21);
    grid_->OnSelectCell = [this](int col, int row) {
      asked_.push_back({col, row});
      return !(col == refuseCol_ && row == refuseRow_);
    };
  }

  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageA(grid_->Hwnd(), message, wParam, lParam);
  }
  void Key(WPARAM key) { Send(WM_KEYDOWN, key, 0); }
  void Press(int x, int y) { Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y)); }
  void Release(int x, int y) { Send(WM_LBUTTONUP, 0, MAKELPARAM(x, y)); }
  void Cell(int col, int row) const {
    EXPECT_EQ(grid_->Col(), col);
    EXPECT_EQ(grid_->Row(), row);
  }

  HostWindow host_;
  std::unique_ptr<Grid> grid_;
  std::vector<std::pair<int, int>> asked_;
  int refuseCol_ = -1;
  int refuseRow_ = -1;
};

TEST_F(GridTest, StartsWithTitleRowOneEmptyRowAndTheFirstDataCellCurrent) {
  EXPECT_EQ(grid_->ColCount(), 6);
  EXPECT_EQ(grid_->RowCount(), 2);
  Cell(0, 1);
  EXPECT_EQ(grid_->DefaultRowHeight(), 21);
  EXPECT_EQ(grid_->GridLineWidth(), 1);
  for (int c = 0; c < 6; ++c) EXPECT_EQ(grid_->ColWidth(c), kWidths[static_cast<std::size_t>(c)]);
  // Cells are separated by one-pixel lines.
  const RECT title = grid_->CellRect(0, 0);
  EXPECT_EQ(title.left, 0);
  EXPECT_EQ(title.top, 0);
  EXPECT_EQ(title.right, 228);
  EXPECT_EQ(title.bottom, 21);
  const RECT cell = grid_->CellRect(1, 1);
  EXPECT_EQ(cell.left, 229);
  EXPECT_EQ(cell.top, 22);
  EXPECT_EQ(cell.right, 263);
  EXPECT_EQ(cell.bottom, 43);
  EXPECT_EQ(Send(WM_GETDLGCODE), DLGC_WANTARROWS);
}

TEST_F(GridTest, SetCurrentCellAsksTheHandlerAndHonoursARefusal) {
  grid_->SetRowCount(5);
  grid_->SetCurrentCell(2, 3);
  Cell(2, 3);
  ASSERT_EQ(asked_.size(), 1U);
  EXPECT_EQ(asked_[0], std::make_pair(2, 3));

  refuseCol_ = 4;
  refuseRow_ = 4;
  grid_->SetCurrentCell(4, 4);
  Cell(2, 3);
  EXPECT_EQ(asked_.size(), 2U);

  // The title row and cells outside the grid never become current, and are not asked about.
  grid_->SetCurrentCell(1, 0);
  grid_->SetCurrentCell(6, 1);
  grid_->SetCurrentCell(0, 5);
  Cell(2, 3);
  EXPECT_EQ(asked_.size(), 2U);
}

TEST_F(GridTest, RowCountKeepsTheCurrentRowOrMovesItToTheLastRowWithoutAsking) {
  grid_->SetRowCount(10);
  grid_->SetCurrentCell(3, 8);
  asked_.clear();
  grid_->SetRowCount(12);
  Cell(3, 8);
  grid_->SetRowCount(4);
  Cell(3, 3);
  grid_->SetRowCount(0);  // never fewer than the title row and one row
  EXPECT_EQ(grid_->RowCount(), 2);
  Cell(3, 1);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(GridTest, KeysMoveTheCurrentCellWithinTheDataCells) {
  grid_->SetRowCount(40);
  const int page = grid_->VisibleRows();
  ASSERT_GT(page, 5);
  Key(VK_UP);  // the title row is not reachable
  Cell(0, 1);
  Key(VK_LEFT);
  Cell(0, 1);
  Key(VK_DOWN);
  Key(VK_RIGHT);
  Cell(1, 2);
  Key(VK_END);
  Cell(5, 2);
  Key(VK_RIGHT);
  Cell(5, 2);
  Key(VK_HOME);
  Cell(0, 2);
  Key(VK_NEXT);
  Cell(0, 2 + page);
  Key(VK_PRIOR);
  Cell(0, 2);
  Key(VK_PRIOR);
  Cell(0, 1);

  KeyboardState ctrl(VK_CONTROL);
  Key(VK_END);
  Cell(5, 39);
  EXPECT_GE(grid_->TopRow(), 39 - page + 1);  // scrolled so that the last row shows
  Key(VK_DOWN);
  Cell(5, 39);
  Key(VK_HOME);
  Cell(0, 1);
  EXPECT_EQ(grid_->TopRow(), 1);
}

TEST_F(GridTest, AKeyMoveToARefusedCellLeavesTheCurrentCell) {
  grid_->SetRowCount(5);
  refuseCol_ = 0;
  refuseRow_ = 2;
  Key(VK_DOWN);
  Cell(0, 1);
  ASSERT_FALSE(asked_.empty());
  EXPECT_EQ(asked_.back(), std::make_pair(0, 2));
}

TEST_F(GridTest, AClickMakesTheCellCurrentAndTheTitleRowIsNotSelectable) {
  grid_->SetRowCount(5);
  const RECT target = grid_->CellRect(4, 3);
  Press(target.left + 5, target.top + 5);
  Release(target.left + 5, target.top + 5);
  Cell(4, 3);
  EXPECT_EQ(::GetFocus(), grid_->Hwnd());

  asked_.clear();
  Press(300, 10);  // inside the title of column 1, away from its borders
  Release(300, 10);
  Cell(4, 3);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(GridTest, ADoubleClickOpensTheRowOnlyWhenItBecameCurrent) {
  std::vector<std::pair<int, int>> opened;
  grid_->OnDoubleClick = [&](int col, int row) { opened.push_back({col, row}); };
  grid_->SetRowCount(5);
  const RECT cell = grid_->CellRect(2, 3);
  Press(cell.left + 5, cell.top + 5);
  Release(cell.left + 5, cell.top + 5);
  Send(WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(cell.left + 5, cell.top + 5));
  Release(cell.left + 5, cell.top + 5);
  EXPECT_EQ(opened, (std::vector<std::pair<int, int>>{{2, 3}}));
  EXPECT_EQ(::GetCapture(), nullptr);

  refuseCol_ = 1;
  refuseRow_ = 2;  // a row that may not become current is not opened
  const RECT refused = grid_->CellRect(1, 2);
  Send(WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(refused.left + 5, refused.top + 5));
  Release(refused.left + 5, refused.top + 5);
  Send(WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(300, 10));  // the title row
  Release(300, 10);
  EXPECT_EQ(opened.size(), 1u);
  Cell(2, 3);
}

TEST_F(GridTest, DraggingATitleBorderResizesItsColumn) {
  // The border of column 0 lies at x = 228.
  Press(229, 10);
  Send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(301, 10));
  EXPECT_EQ(grid_->ColWidth(0), 300);
  Send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(151, 10));
  Release(151, 10);
  EXPECT_EQ(grid_->ColWidth(0), 150);
  EXPECT_EQ(grid_->ColWidth(1), 34);
  EXPECT_EQ(grid_->CellRect(1, 0).left, 151);
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(400, 10));  // button released: no more resizing
  EXPECT_EQ(grid_->ColWidth(0), 150);

  // A column dragged down to nothing can be pulled open again from its border.
  Press(151 + 34, 10);
  Send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(100, 10));
  Release(100, 10);
  EXPECT_EQ(grid_->ColWidth(1), 0);
  Press(151, 10);
  Send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(191, 10));
  Release(191, 10);
  EXPECT_EQ(grid_->ColWidth(1), 40);
  EXPECT_EQ(grid_->ColWidth(0), 150);

  // Borders are only grabbed in the title row: in a data row the press selects.
  Press(151, 30);
  Send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(300, 30));
  Release(300, 30);
  EXPECT_EQ(grid_->ColWidth(0), 150);
}

TEST_F(GridTest, WheelAndScrollBarMoveTheViewNotTheCurrentCell) {
  grid_->SetRowCount(60);
  const int page = grid_->VisibleRows();
  Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0);
  EXPECT_EQ(grid_->TopRow(), 4);  // three rows a notch
  Send(WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
  EXPECT_EQ(grid_->TopRow(), 1);
  Send(WM_VSCROLL, SB_PAGEDOWN, 0);
  EXPECT_EQ(grid_->TopRow(), 1 + page);
  Send(WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_EQ(grid_->TopRow(), 60 - page);
  Send(WM_VSCROLL, SB_LINEDOWN, 0);
  EXPECT_EQ(grid_->TopRow(), 60 - page);
  Cell(0, 1);

  // Columns wider than the grid scroll sideways; making a cell current brings it into view.
  grid_->SetColWidth(4, 2000);
  grid_->SetCurrentCell(5, 1);
  RECT client{};
  ::GetClientRect(grid_->Hwnd(), &client);
  const RECT cell = grid_->CellRect(5, 1);
  EXPECT_GT(grid_->ScrollX(), 0);
  EXPECT_GE(cell.left, 0);
  EXPECT_LE(cell.right, client.right);
  EXPECT_EQ(grid_->CellRect(5, 0).left, cell.left);  // the title row scrolls with it
}

class GridPaintTest : public GridTest {
 protected:
  void SetUp() override {
    GridTest::SetUp();
    grid_->SetRowCount(4);
    grid_->OnDrawCell = [this](int col, int row, const TRect& rect, TGridDrawState state, ICanvas& canvas) {
      states_.push_back({col, row, state});
      if (col == throwCol_ && row == throwRow_) throw std::runtime_error("GetControllerDevice failed");
      if (row > 0 && !state.Selected && !state.Focused) canvas.FillRect(rect, RGBColor(204, 255, 204));
      canvas.TextOut(rect.Left + 3, rect.Top + 3, row == 0 ? "Title" : std::string(200, 'W'), rect);
    };
  }

  struct Drawn {
    int col;
    int row;
    TGridDrawState state;
  };

  // The grid printed into a bitmap of its client size.
  std::unique_ptr<Bitmap> Print() {
    RECT client{};
    ::GetClientRect(grid_->Hwnd(), &client);
    auto bitmap = std::make_unique<Bitmap>(client.right, client.bottom);
    states_.clear();
    Send(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(bitmap->Dc()), PRF_CLIENT);
    return bitmap;
  }

  std::vector<Drawn> states_;
  int throwCol_ = -1;
  int throwRow_ = -1;
};

TEST_F(GridPaintTest, DrawsTitlesSelectionTintsAndLinesAndClipsTextToItsCell) {
  auto shot = Print();
  const COLORREF tint = RGB(204, 255, 204);
  EXPECT_EQ(shot->Pixel(100, 1), ::GetSysColor(COLOR_BTNFACE));      // title background
  EXPECT_EQ(shot->Pixel(228, 10), ::GetSysColor(COLOR_BTNSHADOW));   // title-row line
  EXPECT_EQ(shot->Pixel(100, 21), ::GetSysColor(COLOR_BTNSHADOW));   // under the title row
  EXPECT_EQ(shot->Pixel(300, 23 + 17), tint);                         // a data cell, below its text
  EXPECT_EQ(shot->Pixel(228, 30), ::GetSysColor(COLOR_BTNFACE));     // line between data cells
  EXPECT_EQ(shot->Pixel(100, 23 + 17), ::GetSysColor(COLOR_HIGHLIGHT));  // the current cell (0, 1)
  // The text of column 1 is far too long for 34 pixels: column 2 starts untouched.
  EXPECT_EQ(shot->Pixel(264, 22 + 3), tint);
  bool textInColumn1 = false;
  for (int x = 232; x < 262 && !textInColumn1; ++x) {
    for (int y = 25; y < 38 && !textInColumn1; ++y) textInColumn1 = shot->Pixel(x, y) != tint;
  }
  EXPECT_TRUE(textInColumn1);
  for (int y = 22; y < 43; ++y) EXPECT_EQ(shot->Pixel(264, y), tint) << y;

  // Each visible cell is drawn once, with its state.
  ASSERT_EQ(states_.size(), 6U * 4U);
  for (const auto& d : states_) {
    EXPECT_EQ(d.state.Fixed, d.row == 0);
    EXPECT_EQ(d.state.Selected, d.col == 0 && d.row == 1);
    EXPECT_FALSE(d.state.Focused);  // the grid has no focus
  }
  EXPECT_EQ(grid_->DrawnTexts().at({0, 3}), "Title");
  EXPECT_EQ(grid_->DrawnTexts().at({2, 5}), std::string(200, 'W'));
}

TEST_F(GridPaintTest, TheFocusedCurrentCellIsDrawnFocused) {
  ::SetFocus(grid_->Hwnd());
  ASSERT_EQ(::GetFocus(), grid_->Hwnd());
  grid_->SetCurrentCell(3, 2);
  Print();
  int focused = 0;
  for (const auto& d : states_) {
    if (d.state.Focused) {
      ++focused;
      EXPECT_EQ(d.col, 3);
      EXPECT_EQ(d.row, 2);
      EXPECT_TRUE(d.state.Selected);
    }
  }
  EXPECT_EQ(focused, 1);
}

TEST_F(GridPaintTest, ACellWhoseDrawingFailsEndsOnlyItselfAndTheErrorIsQueued) {
  throwCol_ = 2;
  throwRow_ = 1;
  DrainErrors();
  auto shot = Print();
  EXPECT_EQ(states_.size(), 6U * 4U);                          // the other cells were still drawn
  EXPECT_EQ(shot->Pixel(300, 23 + 17), ::GetSysColor(COLOR_WINDOW));  // the failed one keeps its ground
  EXPECT_EQ(shot->Pixel(400, 23 + 17), RGB(204, 255, 204));
  EXPECT_EQ(DrainErrors(), std::vector<std::string>{"GetControllerDevice failed"});
}

TEST_F(GridPaintTest, ShrinkingTheRowsForgetsTheTextsOfRowsThatAreGone) {
  Print();
  ASSERT_TRUE(grid_->DrawnTexts().count({3, 0}));
  grid_->SetRowCount(2);
  EXPECT_FALSE(grid_->DrawnTexts().count({3, 0}));
  EXPECT_TRUE(grid_->DrawnTexts().count({1, 0}));
}

}  // namespace
}  // namespace morvane::win
