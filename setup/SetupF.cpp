#include "setup/SetupF.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <exception>
#include <utility>
#include <vector>

#include "devices/DeviceList.h"
#include "devices/SessionChanges.h"
#include "devices/DeviceTables.h"
#include "devices/Journal.h"
#include "platform/platform.h"
#include "setup/Unfinished.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"
#include "talon64/TalonExit.h"

namespace morvane {
namespace {

constexpr const char* TextQ1 =
    "Filter driver service (morvane) is disabled or not installed, continue Setup?\r\n"
    "Hint: Don't forget to [Install Service] one time before anything else.";
constexpr const char* TextQ3 = "It is not good idea to set up filter for device with problem, continue Setup?";
constexpr const char* TextQ4 =
    "Filter driver is probably useless for this device (without Interrupt Pipes), continue Setup?";
constexpr const char* TextQ6 =
    "Overclocking to higher USB Speed Class(*), change rate?\r\nNotes:\r\n"
    "(*) You have to use recent(**) Patching version of MORVANE.SYS or recent(**) standalone MORVANEP.SYS "
    "Patcher in most(***) cases\r\n"
    "(**) Recent for your OS. See manual which OSes and they versions are supported\r\n"
    "(***) Examples of exception are MS Drivers for OHCI and UHCI Controllers in Windows 2000 or VIA Drivers "
    "for xHCI Controllers";
constexpr const char* TextM7 =
    "Device doesn't restart after 10 seconds, you probably have some problem in your system like running Setup "
    "without Admin rights or you run Setup with current folder without Helper module (TALON64.EXE) on x64 "
    "system (possibly from archive directly without unzipping?) or AV is preventing executing of Helper module "
    "or something holds this device opened (uses it). You can try to disconnect and then reconnect device or "
    "reboot system.";
constexpr const char* CaptionM7 = " Error!!!";

constexpr const char* HelperProgram = "TALON64.EXE";
constexpr const char* InfFile = "morvane.inf";

// Assembled by concatenation rather than printf: the error text and the directory
// are the system's and may hold '%'.
std::string TextQ2(DWORD code, const std::string& errorText, const std::string& windowsDir) {
  return "Error trying to test loading of filter service: " + std::to_string(static_cast<std::int32_t>(code)) +
         "\r\n" + errorText +
         "Something (Windows 10+ x64 with Secure Boot, antivirus, protection/anticheat engine, broken "
         "installation of service, absent or wrong " +
         windowsDir +
         "\\SYSTEM32\\DRIVERS\\MORVANE.SYS, morvane.sys from morvaneN.zip without Test Mode on x64, enforced "
         "kernel code loading policy, enabled memory integrity, etc.) prevents filter service from running; "
         "device will stop functioning after [Restart] with high probability, continue Setup?";
}

std::string TextQ5(const std::string& serviceName) {
  return "Controller Driver \"" + serviceName +
         "\" is unknown, some overclocking (to higher USB Speed Class) is probably impossible, continue "
         "Setup?\r\n"
         "Hint: If you really want this overclocking and have other USB Controllers in your system then try to "
         "use them.";
}

// ShellExecute's results of a failed start (all 32 and below), and the system
// error codes they stand for.
constexpr std::intptr_t kShellOutOfResources = 0;
constexpr std::intptr_t kShellFileNotFound = 2;
constexpr std::intptr_t kShellPathNotFound = 3;
constexpr std::intptr_t kShellAccessDenied = 5;
constexpr std::intptr_t kShellOutOfMemory = 8;
constexpr std::intptr_t kShellBadFormat = 11;
constexpr std::intptr_t kShellSharingViolation = 26;
constexpr std::intptr_t kShellAssociationIncomplete = 27;
constexpr std::intptr_t kShellDdeTimeout = 28;
constexpr std::intptr_t kShellDdeFailed = 29;
constexpr std::intptr_t kShellDdeBusy = 30;
constexpr std::intptr_t kShellNoAssociation = 31;
constexpr std::intptr_t kShellDllNotFound = 32;
constexpr DWORD kErrorBadFormat = 11;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorNoAssociation = 1155;
constexpr DWORD kErrorDdeFailed = 1156;
constexpr DWORD kErrorDllNotFound = 1157;

// The system error code behind a failed ShellExecute start: the thread's last error
// when the shell left one, otherwise the one its result code stands for.
DWORD ShellStartError(std::intptr_t result, DWORD lastError) {
  if (lastError != ERROR_SUCCESS) return lastError;
  switch (result) {
    case kShellOutOfResources:
    case kShellOutOfMemory: return ERROR_NOT_ENOUGH_MEMORY;
    case kShellFileNotFound: return ERROR_FILE_NOT_FOUND;
    case kShellPathNotFound: return ERROR_PATH_NOT_FOUND;
    case kShellAccessDenied: return ERROR_ACCESS_DENIED;
    case kShellBadFormat: return kErrorBadFormat;
    case kShellSharingViolation: return kErrorSharingViolation;
    case kShellAssociationIncomplete:
    case kShellNoAssociation: return kErrorNoAssociation;
    case kShellDdeTimeout:
    case kShellDdeFailed:
    case kShellDdeBusy: return kErrorDdeFailed;
    case kShellDllNotFound: return kErrorDllNotFound;
    default: return ERROR_SUCCESS;
  }
}

char ToUpperAscii(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }

std::string ToUpperAscii(std::string_view text) {
  std::string result(text);
  for (char& ch : result) ch = ToUpperAscii(ch);
  return result;
}

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

// Reads one argument from `pos` on (blanks before it skipped); false when none is left.
bool NextArgument(std::string_view line, std::size_t& pos, std::string& argument) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size()) return false;
  argument.clear();
  bool quoted = false;
  for (; pos < line.size(); ++pos) {
    const char ch = line[pos];
    if (ch == '"') {
      quoted = !quoted;
    } else if (IsBlank(ch) && !quoted) {
      break;
    } else {
      argument += ch;
    }
  }
  return true;
}

}  // namespace

