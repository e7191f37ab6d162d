// The main window "USB Devices Rate Setup": its native controls with their texts,
// positions, hints and tab order, the owner-drawn device grid, the timer, and the
// window messages the logic listens to. The logic is connected through the
// controls' callbacks and the FormEvents below.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "setup/Controls.h"
#include "setup/win32/FocusKeeper.h"
#include "setup/win32/Grid.h"
#include "setup/win32/KeepBox.h"
#include "setup/win32/NativeControls.h"
#include "setup/win32/Window.h"

namespace morvane::win {

inline constexpr const char* kMainCaption = "USB Devices Rate Setup";
inline constexpr const char* kMainClassName = "MorvaneSetupWindow";
// The system-menu item that opens the rate meter (system-menu IDs are multiples of 16 below 0xF000).
inline constexpr UINT kSysMeasureRate = 0x0150;
inline constexpr const char* kMeasureRateMenuText = "Measure Polling Rate...";

struct FormEvents {
  std::function<void()> OnShow;
  std::function<void()> OnDestroy;
  std::function<void()> OnDeviceChange;  // any WM_DEVICECHANGE, whatever its event type
  // A USB device node went away (arrival false) or arrived, by its instance ID; before
  // OnDeviceChange for the same message.
  std::function<void(bool arrival, const std::string& instanceId)> OnDeviceEvent;
  // WM_DPICHANGED: the window is at the suggested rectangle, its font and controls
  // follow the new pixels per inch, and the grid has its design sizes again.
  std::function<void()> OnDpiChanged;
  std::function<bool()> CanMeasureRate;  // asked as the system menu opens: enables its meter item
  std::function<void()> OnMeasureRate;   // the system menu's meter item
  std::function<bool(WPARAM)> OnSysCommand;  // other system-menu items: true when handled
};

class MainWindow : public Wnd, public IForm {
 public:
  // Creates the window, hidden, and every control at the design positions scaled to
  // the screen's pixels per inch. With an `application` window, that window owns the
  // main window and takes its minimizing.
  explicit MainWindow(class ApplicationWindow* application = nullptr);
  ~MainWindow() override;

  FormEvents Events;

  // Runs OnShow, centres the window on the screen and shows it.
  void Show(int showCommand);
  // The controls by their names, for the logic.
  TSetupControls Controls();

  // IForm
  int ClientWidth() const override;
  void SetClientWidth(int width) override;
  int ClientHeight() const override;
  void SetClientHeight(int height) override;
  int PixelsPerInch() const override { return dpi_; }
  void Close() override;
  void* Handle() const override { return Hwnd(); }

  Panel& pnlHEAD() { return *pnlHEAD_; }
  Panel& pnlFOOT() { return *pnlFOOT_; }
  ComboBox& cbDevices() { return *cbDevices_; }
  Label& Label1() { return *Label1_; }
  Grid& dgDevices() { return *dgDevices_; }
  CheckBox& cbFilter() { return *cbFilter_; }
  ComboBox& cbRate() { return *cbRate_; }
  Label& Label2() { return *Label2_; }
  Button& btnInstall() { return *btnInstall_; }
  Button& btnApply() { return *btnApply_; }
  Button& btnCopyID() { return *btnCopyID_; }
  Button& btnClose() { return *btnClose_; }
  Timer& tmrDeviceChange() { return *tmrDeviceChange_; }
  Timer& tmrHelper() { return *tmrHelper_; }
  HWND Tooltips() const { return tooltips_; }
  FocusKeeper& Focus() { return *focus_; }

 protected:
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int Scaled(int value) const { return ::MulDiv(value, dpi_, 96); }
  void CreateControls();
  void AddSystemMenuItems();
  void AddHint(const Wnd& control, const char* text);
  void Layout();
  void SetClientSize(int width, int height);
  void UpdateHintAreas();
  void PlaceControls();
  void ApplyFont(HFONT font);
  void OnDpiChanged(int dpi, const RECT& suggested);

  ApplicationWindow* application_ = nullptr;
  int dpi_ = 96;
  UniqueFont font_;
  std::unique_ptr<Panel> pnlHEAD_;
  std::unique_ptr<ComboBox> cbDevices_;
  std::unique_ptr<Label> Label1_;
  std::unique_ptr<Grid> dgDevices_;
  std::unique_ptr<Panel> pnlFOOT_;
  std::unique_ptr<CheckBox> cbFilter_;
  std::unique_ptr<ComboBox> cbRate_;
  std::unique_ptr<Label> Label2_;
  std::unique_ptr<Button> btnInstall_;
  std::unique_ptr<Button> btnApply_;
  std::unique_ptr<Button> btnCopyID_;
  std::unique_ptr<Button> btnClose_;
  std::unique_ptr<Timer> tmrDeviceChange_;
  std::unique_ptr<Timer> tmrHelper_;
  KeepBox keepBox_;
  HWND tooltips_ = nullptr;  // owned by the main window: destroyed with it
  HDEVNOTIFY usbNotification_ = nullptr;  // the interface notifications of USB devices
  std::unique_ptr<FocusKeeper> focus_;
  std::map<int, RECT> design_;  // controls' design rectangles (left, top, width, height) by id
  std::vector<HWND> hinted_;    // controls with a hint
};

}  // namespace morvane::win
