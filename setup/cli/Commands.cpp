#include "setup/cli/Commands.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "devices/DeviceList.h"
#include "devices/Diagnosis.h"
#include "devices/Journal.h"
#include "devices/DeviceTables.h"
#include "morvane/MorvaneVersion.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "ratemeter/MeterFigures.h"
#include "setup/RateMeterF.h"
#include "setup/SetupF.h"
#include "setup/Unfinished.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"
#include "talon64/TalonExit.h"

namespace morvane::cli {
namespace {

constexpr const char* Eol = "\r\n";
constexpr int AllCategory = 5;
constexpr const char* HelperProgram = "TALON64.EXE";
constexpr const char* InfFile = "morvane.inf";
constexpr int ListVersion = 1;

char Upper(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }

bool SameAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Upper(x) == Upper(y);
         });
}

// A system error code as Windows' documentation writes it: SetupAPI's own codes (the
// customer bit set) in hexadecimal, every other in decimal.
std::string CodeText(DWORD code) {
  if ((code & 0x20000000u) == 0) return std::to_string(code);
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += Hex[(code >> shift) & 0xF];
  return text;
}

// " (code N: text)" for a system error code, or "" for 0.
std::string SystemReason(DWORD code) {
  if (code == 0) return {};
  const std::string text = GetSysErrorText(code);
  return " (code " + CodeText(code) + (text.empty() ? "" : ": " + text) + ")";
}

void Line(CommandResult& result, const std::string& text) { result.output += text + Eol; }

CommandResult Fail(CommandResult result, int code, const std::string& what) {
  Line(result, "error: " + what);
  result.exitCode = code;
  return result;
}

// ---- Rows ----

struct Row {
  std::string instanceId, name, rate, interval, speed, children, controller;
  bool filter = false;
  DWORD rateIndex = 0;
  BYTE minInterval = 0, maxInterval = 0, speedCode = kSpeedUnknown;
};

Row ReadRow(TDevice& device) {
  Row row;
  row.instanceId = device.InstanceId;
  row.name = device.GetName();
  row.filter = device.IsFilterInstalled();
  row.rateIndex = device.GetRate();
  row.rate = device.GetRateText();
  row.minInterval = device.GetMinInterval();
  row.maxInterval = device.GetMaxInterval();
  row.interval = FormatIntervalRange(row.minInterval, row.maxInterval);
  row.speedCode = device.GetSpeed();
  row.speed = GetSpeedName(row.speedCode);
  row.children = device.GetChildNames();
  row.controller = device.GetControllerDevice().GetName();
  return row;
}

// A JSON string from ANSI text: converted to UTF-16 by the system's code page and
// written with \u escapes for everything outside printable ASCII.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  auto escape = [&out](unsigned unit) {
    static constexpr char Hex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += Hex[(unit >> shift) & 0xF];
  };
  bool ascii = std::all_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
  std::vector<unsigned> units;
  if (ascii) {
    for (char ch : text) units.push_back(static_cast<unsigned char>(ch));
  } else {
    platform::ISystem& system = platform::System();
    const int length = system.MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::vector<WCHAR> wide(static_cast<std::size_t>(std::max(length, 0)));
    if (length > 0 && system.MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                                 length) == length) {
      for (WCHAR unit : wide) units.push_back(static_cast<unsigned>(unit));
    } else {
      for (char ch : text) units.push_back(static_cast<unsigned char>(ch) < 0x80 ? static_cast<unsigned char>(ch) : 0xFFFD);
    }
  }
  for (unsigned unit : units) {
    if (unit == '"') {
      out += "\\\"";
    } else if (unit == '\\') {
      out += "\\\\";
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      escape(unit);
    }
  }
  return out + "\"";
}

std::string ListJson(int category, const std::vector<Row>& rows) {
  std::string out = "{\"version\": " + std::to_string(ListVersion) +
                    ", \"category\": " + JsonString(DeviceCategories[static_cast<std::size_t>(category)]) +
                    ", \"devices\": [";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out += i == 0 ? "\r\n" : ",\r\n";
    out += "  {\"instanceId\": " + JsonString(r.instanceId) + ", \"name\": " + JsonString(r.name) +
           ", \"filter\": " + (r.filter ? "true" : "false") + ", \"rate\": " + JsonString(r.rate) +
           ", \"rateIndex\": " + std::to_string(r.rateIndex) + ", \"bInterval\": " + JsonString(r.interval) +
           ", \"bIntervalMin\": " + std::to_string(r.minInterval) +
           ", \"bIntervalMax\": " + std::to_string(r.maxInterval) + ", \"speed\": " + JsonString(r.speed) +
           ", \"speedCode\": " + std::to_string(r.speedCode) + ", \"children\": " + JsonString(r.children) +
           ", \"controller\": " + JsonString(r.controller) + "}";
  }
  out += rows.empty() ? "]}" : "\r\n]}";
  return out + Eol;
}

std::string ListTable(const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> cells{
      {"Instance ID", "Name", "Filter", "Rate", "bInterval", "Speed", "Children", "Controller"}};
  for (const Row& r : rows) {
    cells.push_back({r.instanceId, r.name, FilterStateTexts[r.filter ? 1 : 0], r.rate, r.interval, r.speed,
                     r.children, r.controller});
  }
  std::vector<std::size_t> widths(cells.front().size(), 0);
  for (const auto& line : cells) {
    for (std::size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], line[c].size());
  }
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (std::size_t c = 0; c < line.size(); ++c) {
      text += line[c];
      if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + Eol;
  }
  return out;
}

CommandResult RunList(const Arguments& a) {
  CommandResult result;
  const int category = a.category.value_or(AllCategory);
  std::vector<Row> rows;
  try {
    TDeviceList list(category);
    for (int i = 0; i < list.Count(); ++i) rows.push_back(ReadRow(list.GetDevice(i)));
  } catch (const std::exception& e) {
    return Fail(std::move(result), ExitWriteRefused,
                std::string("the devices cannot be listed: the system refused ") + e.what() +
                    SystemReason(platform::System().GetLastError()));
  }
  result.output = a.json ? ListJson(category, rows) : ListTable(rows);
  return result;
}

// ---- Shared by /set and /install-service ----

// Which Windows family this is decides where every value is read and written: it is
// read once at the start, and a command that cannot read it does nothing.
bool KnowWindowsFamily(CommandResult& result) {
  DWORD id = 0;
  platform::System().SetLastError(0);
  if (platform::ReadPlatformId(id)) return true;
  result = Fail(std::move(result), ExitWriteRefused,
                "the version of Windows cannot be read" + SystemReason(platform::System().GetLastError()));
  return false;
}