std::string FirstCommandLineArgument(std::string_view commandLine) {
  std::size_t pos = 0;
  std::string argument;
  if (!NextArgument(commandLine, pos, argument)) return {};  // not even a program name
  if (!NextArgument(commandLine, pos, argument)) return {};
  return argument;
}

std::vector<std::string> CommandLineArguments(std::string_view commandLine) {
  std::size_t pos = 0;
  std::string argument;
  std::vector<std::string> arguments;
  if (!NextArgument(commandLine, pos, argument)) return arguments;  // not even a program name
  while (NextArgument(commandLine, pos, argument)) arguments.push_back(argument);
  return arguments;
}

int CategoryFromArgument(std::string_view argument) {
  std::string arg = ToUpperAscii(argument);
  if (!arg.empty() && (arg.front() == '/' || arg.front() == '-')) arg.erase(0, 1);
  int selected = 0;
  if (arg.empty()) return selected;
  for (int i = 0; i < static_cast<int>(DeviceCategories.size()); ++i) {
    const std::string_view name = DeviceCategories[i];
    const std::string_view tail = arg.size() >= name.size() ? name : name.substr(name.size() - arg.size());
    if (ToUpperAscii(tail) == arg) selected = i;
  }
  return selected;
}

int ScaleByDpi(int value, int pixelsPerInch) {
  return static_cast<int>(static_cast<std::int64_t>(value) * pixelsPerInch / 96);
}

std::string GetLastErrorText() {
  const std::string text = GetSysErrorText(platform::System().GetLastError());
  if (text.empty()) return {};
  return "\"" + text + "\"\r\n";
}

std::string TextHelperFailed(unsigned long code) {
  return std::string("The device could not be restarted: ") + HelperProgram + " ended with code " +
         std::to_string(code) + " (" + TalonExitText(code) + ").";
}

std::string GetSpeedName(unsigned char speed) {
  static constexpr const char* SpeedNames[] = {"Low", "Full", "High", "Super", "SuperPlus"};
  return speed < 5 ? SpeedNames[speed] : "Unknown";
}

// Sets Updating for the length of a programmatic change of cbFilter or cbRate,
// and clears it on every way out.
class TfrmSetup::UpdatingScope {
 public:
  explicit UpdatingScope(TfrmSetup& form) : form_(form) { form_.Updating = true; }
  ~UpdatingScope() { form_.Updating = false; }
  UpdatingScope(const UpdatingScope&) = delete;
  UpdatingScope& operator=(const UpdatingScope&) = delete;

 private:
  TfrmSetup& form_;
};

TfrmSetup::TfrmSetup(const TSetupControls& controls)
    : DeviceList(std::make_unique<TDeviceList>()), c_(controls) {}

TfrmSetup::~TfrmSetup() = default;

HWND TfrmSetup::Owner() const { return static_cast<HWND>(c_.Form->Handle()); }

// ---- Creation, showing, destruction ----

void TfrmSetup::FormCreate(const std::string& firstArgument) {
  DeviceList = std::make_unique<TDeviceList>();
  c_.cbRate->Clear();
  c_.cbRate->AddItem(RateTexts[0]);
  c_.cbDevices->Clear();
  for (const char* name : DeviceCategories) c_.cbDevices->AddItem(name);
  c_.cbDevices->SetItemIndex(CategoryFromArgument(firstArgument));
  RefreshDevices();
}

int TfrmSetup::ScaleByDpi(int value) const { return morvane::ScaleByDpi(value, c_.Form->PixelsPerInch()); }

void TfrmSetup::FormShow() {
  IForm& form = *c_.Form;
  if (form.PixelsPerInch() > 96) {
    form.SetClientHeight(ScaleByDpi(form.ClientHeight()));
    form.SetClientWidth(ScaleByDpi(form.ClientWidth()));
    ScaleGrid();
  }
  FitGridAndWidth();
  if (!unfinishedResolved_) {
    unfinishedResolved_ = true;
    try {
      ResolveUnfinishedChanges();
    } catch (const std::exception& e) {
      // Raised nowhere else: the window has to appear all the same. What was not
      // resolved stays pending for the next start or command.
      const std::string text = std::string("Changes that an earlier run began and did not finish could not be "
                                           "resolved: ") + e.what();
      platform::User().MessageBoxA(Owner(), text.c_str(), CaptionUnfinishedChanges, MB_ICONWARNING);
    }
  }
}

// The window has taken the size the system suggested for its new pixels per inch and
// given the grid its design sizes again; the grid is scaled and filled from there, as
// when the window was first shown.
void TfrmSetup::FormDpiChanged() {
  if (c_.Form->PixelsPerInch() > 96) ScaleGrid();
  FitGridAndWidth();
}

void TfrmSetup::ScaleGrid() {
  IGrid& grid = *c_.dgDevices;
  grid.SetDefaultRowHeight(ScaleByDpi(grid.DefaultRowHeight()));
  for (int col = 0; col < 6; ++col) grid.SetColWidth(col, ScaleByDpi(grid.ColWidth(col)));
}

void TfrmSetup::FitGridAndWidth() {
  IForm& form = *c_.Form;
  IGrid& grid = *c_.dgDevices;
  int total = (grid.GridLineWidth() + 1) * (grid.ColCount() - 1);
  for (int col = 0; col < grid.ColCount(); ++col) total += grid.ColWidth(col);
  grid.SetColWidth(4, grid.ColWidth(4) + grid.Width() - total);

  const int minimum = c_.pnlFOOT->Left() + c_.btnClose->Left() + c_.btnClose->Width() + c_.btnClose->Height();
  if (form.ClientWidth() < minimum) form.SetClientWidth(minimum);
}

