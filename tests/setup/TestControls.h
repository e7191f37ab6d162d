// In-memory controls for the window's logic, with the semantics of setup/Controls.h:
// a check box runs its click handler when its state changes, a drop-down list runs
// nothing when the program selects an item, the grid asks its select-cell handler
// before a cell becomes current, the timer records its interval and state, and the
// canvas records what was drawn.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "setup/Controls.h"
#include "setup/SetupF.h"

namespace morvane::test {

template <typename Base>
class ControlImpl : public Base {
 public:
  ControlImpl(int left = 0, int width = 0, int height = 0) : left_(left), width_(width), height_(height) {}
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  int Left() const override { return left_; }
  int Width() const override { return width_; }
  int Height() const override { return height_; }

 private:
  bool enabled_ = true;
  int left_, width_, height_;
};

using TestControl = ControlImpl<IControl>;
using TestButton = ControlImpl<IButton>;

class TestCheckBox : public ControlImpl<ICheckBox> {
 public:
  bool Checked() const override { return checked_; }
  void SetChecked(bool checked) override {
    if (checked == checked_) return;
    checked_ = checked;
    if (onClick) onClick();
  }
  // What a user's click does.
  void Click() { SetChecked(!checked_); }
  std::function<void()> onClick;

 private:
  bool checked_ = false;
};

class TestComboBox : public ControlImpl<IComboBox> {
 public:
  void Clear() override {
    items_.clear();
    index_ = -1;
  }
  void AddItem(const std::string& text) override { items_.push_back(text); }
  int ItemCount() const override { return static_cast<int>(items_.size()); }
  std::string Item(int index) const override { return items_.at(static_cast<std::size_t>(index)); }
  int ItemIndex() const override { return index_; }
  void SetItemIndex(int index) override { index_ = (index >= 0 && index < ItemCount()) ? index : -1; }
  const std::vector<std::string>& Items() const { return items_; }
  // What a user's pick does.
  void Pick(int index) {
    SetItemIndex(index);
    if (onClick) onClick();
  }
  std::function<void()> onClick;

 private:
  std::vector<std::string> items_;
  int index_ = -1;
};

class TestTimer : public ITimer {
 public:
  bool Enabled() const override { return enabled_; }
  // As the window's timer: switching on a running timer changes nothing, a new
  // interval restarts a running one.
  void SetEnabled(bool enabled) override {
    if (enabled && !enabled_) ++starts;
    enabled_ = enabled;
  }
  unsigned Interval() const override { return interval_; }
  void SetInterval(unsigned milliseconds) override {
    interval_ = milliseconds;
    if (enabled_) ++starts;
  }
  int starts = 0;  // fresh intervals started

 private:
  bool enabled_ = false;
  unsigned interval_ = 1000;
};

struct FillCall {
  TRect rect;
  TColor color;
};
struct TextCall {
  int x, y;
  std::string text;
};

class TestCanvas : public ICanvas {
 public:
  void FillRect(const TRect& rect, TColor color) override { fills.push_back({rect, color}); }
  void TextOut(int x, int y, const std::string& text, const TRect&) override { texts.push_back({x, y, text}); }
  std::vector<FillCall> fills;
  std::vector<TextCall> texts;
};

class TestForm : public IForm {
 public:
  int ClientWidth() const override { return clientWidth; }
  void SetClientWidth(int width) override { clientWidth = width; }
  int ClientHeight() const override { return clientHeight; }
  void SetClientHeight(int height) override { clientHeight = height; }
  int PixelsPerInch() const override { return pixelsPerInch; }
  void Close() override { closed = true; }
  void* Handle() const override { return nullptr; }
  int clientWidth = 960, clientHeight = 360, pixelsPerInch = 96;
  bool closed = false;
};

// The grid fills the form's width, as it does between the docked panels.
class TestGrid : public ControlImpl<IGrid> {
 public:
  explicit TestGrid(const TestForm& form) : form_(form) {}
  int Width() const override { return form_.clientWidth; }
  int ColCount() const override { return 6; }
  int RowCount() const override { return rows_; }
  void SetRowCount(int rows) override {
    rows_ = rows;
    if (row_ >= rows_) row_ = rows_ - 1;
  }
  int Row() const override { return row_; }
  int Col() const override { return col_; }
  void SetCurrentCell(int col, int row) override {
    bool canSelect = true;
    if (onSelectCell) onSelectCell(col, row, canSelect);
    if (!canSelect) return;
    col_ = col;
    row_ = row;
  }
  int ColWidth(int col) const override { return widths_.at(static_cast<std::size_t>(col)); }
  void SetColWidth(int col, int width) override { widths_.at(static_cast<std::size_t>(col)) = width; }
  int DefaultRowHeight() const override { return rowHeight_; }
  void SetDefaultRowHeight(int height) override { rowHeight_ = height; }
  int GridLineWidth() const override { return 1; }
  void Invalidate() override { ++invalidations; }

