// The program: the main window with the window logic (TfrmSetup) connected to its
// controls, run until the window closes. setup.exe and setup-sim.exe differ only in
// the backend they install before and in what they do around the run.
#pragma once

#include <functional>

#include "setup/win32/MainWindow.h"

namespace morvane::win {

struct SetupHooks {
  // The window exists, its logic not yet (FormCreate has not run).
  std::function<void(MainWindow&)> OnWindowCreated;
  // The message loop has ended; the window is destroyed, its controls' objects
  // still exist.
  std::function<void(MainWindow&)> OnExit;
};

// The exit code when the windows cannot be created (after an error box saying why).
inline constexpr int kExitWithoutWindow = 1;

// Creates the window, runs FormCreate with the first argument of `commandLine`,
// shows the window and runs the message loop. Returns the exit code of WM_QUIT.
int RunSetup(const char* commandLine, int showCommand, const SetupHooks& hooks = {});

}  // namespace morvane::win
