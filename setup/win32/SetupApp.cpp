#include "setup/win32/SetupApp.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "devices/AsciiText.h"
#include "platform/platform.h"

#include "setup/SetupF.h"
#include "setup/win32/ApplicationWindow.h"
#include "setup/win32/ErrorQueue.h"
#include "setup/win32/MenuKeys.h"
#include "setup/win32/MessageLoop.h"
#include "setup/win32/RateMeterWindow.h"
#include "setup/win32/WayBackMenu.h"

namespace morvane::win {
namespace {

// The selected device can be measured when it has a mouse among its children.
bool CanMeasureSelected(TfrmSetup& form) {
  return form.DeviceCount > 0 && form.GetSelectedIndex() >= 0 && form.GetSelectedIndex() < form.DeviceCount &&
         form.GetSelectedDevice().HasMouseChild();
}

// The newer target of the meter's device once the main window has made its list
// again (and no refresh waits behind a running action); the list's generation tells.
std::optional<TMeterTarget> NewerTargetFromList(TfrmSetup& form, const TfrmRateMeter& logic,
                                                std::uint64_t& seenGeneration) {
  if (!form.DeviceList || form.IsRefreshPending() || form.DeviceList->Generation() == seenGeneration) {
    return std::nullopt;
  }
  seenGeneration = form.DeviceList->Generation();
  try {
    return RefreshedTarget(*form.DeviceList, logic.Target());
  } catch (...) {
    return std::nullopt;  // a device that cannot be asked now: the meter keeps what it knows
  }
}

// One rate meter at a time, belonging to the device that produces the measured
// reports: opening it again for a row of the same device brings it forward with that
// row's name and the expectation read now; for another device replaces it.
void OpenRateMeter(MainWindow& window, TfrmSetup& form, std::unique_ptr<RateMeterWindow>& meter) {
  if (!CanMeasureSelected(form)) {
    ::MessageBeep(MB_OK);
    return;
  }
  TMeterTarget target = MeterTargetFor(form.GetSelectedDevice());
  if (meter && meter->IsOpen() && meter->Logic().Measures(target)) {
    meter->Retarget(std::move(target));
    meter->Activate();
    return;
  }
  meter.reset();
  meter = std::make_unique<RateMeterWindow>(window.Hwnd(), std::move(target));
  RateMeterWindow* opened = meter.get();
  meter->NewerTarget = [&form, opened, seen = form.DeviceList ? form.DeviceList->Generation() : 0]() mutable {
    return NewerTargetFromList(form, opened->Logic(), seen);
  };
}

// The meter offered after a rate change and restart: for the row of that device.
void OpenRateMeterFor(MainWindow& window, TfrmSetup& form, std::unique_ptr<RateMeterWindow>& meter,
                      const std::string& instanceId) {
  if (!form.DeviceList) return;
  for (int i = 0; i < form.DeviceCount; ++i) {
    if (EqualsIgnoringAsciiCase(form.DeviceList->GetDevice(i).InstanceId, instanceId)) {
      form.SetSelectedIndex(i);
      if (form.GetSelectedIndex() == i) OpenRateMeter(window, form, meter);
      return;
    }
  }
  ::MessageBeep(MB_OK);  // not in the list shown (another category)
}

void ConnectRateMeter(MainWindow& window, TfrmSetup& form, std::unique_ptr<RateMeterWindow>& meter) {
  form.OnMeasureDevice = [&window, &form, &meter](const std::string& id) { OpenRateMeterFor(window, form, meter, id); };
  window.Events.CanMeasureRate = [&form] { return CanMeasureSelected(form); };
  window.Events.OnMeasureRate = [&window, &form, &meter] { OpenRateMeter(window, form, meter); };
  window.dgDevices().OnDoubleClick = [&window, &form, &meter](int, int) { OpenRateMeter(window, form, meter); };
}

void Connect(MainWindow& window, TfrmSetup& form) {
  window.cbDevices().OnClick = [&form] { form.cbDevicesClick(); };
  window.dgDevices().OnDrawCell = [&form](int col, int row, const TRect& rect, TGridDrawState state,
                                          ICanvas& canvas) { form.dgDevicesDrawCell(col, row, rect, state, canvas); };
  window.dgDevices().OnSelectCell = [&form](int col, int row) {
    bool canSelect = true;
    form.dgDevicesSelectCell(col, row, canSelect);
    return canSelect;
  };
  window.cbFilter().OnClick = [&form] { form.cbFilterClick(); };
  window.cbRate().OnClick = [&form] { form.cbRateClick(); };
  window.btnInstall().OnClick = [&form] { form.btnInstallClick(); };
  window.btnApply().OnClick = [&form] { form.btnApplyClick(); };
  window.btnCopyID().OnClick = [&form] { form.btnCopyIDClick(); };
  window.btnClose().OnClick = [&form] { form.btnCloseClick(); };
  window.tmrDeviceChange().OnTimer = [&form] { form.tmrDeviceChangeTimer(); };
  window.tmrHelper().OnTimer = [&form] { form.tmrHelperTimer(); };
  window.Events.OnShow = [&form] { form.FormShow(); };
  window.Events.OnDestroy = [&form] { form.FormDestroy(); };
  window.Events.OnDeviceChange = [&form] { form.WMDeviceChange(); };
  window.Events.OnDeviceEvent = [&form](bool arrival, const std::string& id) { form.WMDeviceEvent(arrival, id); };
  window.Events.OnDpiChanged = [&form] { form.FormDpiChanged(); };
  AddWayBackMenuItems(window.Hwnd());
  window.Events.OnSysCommand = [&window, &form](WPARAM command) {
    bool handled = false;
    Guarded([&] { handled = HandleWayBackCommand(window.Hwnd(), form, command); });
    return handled;
  };
}

}  // namespace

int RunSetup(const char* commandLine, int showCommand, const SetupHooks& hooks) {
  // Without its windows the program can do nothing: it says why and ends.
  std::unique_ptr<ApplicationWindow> applicationWindow;
  std::unique_ptr<MainWindow> mainWindow;
  try {
    applicationWindow = std::make_unique<ApplicationWindow>(kApplicationTitle);
    mainWindow = std::make_unique<MainWindow>(applicationWindow.get());
  } catch (...) {
    const std::string message = CurrentExceptionMessage();
    mainWindow.reset();
    applicationWindow.reset();
    platform::User().MessageBoxA(nullptr, message.c_str(), kApplicationTitle, MB_ICONERROR);
    return kExitWithoutWindow;
  }
  ApplicationWindow& application = *applicationWindow;
  MainWindow& window = *mainWindow;
  application.SetMainWindow(window.Hwnd());
  if (hooks.OnWindowCreated) hooks.OnWindowCreated(window);

  TfrmSetup form(window.Controls());
  Connect(window, form);
  std::unique_ptr<RateMeterWindow> meter;
  ConnectRateMeter(window, form, meter);
  Guarded([&] { form.FormCreate(FirstCommandLineArgument(commandLine != nullptr ? commandLine : "")); });
  Guarded([&] { window.Show(showCommand); });
  ShowMenuKeys(::GetSystemMenu(window.Hwnd(), FALSE));
  const int exitCode = RunMessageLoop(window.Hwnd());
  window.Events = {};
  window.dgDevices().OnDoubleClick = nullptr;
  form.OnMeasureDevice = nullptr;
  meter.reset();
  if (hooks.OnExit) hooks.OnExit(window);
  return exitCode;
}

}  // namespace morvane::win