  std::function<void(int, int, bool&)> onSelectCell;
  int invalidations = 0;

 private:
  const TestForm& form_;
  int rows_ = 2, row_ = 1, col_ = 0, rowHeight_ = 21;
  std::vector<int> widths_{228, 34, 40, 50, 349, 228};
};

// The question after a restart: answers in order, then no answer (the countdown
// runs out); each question is recorded.
class TestKeepBox : public IKeepBox {
 public:
  bool AskKeep(void*, const std::string& text, unsigned seconds) override {
    asked.push_back(text);
    secondsAsked = seconds;
    if (answers.empty()) return false;
    const bool keep = answers.front();
    answers.erase(answers.begin());
    return keep;
  }
  std::vector<bool> answers;
  std::vector<std::string> asked;
  unsigned secondsAsked = 0;
};

// The main window's controls at design size, wired to one TfrmSetup.
struct TestWindow {
  TestForm form;
  TestControl pnlFOOT{0, 960, 38};
  TestComboBox cbDevices;
  TestGrid dgDevices{form};
  TestCheckBox cbFilter;
  TestComboBox cbRate;
  TestButton btnInstall{294, 90, 24}, btnApply{400, 90, 24}, btnCopyID{506, 90, 24}, btnClose{612, 90, 24};
  TestTimer tmrDeviceChange;
  TestTimer tmrHelper;
  TestKeepBox keepBox;
  TfrmSetup frm{Controls()};

  TestWindow() {
    cbDevices.onClick = [this] { frm.cbDevicesClick(); };
    cbFilter.onClick = [this] { frm.cbFilterClick(); };
    cbRate.onClick = [this] { frm.cbRateClick(); };
    dgDevices.onSelectCell = [this](int col, int row, bool& canSelect) { frm.dgDevicesSelectCell(col, row, canSelect); };
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  TSetupControls Controls() {
    TSetupControls c;
    c.Form = &form;
    c.pnlFOOT = &pnlFOOT;
    c.cbDevices = &cbDevices;
    c.dgDevices = &dgDevices;
    c.cbFilter = &cbFilter;
    c.cbRate = &cbRate;
    c.btnInstall = &btnInstall;
    c.btnApply = &btnApply;
    c.btnCopyID = &btnCopyID;
    c.btnClose = &btnClose;
    c.tmrDeviceChange = &tmrDeviceChange;
    c.tmrHelper = &tmrHelper;
    c.keepBox = &keepBox;
    return c;
  }

  // The timer's interval ran out: the loop delivers its tick if it is on.
  void FireTimer() {
    if (tmrDeviceChange.Enabled()) frm.tmrDeviceChangeTimer();
  }
  void FireHelperTimer() {
    if (tmrHelper.Enabled()) frm.tmrHelperTimer();
  }
  // Selects a grid row as a user's click does.
  void ClickRow(int row) { dgDevices.SetCurrentCell(dgDevices.Col(), row); }
  bool DeviceControlsEnabled() const {
    return dgDevices.Enabled() && cbFilter.Enabled() && cbRate.Enabled() && btnApply.Enabled() && btnCopyID.Enabled();
  }
  bool DeviceControlsDisabled() const {
    return !dgDevices.Enabled() && !cbFilter.Enabled() && !cbRate.Enabled() && !btnApply.Enabled() &&
           !btnCopyID.Enabled();
  }
};

}  // namespace morvane::test