// False when the service manager refuses the rights an administrator has.
bool IsAdministrator() {
  if (!platform::IsNtPlatform()) return true;
  platform::UniqueServiceHandle manager(
      platform::ServiceControl().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  return manager.IsValid() || platform::System().GetLastError() != ERROR_ACCESS_DENIED;
}

constexpr const char* NotAdministrator =
    "this needs administrator rights: the service control manager refused full access (code 5)";

// The helper program's exit codes, in words.
std::string HelperExitText(DWORD code) { return TalonExitText(code); }

// A process handle from ShellExecuteExA, closed at the end of its scope.
class ProcessHandle {
 public:
  explicit ProcessHandle(HANDLE handle) : handle_(handle) {}
  ~ProcessHandle() {
    if (handle_ != nullptr) platform::Files().CloseHandle(handle_);
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A program started through the shell with its process, and how it ended.
struct ProgramRun {
  bool started = false;  // false: `error` says why the shell refused
  bool ended = false;    // false with started: it did not end in time, or `error` says why it cannot be known
  DWORD exitCode = 0;
  DWORD error = 0;
};

// Starts the program and waits up to `seconds` for its end, letting the watch collect
// device changes meanwhile (a program that restarts a device is not to block their
// delivery). Without a watch the wait blocks.
ProgramRun RunProgram(const char* verb, const char* file, const std::string& parameters, unsigned seconds,
                      IDeviceChangeWatch* watch) {
  ProgramRun run;
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = verb;
  info.lpFile = file;
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.nShow = SW_SHOW;
  platform::System().SetLastError(0);
  if (!platform::User().ShellExecuteExA(&info)) {
    run.error = platform::System().GetLastError();
    return run;
  }
  run.started = true;
  const ProcessHandle process(info.hProcess);
  if (process.Get() == nullptr) {
    run.error = ERROR_INVALID_HANDLE;  // the shell started it without a process to await
    return run;
  }
  platform::IUser& user = platform::User();
  const unsigned long long total = 1000ULL * seconds;
  const unsigned long long deadline = watch != nullptr ? watch->Now() + total : 0;
  while (true) {
    const bool last = watch == nullptr || watch->Now() >= deadline;
    const DWORD waited =
        user.WaitForSingleObject(process.Get(), watch != nullptr ? 0 : static_cast<DWORD>(std::min<unsigned long long>(total, INFINITE - 1)));
    if (waited == WAIT_OBJECT_0) {
      if (user.GetExitCodeProcess(process.Get(), &run.exitCode)) {
        run.ended = true;
      } else {
        run.error = platform::System().GetLastError();
      }
      return run;
    }
    if (waited != WAIT_TIMEOUT) {
      run.error = platform::System().GetLastError();
      return run;
    }
    if (last) return run;
    watch->Wait(static_cast<unsigned>(std::min<unsigned long long>(PollInterval, deadline - watch->Now())));
  }
}

// What the restarted device is now: present or not, and its problem.
struct NodeState {
  bool read = false;     // false: `error` (a system code or a CONFIGRET) says why not
  bool present = false;
  bool hasProblem = false;
  ULONG problem = 0;
  DWORD error = 0;
  bool configRet = false;  // `error` is a CONFIGRET
};

NodeState ReadNode(const std::string& instanceId) {
  NodeState state;
  platform::IDeviceInstall& setup = platform::DeviceInstall();
  platform::System().SetLastError(0);
  platform::UniqueDevInfo set(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set.IsValid()) {
    state.error = platform::System().GetLastError();
    return state;
  }
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  if (!setup.SetupDiOpenDeviceInfoA(set.Get(), instanceId.c_str(), nullptr, 0, &data)) {
    state.error = platform::System().GetLastError();
    state.read = state.error == ERROR_NO_SUCH_DEVINST;  // not present: an answer
    return state;
  }
  ULONG status = 0, problem = 0;
  const CONFIGRET cr = platform::ConfigManager().CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0);
  if (cr == CR_NO_SUCH_DEVNODE) {
    state.read = true;
    return state;
  }
  if (cr != CR_SUCCESS) {
    state.error = cr;
    state.configRet = true;
    return state;
  }
  state.read = true;
  state.present = true;
  state.problem = problem;
  state.hasProblem = (status & DN_HAS_PROBLEM) != 0 || problem != 0;
  return state;
}

// ---- The journal ----

// The command as the journal names it.
std::string CommandText(const Arguments& a) {
  std::string text;
  switch (a.command) {
    case Command::Set:
      text = "/set " + a.pattern;
      if (a.filter) text += std::string(" /filter ") + (*a.filter ? "on" : "off");
      if (a.rate) text += " /rate " + *a.rate;
      if (a.restart) text += " /restart";
      break;
    case Command::Restore: text = "/restore " + a.pattern; break;
    case Command::Uninstall: text = "/uninstall"; break;
    default: text = "/install-service"; break;
  }
  return text;
}

std::string ListText(const std::vector<std::string>& filters) {
  if (filters.empty()) return "(none)";
  std::string text;
  for (const std::string& f : filters) {
    if (!text.empty()) text += ',';
    text += f;
  }
  return text;
}

// Windows started in Safe Mode: its devices take registry changes at the next start.
bool IsSafeMode() {
  HKEY key = nullptr;
  platform::IRegistry& registry = platform::Registry();
  if (registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Option", 0,
                             KEY_QUERY_VALUE, &key) != ERROR_SUCCESS ||
      key == nullptr) {
    return false;
  }
  registry.RegCloseKey(key);
  return true;
}

constexpr const char* SafeModeLine =
    "Windows runs in Safe Mode: the registry is changed, the devices change at the next start of Windows";

// One change of one device, recorded in the journal (devices/Journal.h). Begin's
// failure in one line with the system's code and text.
class RecordedChange : public TRecordedChange {
 public:
  using TRecordedChange::TRecordedChange;
  bool Begin(std::string& error, const std::function<void(JournalEntry&)>& intended = {}) {
    if (TRecordedChange::Begin(intended)) return true;
    error = FailureText() + SystemReason(FailureCode());
    return false;
  }
};

// Reads the device again: this program's entry is in its list exactly when the
// target has it, and the override is the target's. A read that did not tell the truth
// before is found here.
bool Verify(CommandResult& result, TDevice& device, const JournalOriginal& target) {
  std::vector<std::string> filters;
  DWORD interval = 0;
  platform::System().SetLastError(0);
  if ((target.filtersKnown && !device.ReadLowerFilters(filters)) ||
      (target.intervalKnown && !device.ReadOverride(interval))) {
    Line(result, "error: " + device.InstanceId + ": it cannot be read again after the restore" +
                     SystemReason(platform::System().GetLastError()));
    return false;
  }
  const bool ours = std::any_of(target.filters.begin(), target.filters.end(), TDevice::IsOurFilter);
  if ((target.filtersKnown && std::any_of(filters.begin(), filters.end(), TDevice::IsOurFilter) != ours) ||
      (target.intervalKnown && interval != target.interval)) {
    Line(result, "error: " + device.InstanceId + ": it does not hold what the journal says after the restore");
    return false;
  }
  return true;
}

// Whether the filter service is installed; false with `code` when that cannot be told.
enum class Presence { Present, Absent, Unknown };
Presence ServicePresence(DWORD& code) {
  code = 0;
  if (!platform::IsNtPlatform()) return Presence::Absent;
  platform::IServiceControl& scm = platform::ServiceControl();
  platform::System().SetLastError(0);
  platform::UniqueServiceHandle manager(scm.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    code = platform::System().GetLastError();
    return Presence::Unknown;
  }
  platform::UniqueServiceHandle service(scm.OpenServiceA(manager.Get(), FilterServiceName, SERVICE_QUERY_STATUS));
  if (service) return Presence::Present;
  code = platform::System().GetLastError();
  return code == ERROR_SERVICE_DOES_NOT_EXIST ? Presence::Absent : Presence::Unknown;
}

// Puts the device back to `target`: the override as it was, and the filter list as
// it was when the list's other entries are still those of then; when another driver
// changed them since, only this program's entry is put back as it was, and every
// other entry stays where it is. Appends its lines; false on an error line.
// The LowerFilters that put back what a device held (original) over what it holds now:
// the original list while the other drivers' entries are as they were; else the other
// entries as they are now, with ours (if it was there) back at its old place among them.
std::vector<std::string> FiltersToPutBack(const std::vector<std::string>& current,
                                          const std::vector<std::string>& original, bool& othersChanged) {
  auto others = [](const std::vector<std::string>& list) {
    std::vector<std::string> rest;
    for (const std::string& f : list) {
      if (!TDevice::IsOurFilter(f)) rest.push_back(f);
    }
    return rest;
  };
  othersChanged = others(current) != others(original);
  if (!othersChanged) return original;
  std::vector<std::string> wanted = others(current);
  const auto at = std::find_if(original.begin(), original.end(), TDevice::IsOurFilter);
  if (at != original.end()) {
    wanted.insert(wanted.begin() + std::min<std::ptrdiff_t>(at - original.begin(),
                                                            static_cast<std::ptrdiff_t>(wanted.size())),
                  *at);
  }
  return wanted;
}

constexpr const char* kOthersChangedText = "another driver changed its LowerFilters since; only this program's entry is put back";

bool PutBack(CommandResult& result, TJournal& journal, TDevice& device, const JournalOriginal& target,
             const std::string& command, bool& changed) {
  changed = false;
  const std::string id = device.InstanceId;
  std::vector<std::string> current;
  DWORD interval = 0;
  platform::System().SetLastError(0);
  if (target.filtersKnown && !device.ReadLowerFilters(current)) {
    Line(result, "error: " + id + ": its LowerFilters cannot be read, it is left as it is" +
                     SystemReason(platform::System().GetLastError()));
    return false;
  }
  if (target.intervalKnown && !device.ReadOverride(interval)) {
    Line(result, "error: " + id + ": its bInterval cannot be read, it is left as it is" +
                     SystemReason(platform::System().GetLastError()));
    return false;
  }
  std::vector<std::string> wanted = current;
  if (target.filtersKnown) {
    bool othersChanged = false;
    wanted = FiltersToPutBack(current, target.filters, othersChanged);
    if (othersChanged) Line(result, id + ": " + kOthersChangedText);
  }
  const bool filtersChange = target.filtersKnown && wanted != current;
  const bool intervalChange = target.intervalKnown && interval != target.interval;
  if (!filtersChange && !intervalChange) return Verify(result, device, target);
  RecordedChange change(journal, device, command, filtersChange, intervalChange);
  std::string error;
  if (!change.Begin(error, [&](JournalEntry& e) {
        if (filtersChange) e.filtersAfter = wanted;
        if (intervalChange) e.intervalAfter = target.interval;
      })) {
    Line(result, "error: " + id + ": " + error);
    return false;
  }
  // What is written was decided on the first read; a second read that disagrees
  // means another program is changing the device, or a read did not tell the truth.
  if ((filtersChange && change.Entry().filtersBefore != current) ||
      (intervalChange && change.Entry().intervalBefore != interval)) {
    Line(result, "error: " + id + ": its values changed while being read, it is left as it is");
    return false;
  }
  bool ok = true;
  if (filtersChange) {
    platform::System().SetLastError(0);
    device.SetLowerFilters(wanted);
    const DWORD code = platform::System().GetLastError();
    std::vector<std::string> now;
    if (!device.ReadLowerFilters(now) || now != wanted) {
      Line(result, "error: " + id + ": its LowerFilters could not be put back" + SystemReason(code));
      ok = false;
    } else {
      Line(result, id + ": LowerFilters " + ListText(current) + " -> " + ListText(wanted));
      changed = true;
    }
  }
  if (ok && intervalChange) {
    if (!device.WriteOverride(target.interval)) {
      Line(result, "error: " + id + ": its bInterval could not be put back" +
                       SystemReason(platform::System().GetLastError()));
      ok = false;
    } else {
      Line(result, id + ": bInterval " + (interval == 0 ? std::string("(none)") : std::to_string(interval)) + " -> " +
                       (target.interval == 0 ? std::string("(none)") : std::to_string(target.interval)));
      changed = true;
    }
  }
  if (!change.Finish()) {
    Line(result, "error: " + id + ": the journal of changes cannot be written: " + journal.Error());
    ok = false;
  }
  return ok && Verify(result, device, target);
}

// A device opened by its instance ID alone, present or not, for putting values back.
class OpenedDevice {
 public:
  bool Open(const std::string& instanceId) {
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    platform::System().SetLastError(0);
    set_ = platform::UniqueDevInfo(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set_) return false;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!setup.SetupDiOpenDeviceInfoA(set_.Get(), instanceId.c_str(), nullptr, 0, &data)) return false;
    device_ = std::make_unique<TDevice>(set_.Get(), data, set_.Get());
    return true;
  }
  TDevice& Device() { return *device_; }

 private:
  platform::UniqueDevInfo set_;
  std::unique_ptr<TDevice> device_;  // destroyed before the set it lives in
};