void TfrmSetup::FormDestroy() {
  try {
    FinishInstallRecord();
  } catch (...) {
    // Left pending: the next start marks it by the service it finds.
  }
  StopWatchingHelper();
  DeviceList.reset();
  DeviceCount = 0;
}

void TfrmSetup::btnCloseClick() { c_.Form->Close(); }

// ---- The list ----

void TfrmSetup::RefreshDevices() {
  if (actionDepth_ > 0) {
    refreshPending_ = true;  // the running action still holds a device of this list
    return;
  }
  RunRefresh();
}

void TfrmSetup::RunRefresh() {
  refreshPending_ = false;
  if (DeviceCount > 0) LastSelectedId = GetSelectedDevice().InstanceId;

  DeviceList.reset();
  DeviceCount = 0;
  ChangeCount = 0;
  try {
    DeviceList = std::make_unique<TDeviceList>(c_.cbDevices->ItemIndex());
  } catch (...) {
    // Shown as an empty list and retried: the timer handler sees ChangeCount != 0.
    DeviceList = std::make_unique<TDeviceList>();
    ChangeCount = 1;
    c_.tmrDeviceChange->SetInterval(RetryInterval);
    c_.tmrDeviceChange->SetEnabled(true);
  }

  DeviceCount = DeviceList->Count();
  c_.dgDevices->SetRowCount((DeviceCount > 1 ? DeviceCount : 1) + 1);
  if (DeviceCount == 0) {
    DisableDeviceControls();
    UpdatingScope updating(*this);
    c_.cbFilter->SetChecked(false);
    c_.cbRate->SetItemIndex(0);
  } else {
    EnableDeviceControls();
    if (!LastSelectedId.empty()) {
      for (int i = 0; i < DeviceCount; ++i) {
        if (DeviceList->GetDevice(i).InstanceId == LastSelectedId) {
          SetSelectedIndex(i);
          break;
        }
      }
    }
    try {
      UpdateDeviceControls(GetSelectedIndex());
    } catch (...) {
      // The boxes still show the device as the old list read it, which may have
      // changed since: they show what a failed read answers instead.
      UpdatingScope updating(*this);
      c_.cbFilter->SetChecked(false);
      c_.cbRate->SetItemIndex(0);
      c_.dgDevices->Invalidate();
      throw;
    }
  }
  c_.dgDevices->Invalidate();
  ObserveChangedDevices();  // the list made again may find a changed device back
}

void TfrmSetup::cbDevicesClick() { RefreshDevices(); }

int TfrmSetup::GetSelectedIndex() const { return c_.dgDevices->Row() - 1; }

void TfrmSetup::SetSelectedIndex(int index) {
  if (index + 1 != c_.dgDevices->Row()) c_.dgDevices->SetCurrentCell(c_.dgDevices->Col(), index + 1);
}

TDevice& TfrmSetup::GetSelectedDevice() { return DeviceList->GetDevice(GetSelectedIndex()); }

void TfrmSetup::EnableDeviceControls() {
  c_.dgDevices->SetEnabled(true);
  c_.cbFilter->SetEnabled(true);
  c_.cbRate->SetEnabled(true);
  c_.btnApply->SetEnabled(true);
  c_.btnCopyID->SetEnabled(true);
}

void TfrmSetup::DisableDeviceControls() {
  c_.dgDevices->SetEnabled(false);
  c_.cbFilter->SetEnabled(false);
  c_.cbRate->SetEnabled(false);
  c_.btnApply->SetEnabled(false);
  c_.btnCopyID->SetEnabled(false);
}

void TfrmSetup::UpdateDeviceControls(int index) {
  if (index < 0 || index >= DeviceCount) return;
  TDevice& device = DeviceList->GetDevice(index);
  // Every question is asked before a control changes: a device operation that raises
  // (the parent hub cannot be opened) leaves both boxes showing the device of the
  // row that stays current, not half of the new one.
  const bool filterInstalled = device.IsFilterInstalled();
  std::vector<std::string> items{RateTexts[0]};
  if (device.IsHighSpeedOrFaster()) {
    for (int shift = 0; shift <= 5; ++shift) items.push_back(std::to_string(8000 >> shift));
  } else {
    const bool lowSpeed = device.IsLowSpeed();
    for (int k = 1; k <= 6; ++k) items.push_back(std::string(RateTexts[k]) + (lowSpeed && k <= 3 ? " *" : ""));
  }
  const int rateIndex = static_cast<int>(device.GetRate());

  UpdatingScope updating(*this);
  c_.cbFilter->SetChecked(filterInstalled);
  IComboBox& rate = *c_.cbRate;
  rate.Clear();
  for (const std::string& item : items) rate.AddItem(item);
  rate.SetItemIndex(rateIndex);
}

// ---- Grid ----

