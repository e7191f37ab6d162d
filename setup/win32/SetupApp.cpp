#include "setup/win32/SetupApp.h"

#include <memory>
#include <string>

#include "platform/platform.h"

#include "setup/SetupF.h"
#include "setup/win32/ApplicationWindow.h"
#include "setup/win32/ErrorQueue.h"
#include "setup/win32/MessageLoop.h"

namespace morvane::win {
namespace {

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
  window.Events.OnShow = [&form] { form.FormShow(); };
  window.Events.OnDestroy = [&form] { form.FormDestroy(); };
  window.Events.OnDeviceChange = [&form] { form.WMDeviceChange(); };
  window.Events.OnDpiChanged = [&form] { form.FormDpiChanged(); };
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
  Guarded([&] { form.FormCreate(FirstCommandLineArgument(commandLine != nullptr ? commandLine : "")); });
  Guarded([&] { window.Show(showCommand); });
  const int exitCode = RunMessageLoop(window.Hwnd());
  window.Events = {};
  if (hooks.OnExit) hooks.OnExit(window);
  return exitCode;
}

}  // namespace morvane::win
