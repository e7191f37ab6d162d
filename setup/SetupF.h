// The main window's logic: its state and every handler, written against the
// controls interface of setup/Controls.h so that it runs the same over native
// controls (setup/win32/) and over in-memory controls (the tests).
//
// Question boxes run a nested message loop, so WMDeviceChange and
// tmrDeviceChangeTimer can run while cbFilterClick, cbRateClick or btnApplyClick is
// still on the stack. Those handlers are "actions": while one runs, RefreshDevices
// only marks the refresh as pending, and the outermost action runs it as it ends.
// The TDevice an action holds therefore lives until the action is over.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "devices/DeviceList.h"
#include "devices/Journal.h"
#include "platform/handles.h"
#include "setup/Controls.h"

namespace morvane {

inline constexpr const char* GridTitles[6] = {"Device Name", "Filter?", "Rate", "bInterval", "Child Name(s)",
                                              "Controller Name"};
inline constexpr const char* FilterStateTexts[2] = {"No", "Yes"};

inline constexpr TColor ProblemTint = RGBColor(255, 204, 204);
inline constexpr TColor InterruptTint = RGBColor(204, 255, 204);

// Timer intervals of the device-change wait.
inline constexpr unsigned RestartWaitInterval = 10000;
inline constexpr unsigned SettlingInterval = 1000;
inline constexpr unsigned RetryInterval = 2000;
// How often the helper program started for a restart is looked at until it ends.
inline constexpr unsigned HelperPollInterval = 100;

inline constexpr const char* FilterServiceName = "morvane";

// The box shown instead of the restart's error when Windows says the restart has to
// wait for Windows' own restart.
inline constexpr const char* TextRebootNeeded =
    "Windows must be restarted for the change to take effect: the device cannot be restarted now.";
inline constexpr const char* CaptionRebootNeeded = " Restart Windows";
// The box shown at once when the helper program ends with one of its failures.
inline constexpr const char* CaptionRestartFailed = " Error!!!";
// "The device could not be restarted: TALON64.EXE ended with code <code> (<its meaning>)."
std::string TextHelperFailed(unsigned long code);

// After a filter or rate change and a restart of a device with a mouse or keyboard.
inline constexpr const char* TextKeepSettings = "Keep these settings?";
inline constexpr unsigned KeepSeconds = 15;
inline constexpr const char* CaptionSettingsPutBack = " Settings put back";
// After a rate change and a restart of a device with a mouse, once its settings are kept.
inline constexpr const char* TextMeasureNow =
    "The device has restarted with its new rate. Measure its polling rate now? Move the mouse while the meter "
    "runs.";
// At the start, when the journal holds changes an earlier run did not finish.
inline constexpr const char* CaptionUnfinishedChanges = " Unfinished changes";

// The first argument of a Windows command line (the program name skipped): blanks
// separate arguments, double quotes group and are removed. Empty when there is none.
std::string FirstCommandLineArgument(std::string_view commandLine);

// Every argument of a Windows command line after the program name, split by the
// same rules.
std::vector<std::string> CommandLineArguments(std::string_view commandLine);

// The category an argument selects: the last category whose name ends in it,
// ignoring ASCII case, after one leading "/" or "-" is removed; 0 when none does.
int CategoryFromArgument(std::string_view argument);

// value * pixelsPerInch / 96, truncated toward zero.
int ScaleByDpi(int value, int pixelsPerInch);

// The system's text for the thread's last error, in double quotes and followed by
// CR LF; empty when the system has no text for it.
std::string GetLastErrorText();

// "Low", "Full", "High", "Super", "SuperPlus" for the speed codes 0 to 4, else "Unknown".
std::string GetSpeedName(unsigned char speed);

// The operating system as the ID report names it: the 9x family, NT, and NT with a
// 32-bit program on 64-bit Windows.
inline constexpr const char* OsNames[3] = {"9x", "NT x86 (i386)", "NT x64 (amd64)"};

// The texts of the window's questions, for the command line, which prints them
// instead of asking.
namespace SetupQuestions {
const char* ServiceDisabled();
std::string ServiceNotLoading(DWORD code, const std::string& errorText, const std::string& windowsDir);
const char* DeviceProblem();
const char* NoInterruptPipes();
std::string UnknownController(const std::string& serviceName);
const char* Overclocking();
}  // namespace SetupQuestions

class TfrmSetup {
 public:
  explicit TfrmSetup(const TSetupControls& controls);
  ~TfrmSetup();
  TfrmSetup(const TfrmSetup&) = delete;
  TfrmSetup& operator=(const TfrmSetup&) = delete;

