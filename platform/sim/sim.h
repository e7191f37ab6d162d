// The simulated machine: a whole small PC in memory that answers every call of the
// platform seam as Windows does, for the native tests and for setup-sim.exe.
//
//   auto machine = sim::Machine::FromJson(R"({ "devices": [ ... ] })");
//   platform::ScopedBackend scope(machine->Backend());
//   ... run the code under test ...
//   EXPECT_EQ(machine->LeakReport(), "");
//
// Call log format (Calls(), CallsTo()): `function` is the Win32 name, `args` the
// arguments in order, separated by ", ":
//   - integers in decimal, except flags, access masks, I/O control codes and
//     property/type codes' companions named *Flags/*Access/code, written 0x%X;
//   - strings in double quotes, null pointers as null, GUID pointers as {GUID};
//   - handles as h<decimal>, INVALID_HANDLE_VALUE as invalid;
//   - buffers and records as their size in bytes (records: as the cbSize they carry).
// The exact text for each function is documented in docs/sim-devices.md and
// docs/sim-system.md.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/core.h"
#include "platform/sim/model.h"
#include "platform/sim/raw_input.h"

namespace sim {

// A machine file that cannot be loaded. The message names the place in the file
// (a JSON pointer such as /devices/3/hub/connections/0/port) and the problem.
class MachineFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MessageBoxCall {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT type = 0;
};

struct ShellExecuteCall {
  std::string verb;        // "" for a null verb
  std::string file;
  std::string parameters;  // "" for null parameters
  bool directoryIsNull = true;
  INT show = 0;
};

class Machine {
 public:
  explicit Machine(MachineModel model = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Loading. Throws MachineFileError; a machine is either loaded whole or not at all.
  static std::unique_ptr<Machine> FromJson(const std::string& text);
  static std::unique_ptr<Machine> FromFile(const std::string& path);
  static MachineModel ParseModel(const std::string& text);
  // The built-in gaming PC (docs/machine-format.md describes it).
  static std::unique_ptr<Machine> Default();
  static const char* DefaultJson();

  // The services of this machine, to install with platform::ScopedBackend.
  platform::Backend Backend();

  // The model. Fields of existing elements may be changed between calls; devices are
  // added and removed only through AddDevice and RemoveDevice.
  MachineModel& Model();
  Device* FindDevice(const std::string& instanceId);  // case-insensitive, as the device manager
  Service* FindService(const std::string& name);
  File* FindFile(const std::string& path);
  void AddDevice(Device device);
  void RemoveDevice(const std::string& instanceId);
  DEVINST DevInstOf(const std::string& instanceId) const;  // 0 when unknown

  // Call log, fault injection, accounting.
  SimCore& Core();
  const std::vector<Call>& Calls() const;
  std::vector<Call> CallsTo(const std::string& function) const;
  std::size_t CountCalls(const std::string& function) const;
  void ClearCalls();
  void InjectFault(Fault fault);
  std::size_t OpenResourceCount() const;
  std::string LeakReport() const;  // empty when nothing is left open

  // Device-information sets: the number of elements (lookup sets grow as devices are
  // opened into them); 0 for an unknown handle.
  std::size_t SetSize(HDEVINFO set) const;

  // Clipboard: formats in the order they were set since the last EmptyClipboard,
  // and the bytes of one format.
  std::vector<UINT> ClipboardFormats() const;
  std::optional<std::vector<BYTE>> ClipboardData(UINT format) const;
  void SetClipboardText(const std::string& text);  // as another program would

  // Message boxes: every box shown, and the answer. The default answer is IDYES
  // for MB_YESNO boxes and IDOK otherwise; the handler runs inside MessageBoxA, so
  // it may deliver device changes and timer ticks as a nested message loop would.
  void SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler);
  const std::vector<MessageBoxCall>& MessageBoxes() const;

  const std::vector<ShellExecuteCall>& ShellExecutes() const;
  // While held, a program started with its process (ShellExecuteExA) has done its
  // work but still runs: waiting on it without a timeout ends it, a wait of 0 ms times
  // out and its exit code reads STILL_ACTIVE, until EndProcesses() ends every one.
  void HoldProcesses(bool hold);
  void EndProcesses();

  // Effects. Restarting removes and re-adds the device (and everything below it),
  // applies the filter driver's effect and broadcasts device changes to the handler.
  void SetDeviceChangeHandler(std::function<void()> handler);
  // Every device that goes away (arrival false) or arrives, by instance ID, as the
  // interface notifications of a USB device tell it; called before the broadcast.
  void SetDeviceEventHandler(std::function<void(bool arrival, const std::string& instanceId)> handler);
  bool RestartDevice(const std::string& instanceId);
  std::size_t RestartCount(const std::string& instanceId) const;

  // Memory-list commands received by NtSetSystemInformation, and token state.
  const std::vector<ULONG>& MemoryListCommands() const;
  bool IsPrivilegeEnabled(const std::string& name) const;

  // Raw Input from the mice and the performance counter: players, the registered
  // window's messages, the simulated counter (platform/sim/raw_input.h).
  RawInputServices& RawInput();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