// Changes a previous run began and did not finish: what the device holds now decides.
// An undo cut short is finished; any other change is marked as it turned out.
void ResolveUnfinished(CommandResult& result, TJournal& journal, TDeviceList& list) {
  TUnfinishedHooks hooks;
  hooks.find = [&list](const std::string& instanceId) -> TDevice* {
    for (int i = 0; i < list.Count(); ++i) {
      if (SameAscii(list.GetDevice(i).InstanceId, instanceId)) return &list.GetDevice(i);
    }
    return nullptr;
  };
  hooks.finishUndo = [&](TDevice& device, const JournalOriginal& target, const std::string& command) {
    bool changed = false;
    return PutBack(result, journal, device, target, command, changed);
  };
  hooks.note = [&result](const std::string& note, bool) { Line(result, "note: " + note); };
  morvane::ResolveUnfinished(journal, hooks);
}

// ---- /set ----

struct Plan {
  TDevice* device = nullptr;
  bool filterChange = false;
  bool filterOn = false;
  bool rateChange = false;
  DWORD rate = 0;
  std::vector<std::string> questions;
  bool recorded = false;  // `entry` holds what the device had before this command
  JournalEntry entry;
};

// The rate texts the window offers this device, by rate index.
std::vector<std::string> RatesOf(TDevice& device) {
  std::vector<std::string> texts{RateTexts[0]};
  if (device.IsHighSpeedOrFaster()) {
    for (int shift = 0; shift <= 5; ++shift) texts.push_back(std::to_string(8000 >> shift));
  } else {
    for (std::size_t k = 1; k < RateTexts.size(); ++k) texts.push_back(RateTexts[k]);
  }
  return texts;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The window's questions for switching the filter on, in its order; the service
// questions are the same for every device and asked once.
std::vector<std::string> ServiceQuestions() {
  std::vector<std::string> questions;
  if (!platform::IsNtPlatform()) return questions;
  if (!IsServiceEnabled(FilterServiceName)) questions.push_back(SetupQuestions::ServiceDisabled());
  if (!TestServiceLoading(FilterServiceName)) {
    const DWORD code = platform::System().GetLastError();
    const std::string errorText = GetLastErrorText();
    std::string windowsDir;
    GetWindowsDir(windowsDir);
    questions.push_back(SetupQuestions::ServiceNotLoading(code, errorText, windowsDir));
  }
  return questions;
}

// A rate for a device whose speed the hub did not tell: the window offers the rates of
// high speed then, whose override is an exponent, not a frame count.
std::string UnknownSpeedQuestion(DWORD rate) {
  return "its speed could not be read, so the rate would be written as for a high-speed device (bInterval " +
         std::to_string(rate) + "); a device of low or full speed would take another rate";
}

std::vector<std::string> DeviceQuestions(TDevice& device) {
  std::vector<std::string> questions;
  if (device.HasProblem()) questions.push_back(SetupQuestions::DeviceProblem());
  if (!device.QueryConnection()) questions.push_back(SetupQuestions::NoInterruptPipes());
  if (!device.IsControllerDriverKnown()) {
    questions.push_back(SetupQuestions::UnknownController(device.GetControllerDevice().GetServiceName()));
  }
  return questions;
}

enum class RestartSeen { Seen, NotGone, NotBack };

// Waits until the device was seen going away and arriving again, and the device
// changes have been quiet for a while; or until `waitSeconds` have passed.
RestartSeen WaitForRestart(const std::string& instanceId, std::size_t eventsBefore, unsigned waitSeconds,
                           IDeviceChangeWatch& watch) {
  const unsigned long long deadline = watch.Now() + 1000ULL * waitSeconds;
  unsigned seen = watch.Changes();
  unsigned long long lastChange = watch.Now();
  std::size_t scanned = eventsBefore;
  bool gone = false;
  bool back = false;
  while (true) {
    const unsigned changes = watch.Changes();
    const std::vector<DeviceEvent>& events = watch.Events();
    for (; scanned < events.size(); ++scanned) {
      if (!SameAscii(events[scanned].instanceId, instanceId)) continue;
      if (!events[scanned].arrival) {
        gone = true;
        back = false;
      } else if (gone) {
        back = true;
      }
    }
    const unsigned long long now = watch.Now();
    if (changes != seen) {
      seen = changes;
      lastChange = now;
    }
    const bool settled = now - lastChange >= SettleInterval || now >= deadline;
    if (back && settled) return RestartSeen::Seen;
    if (now >= deadline) return gone ? RestartSeen::NotBack : RestartSeen::NotGone;
    watch.Wait(static_cast<unsigned>(std::min<unsigned long long>(PollInterval, deadline - now)));
  }
}

CommandResult RebootNeeded(CommandResult result, const std::string& id) {
  Line(result, id + ": Windows must be restarted for the change to take effect");
  result.exitCode = ExitRebootNeeded;
  return result;
}

CommandResult Restart(CommandResult result, TDevice& device, const Arguments& a, IDeviceChangeWatch& watch) {
  const std::string id = device.InstanceId;
  const std::size_t eventsBefore = watch.Events().size();
  platform::System().SetLastError(0);
  if (IsWow64()) {
    const ProgramRun run =
        RunProgram(nullptr, HelperProgram, "U " + id, std::max(a.waitSeconds, HelperWaitSeconds), &watch);
    if (!run.started) {
      return Fail(std::move(result), ExitWriteRefused,
                  id + ": the restart was refused: " + HelperProgram + " could not be started" + SystemReason(run.error));
    }
    if (!run.ended && run.error != 0) {
      return Fail(std::move(result), ExitWriteRefused,
                  id + ": the restart's outcome is unknown: the end of " + HelperProgram + " cannot be awaited" +
                      SystemReason(run.error));
    }
    if (!run.ended) {
      return Fail(std::move(result), ExitNotSeenInTime,
                  id + ": " + HelperProgram + " did not end within " +
                      std::to_string(std::max(a.waitSeconds, HelperWaitSeconds)) + " s");
    }
    if (run.exitCode == static_cast<DWORD>(TalonExit::RebootNeeded)) return RebootNeeded(std::move(result), id);
    if (run.exitCode != 0) {
      return Fail(std::move(result),
                  run.exitCode == static_cast<DWORD>(TalonExit::UnknownDevice) ? ExitDeviceNotFound : ExitWriteRefused,
                  id + ": the restart was refused: " + HelperProgram + " ended with code " +
                      std::to_string(run.exitCode) + " (" + HelperExitText(run.exitCode) + ")");
    }
  } else {
    if (!device.TryRestartDevice()) {
      return Fail(std::move(result), ExitWriteRefused,
                  id + ": the restart was refused: the class installer declined the property change" +
                      SystemReason(platform::System().GetLastError()));
    }
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (!platform::DeviceInstall().SetupDiGetDeviceInstallParamsA(device.InfoSet, &device.InfoData, &params)) {
      return Fail(std::move(result), ExitWriteRefused,
                  id + ": the restart's outcome cannot be read: the system refused the device's install parameters" +
                      SystemReason(platform::System().GetLastError()));
    }
    if ((params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0) return RebootNeeded(std::move(result), id);
  }
  const RestartSeen seen = WaitForRestart(id, eventsBefore, a.waitSeconds, watch);
  if (seen != RestartSeen::Seen) {
    return Fail(std::move(result), ExitNotSeenInTime,
                id + (seen == RestartSeen::NotGone
                          ? ": the device was not seen going away within " + std::to_string(a.waitSeconds) +
                                " s: it has not restarted"
                          : ": the device went away and did not come back within " + std::to_string(a.waitSeconds) +
                                " s"));
  }
  const NodeState node = ReadNode(id);
  if (!node.read) {
    return Fail(std::move(result), ExitWriteRefused,
                id + ": the restarted device's state cannot be read" +
                    (node.configRet ? " (CONFIGRET " + std::to_string(node.error) + ")" : SystemReason(node.error)));
  }
  if (!node.present) {
    return Fail(std::move(result), ExitNotSeenInTime, id + ": the device is not present after its restart");
  }
  if (node.hasProblem) {
    return Fail(std::move(result), ExitDeviceProblem,
                id + ": the device came back with problem " + std::to_string(node.problem) + ": " +
                    GetProblemText(node.problem));
  }
  Line(result, id + ": restarted");
  return result;
}

std::string NoJournal(const TJournal& journal) {
  return "nothing was changed: the journal of changes cannot be read: " + journal.Error() +
         " (deleting the value \"Journal\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane starts a new one, and forgets "
         "what the devices held before)";
}

// The restarted device did not come back healthy: what this command changed is put
// back, and the device restarted once more.
CommandResult Undo(CommandResult result, TJournal& journal, const Plan& plan, const Arguments& a,
                   IDeviceChangeWatch& watch) {
  const std::string id = plan.device->InstanceId;
  JournalOriginal target;
  target.instanceId = id;
  target.filtersKnown = plan.entry.filtersTouched;
  target.filters = plan.entry.filtersBefore;
  target.intervalKnown = plan.entry.intervalTouched;
  target.interval = plan.entry.intervalBefore;
  // The restart replaced the device's node: it is opened again by its ID.
  OpenedDevice opened;
  if (!opened.Open(id)) {
    return Fail(std::move(result), ExitWriteRefused,
                id + ": the change cannot be undone: the device cannot be opened" +
                    SystemReason(platform::System().GetLastError()) + "; /restore puts it back later");
  }
  bool changed = false;
  if (!PutBack(result, journal, opened.Device(), target, "undo " + CommandText(a), changed)) {
    result.exitCode = ExitWriteRefused;
    return result;
  }
  Line(result, id + ": the change was undone because the device did not come back healthy");
  if (IsSafeMode()) {
    Line(result, SafeModeLine);
  } else {
    result.exitCode = ExitDone;
    result = Restart(std::move(result), opened.Device(), a, watch);
    if (result.exitCode == ExitRebootNeeded) Line(result, id + ": it takes the undo when Windows restarts");
  }
  result.exitCode = ExitUndone;
  return result;
}

CommandResult RunSet(const Arguments& a, CommandHost& host) {
  CommandResult result;
  if (!KnowWindowsFamily(result)) return result;
  std::unique_ptr<TDeviceList> list;
  std::vector<Plan> plans;
  try {
    list = std::make_unique<TDeviceList>(AllCategory);
    for (int i = 0; i < list->Count(); ++i) {
      TDevice& device = list->GetDevice(i);
      if (MatchesPattern(a.pattern, device.InstanceId)) {
        Plan plan;
        plan.device = &device;
        plans.push_back(std::move(plan));
      }
    }
  } catch (const std::exception& e) {
    return Fail(std::move(result), ExitWriteRefused,
                std::string("the devices cannot be listed: the system refused ") + e.what() +
                    SystemReason(platform::System().GetLastError()));
  }
  if (plans.empty()) {
    return Fail(std::move(result), ExitDeviceNotFound,
                "no present USB device has an instance ID matching \"" + a.pattern + "\"");
  }
  if (a.restart && (!host.watch || !host.watchError.empty())) {
    if (!host.watchError.empty()) {
      return Fail(std::move(result), ExitWriteRefused, "/restart cannot watch the devices: " + host.watchError);
    }
    return Fail(std::move(result), ExitNotAvailable, "/restart cannot wait here");
  }

  // Every device is checked and every question collected before anything is written.
  try {
    bool anyChange = false;
    bool anyFilterOn = false;
    for (Plan& plan : plans) {
      TDevice& device = *plan.device;
      if (a.rate) {
        const std::vector<std::string> rates = RatesOf(device);
        const auto it = std::find_if(rates.begin(), rates.end(), [&](const std::string& r) { return SameAscii(r, *a.rate); });
        if (it == rates.end()) {
          return Fail(std::move(result), ExitBadCommandLine,
                      device.InstanceId + " cannot have the rate \"" + *a.rate + "\" at " +
                          GetSpeedName(device.GetSpeed()) + " speed; its rates are " + Join(rates));
        }
        plan.rate = static_cast<DWORD>(it - rates.begin());
        DWORD current = 0;
        platform::System().SetLastError(0);
        if (!device.ReadRate(current)) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the rate cannot be read: the system refused to read bInterval" +
                          SystemReason(platform::System().GetLastError()));
        }
        plan.rateChange = plan.rate != current;
        if (plan.rateChange && device.GetSpeed() == kSpeedUnknown) {
          plan.questions.push_back(UnknownSpeedQuestion(plan.rate));
        }
        if (plan.rateChange && platform::IsNtPlatform() && device.IsLowSpeed() && plan.rate >= 1 && plan.rate <= 3 &&
            (current == 0 || current >= 4)) {
          plan.questions.push_back(SetupQuestions::Overclocking());
        }
      }
      if (a.filter) {
        plan.filterOn = *a.filter;
        bool installed = false;
        platform::System().SetLastError(0);
        if (!device.ReadFilterInstalled(installed)) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the filter's state cannot be read: the system refused to read its LowerFilters" +
                          SystemReason(platform::System().GetLastError()));
        }
        plan.filterChange = installed != plan.filterOn;
        if (plan.filterChange && plan.filterOn) {
          anyFilterOn = true;
          const auto questions = DeviceQuestions(device);
          plan.questions.insert(plan.questions.begin(), questions.begin(), questions.end());
        }
      }
      anyChange = anyChange || plan.filterChange || plan.rateChange;
    }
    if (!anyChange && !a.restart) {
      for (const Plan& plan : plans) Line(result, plan.device->InstanceId + ": already as asked");
      result.exitCode = ExitNothingToDo;
      return result;
    }
    if (!IsAdministrator()) return Fail(std::move(result), ExitNotAdministrator, NotAdministrator);

    TJournal journal;
    if (anyChange && !journal.Load()) {
      return Fail(std::move(result), ExitWriteRefused, NoJournal(journal));
    }
    if (anyChange) ResolveUnfinished(result, journal, *list);

    std::vector<std::string> serviceQuestions;
    if (anyFilterOn) serviceQuestions = ServiceQuestions();
    bool asked = false;
    auto print = [&](const std::string& who, const std::string& question) {
      if (!asked) Line(result, "error: refused without /yes: the window would ask first, and /yes accepts:");
      asked = true;
      Line(result, who + ": " + question);
    };
    if (!a.yes) {
      for (const std::string& question : serviceQuestions) print("service morvane", question);
      for (const Plan& plan : plans) {
        for (const std::string& question : plan.questions) print(plan.device->InstanceId, question);
      }
      if (asked) {
        result.exitCode = ExitRefusedWithoutYes;
        return result;
      }
    }

    for (Plan& plan : plans) {
      TDevice& device = *plan.device;
      std::unique_ptr<RecordedChange> change;
      if (plan.filterChange || plan.rateChange) {
        change = std::make_unique<RecordedChange>(journal, device, CommandText(a), plan.filterChange, plan.rateChange);
        std::string error;
        const auto intended = [&](JournalEntry& e) {
          if (plan.filterChange) e.filtersAfter = TDevice::WithFilter(e.filtersBefore, plan.filterOn);
          if (plan.rateChange) e.intervalAfter = device.OverrideForRate(plan.rate);
        };
        if (!change->Begin(error, intended)) return Fail(std::move(result), ExitWriteRefused, device.InstanceId + ": " + error);
      }
      if (plan.filterChange) {
        // Written from the list the journal recorded, once a second read agrees with
        // it: a read that did not tell the truth never makes another filter go.
        std::vector<std::string> again;
        platform::System().SetLastError(0);
        if (!device.ReadLowerFilters(again)) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the filter's state cannot be read: the system refused to read its LowerFilters" +
                          SystemReason(platform::System().GetLastError()));
        }
        if (again != change->Entry().filtersBefore) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": its LowerFilters changed while being read; nothing was written");
        }
        std::vector<std::string> list = TDevice::WithFilter(again, plan.filterOn);
        platform::System().SetLastError(0);
        device.SetLowerFilters(list);
        const DWORD code = platform::System().GetLastError();
        bool installed = !plan.filterOn;
        platform::System().SetLastError(0);
        if (!device.ReadFilterInstalled(installed)) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the filter's state cannot be read back after the write: the system " +
                          "refused to read its LowerFilters" + SystemReason(platform::System().GetLastError()));
        }
        if (installed != plan.filterOn) {
          return Fail(std::move(result), code == ERROR_ACCESS_DENIED ? ExitNotAdministrator : ExitWriteRefused,
                      device.InstanceId + ": the filter could not be " +
                          (plan.filterOn ? "attached" : "detached") +
                          ": the system refused to write its LowerFilters" + SystemReason(code));
        }
        Line(result, device.InstanceId + ": filter " + (plan.filterOn ? "on" : "off"));
      }
      if (plan.rateChange) {
        platform::System().SetLastError(0);
        device.SetRate(plan.rate);
        const DWORD code = platform::System().GetLastError();
        DWORD rate = 0;
        platform::System().SetLastError(0);
        if (!device.ReadRate(rate)) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the rate cannot be read back after the write: the system refused to " +
                          "read bInterval" + SystemReason(platform::System().GetLastError()));
        }
        if (rate != plan.rate) {
          return Fail(std::move(result), code == ERROR_ACCESS_DENIED ? ExitNotAdministrator : ExitWriteRefused,
                      device.InstanceId + ": the rate could not be set: the system refused to write bInterval" +
                          SystemReason(code));
        }
        Line(result, device.InstanceId + ": rate " + device.GetRateText());
      }
      if (change) {
        if (!change->Finish()) {
          return Fail(std::move(result), ExitWriteRefused,
                      device.InstanceId + ": the change was made, but the journal of changes cannot be written: " +
                          journal.Error());
        }
        plan.recorded = true;
        plan.entry = change->Entry();
      }
    }
    if (a.restart) {
      bool reboot = false;
      for (const Plan& plan : plans) {
        const std::string id = plan.device->InstanceId;
        result = Restart(std::move(result), *plan.device, a, *host.watch);
        if (result.exitCode == ExitRebootNeeded) {
          reboot = true;
          result.exitCode = ExitDone;
        }
        const bool unhealthy = result.exitCode == ExitNotSeenInTime || result.exitCode == ExitDeviceProblem;
        if (unhealthy && plan.recorded && !a.keepOnFailure) return Undo(std::move(result), journal, plan, a, *host.watch);
        if (result.exitCode != ExitDone) return result;
      }
      if (reboot) result.exitCode = ExitRebootNeeded;
    }
  } catch (const std::exception& e) {
    return Fail(std::move(result), ExitWriteRefused,
                std::string("the system refused a step: ") + e.what() + SystemReason(platform::System().GetLastError()));
  }
  return result;
}

