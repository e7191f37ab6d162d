// Runs the commands of the command line over the current platform: the rows of a
// category, the window's filter, rate and restart writes for matched devices, and
// the window's service installation. Nothing here asks a question: what the window
// would ask is printed, and the command refuses unless /yes accepts it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "setup/cli/CommandLine.h"

namespace morvane::cli {

// A USB device that went away (arrival false) or arrived, by its instance ID.
struct DeviceEvent {
  bool arrival = false;
  std::string instanceId;
};

// What lets time pass while a restarted device or the installed service is awaited,
// and counts the device changes the system announced meanwhile.
class IDeviceChangeWatch {
 public:
  virtual ~IDeviceChangeWatch() = default;
  // Device changes seen since the watch was made.
  virtual unsigned Changes() = 0;
  // The USB devices that went away and arrived since the watch was made, in order.
  virtual const std::vector<DeviceEvent>& Events() = 0;
  // Lets up to `milliseconds` pass, collecting device changes.
  virtual void Wait(unsigned milliseconds) = 0;
  // A monotonic clock in milliseconds.
  virtual unsigned long long Now() = 0;
};

// A watch for a machine on which nothing happens while the program waits (the
// simulated one: its restarts are over before the request returns). Time passes
// only on its own clock, and the machine reports its changes through Notify.
class VirtualDeviceChangeWatch : public IDeviceChangeWatch {
 public:
  void Notify() { ++changes_; }
  void NotifyEvent(bool arrival, const std::string& instanceId) { events_.push_back({arrival, instanceId}); }
  unsigned Changes() override { return changes_; }
  const std::vector<DeviceEvent>& Events() override { return events_; }
  void Wait(unsigned milliseconds) override { now_ += milliseconds; }
  unsigned long long Now() override { return now_; }

 private:
  unsigned changes_ = 0;
  std::vector<DeviceEvent> events_;
  unsigned long long now_ = 0;
};

// What /measure needs of the program: a window for Raw Input, and time passing while
// the reports arrive.
class IInputWindow {
 public:
  virtual ~IInputWindow() = default;
  // The window Raw Input delivers the reports to; null when it could not be made
  // (Error() says why).
  virtual HWND Window() = 0;
  virtual std::string Error() = 0;
  // Lets up to `milliseconds` pass; each WM_INPUT that arrives meanwhile is handed
  // to `onInput` (its lParam).
  virtual void Wait(unsigned milliseconds, const std::function<void(HRAWINPUT)>& onInput) = 0;
};

struct CommandHost {
  IDeviceChangeWatch* watch = nullptr;  // required for /set /restart and /install-service
  // Not empty: the watch cannot see devices go and come (the program could not make
  // what it needs for that), and this says why; /restart refuses then.
  std::string watchError;
  // The recorder behind /snapshot: writes its file, appends what it reports to
  // `output` and returns an exit code. Unset: /snapshot is not available.
  std::function<int(const std::string& file, std::string& output)> snapshot;
  // For /measure; null: /measure is not available in this program.
  IInputWindow* input = nullptr;
};

struct CommandResult {
  int exitCode = ExitDone;
  std::string output;  // lines ending in CR LF
};

CommandResult RunCommand(const Arguments& arguments, CommandHost& host);

// The parse's own error as a result (ExitBadCommandLine), or the command's.
CommandResult RunParsed(const ParseResult& parsed, CommandHost& host);

// Milliseconds between two reads of the reports while /measure runs.
inline constexpr unsigned MeasureStep = 50;

// Milliseconds between two looks at the awaited device or service.
inline constexpr unsigned PollInterval = 250;
// Quiet time after the last device change before the device is looked for.
inline constexpr unsigned SettleInterval = 1000;
// The least time TALON64.EXE is given to end, whatever /wait says.
inline constexpr unsigned HelperWaitSeconds = 60;

}  // namespace morvane::cli
