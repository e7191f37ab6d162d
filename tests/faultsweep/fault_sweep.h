// The fault sweep: every action of the window on the built-in PC, and every command
// of the helper program, is run once on a clean machine to take its call log; then,
// for every call of that log (function f, its k-th call within the action), the
// action runs again on a fresh machine with exactly that call failing once, for each
// error the call can return on Windows (ErrorsByFunction). After each faulted run:
//
//   - nothing escapes but the program's own errors (std::exception, which the message
//     loop shows in its error box, or the helper's exit code and message);
//   - nothing is left open once the window or the command has finished, except the
//     one handle whose faulted close did not close it;
//   - no device lost or reordered a lower filter; only the action's own device may
//     have gained or lost the "morvane" entry, and only it may have a new override;
//   - the filter box, the rate box and the grid's "Filter?" and "Rate" cells show
//     what the devices hold, read again without faults, or the neutral answer of the
//     read that failed (filter off, no override, speed not determined); a cell whose
//     drawing raised, or a rate box without a choice, only with an error shown;
//   - when the action's effect did not happen, an error was shown (an error box or
//     a handler's exception for the window, a non-zero exit code with a message for
//     the helper), and the helper never reports success for a failure.
//
// The actions that end in a rebuild of the list the window opened with share their
// list build: a call failed at the same place by an earlier one of them is counted,
// not run again (Sweep). The figures (actions, calls failed, runs, outcomes checked)
// are printed and recorded as test properties.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceList.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace faultsweep {

// ---- Errors per function ----

// Error codes the platform headers of this build do not name.
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorDiscarded = 157;
constexpr DWORD kErrorNotLocked = 158;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorMrMidNotFound = 317;
constexpr DWORD kErrorKeyDeleted = 1018;
constexpr DWORD kErrorNoAssociation = 1155;
constexpr DWORD kErrorCancelled = 1223;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr DWORD kErrorInWow64 = 0xE0000235;
constexpr DWORD kErrorGeneralSyntax = 0xE0000003;