void TfrmSetup::dgDevicesDrawCell(int col, int row, const TRect& rect, const TGridDrawState& state,
                                  ICanvas& canvas) {
  if (col < 0 || col >= 6) return;
  const int index = row - 1;
  if (index < 0) {
    canvas.TextOut(rect.Left + 3, rect.Top + 3, GridTitles[col], rect);
    return;
  }
  if (index >= DeviceCount) return;

  TDevice& device = DeviceList->GetDevice(index);
  std::string text;
  switch (col) {
    case 0: text = device.GetName(); break;
    case 1: text = FilterStateTexts[device.IsFilterInstalled() ? 1 : 0]; break;
    case 2: text = device.GetRateText(); break;
    case 3: text = FormatIntervalRange(device.GetMinInterval(), device.GetMaxInterval()); break;
    case 4: text = device.GetChildNames(); break;
    case 5: text = device.GetControllerDevice().GetName(); break;
  }
  // The grid has already painted the normal cell background; only the tints are ours.
  if (!state.Selected && !state.Focused) {
    if (device.HasProblem()) {
      canvas.FillRect(rect, ProblemTint);
    } else if (device.QueryConnection()) {
      canvas.FillRect(rect, InterruptTint);
    }
  }
  canvas.TextOut(rect.Left + 3, rect.Top + 3, text, rect);
}

void TfrmSetup::dgDevicesSelectCell(int /*col*/, int row, bool& canSelect) {
  const int index = row - 1;
  canSelect = index >= 0;
  if (canSelect) UpdateDeviceControls(index);
}

// ---- Actions ----