// ---- /install-service ----

// Who installed the service, by the journal: its last installation recorded done.
std::string InstalledBy(const TJournal& journal) {
  const auto& entries = journal.Entries();
  const auto found = std::find_if(entries.rbegin(), entries.rend(), [](const JournalEntry& e) {
    return e.instanceId.empty() && e.service == "installed" && e.state == JournalState::Done;
  });
  if (found == entries.rend()) return " (the journal does not say this program installed it)";
  return " (installed by this program at " + found->time + ")";
}

CommandResult InstallService(const Arguments& a, CommandHost& host, CommandResult result);

// The installation is recorded in the journal before it starts and marked after it,
// by whether the service is there, so that /uninstall and the next run know it.
CommandResult RunInstallService(const Arguments& a, CommandHost& host) {
  CommandResult result;
  if (!KnowWindowsFamily(result)) return result;
  if (!IsAdministrator()) return Fail(std::move(result), ExitNotAdministrator, NotAdministrator);
  const bool nt = platform::IsNtPlatform();
  const bool installed = nt && QueryServiceConfiguration(FilterServiceName) != nullptr;
  if (installed && !a.yes) {
    Line(result, "service morvane is already installed; /yes installs it again");
    result.exitCode = ExitNothingToDo;
    return result;
  }
  TJournal journal;
  if (!journal.Load()) return Fail(std::move(result), ExitWriteRefused, NoJournal(journal));
  JournalEntry entry;
  entry.command = CommandText(a);
  entry.service = "installed";
  if (!journal.Begin(entry)) {
    return Fail(std::move(result), ExitWriteRefused,
                "nothing was changed: the journal of changes cannot be written: " + journal.Error());
  }
  result = InstallService(a, host, std::move(result));
  const bool present = nt ? QueryServiceConfiguration(FilterServiceName) != nullptr : result.exitCode == ExitDone;
  entry.state = present ? JournalState::Done : JournalState::Failed;
  if (!journal.Finish(entry)) {
    Line(result, "error: service morvane: the journal of changes cannot be written: " + journal.Error());
    if (result.exitCode == ExitDone) result.exitCode = ExitWriteRefused;
  }
  return result;
}

