// setup.exe: the window over the real Windows functions.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "setup/win32/SetupApp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
  platform::Install(platform::win32::RealBackend());
  return morvane::win::RunSetup(::GetCommandLineA(), showCommand);
}
