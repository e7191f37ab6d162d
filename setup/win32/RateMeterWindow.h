// The rate meter window: measures the polling rate of one device from its Raw Input
// reports (TfrmRateMeter) and shows the rate, the rate the grid expects, the
// minimum, median and maximum interval, the number of reports and a plot of the
// intervals of the last 2,000 reports with the expected interval as a line.
// "Save CSV..." writes the kept reports to a file. Escape, Close or the caption's close
// box end it; it unregisters as it goes.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "setup/RateMeterF.h"
#include "setup/win32/GridAccessible.h"
#include "setup/win32/NativeControls.h"
#include "setup/win32/Window.h"

namespace morvane::win {

inline constexpr const char* kRateMeterClassName = "MorvaneRateMeter";

class RateMeterWindow : public Wnd {
 public:
  static constexpr UINT kRefreshMs = 50;  // 20 updates a second while the mouse moves

  // Opens the meter for `target`, owned by `owner`, and starts measuring.
  RateMeterWindow(HWND owner, TMeterTarget target);
  ~RateMeterWindow() override;

  bool IsOpen() const { return Hwnd() != nullptr && ::IsWindow(Hwnd()); }
  void Activate();
  const TfrmRateMeter& Logic() const { return logic_; }
  // A newer target of the measured device: caption and expectation follow it.
  void Retarget(TMeterTarget target);

  // Asked at every display tick for a newer target of the measured device (the main
  // window's list made again); nullopt when there is none.
  std::function<std::optional<TMeterTarget>()> NewerTarget;

 protected:
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int Scaled(int value) const { return ::MulDiv(value, dpi_, 96); }
  void Layout();
  void Paint(HDC dc, const RECT& client);
  void PaintPlot(HDC dc, const RECT& area);
  void OnTick();
  // Asks for a file and writes the kept reports to it as CSV; says so when it cannot.
  void SaveCsv();

  TfrmRateMeter logic_;
  int dpi_ = 96;
  UniqueFont font_;
  std::unique_ptr<Button> btnClose_;
  std::unique_ptr<Button> btnSave_;
  std::uint64_t shownCount_ = ~std::uint64_t{0};
  bool shownMoving_ = false;
  TextsAccessible* accessible_ = nullptr;  // made at the first WM_GETOBJECT
};

// The texts the last meter window drew (its caption first), kept after it closed, so
// that setup-sim.exe can write them to its state file.
const std::vector<std::string>& LastRateMeterTexts();

}  // namespace morvane::win
