// setup.exe: the window over the real Windows functions.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "setup/cli/CommandLine.h"
#include "setup/win32/CommandLineMain.h"
#include "setup/win32/SetupApp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
  platform::Install(platform::win32::RealBackend());
  const morvane::cli::ParseResult parsed = morvane::cli::ParseCommandLine(::GetCommandLineA());
  if (parsed.isCommand) {
    morvane::win::DeviceChangeWindow watch;
    morvane::cli::CommandHost host;
    host.watch = &watch;
    host.watchError = watch.Error();
    host.snapshot = morvane::win::SnapshotCommand;
    morvane::win::InputWindow input;
    host.input = &input;
    return morvane::win::RunCommandLine(parsed, host);
  }
  return morvane::win::RunSetup(::GetCommandLineA(), showCommand);
}