CommandResult InstallService(const Arguments& a, CommandHost& host, CommandResult result) {
  const bool nt = platform::IsNtPlatform();
  const bool helper = IsWow64();
  const std::string what = helper ? "TALON64.EXE \"e install morvane.inf\"" : "the shell's \"install\" of morvane.inf";
  const unsigned programSeconds = std::max(a.waitSeconds, HelperWaitSeconds);
  const ProgramRun run = helper ? RunProgram(nullptr, HelperProgram, "e install morvane.inf", programSeconds, host.watch)
                                : RunProgram("install", InfFile, "", programSeconds, host.watch);
  if (!run.started) {
    return Fail(std::move(result), ExitWriteRefused,
                "the installation could not be started: " + what + " failed" + SystemReason(run.error));
  }
  if (helper) {
    // The helper checks the service and its driver file itself; its exit code says how it went.
    if (!run.ended && run.error != 0) {
      return Fail(std::move(result), ExitWriteRefused,
                  "the installation's outcome is unknown: the end of " + what + " cannot be awaited" +
                      SystemReason(run.error));
    }
    if (!run.ended) {
      return Fail(std::move(result), ExitNotSeenInTime,
                  what + " did not end within " + std::to_string(programSeconds) + " s");
    }
    if (run.exitCode != 0) {
      return Fail(std::move(result), ExitWriteRefused,
                  "the installation failed: TALON64.EXE ended with code " + std::to_string(run.exitCode) + " (" +
                      HelperExitText(run.exitCode) + ")");
    }
  }
  // The shell's installation runs in a program whose exit code says nothing; where it
  // gave no process to await, the service is awaited instead.
  if (!nt) {
    Line(result, "installation of morvane.inf started");
    return result;
  }
  if (QueryServiceConfiguration(FilterServiceName) == nullptr) {
    if (!host.watch) return Fail(std::move(result), ExitNotAvailable, "/install-service cannot wait here");
    IDeviceChangeWatch& watch = *host.watch;
    const unsigned long long deadline = watch.Now() + 1000ULL * a.waitSeconds;
    while (QueryServiceConfiguration(FilterServiceName) == nullptr) {
      const unsigned long long now = watch.Now();
      if (now >= deadline) {
        return Fail(std::move(result), ExitNotSeenInTime,
                    "the service morvane did not appear within " + std::to_string(a.waitSeconds) + " s" +
                        (helper ? " (is TALON64.EXE in the current folder?)" : ""));
      }
      watch.Wait(static_cast<unsigned>(std::min<unsigned long long>(PollInterval, deadline - now)));
    }
  }
  // A service whose driver file is not there never loads.
  const std::string imagePath = GetServiceImagePath(FilterServiceName);
  platform::System().SetLastError(0);
  if (imagePath.empty() || !OpenDriverFile(imagePath)) {
    return Fail(std::move(result), ExitWriteRefused,
                "the service morvane is installed, but its driver file " +
                    (imagePath.empty() ? std::string("cannot be named") : "\"" + GetDriverFullPath(imagePath) + "\" cannot be opened") +
                    SystemReason(platform::System().GetLastError()));
  }
  Line(result, std::string("service morvane installed, ") +
                   (IsServiceEnabled(FilterServiceName) ? "enabled" : "disabled"));
  return result;
}

