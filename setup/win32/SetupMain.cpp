// setup.exe: the window over the real Windows functions.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "setup/win32/SetupApp.h"
#include "snapshot/Snapshot.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
  platform::Install(platform::win32::RealBackend());
  // "/snapshot <file>": the PC recorded into the file, without the window.
  std::string snapshotPath;
  if (morvane::SnapshotPathFromCommandLine(::GetCommandLineA(), snapshotPath)) {
    std::string error;
    const int code = morvane::WriteSnapshotCommand(snapshotPath, error);
    if (code != 0) ::MessageBoxA(nullptr, error.c_str(), "MORVANE Setup", MB_ICONERROR);
    return code;
  }
  return morvane::win::RunSetup(::GetCommandLineA(), showCommand);
}