  // Window handlers. `firstArgument` is the first command-line argument as split by
  // FirstCommandLineArgument (empty when there is none).
  void FormCreate(const std::string& firstArgument);
  void FormShow();
  void FormDpiChanged();
  void FormDestroy();
  void cbDevicesClick();
  void dgDevicesDrawCell(int col, int row, const TRect& rect, const TGridDrawState& state, ICanvas& canvas);
  void dgDevicesSelectCell(int col, int row, bool& canSelect);
  void btnCloseClick();

  // Device actions.
  void btnInstallClick();
  void cbFilterClick();
  void cbRateClick();
  void btnApplyClick();
  void btnCopyIDClick();
  void WMDeviceChange();
  // A device node went away (arrival false) or arrived, by its instance ID (the
  // window's interface notifications of USB devices).
  void WMDeviceEvent(bool arrival, const std::string& instanceId);
  void tmrDeviceChangeTimer();
  void tmrHelperTimer();

  // Operations of the window.
  void RefreshDevices();
  void UpdateDeviceControls(int index);
  void EnableDeviceControls();
  void DisableDeviceControls();
  int GetSelectedIndex() const;
  void SetSelectedIndex(int index);
  TDevice& GetSelectedDevice();
  int ScaleByDpi(int value) const;

  // Window state.
  std::unique_ptr<TDeviceList> DeviceList;
  int DeviceCount = 0;
  bool Updating = false;
  int ChangeCount = 0;
  std::string LastSelectedId;

  bool IsRefreshPending() const { return refreshPending_; }

  // Opens the rate meter for the device with this instance ID (the window's meter
  // entry). Null: the window offers no measurement after a rate change.
  std::function<void(const std::string& instanceId)> OnMeasureDevice;

 private:
  class UpdatingScope;
  template <typename Action>
  void RunAction(Action&& action);

  void RunRefresh();
  void ScaleGrid();
  void FitGridAndWidth();
  void ShowFilterState(TDevice* device, bool fallback);
  void ShowRateState(TDevice* device);
  bool AskFilterQuestions(TDevice& device);
  bool AskServiceQuestions();
  bool Ask(const std::string& text, bool warning, bool defaultYes);
  HWND Owner() const;
  // True when the class installer's install parameters say that the restart just
  // asked for cannot happen before Windows restarts.
  bool RestartNeedsReboot(TDevice& device);
  // Looks at the helper program started for the restart: once it has ended its
  // process is closed and its exit code acted on (success: the device took its
  // settings; its reboot code or a failure: said at once). True when a box said so.
  bool PollHelper();
  // Closes the helper's process, if still open, and stops looking at it.
  void StopWatchingHelper();
  // Ends the restart wait (unless device changes are settling) with a box.
  void EndRestartWait(const std::string& text, const char* caption, UINT type);
  void BeginRecord(TJournal& journal, TRecordedChange& change, const std::function<void(JournalEntry&)>& intended);
  void ShowRebootNeeded();

  TSetupControls c_;
  // What a device held before the window's first change to it since its last
  // restart, by upper-case instance ID; and the restarted device awaiting its check.
  std::map<std::string, JournalOriginal> changedSinceRestart_;
  std::optional<JournalOriginal> awaiting_;
  bool awaitingInput_ = false;  // it has a mouse or keyboard child: the user is asked
  std::map<std::string, bool> changedIsInput_;
  void NoteChange(const JournalEntry& entry, TDevice& device);
  void CheckRestartedDevice();
  void PutBackAndRestart(const JournalOriginal& target, const std::string& why);
  void RequestRestart(TDevice& device);
  void PutBack(const JournalOriginal& target, TJournal& journal, const std::string& command);
  void ResolveUnfinishedChanges();
  // The service installation the window started, until its entry is marked;
  // `installed` unset: by whether the service is there.
  std::optional<JournalEntry> installRecord_;
  void FinishInstallRecord(std::optional<bool> installed = std::nullopt);
  bool unfinishedResolved_ = false;
  // The helper program started for the last restart, until its exit code is read,
  // and the device it restarts.
  platform::UniqueKernelHandle helperProcess_;
  std::string helperDeviceId_;
  // Devices with settings changed this session that were seen gone or stopped since
  // (upper-case instance IDs): back and started, they have restarted.
  std::set<std::string> goneSinceChange_;
  void ObserveChangedDevices();
  void NoteSeenGoneOrBack(const std::string& instanceId, bool gone);
  int actionDepth_ = 0;
  bool refreshPending_ = false;
};

}  // namespace morvane
