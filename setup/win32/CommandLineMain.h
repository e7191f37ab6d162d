// The command line's side of setup.exe and setup-sim.exe: runs a parsed command and
// puts its output where the caller can read it, as a GUI-subsystem program can.
#pragma once

#include <string>

#include "setup/cli/Commands.h"

namespace morvane::win {

// The output goes to the file named by /out when there is one; otherwise to the
// standard output the program inherited (a pipe or file of the tool that started
// it), else to the console of the parent process. Returns the command's exit code.
int RunCommandLine(const cli::ParseResult& parsed, cli::CommandHost& host);

// Writes the text to the file named by /out or to the caller's console as above.
void WriteCommandOutput(const std::string& text, const std::string& outFile);

// /snapshot: the current backend's PC recorded into `file`. A failure is shown in an
// error box as well as in the output, and ends with ExitWriteRefused.
int SnapshotCommand(const std::string& file, std::string& output);

// Counts the WM_DEVICECHANGE broadcasts the system sends to top-level windows, with
// a hidden window of its own, and pumps its messages while it waits.
class DeviceChangeWindow : public cli::IDeviceChangeWatch {
 public:
  DeviceChangeWindow();
  ~DeviceChangeWindow() override;
  DeviceChangeWindow(const DeviceChangeWindow&) = delete;
  DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

  unsigned Changes() override;
  void Wait(unsigned milliseconds) override;
  unsigned long long Now() override;

  void Notify() { ++changes_; }

 private:
  void* hwnd_ = nullptr;
  unsigned changes_ = 0;
  unsigned long lastTicks_ = 0;
  unsigned long long elapsed_ = 0;
};

}  // namespace morvane::win