// What each function can really fail with. The CM_ functions return a CONFIGRET: the
// simulated machine hands back an injected error below 0x40 as the CONFIGRET itself,
// so the codes listed for them are CR_ values. A function not listed fails with
// ERROR_GEN_FAILURE and ERROR_ACCESS_DENIED.
inline const std::map<std::string, std::vector<DWORD>>& ErrorsByFunction() {
  static const std::map<std::string, std::vector<DWORD>> table = {
      // SetupAPI.
      {"SetupDiGetClassDevsA", {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}},
      {"SetupDiCreateDeviceInfoList", {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED}},
      {"SetupDiEnumDeviceInfo", {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER}},
      {"SetupDiEnumDeviceInterfaces", {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER}},
      {"SetupDiOpenDeviceInfoA", {ERROR_NO_SUCH_DEVINST, ERROR_INVALID_DEVINST_NAME, ERROR_ACCESS_DENIED}},
      {"SetupDiGetDeviceInstanceIdA", {ERROR_INSUFFICIENT_BUFFER, ERROR_NO_SUCH_DEVINST}},
      {"SetupDiGetDeviceRegistryPropertyA",
       {ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER, ERROR_ACCESS_DENIED, ERROR_NO_SUCH_DEVINST}},
      {"SetupDiSetDeviceRegistryPropertyA", {ERROR_ACCESS_DENIED, ERROR_INVALID_DATA, ERROR_NO_SUCH_DEVINST}},
      {"SetupDiOpenDevRegKey", {ERROR_KEY_DOES_NOT_EXIST, ERROR_ACCESS_DENIED}},
      {"SetupDiGetDeviceInterfaceDetailA", {ERROR_INSUFFICIENT_BUFFER, ERROR_NO_SUCH_DEVICE_INTERFACE}},
      {"SetupDiSetClassInstallParamsA", {ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED}},
      {"SetupDiCallClassInstaller", {ERROR_ACCESS_DENIED, ERROR_DI_DO_DEFAULT, ERROR_NO_SUCH_DEVINST, kErrorInWow64}},
      {"SetupDiGetDeviceInstallParamsA", {ERROR_INVALID_PARAMETER, ERROR_NO_SUCH_DEVINST}},
      {"SetupDiDestroyDeviceInfoList", {ERROR_INVALID_HANDLE}},
      {"SetupOpenInfFileA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, kErrorGeneralSyntax}},
      {"SetupCloseInfFile", {ERROR_INVALID_HANDLE}},
      {"InstallHinfSectionA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      // Configuration manager (CONFIGRET values).
      {"CM_Get_Device_ID_Size", {CR_INVALID_DEVNODE, CR_NO_SUCH_DEVNODE}},
      {"CM_Get_Device_IDA", {CR_BUFFER_SMALL, CR_INVALID_DEVNODE, CR_NO_SUCH_DEVNODE}},
      {"CM_Get_DevNode_Status", {CR_NO_SUCH_VALUE, CR_NO_SUCH_DEVNODE}},
      {"CM_Get_Parent", {CR_NO_SUCH_DEVNODE, CR_INVALID_DEVNODE}},
      {"CM_Get_Child", {CR_NO_SUCH_DEVNODE, CR_INVALID_DEVNODE}},
      {"CM_Get_Sibling", {CR_NO_SUCH_DEVNODE, CR_INVALID_DEVNODE}},
      // Registry (the LSTATUS of the call).
      {"RegQueryValueExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, kErrorKeyDeleted}},
      {"RegSetValueExA", {ERROR_ACCESS_DENIED, kErrorKeyDeleted}},
      {"RegDeleteValueA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegCloseKey", {ERROR_INVALID_HANDLE}},
      // Files and devices.
      {"CreateFileA", {ERROR_ACCESS_DENIED, kErrorSharingViolation, ERROR_FILE_NOT_FOUND}},
      {"DeviceIoControl", {ERROR_GEN_FAILURE, ERROR_INSUFFICIENT_BUFFER}},
      {"CloseHandle", {ERROR_INVALID_HANDLE}},
      {"GetWindowsDirectoryA", {ERROR_GEN_FAILURE}},
      {"GetCurrentDirectoryA", {ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED}},
      {"LoadLibraryExA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT}},
      {"FreeLibrary", {ERROR_INVALID_HANDLE}},
      {"FindResourceA", {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND}},
      {"LoadResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      {"LockResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      {"SizeofResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      {"GetFileVersionInfoSizeA", {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
      {"GetFileVersionInfoA", {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
      {"VerQueryValueA", {ERROR_RESOURCE_TYPE_NOT_FOUND}},
      // Services.
      {"OpenSCManagerA", {ERROR_ACCESS_DENIED}},
      {"OpenServiceA", {ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST}},
      {"QueryServiceConfigA", {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}},
      {"QueryServiceStatus", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
      {"StartServiceA",
       {ERROR_ACCESS_DENIED, ERROR_SERVICE_DISABLED, ERROR_SERVICE_ALREADY_RUNNING, ERROR_FILE_NOT_FOUND}},
      {"CloseServiceHandle", {ERROR_INVALID_HANDLE}},
      // Clipboard and global memory.
      {"OpenClipboard", {ERROR_ACCESS_DENIED}},
      {"EmptyClipboard", {ERROR_ACCESS_DENIED, ERROR_CLIPBOARD_NOT_OPEN}},
      {"SetClipboardData", {ERROR_ACCESS_DENIED, ERROR_CLIPBOARD_NOT_OPEN, ERROR_NOT_ENOUGH_MEMORY}},
      {"CloseClipboard", {ERROR_CLIPBOARD_NOT_OPEN}},
      {"GlobalAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
      {"GlobalLock", {kErrorDiscarded, ERROR_INVALID_HANDLE}},
      {"GlobalUnlock", {kErrorNotLocked}},
      {"GlobalFree", {ERROR_INVALID_HANDLE}},
      // Shell, windows, text.
      {"ShellExecuteA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, kErrorNoAssociation, kErrorCancelled}},
      {"MessageBoxA", {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER}},
      {"FormatMessageA", {kErrorMrMidNotFound, ERROR_INSUFFICIENT_BUFFER}},
      {"MultiByteToWideChar", {ERROR_INSUFFICIENT_BUFFER, kErrorNoUnicodeTranslation}},
      {"WideCharToMultiByte", {ERROR_INSUFFICIENT_BUFFER, kErrorNoUnicodeTranslation}},
      {"GetModuleHandleA", {kErrorModNotFound}},
      {"LoadLibraryW", {kErrorModNotFound}},
      {"GetProcAddress", {ERROR_PROC_NOT_FOUND}},
      {"IsWow64Process", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
      {"GetVersionExA", {ERROR_INSUFFICIENT_BUFFER}},
  };
  return table;
}

inline std::vector<DWORD> ErrorsFor(const std::string& function) {
  const auto found = ErrorsByFunction().find(function);
  if (found != ErrorsByFunction().end()) return found->second;
  return {ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED};
}

// ---- The built-in PC ----

inline const std::string kGamingMouse = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
inline const std::string kKeyboard = "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2";
inline const std::string kOpticalMouse = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";
inline const std::string kInstalledDriver = "C:\\WINDOWS\\System32\\drivers\\morvane.sys";
inline const std::string kSourceDriver = "C:\\MORVANE\\morvane.sys";
constexpr int kCategoryAll = 5;

inline const sim::MachineModel& BuiltInModel() {
  static const sim::MachineModel model = sim::Machine::ParseModel(sim::Machine::DefaultJson());
  return model;
}

// The built-in PC before the filter service was ever installed: no "morvane"
// service and no driver file in System32\drivers (the INF and its driver file are
// still in the program's folder).
inline sim::MachineModel WithoutFilterService() {
  sim::MachineModel model = BuiltInModel();
  std::erase_if(model.services, [](const sim::Service& s) { return sim::ToUpperAscii(s.name) == "MORVANE"; });
  std::erase_if(model.files,
                [](const sim::File& f) { return sim::ToUpperAscii(f.path) == sim::ToUpperAscii(kInstalledDriver); });
  return model;
}

// The entries of a REG_MULTI_SZ value, empty strings skipped.
inline std::vector<std::string> MultiStringEntries(const std::vector<BYTE>& data) {
  std::vector<std::string> entries;
  std::string current;
  for (BYTE b : data) {
    if (b != 0) {
      current += static_cast<char>(b);
    } else if (!current.empty()) {
      entries.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) entries.push_back(current);
  return entries;
}

inline std::vector<std::string> LowerFiltersOf(const sim::Device& device) {
  const auto found = device.properties.find(SPDRP_LOWERFILTERS);
  if (found == device.properties.end()) return {};
  return MultiStringEntries(found->second.data);
}

using FilterMap = std::map<std::string, std::vector<std::string>>;

inline FilterMap AllLowerFilters(sim::Machine& machine) {
  FilterMap filters;
  for (const sim::Device& device : machine.Model().devices) {
    filters[sim::ToUpperAscii(device.instanceId)] = LowerFiltersOf(device);
  }
  return filters;
}

inline bool HasFilterEntry(const std::vector<std::string>& filters) {
  return std::any_of(filters.begin(), filters.end(),
                     [](const std::string& f) { return sim::ToUpperAscii(f) == "MORVANE"; });
}

inline std::optional<DWORD> OverrideOf(const sim::Device& device) {
  if (!device.driverKey) return std::nullopt;
  const auto found = device.driverKey->find("bInterval");
  if (found == device.driverKey->end() || found->second.data.size() != 4) return std::nullopt;
  const auto& d = found->second.data;
  return static_cast<DWORD>(d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<DWORD>(d[3]) << 24));
}

inline std::optional<DWORD> OverrideOf(sim::Machine& machine, const std::string& instanceId) {
  const sim::Device* device = machine.FindDevice(instanceId);
  return device == nullptr ? std::nullopt : OverrideOf(*device);
}

inline std::string ClipboardText(sim::Machine& machine) {
  const auto data = machine.ClipboardData(CF_TEXT);
  if (!data) return {};
  std::string text(data->begin(), data->end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// ---- One faulted call ----

struct Injection {
  std::string function;
  int occurrence = 0;  // 0-based, among this function's calls within the action
  DWORD error = 0;
};

inline std::string Describe(const Injection& injection) {
  char text[160];
  std::snprintf(text, sizeof(text), "%s #%d error 0x%X", injection.function.c_str(), injection.occurrence,
                static_cast<unsigned>(injection.error));
  return text;
}

// What one run of an action saw.
struct RunResult {
  std::vector<sim::Call> actionCalls;  // the calls the action made
  std::vector<std::string> problems;   // outcomes that failed
  int outcomes = 0;                    // outcomes checked
  int neutralShown = 0;                // states shown as the neutral answer of a failed read
  bool faultTaken = true;              // the injected fault made a call fail
};

// The handle a faulted release left open, when the faulted call was a release the
// machine does not complete on a fault: its leak is the platform's, not the program's.
inline std::string LeftOpenByFaultedRelease(const std::vector<sim::Call>& calls, const Injection& injection) {
  static const std::set<std::string> keepOnFault = {"SetupDiDestroyDeviceInfoList", "RegCloseKey",
                                                    "SetupCloseInfFile", "GlobalFree"};
  if (keepOnFault.count(injection.function) == 0) return {};
  int seen = 0;
  for (const sim::Call& call : calls) {
    if (call.function != injection.function) continue;
    if (seen++ == injection.occurrence) return call.args.substr(0, call.args.find(','));
  }
  return {};
}

// The leak report without the one line the faulted release explains. A global
// block is named in the report by its own number, not by the handle that was freed
// (a fixed block's handle is its address), so any one block stands for it.
inline std::string UnexplainedLeaks(const std::string& report, const std::string& allowedHandle,
                                    bool allowOneGlobalBlock = false) {
  std::istringstream lines(report);
  std::string line;
  std::string rest;
  bool allowedSeen = false;
  while (std::getline(lines, line)) {
    const bool explained = allowOneGlobalBlock ? line.rfind("global memory block ", 0) == 0
                                               : !allowedHandle.empty() &&
                                                     line.find(" " + allowedHandle + " ") != std::string::npos;
    if (explained && !allowedSeen) {
      allowedSeen = true;
      continue;
    }
    rest += line + "\n";
  }
  return rest;
}

// Checks one outcome: counts it and keeps its message when it failed.
class Outcomes {
 public:
  explicit Outcomes(RunResult& result) : result_(result) {}
  void Check(bool ok, const std::string& what) {
    ++result_.outcomes;
    if (!ok) result_.problems.push_back(what);
  }

 private:
  RunResult& result_;
};

// ---- The sweep ----

struct SweepFigures {
  int actions = 0;
  int calls = 0;           // calls logged by the clean runs, each failed in turn
  int faultedRuns = 0;     // (call, error) pairs run
  int outcomes = 0;
  int unfailable = 0;      // calls whose injected fault no call took
  int neutralShown = 0;    // boxes and cells that showed a failed read's neutral answer
  int deduplicated = 0;    // calls failed already by an earlier action at the same place
  // The places failed so far: function, occurrence within the action, arguments
  // without their handle numbers.
  std::set<std::string> placesFailed;
  std::set<std::string> functions;
  std::set<std::string> unfailableFunctions;
};

// Call arguments with every handle number (h<decimal>) left out.
inline std::string WithoutHandles(const std::string& args) {
  std::string result;
  for (std::size_t i = 0; i < args.size(); ++i) {
    result += args[i];
    const bool handleStart = args[i] == 'h' && (i == 0 || args[i - 1] == ' ') && i + 1 < args.size() &&
                             std::isdigit(static_cast<unsigned char>(args[i + 1]));
    if (!handleStart) continue;
    while (i + 1 < args.size() && std::isdigit(static_cast<unsigned char>(args[i + 1]))) ++i;
  }
  return result;
}

// Runs an action clean, then once per call of its log and error of that call.
// `refreshFamily`: the action rebuilds the same list as the other actions of the
// family (its refresh runs the same calls in the same order); a call at a place an
// earlier action of the family failed already is not failed again, and is counted.
inline void Sweep(const std::string& name, const std::function<RunResult(const std::optional<Injection>&)>& run,
           SweepFigures& figures, std::vector<std::string>& failures, bool refreshFamily = false) {
  const RunResult clean = run(std::nullopt);
  ++figures.actions;
  const int runsBefore = figures.faultedRuns;
  const int dedupedBefore = figures.deduplicated;
  const int outcomesBefore = figures.outcomes;
  const std::size_t failuresBefore = failures.size();
  figures.outcomes += clean.outcomes;
  for (const std::string& problem : clean.problems) failures.push_back(name + " (no fault): " + problem);

  std::map<std::string, int> seen;
  for (const sim::Call& call : clean.actionCalls) {
    const int occurrence = seen[call.function]++;
    figures.functions.insert(call.function);
    // The same call at the same place of the same list build, whichever handler
    // started the refresh, is failed once.
    const std::string place = call.function + "#" + std::to_string(occurrence) + "(" + WithoutHandles(call.args) + ")";
    if (refreshFamily && !figures.placesFailed.insert(place).second) {
      ++figures.deduplicated;
      continue;
    }
    ++figures.calls;
    for (DWORD error : ErrorsFor(call.function)) {
      const Injection injection{call.function, occurrence, error};
      const RunResult faulted = run(injection);
      ++figures.faultedRuns;
      figures.outcomes += faulted.outcomes;
      figures.neutralShown += faulted.neutralShown;
      if (!faulted.faultTaken) {
        ++figures.unfailable;
        figures.unfailableFunctions.insert(call.function);
      }
      for (const std::string& problem : faulted.problems) {
        failures.push_back(name + ", " + Describe(injection) + " (" + call.args + "): " + problem);
      }
    }
  }
  std::printf("  %s: %zu calls (%d failed already by an earlier action), %d faulted runs, %d outcomes, %zu failed\n",
              name.c_str(), clean.actionCalls.size(), figures.deduplicated - dedupedBefore,
              figures.faultedRuns - runsBefore, figures.outcomes - outcomesBefore, failures.size() - failuresBefore);
}

inline void Report(const std::string& what, const SweepFigures& figures, double seconds) {
  std::string unfailable;
  for (const std::string& f : figures.unfailableFunctions) unfailable += " " + f;
  std::string functions;
  for (const std::string& f : figures.functions) functions += " " + f;
  std::printf("functions failed:%s\n", functions.c_str());
  std::printf("fault sweep, %s: %d actions, %d calls failed in turn (%zu functions; %d more calls failed already "
              "at the same place by an earlier action), %d faulted runs, %d outcomes checked (%d of them a failed "
              "read's neutral answer shown), %d calls that could not be failed%s, %.1f s\n",
              what.c_str(), figures.actions, figures.calls, figures.functions.size(), figures.deduplicated,
              figures.faultedRuns, figures.outcomes, figures.neutralShown, figures.unfailable, unfailable.c_str(),
              seconds);
  ::testing::Test::RecordProperty("actions", figures.actions);
  ::testing::Test::RecordProperty("calls_failed", figures.calls);
  ::testing::Test::RecordProperty("calls_failed_by_an_earlier_action", figures.deduplicated);
  ::testing::Test::RecordProperty("faulted_runs", figures.faultedRuns);
  ::testing::Test::RecordProperty("outcomes_checked", figures.outcomes);
  ::testing::Test::RecordProperty("unfailable_calls", figures.unfailable);
  ::testing::Test::RecordProperty("neutral_answers_shown", figures.neutralShown);
}

inline void ExpectNoFailures(const std::vector<std::string>& failures) {
  constexpr std::size_t kShown = 40;
  for (std::size_t i = 0; i < failures.size() && i < kShown; ++i) ADD_FAILURE() << failures[i];
  EXPECT_EQ(failures.size(), 0u) << "faulted outcomes that failed (the first " << kShown << " are listed)";
}

// Sweeps every action in turn, reports the figures as `what` and checks that each
// action was swept, that calls were failed and that no outcome was wrong; returns the
// figures for checks of the sweep's own.
template <typename Action, typename Run>
SweepFigures SweepActions(const std::string& what, const std::vector<Action>& actions, Run run) {
  const auto start = std::chrono::steady_clock::now();
  SweepFigures figures;
  std::vector<std::string> failures;
  for (const Action& action : actions) {
    Sweep(action.name, [&](const std::optional<Injection>& injection) { return run(action, injection); }, figures,
          failures);
  }
  Report(what, figures, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  EXPECT_EQ(figures.actions, static_cast<int>(actions.size()));
  EXPECT_GT(figures.calls, 0);
  ExpectNoFailures(failures);
  return figures;
}

}  // namespace faultsweep