// ---- /restore ----

std::string IntervalText(DWORD interval) { return interval == 0 ? std::string("(none)") : std::to_string(interval); }

// One line of /restore's question: what the device holds now and what it would hold,
// as the put-back would decide on the values read now; what the journal says where
// the device cannot be read.
std::string RestorePreview(const std::string& id, const JournalOriginal& original) {
  std::string held;
  if (original.filtersKnown) held += " LowerFilters " + ListText(original.filters);
  if (original.intervalKnown) held += std::string(original.filtersKnown ? "," : "") + " bInterval " + IntervalText(original.interval);
  OpenedDevice opened;
  if (!opened.Open(id)) {
    return id + ": the device cannot be opened now" + SystemReason(platform::System().GetLastError()) +
           "; the journal says it held" + held;
  }
  std::vector<std::string> current;
  DWORD interval = 0;
  platform::System().SetLastError(0);
  if ((original.filtersKnown && !opened.Device().ReadLowerFilters(current)) ||
      (original.intervalKnown && !opened.Device().ReadOverride(interval))) {
    return id + ": its values cannot be read now" + SystemReason(platform::System().GetLastError()) +
           "; the journal says it held" + held;
  }
  std::string what;
  bool othersChanged = false;
  if (original.filtersKnown) {
    const std::vector<std::string> wanted = FiltersToPutBack(current, original.filters, othersChanged);
    if (wanted != current) what += " LowerFilters " + ListText(current) + " -> " + ListText(wanted);
  }
  if (original.intervalKnown && interval != original.interval) {
    what += std::string(what.empty() ? "" : ",") + " bInterval " + IntervalText(interval) + " -> " +
            IntervalText(original.interval);
  }
  if (what.empty()) return id + ": already as it was";
  return id + ":" + what + (othersChanged ? std::string(" (") + kOthersChangedText + ")" : std::string());
}

CommandResult RunRestore(const Arguments& a, CommandHost& host) {
  CommandResult result;
  if (!KnowWindowsFamily(result)) return result;
  TJournal journal;
  if (!journal.Load()) {
    return Fail(std::move(result), ExitWriteRefused, "the journal of changes cannot be read: " + journal.Error());
  }
  if (a.yes && !journal.Unfinished().empty()) {
    try {
      TDeviceList list(AllCategory);
      ResolveUnfinished(result, journal, list);
    } catch (const std::exception&) {
      // The devices are opened one by one below; unfinished entries wait for a later run.
    }
  }
  std::vector<std::string> devices;
  for (const std::string& id : journal.Devices()) {
    if (SameAscii(a.pattern, "all") || MatchesPattern(a.pattern, id)) devices.push_back(id);
  }
  if (devices.empty()) {
    return Fail(std::move(result), SameAscii(a.pattern, "all") ? ExitNothingToDo : ExitDeviceNotFound,
                SameAscii(a.pattern, "all") ? "the journal names no device this program changed"
                                            : "the journal names no device matching \"" + a.pattern + "\"");
  }
  if (!IsAdministrator()) return Fail(std::move(result), ExitNotAdministrator, NotAdministrator);
  const bool safeMode = IsSafeMode();
  if (a.restart && !safeMode && (!host.watch || !host.watchError.empty())) {
    return Fail(std::move(result), ExitWriteRefused,
                "/restart cannot watch the devices: " + (host.watchError.empty() ? std::string("no watch") : host.watchError));
  }
  if (!a.yes) {
    Line(result, "error: refused without /yes: /restore would put back what the journal says these devices held:");
    for (const std::string& id : devices) {
      const std::optional<JournalOriginal> original = journal.OriginalOf(id);
      if (original) Line(result, RestorePreview(id, *original));
    }
    result.exitCode = ExitRefusedWithoutYes;
    return result;
  }
  int code = ExitNothingToDo;
  auto worse = [&code](int c) {
    if (code == ExitNothingToDo || code == ExitDone || c == ExitWriteRefused) code = c;
  };
  for (const std::string& id : devices) {
    const std::optional<JournalOriginal> original = journal.OriginalOf(id);
    if (!original || (!original->filtersKnown && !original->intervalKnown)) continue;
    OpenedDevice opened;
    if (!opened.Open(id)) {
      Line(result, "error: " + id + ": the device cannot be opened, it is not restored" +
                       SystemReason(platform::System().GetLastError()));
      worse(ExitWriteRefused);
      continue;
    }
    bool changed = false;
    if (!PutBack(result, journal, opened.Device(), *original, CommandText(a), changed)) {
      worse(ExitWriteRefused);
      continue;
    }
    if (!changed) {
      Line(result, id + ": already as it was");
      continue;
    }
    worse(ExitDone);
    if (a.restart && !safeMode) {
      CommandResult restarted = Restart(CommandResult{}, opened.Device(), a, *host.watch);
      result.output += restarted.output;
      if (restarted.exitCode != ExitDone) worse(restarted.exitCode);
    }
  }
  if (safeMode) Line(result, SafeModeLine);
  result.exitCode = code;
  return result;
}