// Runs an action that may hold a TDevice across a nested message loop. Refreshes
// requested meanwhile wait until the outermost action has ended; an exception of the
// action passes on after that refresh.
template <typename Action>
void TfrmSetup::RunAction(Action&& action) {
  std::exception_ptr failure;
  ++actionDepth_;
  try {
    std::forward<Action>(action)();
  } catch (...) {
    failure = std::current_exception();
  }
  --actionDepth_;
  if (actionDepth_ == 0 && refreshPending_) {
    if (failure) {
      try {
        RunRefresh();
      } catch (...) {
        // The action's own error is the one to show.
      }
    } else {
      RunRefresh();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

bool TfrmSetup::Ask(const std::string& text, bool warning, bool defaultYes) {
  return !ShowMessageBox(Owner(), text, warning, defaultYes);
}

// The installation is recorded before it starts. The started program installs the
// service on its own time: its entry is marked when the service is seen, at the
// latest when the window closes (and else at the next start).
void TfrmSetup::btnInstallClick() {
  FinishInstallRecord();
  TJournal journal;
  if (!journal.Load()) throw Error("Nothing was changed: the journal of changes cannot be read: " + journal.Error());
  JournalEntry entry;
  entry.command = "window: install service";
  entry.service = "installed";
  if (!journal.Begin(entry)) {
    throw Error("Nothing was changed: the journal of changes cannot be written: " + journal.Error());
  }
  installRecord_ = entry;
  // The last error is cleared first: the shell does not always set it, and a stale
  // code would name the wrong cause.
  platform::System().SetLastError(ERROR_SUCCESS);
  HINSTANCE result = nullptr;
  if (IsWow64()) {
    result =
        platform::User().ShellExecuteA(Owner(), nullptr, HelperProgram, "e install morvane.inf", nullptr, SW_SHOW);
  } else {
    result = platform::User().ShellExecuteA(Owner(), "install", InfFile, nullptr, nullptr, SW_SHOW);
  }
  // What the started program does is its own business; a start that failed is ours
  // to report, in the error box of the message loop.
  const auto code = static_cast<std::intptr_t>(reinterpret_cast<std::uintptr_t>(result));
  if (code <= 32) {
    const DWORD error = ShellStartError(code, platform::System().GetLastError());
    FinishInstallRecord(false);
    throw SysError(error);
  }
  if (platform::IsNtPlatform() && QueryServiceConfiguration(FilterServiceName) != nullptr) FinishInstallRecord();
}

void TfrmSetup::FinishInstallRecord(std::optional<bool> installed) {
  if (!installRecord_) return;
  JournalEntry entry = *installRecord_;
  installRecord_.reset();
  const DWORD lastError = platform::System().GetLastError();
  if (!installed) installed = platform::IsNtPlatform() && QueryServiceConfiguration(FilterServiceName) != nullptr;
  entry.state = *installed ? JournalState::Done : JournalState::Failed;
  TJournal journal;
  if (journal.Load()) journal.Finish(entry);  // else left pending: the next start marks it
  platform::System().SetLastError(lastError);
}

// Puts the check box back to what the device's lower filters say. `fallback` is
// shown when the device cannot tell.
void TfrmSetup::ShowFilterState(TDevice* device, bool fallback) {
  bool installed = fallback;
  if (device != nullptr) {
    try {
      installed = device->IsFilterInstalled();
    } catch (const std::exception&) {
    }
  }
  UpdatingScope updating(*this);
  c_.cbFilter->SetChecked(installed);
}

void TfrmSetup::ShowRateState(TDevice* device) {
  int rate = 0;
  if (device != nullptr) {
    try {
      rate = static_cast<int>(device->GetRate());
    } catch (const std::exception&) {
    }
  }
  UpdatingScope updating(*this);
  c_.cbRate->SetItemIndex(rate);
}

bool TfrmSetup::AskServiceQuestions() {
  if (!IsServiceEnabled(FilterServiceName) && !Ask(TextQ1, true, false)) return false;
  if (!TestServiceLoading(FilterServiceName)) {
    const DWORD code = platform::System().GetLastError();
    const std::string errorText = GetLastErrorText();
    std::string windowsDir;
    GetWindowsDir(windowsDir);
    if (!Ask(TextQ2(code, errorText, windowsDir), true, false)) return false;
  }
  return true;
}

bool TfrmSetup::AskFilterQuestions(TDevice& device) {
  if (platform::IsNtPlatform() && !AskServiceQuestions()) return false;
  if (device.HasProblem() && !Ask(TextQ3, true, false)) return false;
  if (!device.QueryConnection() && !Ask(TextQ4, false, false)) return false;
  if (!device.IsControllerDriverKnown()) {
    const std::string name = device.GetControllerDevice().GetServiceName();
    if (!Ask(TextQ5(name), false, false)) return false;
  }
  return true;
}

// Records a change of the window in the journal before it is made; a journal that
// cannot be read or written stops the change with the reason in the error box.
void TfrmSetup::BeginRecord(TJournal& journal, TRecordedChange& change,
                            const std::function<void(JournalEntry&)>& intended) {
  if (!journal.Load()) throw Error("Nothing was changed: the journal of changes cannot be read: " + journal.Error());
  if (!change.Begin(intended)) {
    // A read of the device the system refused: its own error, as any refused call.
    if (change.FailureCode() != 0) throw SysError(change.FailureCode());
    throw Error("Nothing was changed: " + change.FailureText());
  }
}

void TfrmSetup::cbFilterClick() {
  if (Updating) return;
  const bool on = c_.cbFilter->Checked();
  RunAction([&] {
    TDevice* device = nullptr;
    try {
      device = &GetSelectedDevice();
      if (on && !AskFilterQuestions(*device)) {
        UpdatingScope updating(*this);
        c_.cbFilter->SetChecked(false);
        return;
      }
      // Recorded before it is made; a journal that cannot be written stops it.
      TJournal journal;
      TRecordedChange change(journal, *device, on ? "window: filter on" : "window: filter off", true, false);
      BeginRecord(journal, change, [on](JournalEntry& e) { e.filtersAfter = TDevice::WithFilter(e.filtersBefore, on); });
      platform::System().SetLastError(ERROR_SUCCESS);
      device->SetFilterInstalled(on);
      const DWORD code = platform::System().GetLastError();
      change.Finish();
      NoteChange(change.Entry(), *device);
      // The box shows what the device's lower filters now hold: a write the platform
      // refused (or a list that could not be read whole, which is never written back)
      // leaves the filter as it was, the box says so and the error box tells why.
      ShowFilterState(device, on);
      c_.dgDevices->Invalidate();
      if (device->IsFilterInstalled() != on) throw SysError(code);
    } catch (...) {
      ShowFilterState(device, !on);
      throw;
    }
  });
}

void TfrmSetup::cbRateClick() {
  if (Updating) return;
  const int k = c_.cbRate->ItemIndex();
  if (k < 0) return;
  RunAction([&] {
    TDevice* device = nullptr;
    try {
      device = &GetSelectedDevice();
      const unsigned current = device->GetRate();
      const bool overclocking = platform::IsNtPlatform() && device->IsLowSpeed() && k >= 1 && k <= 3 &&
                                (current == 0 || current >= 4);
      if (overclocking && !Ask(TextQ6, false, true)) {
        ShowRateState(device);
        return;
      }
      TJournal journal;
      TRecordedChange change(journal, *device, "window: rate " + c_.cbRate->Item(k), false, true);
      BeginRecord(journal, change, [device, k](JournalEntry& e) {
        e.intervalAfter = device->OverrideForRate(static_cast<DWORD>(k));
      });
      platform::System().SetLastError(ERROR_SUCCESS);
      device->SetRate(static_cast<unsigned>(k));
      const DWORD code = platform::System().GetLastError();
      change.Finish();
      NoteChange(change.Entry(), *device);
      ShowRateState(device);  // a refused write shows the rate the device keeps
      c_.dgDevices->Invalidate();
      if (device->GetRate() != static_cast<DWORD>(k)) throw SysError(code);
    } catch (...) {
      ShowRateState(device);
      throw;
    }
  });
}

void TfrmSetup::btnApplyClick() {
  DisableDeviceControls();
  // The wait is armed before the restart is asked for, so that notifications
  // delivered while the request runs are counted rather than reset, and so that a
  // request that fails ends in M7 with the controls enabled again.
  ChangeCount = 0;
  StopWatchingHelper();
  c_.tmrDeviceChange->SetInterval(RestartWaitInterval);
  c_.tmrDeviceChange->SetEnabled(true);
  RunAction([&] {
    TDevice& device = GetSelectedDevice();
    // A device the window changed since its last restart is checked when it is back.
    awaiting_.reset();
    const auto changed = changedSinceRestart_.find(ToUpperAscii(device.InstanceId));
    if (changed != changedSinceRestart_.end()) {
      awaiting_ = changed->second;
      changedSinceRestart_.erase(changed);
      awaitingInput_ = changedIsInput_[ToUpperAscii(device.InstanceId)] || device.HasMouseChild() ||
                       device.HasKeyboardChild();
      changedIsInput_.erase(ToUpperAscii(device.InstanceId));
    }
    RequestRestart(device);
  });
}

void TfrmSetup::RequestRestart(TDevice& device) {
  if (IsWow64()) {
    // Started with its process, so that its exit code can tell a restart that waits
    // for Windows from one that did not happen. A start that fails ends in M7.
    const std::string parameters = "U " + device.InstanceId;
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = Owner();
    info.lpFile = HelperProgram;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (platform::User().ShellExecuteExA(&info)) {
      helperProcess_.Reset(info.hProcess);
      helperDeviceId_ = device.InstanceId;
      // Started without a process to watch: the helper took the request, as the class
      // installer takes it on the direct path, and the settings changed this session
      // are those the device starts with now.
      if (!helperProcess_) NoteDeviceRestarted(device.InstanceId);
    }
    // Looked at now and then every HelperPollInterval ms until it ends: its reboot
    // code or its failure is said as soon as it is known.
    if (!PollHelper() && helperProcess_ && c_.tmrHelper != nullptr) {
      c_.tmrHelper->SetInterval(HelperPollInterval);
      c_.tmrHelper->SetEnabled(true);
    }
  } else {
    if (device.TryRestartDevice() && RestartNeedsReboot(device)) ShowRebootNeeded();
  }
}

void TfrmSetup::NoteChange(const JournalEntry& entry, TDevice& device) {
  if (entry.state != JournalState::Done) return;
  // Asked now and again at the restart: one read that failed cannot skip the question.
  bool& input = changedIsInput_[ToUpperAscii(entry.instanceId)];
  input = input || device.HasMouseChild() || device.HasKeyboardChild();
  JournalOriginal& before = changedSinceRestart_[ToUpperAscii(entry.instanceId)];
  before.instanceId = entry.instanceId;
  if (entry.filtersTouched && !before.filtersKnown) {
    before.filtersKnown = true;
    before.filters = entry.filtersBefore;
  }
  if (entry.intervalTouched && !before.intervalKnown) {
    before.intervalKnown = true;
    before.interval = entry.intervalBefore;
  }
}

namespace {

// A device opened by its instance ID alone, present or not.
class OpenedDevice {
 public:
  explicit OpenedDevice(const std::string& instanceId) {
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    set_ = platform::UniqueDevInfo(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set_) return;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!setup.SetupDiOpenDeviceInfoA(set_.Get(), instanceId.c_str(), nullptr, 0, &data)) return;
    device_ = std::make_unique<TDevice>(set_.Get(), data, set_.Get());
  }
  TDevice* Device() { return device_.get(); }

 private:
  platform::UniqueDevInfo set_;
  std::unique_ptr<TDevice> device_;  // destroyed before its set
};

}  // namespace

// The restarted device the window changed: one that is not back or came back with a
// problem gets its settings back at once; one with a mouse or keyboard child asks
// first, and no answer puts them back too.
void TfrmSetup::CheckRestartedDevice() {
  if (!awaiting_) return;
  const JournalOriginal target = *awaiting_;
  awaiting_.reset();
  ULONG status = 0, problem = 0;
  bool present = false;
  {
    OpenedDevice opened(target.instanceId);
    present = opened.Device() != nullptr &&
              platform::ConfigManager().CM_Get_DevNode_Status(&status, &problem, opened.Device()->InfoData.DevInst, 0) ==
                  CR_SUCCESS;
  }
  if (!present) {
    PutBackAndRestart(target, target.instanceId + " did not come back after its restart.");
  } else if ((status & DN_HAS_PROBLEM) != 0 || problem != 0) {
    PutBackAndRestart(target, target.instanceId + " came back with problem " + std::to_string(problem) + ": " +
                                  GetProblemText(problem));
  } else if (awaitingInput_ && c_.keepBox != nullptr &&
             !c_.keepBox->AskKeep(Owner(), TextKeepSettings, KeepSeconds)) {
    PutBackAndRestart(target, "");
  } else if (target.intervalKnown && OnMeasureDevice) {
    // The rate changed and the device runs with it: measuring it is offered when a
    // mouse sends the reports.
    bool mouse = false;
    try {
      OpenedDevice opened(target.instanceId);
      mouse = opened.Device() != nullptr && opened.Device()->HasMouseChild();
    } catch (const std::exception&) {
    }
    if (mouse && Ask(TextMeasureNow, false, true)) OnMeasureDevice(target.instanceId);
  }
}

void TfrmSetup::PutBackAndRestart(const JournalOriginal& target, const std::string& why) {
  try {
    TJournal journal;
    PutBack(target, journal, "window: undo");
  } catch (...) {
    try {
      RefreshDevices();  // the boxes and the grid show what the device holds
    } catch (...) {
      // The put-back's own error is the one to show.
    }
    throw;
  }
  // The boxes and the grid show the settings put back, before the restart is awaited.
  // A refresh that failed does not keep the device from starting with them: its
  // error is shown once the restart is asked for.
  std::exception_ptr refreshFailure;
  try {
    RefreshDevices();
  } catch (...) {
    refreshFailure = std::current_exception();
  }
  DisableDeviceControls();
  ChangeCount = 0;
  StopWatchingHelper();
  c_.tmrDeviceChange->SetInterval(RestartWaitInterval);
  c_.tmrDeviceChange->SetEnabled(true);
  RunAction([&] {
    OpenedDevice opened(target.instanceId);
    if (opened.Device() != nullptr) RequestRestart(*opened.Device());
    const std::string text = (why.empty() ? std::string() : why + "\r\n") +
                             "The previous settings of " + target.instanceId +
                             " were put back, and the device is restarted again.";
    platform::User().MessageBoxA(Owner(), text.c_str(), CaptionSettingsPutBack,
                                 why.empty() ? MB_ICONINFORMATION : MB_ICONWARNING);
  });
  if (refreshFailure) std::rethrow_exception(refreshFailure);
}

void TfrmSetup::PutBack(const JournalOriginal& target, TJournal& journal, const std::string& command) {
  RunAction([&] {
    OpenedDevice opened(target.instanceId);
    if (opened.Device() == nullptr) throw SysError(platform::System().GetLastError());
    TDevice& device = *opened.Device();
    std::vector<std::string> current;
    if (target.filtersKnown && !device.ReadLowerFilters(current)) throw SysError(platform::System().GetLastError());
    // The list as it was when its other filters are still those of then; else only
    // this program's entry is put back, every other entry staying where it is.
    auto others = [](const std::vector<std::string>& list) {
      std::vector<std::string> rest;
      for (const std::string& f : list) {
        if (!TDevice::IsOurFilter(f)) rest.push_back(f);
      }
      return rest;
    };
    const bool ours = std::any_of(target.filters.begin(), target.filters.end(), TDevice::IsOurFilter);
    std::vector<std::string> wanted =
        others(current) == others(target.filters) ? target.filters : TDevice::WithFilter(current, ours);
    TRecordedChange change(journal, device, command, target.filtersKnown, target.intervalKnown);
    BeginRecord(journal, change, [&](JournalEntry& e) {
      if (target.filtersKnown) e.filtersAfter = wanted;
      if (target.intervalKnown) e.intervalAfter = target.interval;
    });
    if (target.filtersKnown && change.Entry().filtersBefore != current) {
      throw Error("The settings were not put back: the device's LowerFilters changed while being read.");
    }
    DWORD code = 0;
    if (target.filtersKnown && wanted != current) {
      platform::System().SetLastError(ERROR_SUCCESS);
      device.SetLowerFilters(wanted);
      code = platform::System().GetLastError();
    }
    if (target.intervalKnown && !device.WriteOverride(target.interval)) code = platform::System().GetLastError();
    change.Finish();
    std::vector<std::string> now;
    DWORD interval = 0;
    const bool read = (!target.filtersKnown || device.ReadLowerFilters(now)) &&
                      (!target.intervalKnown || device.ReadOverride(interval));
    if (!read || (target.filtersKnown && now != wanted) || (target.intervalKnown && interval != target.interval)) {
      throw SysError(code != 0 ? code : ERROR_GEN_FAILURE);
    }
  });
}

// Changes an earlier run began and did not finish are resolved before the user
// changes anything, as the command line does, and the user is told what was found.
// A journal that cannot be read is reported when a change is tried.
void TfrmSetup::ResolveUnfinishedChanges() {
  TJournal journal;
  if (!journal.Load() || journal.Unfinished().empty()) return;
  std::vector<std::unique_ptr<OpenedDevice>> opened;
  std::string notes;
  bool allResolved = true;
  TUnfinishedHooks hooks;
  hooks.find = [&opened](const std::string& instanceId) {
    opened.push_back(std::make_unique<OpenedDevice>(instanceId));
    return opened.back()->Device();
  };
  hooks.finishUndo = [&](TDevice&, const JournalOriginal& target, const std::string& command) {
    try {
      PutBack(target, journal, command);
      return true;
    } catch (const std::exception& e) {
      notes += std::string(e.what()) + "\r\n";
      return false;
    }
  };
  hooks.note = [&](const std::string& note, bool resolved) {
    notes += note + "\r\n";
    allResolved = allResolved && resolved;
  };
  ResolveUnfinished(journal, hooks);
  opened.clear();
  // The list shows what the devices hold now; one that cannot be read is told with
  // the rest.
  try {
    RefreshDevices();
  } catch (const std::exception& e) {
    notes += std::string("The list of devices could not be read again: ") + e.what() + "\r\n";
    allResolved = false;
  }
  const std::string text = "Changes that an earlier run began and did not finish:\r\n" + notes;
  platform::User().MessageBoxA(Owner(), text.c_str(), CaptionUnfinishedChanges,
                               allResolved ? MB_ICONINFORMATION : MB_ICONWARNING);
}

bool TfrmSetup::RestartNeedsReboot(TDevice& device) {
  SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof params;
  return platform::DeviceInstall().SetupDiGetDeviceInstallParamsA(device.InfoSet, &device.InfoData, &params) &&
         (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
}

void TfrmSetup::StopWatchingHelper() {
  helperProcess_.Reset();
  if (c_.tmrHelper != nullptr) c_.tmrHelper->SetEnabled(false);
}

bool TfrmSetup::PollHelper() {
  if (!helperProcess_) {
    StopWatchingHelper();
    return false;
  }
  platform::IUser& user = platform::User();
  const DWORD waited = user.WaitForSingleObject(helperProcess_.Get(), 0);
  if (waited == WAIT_TIMEOUT) return false;  // still running
  DWORD code = 0;
  const bool read = waited == WAIT_OBJECT_0 && user.GetExitCodeProcess(helperProcess_.Get(), &code) != FALSE &&
                    code != STILL_ACTIVE;
  StopWatchingHelper();
  if (!read) return false;  // how it ended cannot be known: the restart wait decides
  switch (static_cast<TalonExit>(code)) {
    case TalonExit::Success:
      // The device took the request: the settings changed this session are those it
      // starts with now. Its removal and arrival are still awaited as before.
      NoteDeviceRestarted(helperDeviceId_);
      return false;
    case TalonExit::RebootNeeded: ShowRebootNeeded(); return true;
    default: EndRestartWait(TextHelperFailed(code), CaptionRestartFailed, MB_ICONERROR); return true;
  }
}

void TfrmSetup::tmrHelperTimer() { PollHelper(); }

// Nothing is awaited any more: the device stays as it is (until Windows restarts, or
// for good). Device changes that are settling still end in their refresh.
void TfrmSetup::EndRestartWait(const std::string& text, const char* caption, UINT type) {
  if (ChangeCount == 0) {
    c_.tmrDeviceChange->SetEnabled(false);
    awaiting_.reset();  // not restarted: the change waits in the registry, and is not checked
  }
  platform::User().MessageBoxA(Owner(), text.c_str(), caption, type);
  if (DeviceCount > 0 && !c_.tmrDeviceChange->Enabled()) EnableDeviceControls();
}

void TfrmSetup::ShowRebootNeeded() { EndRestartWait(TextRebootNeeded, CaptionRebootNeeded, MB_ICONINFORMATION); }

void TfrmSetup::WMDeviceEvent(bool arrival, const std::string& instanceId) {
  if (SettingsAtStart(instanceId)) NoteSeenGoneOrBack(instanceId, !arrival);
}

// Away and then back: the device started with the settings it has now.
void TfrmSetup::NoteSeenGoneOrBack(const std::string& instanceId, bool gone) {
  const std::string key = ToUpperAscii(instanceId);
  if (gone) {
    goneSinceChange_.insert(key);
  } else if (goneSinceChange_.erase(key) != 0) {
    NoteDeviceRestarted(instanceId);
  }
}

// A device whose settings this program changed and that is seen gone or stopped, then
// back and started, was restarted (by whichever program): it runs with its settings now.
void TfrmSetup::ObserveChangedDevices() {
  const std::vector<std::string> changed = DevicesChangedThisSession();
  std::erase_if(goneSinceChange_, [&](const std::string& key) {
    return std::find(changed.begin(), changed.end(), key) == changed.end();
  });
  for (const std::string& id : changed) {
    bool gone = false;
    try {
      platform::System().SetLastError(ERROR_SUCCESS);
      OpenedDevice opened(id);
      if (opened.Device() == nullptr) {
        gone = platform::System().GetLastError() == ERROR_NO_SUCH_DEVINST;
      } else {
        ULONG status = 0, problem = 0;
        const CONFIGRET result =
            platform::ConfigManager().CM_Get_DevNode_Status(&status, &problem, opened.Device()->InfoData.DevInst, 0);
        if (result == CR_NO_SUCH_DEVNODE) {
          gone = true;
        } else if (result != CR_SUCCESS) {
          continue;  // cannot be told now: neither gone nor back
        } else {
          gone = (status & DN_STARTED) == 0;
        }
      }
    } catch (const std::exception&) {
      continue;
    }
    NoteSeenGoneOrBack(id, gone);
  }
}

void TfrmSetup::WMDeviceChange() {
  ObserveChangedDevices();
  ++ChangeCount;
  c_.tmrDeviceChange->SetEnabled(false);
  c_.tmrDeviceChange->SetInterval(SettlingInterval);
  c_.tmrDeviceChange->SetEnabled(true);
  DisableDeviceControls();
}

void TfrmSetup::tmrDeviceChangeTimer() {
  c_.tmrDeviceChange->SetEnabled(false);
  if (ChangeCount != 0) {
    // A helper that has ended is read first (a running one is watched on).
    PollHelper();
    // The restarted device is checked even when the list could not be read whole:
    // settings that lock the user out must not stay for want of a refresh.
    std::exception_ptr refreshFailure;
    try {
      RefreshDevices();
    } catch (...) {
      refreshFailure = std::current_exception();
    }
    CheckRestartedDevice();
    if (refreshFailure) std::rethrow_exception(refreshFailure);
    return;
  }
  // Not seen again within the wait: a change the window made to it is put back, so
  // that the device does not meet it at its next start.
  const std::optional<JournalOriginal> target = std::move(awaiting_);
  awaiting_.reset();
  // A helper that ended with its reboot code or a failure says why, which M7's causes
  // would not explain. One still running after the whole wait is given up.
  if (PollHelper()) return;
  StopWatchingHelper();
  platform::User().MessageBoxA(Owner(), TextM7, CaptionM7, MB_ICONERROR);
  // M7 runs a message loop of its own: a device change that arrived meanwhile is
  // still settling, and a refresh may have found nothing; neither may be enabled.
  if (DeviceCount > 0 && !c_.tmrDeviceChange->Enabled()) EnableDeviceControls();
  if (!target) return;
  if (c_.tmrDeviceChange->Enabled()) {
    awaiting_ = target;  // it came back late, while M7 was open: checked when settled
  } else {
    PutBackAndRestart(*target, target->instanceId + " did not come back after its restart.");
  }
}

// The report of the selected device, its host controller and the system, in this
// order: the device's driver report and its optional lines, the controller's driver
// report, the OS line.
void TfrmSetup::btnCopyIDClick() {
  RunAction([&] {
    TDevice& device = GetSelectedDevice();
    std::string report = "Device:\r\n";
    report += device.GetDriverReport();

    const std::string filters = device.GetLowerFiltersText();
    if (!filters.empty()) report += "  LowerFilters: " + filters + "\r\n";
    const BYTE speed = device.GetSpeed();
    if (speed != kSpeedUnknown) {
      report += "  BusSpeed: " + std::to_string(speed) + " (" + GetSpeedName(speed) + ")\r\n";
    }
    if (device.QueryConnection()) {
      const BYTE minimum = device.GetMinInterval();
      const BYTE maximum = device.GetMaxInterval();
      if (minimum != 0 || maximum != 0) report += "  bInterval: " + FormatIntervalRange(minimum, maximum) + "\r\n";
    }
    const DWORD overrideInterval = device.GetOverrideInterval();
    if (overrideInterval != 0) report += "  Overrided.bInterval: " + std::to_string(overrideInterval) + "\r\n";

    report += "\r\nController:\r\n";
    report += device.GetControllerDevice().GetDriverReport();

    const char* os = !platform::IsNtPlatform() ? OsNames[0] : IsWow64() ? OsNames[2] : OsNames[1];
    report += "\r\nOS: ";
    report += os;
    report += "\r\n";
    // A clipboard that cannot be opened (another program holds it) copies nothing and
    // shows nothing; what the other program left there stays.
    CopyTextToClipboard(report);
  });
}

namespace SetupQuestions {
const char* ServiceDisabled() { return TextQ1; }
std::string ServiceNotLoading(DWORD code, const std::string& errorText, const std::string& windowsDir) {
  return TextQ2(code, errorText, windowsDir);
}
const char* DeviceProblem() { return TextQ3; }
const char* NoInterruptPipes() { return TextQ4; }
std::string UnknownController(const std::string& serviceName) { return TextQ5(serviceName); }
const char* Overclocking() { return TextQ6; }
}  // namespace SetupQuestions

}  // namespace morvane
