// The command line's side of setup.exe and setup-sim.exe: runs a parsed command and
// puts its output where the caller can read it, as a GUI-subsystem program can.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "setup/cli/Commands.h"

namespace morvane::win {

// The output goes to the file named by /out when there is one; otherwise to the
// standard output the program inherited (a pipe or file of the tool that started
// it), else to the console of the parent process. Returns the command's exit code;
// ExitOutputNotWritten when /out cannot be created (the command is not run then) or
// written, with a line on the standard error and the output on the standard output.
int RunCommandLine(const cli::ParseResult& parsed, cli::CommandHost& host);

// Writes to the file named by /out, or to the caller's standard output or console
// as above when there is none or it cannot be written; false in that last case.
bool WriteCommandOutput(const std::string& text, const std::string& outFile);

// /snapshot: the current backend's PC recorded into `file`. A failure is said in the
// output (never in a box: nobody may be there to close it) and ends with
// ExitWriteRefused.
int SnapshotCommand(const std::string& file, std::string& output);

// Counts the WM_DEVICECHANGE broadcasts the system sends to top-level windows, with
// a hidden window of its own, collects the removals and arrivals of USB devices
// (their device-interface notifications), and pumps its messages while it waits.
class DeviceChangeWindow : public cli::IDeviceChangeWatch {
 public:
  DeviceChangeWindow();
  ~DeviceChangeWindow() override;
  DeviceChangeWindow(const DeviceChangeWindow&) = delete;
  DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

  // Empty when the window and its notifications are there; else why not.
  const std::string& Error() const { return error_; }

  unsigned Changes() override;
  const std::vector<cli::DeviceEvent>& Events() override;
  void Wait(unsigned milliseconds) override;
  unsigned long long Now() override;

  void Notify() { ++changes_; }
  void NotifyEvent(bool arrival, const std::string& instanceId) { events_.push_back({arrival, instanceId}); }

 private:
  void* hwnd_ = nullptr;
  void* notification_ = nullptr;
  std::string error_;
  std::vector<cli::DeviceEvent> events_;
  unsigned changes_ = 0;
  unsigned long lastTicks_ = 0;
  unsigned long long elapsed_ = 0;
};

// /measure's window: a hidden top-level window of its own, made when first asked for,
// to which Raw Input delivers the mice's reports; it pumps its messages while the
// command waits, handing each WM_INPUT to the meter.
class InputWindow : public cli::IInputWindow {
 public:
  InputWindow() = default;
  ~InputWindow() override;
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;

  HWND Window() override;
  std::string Error() override { return error_; }
  void Wait(unsigned milliseconds, const std::function<void(HRAWINPUT)>& onInput) override;

  // The window procedure's way to the meter while Wait runs.
  const std::function<void(HRAWINPUT)>* Receiver() const { return receiver_; }

 private:
  HWND hwnd_ = nullptr;
  bool tried_ = false;
  std::string error_;
  const std::function<void(HRAWINPUT)>* receiver_ = nullptr;
};

}  // namespace morvane::win