// ---- /uninstall ----

CommandResult RunUninstall(const Arguments& a) {
  CommandResult result;
  if (!KnowWindowsFamily(result)) return result;
  TJournal journal;
  if (!journal.Load()) return Fail(std::move(result), ExitWriteRefused, NoJournal(journal));
  std::unique_ptr<TDeviceList> list;
  try {
    list = std::make_unique<TDeviceList>(AllCategory);
  } catch (const std::exception& e) {
    return Fail(std::move(result), ExitWriteRefused,
                std::string("the devices cannot be listed: the system refused ") + e.what() +
                    SystemReason(platform::System().GetLastError()));
  }
  if (a.yes) ResolveUnfinished(result, journal, *list);
  // What would change, found before anything is written.
  struct Change {
    TDevice* device = nullptr;
    std::vector<std::string> filters;  // the list as read
    bool filter = false;
    bool override = false;
  };
  std::vector<Change> changes;
  std::vector<std::string> unreadable;
  if (list->EnumerationError() != 0) {
    unreadable.push_back("the list of devices ended early, devices after it are left as they are" +
                         SystemReason(list->EnumerationError()));
  }
  for (int i = 0; i < list->Count(); ++i) {
    TDevice& device = list->GetDevice(i);
    Change change;
    change.device = &device;
    if (device.InstanceId.empty()) {
      unreadable.push_back("a device whose instance ID cannot be read is left as it is");
      continue;
    }
    platform::System().SetLastError(0);
    if (!device.ReadLowerFilters(change.filters)) {
      unreadable.push_back(device.InstanceId + ": its LowerFilters cannot be read, it is left as it is" +
                           SystemReason(platform::System().GetLastError()));
    } else {
      change.filter = std::any_of(change.filters.begin(), change.filters.end(), TDevice::IsOurFilter);
    }
    DWORD value = 0;
    if (journal.WroteOverride(device.InstanceId)) {
      platform::System().SetLastError(0);
      if (!device.ReadOverride(value)) {
        unreadable.push_back(device.InstanceId + ": its bInterval cannot be read, it is left as it is" +
                             SystemReason(platform::System().GetLastError()));
      }
      change.override = value != 0;
    }
    if (change.filter || change.override) changes.push_back(std::move(change));
  }
  DWORD serviceCode = 0;
  const Presence presence = ServicePresence(serviceCode);
  if (presence == Presence::Unknown) {
    unreadable.push_back("service morvane: whether it is installed cannot be read" + SystemReason(serviceCode));
  }
  const bool service = presence == Presence::Present;
  if (changes.empty() && !service) {
    for (const std::string& line : unreadable) Line(result, "error: " + line);
    if (!unreadable.empty()) {
      result.exitCode = ExitWriteRefused;
      return result;
    }
    Line(result, "the filter is on no device, no override of this program is left, and the service is not installed");
    result.exitCode = ExitNothingToDo;
    return result;
  }
  if (!IsAdministrator()) return Fail(std::move(result), ExitNotAdministrator, NotAdministrator);
  if (!a.yes) {
    Line(result, "error: refused without /yes: /uninstall would change:");
    for (const Change& c : changes) {
      if (c.filter) {
        std::vector<std::string> rest;
        for (const std::string& f : c.filters) {
          if (!TDevice::IsOurFilter(f)) rest.push_back(f);
        }
        Line(result, c.device->InstanceId + ": LowerFilters " + ListText(c.filters) + " -> " + ListText(rest));
      }
      if (c.override) Line(result, c.device->InstanceId + ": its bInterval override is removed");
    }
    if (service) Line(result, "service morvane: removed" + InstalledBy(journal));
    for (const std::string& line : unreadable) Line(result, line);
    result.exitCode = ExitRefusedWithoutYes;
    return result;
  }
  int code = ExitDone;
  for (Change& c : changes) {
    TDevice& device = *c.device;
    RecordedChange record(journal, device, CommandText(a), c.filter, c.override);
    std::string error;
    if (!record.Begin(error, [](JournalEntry& e) {
          std::vector<std::string> rest;
          for (const std::string& f : e.filtersBefore) {
            if (!TDevice::IsOurFilter(f)) rest.push_back(f);
          }
          if (e.filtersTouched) e.filtersAfter = rest;
          if (e.intervalTouched) e.intervalAfter = 0;
        })) {
      Line(result, "error: " + device.InstanceId + ": " + error);
      code = ExitWriteRefused;
      continue;
    }
    if (c.filter && record.Entry().filtersBefore != c.filters) {
      // Two reads that disagree: another program is changing the list, or a read
      // did not tell the truth. It is not written.
      Line(result, "error: " + device.InstanceId + ": its LowerFilters changed while being read, it is left as it is");
      code = ExitWriteRefused;
    } else if (c.filter) {
      // Read again under the record: only this program's entries go, the others stay
      // in their order.
      std::vector<std::string> rest;
      for (const std::string& f : record.Entry().filtersBefore) {
        if (!TDevice::IsOurFilter(f)) rest.push_back(f);
      }
      platform::System().SetLastError(0);
      std::vector<std::string> written = rest;
      device.SetLowerFilters(written);
      const DWORD writeCode = platform::System().GetLastError();
      std::vector<std::string> now;
      if (!device.ReadLowerFilters(now) || now != rest) {
        Line(result, "error: " + device.InstanceId + ": the filter could not be removed from its LowerFilters" +
                         SystemReason(writeCode));
        code = writeCode == ERROR_ACCESS_DENIED && code != ExitWriteRefused ? ExitNotAdministrator : ExitWriteRefused;
      } else {
        Line(result, device.InstanceId + ": LowerFilters " + ListText(record.Entry().filtersBefore) + " -> " +
                         ListText(rest));
      }
    }
    if (c.override) {
      if (!device.WriteOverride(0)) {
        Line(result, "error: " + device.InstanceId + ": its bInterval override could not be removed" +
                         SystemReason(platform::System().GetLastError()));
        code = ExitWriteRefused;
      } else {
        Line(result, device.InstanceId + ": bInterval override removed");
      }
    }
    if (!record.Finish()) {
      Line(result, "error: " + device.InstanceId + ": the journal of changes cannot be written: " + journal.Error());
      code = ExitWriteRefused;
    }
  }
  for (const std::string& line : unreadable) Line(result, "error: " + line);
  if (!unreadable.empty()) code = ExitWriteRefused;
  if (service) {
    // The service goes last: a device still naming it would not start without it.
    const bool devicesClean = code == ExitDone;
    if (!devicesClean) {
      Line(result, "error: service morvane is kept: a device may still name the filter");
    } else {
      JournalEntry entry;
      entry.command = CommandText(a);
      entry.service = "removed";
      if (!journal.Begin(entry)) {
        Line(result, "error: service morvane is kept: the journal of changes cannot be written: " + journal.Error());
        code = ExitWriteRefused;
      } else {
        platform::IServiceControl& scm = platform::ServiceControl();
        platform::System().SetLastError(0);
        platform::UniqueServiceHandle manager(scm.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        platform::UniqueServiceHandle handle(manager ? scm.OpenServiceA(manager.Get(), FilterServiceName, DELETE)
                                                     : nullptr);
        const bool deleted = handle && scm.DeleteService(handle.Get());
        const DWORD error = platform::System().GetLastError();
        handle.Reset();
        manager.Reset();
        entry.state = deleted ? JournalState::Done : JournalState::Failed;
        journal.Finish(entry);
        if (deleted) {
          Line(result, "service morvane removed");
        } else {
          Line(result, "error: service morvane could not be removed" + SystemReason(error));
          code = error == ERROR_ACCESS_DENIED ? ExitNotAdministrator : ExitWriteRefused;
        }
      }
    }
  }
  if (IsSafeMode()) Line(result, SafeModeLine);
  result.exitCode = code;
  return result;
}

// ---- /measure ----

constexpr int MeasureVersion = 1;

std::string JsonRate(const std::optional<std::int64_t>& microseconds) {
  return microseconds ? ExpectedRateText(*microseconds) : "null";
}

std::string MeasureJson(const TfrmRateMeter& meter, unsigned seconds) {
  const TMeterTarget& target = meter.Target();
  const TIntervalFigures f = meter.Figures();
  const TRateFigures counts = meter.Meter().Figures();
  const std::int64_t frequency = meter.Meter().Frequency();
  auto us = [frequency](std::int64_t ticks) { return std::to_string(MulDivRound(ticks, 1'000'000, frequency)); };
  std::string out = "{\"version\": " + std::to_string(MeasureVersion) + ", \"device\": " + JsonString(target.DeviceId) +
                    ", \"row\": " + JsonString(target.RowId) + ", \"name\": " + JsonString(target.Name) +
                    ", \"seconds\": " + std::to_string(seconds) + ", \"reports\": " + std::to_string(counts.Count) +
                    ", \"rate\": " + std::to_string(f.Rate) +
                    ", \"expectedRate\": " + JsonRate(target.Expectation.Microseconds) +
                    ", \"afterRestart\": " + (target.Expectation.AfterRestart ? "true" : "false") +
                    ", \"afterRestartRate\": " + JsonRate(target.Expectation.AfterRestartMicroseconds) +
                    ", \"fromOverride\": " + (target.Expectation.FromOverride ? "true" : "false") +
                    ", \"overrideWithoutFilter\": " + (target.Expectation.OverrideWithoutFilter ? "true" : "false") +
                    ", \"intervals\": " + std::to_string(f.Intervals);
  if (f.Intervals > 0) {
    out += ", \"minUs\": " + us(f.MinTicks) + ", \"medianUs\": " + us(f.MedianTicks) + ", \"p99Us\": " +
           us(f.P99Ticks) + ", \"maxUs\": " + us(f.MaxTicks);
  } else {
    out += ", \"minUs\": null, \"medianUs\": null, \"p99Us\": null, \"maxUs\": null";
  }
  const std::string late = LateShareText(f);
  out += ", \"latePercent\": " + (late == "-" ? std::string("null") : late) + ", \"histogram\": {";
  for (std::size_t i = 0; i < f.Histogram.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(HistogramBinNames[i]) + ": " + std::to_string(f.Histogram[i]);
  }
  out += std::string("}, \"motionLimited\": ") + (f.MotionLimited ? "true" : "false") +
         ", \"reached\": " + (ReachesExpectedRate(f, target.Expectation) ? "true" : "false") +
         ", \"verdict\": " + JsonString(VerdictText(f, target.Expectation)) + "}" + Eol;
  return out;
}

CommandResult RunMeasure(const Arguments& a, CommandHost& host) {
  CommandResult result;
  if (host.input == nullptr) return Fail(std::move(result), ExitNotAvailable, "/measure is not available in this program");
  if (!KnowWindowsFamily(result)) return result;
  std::optional<TMeterTarget> target;
  std::vector<std::string> others;
  try {
    TDeviceList list(AllCategory);
    for (int i = 0; i < list.Count(); ++i) {
      TDevice& device = list.GetDevice(i);
      if (!MatchesPattern(a.pattern, device.InstanceId) || !device.HasMouseChild()) continue;
      TMeterTarget found = MeterTargetFor(device);
      if (!target) {
        target = std::move(found);
      } else if (!SameAscii(found.DeviceId, target->DeviceId) &&
                 std::none_of(others.begin(), others.end(),
                              [&found](const std::string& id) { return SameAscii(id, found.DeviceId); })) {
        others.push_back(found.DeviceId);  // a hub's row and the mouse's own lead to one device
      }
    }
  } catch (const std::exception& e) {
    return Fail(std::move(result), ExitWriteRefused,
                std::string("the devices cannot be listed: the system refused ") + e.what() +
                    SystemReason(platform::System().GetLastError()));
  }
  if (!target) {
    return Fail(std::move(result), ExitDeviceNotFound, "no present USB device with a mouse matches " + a.pattern);
  }
  if (!others.empty()) {
    return Fail(std::move(result), ExitBadCommandLine,
                a.pattern + " matches " + std::to_string(others.size() + 1) + " mice: " + target->DeviceId + ", " +
                    Join(others) + "; /measure takes one");
  }
  HWND window = host.input->Window();
  if (window == nullptr) {
    return Fail(std::move(result), ExitWriteRefused, "the window that receives the reports cannot be made: " +
                                                          host.input->Error());
  }
  TfrmRateMeter meter(std::move(*target));
  if (!meter.Start(window)) {
    return Fail(std::move(result), ExitWriteRefused,
                "Raw Input refused the mice's reports" + SystemReason(meter.RegisterError()));
  }
  // The reports are read as the window's display timer reads them: every step, what
  // is queued, and each WM_INPUT that arrives on its own.
  const unsigned total = a.measureSeconds * 1000;
  for (unsigned elapsed = 0; elapsed < total; elapsed += MeasureStep) {
    host.input->Wait(std::min(MeasureStep, total - elapsed), [&meter](HRAWINPUT input) { meter.OnInput(input); });
    meter.OnTimer();
  }
  meter.ReadPending();
  meter.Stop();

  const TIntervalFigures figures = meter.Figures();
  const bool reached = ReachesExpectedRate(figures, meter.Target().Expectation);
  if (a.json) {
    result.output = MeasureJson(meter, a.measureSeconds);
  } else {
    const std::vector<std::string> lines = meter.Lines();
    Line(result, "Device: " + meter.Target().Name + " (" + meter.Target().DeviceId + ")");
    Line(result, "Measured: " + std::to_string(a.measureSeconds) + " s");
    // The meter's lines without its state line, the verdict named.
    for (std::size_t i = 0; i + 2 < lines.size(); ++i) Line(result, lines[i]);
    Line(result, "Verdict: " + lines[lines.size() - 2]);
  }
  result.exitCode = reached ? ExitDone : ExitRateNotReached;
  return result;
}

}  // namespace

