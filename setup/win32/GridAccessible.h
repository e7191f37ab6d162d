// The device grid as assistive technology sees it (Microsoft Active Accessibility):
// a table whose children are its rows, the title row first, and whose rows' children
// are their cells, each named by its column's title with the cell's text as its value.
// The grid answers WM_GETOBJECT with CreateGridAccessible's object and raises the
// focus, selection and reorder events itself (Grid.cpp). A window that draws lines of
// text itself (the rate meter) offers them as static texts (CreateTextsAccessible).
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <functional>
#include <string>
#include <vector>

namespace morvane::win {

// What the accessible objects read from the grid. Cell positions are grid client
// coordinates; row 0 is the title row.
class IAccessibleGrid {
 public:
  virtual ~IAccessibleGrid() = default;
  virtual HWND GridWindow() const = 0;
  virtual int RowCount() const = 0;
  virtual int ColCount() const = 0;
  virtual std::string CellText(int col, int row) const = 0;
  virtual RECT CellRect(int col, int row) const = 0;
  virtual int Row() const = 0;
  virtual int Col() const = 0;
  virtual void SetCurrentCell(int col, int row) = 0;
};

// The root object of the grid's client area, with one reference owned by the caller.
// Detach() must be called before the grid goes: a screen reader may hold the
// objects longer, and they then answer CO_E_OBJNOTCONNECTED.
class GridAccessible;
GridAccessible* CreateGridAccessible(IAccessibleGrid& grid);
IAccessible* AsAccessible(GridAccessible* root);
void DetachGridAccessible(GridAccessible* root);  // also drops the caller's reference

// The client area of `window` as a list of static texts, the lines `lines` gives when
// asked; the same rules of ownership and Detach as above.
class TextsAccessible;
TextsAccessible* CreateTextsAccessible(HWND window, std::function<std::vector<std::string>()> lines);
IAccessible* AsAccessible(TextsAccessible* root);
void DetachTextsAccessible(TextsAccessible* root);

}  // namespace morvane::win
