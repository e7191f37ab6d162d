// The user services of setup-sim.exe: message boxes and the clipboard are the real
// ones, so questions are real windows and "Copy IDs" reaches the desktop's
// clipboard; ShellExecuteA goes to the simulated machine, so "TALON64.EXE U <id>"
// restarts the simulated device and the INF installation creates its service.
#pragma once

#include "platform/platform.h"

namespace morvane::win {

class HybridUser : public platform::IUser {
 public:
  // `real` and `simulated` user services; `simulatedSystem` receives the real last
  // error of a failed clipboard call, since the program reads the last error from
  // the simulated system.
  HybridUser(platform::IUser& real, platform::IUser& simulated, platform::ISystem& simulatedSystem)
      : real_(real), simulated_(simulated), system_(simulatedSystem) {}

  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override;
  BOOL OpenClipboard(HWND owner) override;
  BOOL EmptyClipboard() override;
  HANDLE SetClipboardData(UINT format, HANDLE data) override;
  BOOL CloseClipboard() override;
  HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                          INT show) override;
  // The simulated machine's programs and their processes.
  BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) override;
  // The simulated machine's settings (a high-contrast theme), so the window draws as
  // on the PC the machine describes.
  BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) override;

 private:
  template <typename R>
  R PassLastError(R result);

  platform::IUser& real_;
  platform::IUser& simulated_;
  platform::ISystem& system_;
};

}  // namespace morvane::win