CommandResult RunCommand(const Arguments& arguments, CommandHost& host) {
  switch (arguments.command) {
    case Command::List: return RunList(arguments);
    case Command::Set: return RunSet(arguments, host);
    case Command::InstallService: return RunInstallService(arguments, host);
    case Command::Measure: return RunMeasure(arguments, host);
    case Command::Restore: return RunRestore(arguments, host);
    case Command::Uninstall: return RunUninstall(arguments);
    case Command::Diagnose: {
      CommandResult result;
      const Diagnosis diagnosis = Diagnose();
      result.output = arguments.json ? DiagnosisJson(diagnosis) : DiagnosisText(diagnosis);
      return result;
    }
    case Command::Version: {
      CommandResult result;
      Line(result, "MORVANE Setup " MORVANE_VERSION_TEXT);
      return result;
    }
    case Command::Snapshot: {
      CommandResult result;
      if (!host.snapshot) {
        return Fail(std::move(result), ExitNotAvailable, "/snapshot is not available in this program");
      }
      result.exitCode = host.snapshot(arguments.snapshotFile, result.output);
      return result;
    }
  }
  return {};
}

CommandResult RunParsed(const ParseResult& parsed, CommandHost& host) {
  if (!parsed.error.empty()) {
    CommandResult result;
    return Fail(std::move(result), ExitBadCommandLine, "bad command line: " + parsed.error);
  }
  return RunCommand(parsed.arguments, host);
}

}  // namespace morvane::cli
