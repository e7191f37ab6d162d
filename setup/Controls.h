// The small interface of controls that the window's logic (TfrmSetup) is written
// against. setup/win32/ implements it with native controls and our own grid;
// the tests implement it in memory. Semantics follow the classic form toolkits the
// window's behaviour was designed on:
//   - changing a check box from the program runs its click handler;
//   - selecting a drop-down item from the program runs nothing;
//   - making a grid cell current from the program asks the select-cell handler
//     first, exactly as a user's click does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace morvane {

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};

// 0x00BBGGRR, as a Windows COLORREF.
using TColor = std::uint32_t;
constexpr TColor RGBColor(int r, int g, int b) {
  return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}

class IControl {
 public:
  virtual ~IControl() = default;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Position within the parent, in pixels.
  virtual int Left() const = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
};

class ICheckBox : public IControl {
 public:
  virtual bool Checked() const = 0;
  // Runs the box's click handler when the state changes, as a user's click does.
  virtual void SetChecked(bool checked) = 0;
};

class IComboBox : public IControl {
 public:
  virtual void Clear() = 0;
  virtual void AddItem(const std::string& text) = 0;
  virtual int ItemCount() const = 0;
  virtual std::string Item(int index) const = 0;
  virtual int ItemIndex() const = 0;  // -1 when nothing is selected
  // Selects from the program; the click handler does not run.
  virtual void SetItemIndex(int index) = 0;
};

class IButton : public IControl {};

class ITimer {
 public:
  virtual ~ITimer() = default;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;  // switching on starts a fresh interval
  virtual unsigned Interval() const = 0;
  virtual void SetInterval(unsigned milliseconds) = 0;
};

// Drawing surface handed to the draw-cell handler for one cell.
class ICanvas {
 public:
  virtual ~ICanvas() = default;
  virtual void FillRect(const TRect& rect, TColor color) = 0;
  // Text in the font colour the grid chose for the cell's state, clipped to `clip`.
  virtual void TextOut(int x, int y, const std::string& text, const TRect& clip) = 0;
};

struct TGridDrawState {
  bool Selected = false;
  bool Focused = false;
  bool Fixed = false;
};

class IGrid : public IControl {
 public:
  virtual int ColCount() const = 0;
  virtual int RowCount() const = 0;
  virtual void SetRowCount(int rows) = 0;  // keeps the current row, or moves it to the last row
  virtual int Row() const = 0;             // current cell
  virtual int Col() const = 0;
  // Makes (col, row) current if the select-cell handler allows it.
  virtual void SetCurrentCell(int col, int row) = 0;
  virtual int ColWidth(int col) const = 0;
  virtual void SetColWidth(int col, int width) = 0;
  virtual int DefaultRowHeight() const = 0;
  virtual void SetDefaultRowHeight(int height) = 0;
  virtual int GridLineWidth() const = 0;
  virtual void Invalidate() = 0;  // repaint
};

class IForm {
 public:
  virtual ~IForm() = default;
  virtual int ClientWidth() const = 0;
  virtual void SetClientWidth(int width) = 0;
  virtual int ClientHeight() const = 0;
  virtual void SetClientHeight(int height) = 0;
  virtual int PixelsPerInch() const = 0;
  virtual void Close() = 0;
  virtual void* Handle() const = 0;  // the HWND, owner of message boxes; null in tests
};

// The question after a restart: "Keep these settings?" with a countdown. True when
// the user keeps them; false for "Revert", and when the countdown ran out.
class IKeepBox {
 public:
  virtual ~IKeepBox() = default;
  virtual bool AskKeep(void* owner, const std::string& text, unsigned seconds) = 0;
};

// The controls of the main window, by their names.
struct TSetupControls {
  IForm* Form = nullptr;
  IControl* pnlFOOT = nullptr;
  IComboBox* cbDevices = nullptr;
  IGrid* dgDevices = nullptr;
  ICheckBox* cbFilter = nullptr;
  IComboBox* cbRate = nullptr;
  IButton* btnInstall = nullptr;
  IButton* btnApply = nullptr;
  IButton* btnCopyID = nullptr;
  IButton* btnClose = nullptr;
  ITimer* tmrDeviceChange = nullptr;
  // Watches the helper program started for a restart, so that its end is acted on at
  // once. Null: the helper's end is read only when the restart wait runs out.
  ITimer* tmrHelper = nullptr;
  // Null: nothing asks after a restart, and the settings are kept.
  IKeepBox* keepBox = nullptr;
};

}  // namespace morvane
