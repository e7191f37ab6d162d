// The fault sweep over the window's actions on the built-in PC (fault_sweep.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devices/SessionChanges.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "setup/SetupF.h"
#include "tests/faultsweep/fault_sweep.h"
#include "tests/setup/TestControls.h"

namespace faultsweep {
namespace {

using morvane::test::TestCanvas;
using morvane::test::TestWindow;

// ---- The window ----

// What the action changes, and how the sweep tells whether it happened.
enum class Effect { Start, None, FilterOn, FilterOff, Rate, Restart, Install, CopyIds };

class WindowRun;

struct WindowAction {
  std::string name;
  std::function<sim::MachineModel()> model;
  std::string argument;      // the window's command-line argument
  std::string target;        // the device selected before the action
  std::function<void(WindowRun&)> act;
  Effect effect = Effect::None;
  DWORD rateValue = 0;       // Effect::Rate: the override the device is to hold
  // The action ends in a rebuild of the list the window opened with (see Sweep).
  bool refreshFamily = false;
  // The action ends in the question whether to keep the settings, left unanswered.
  bool countdown = false;
  // The part of the sweep (a test of its own, see WindowSweepPart) that runs it.
  int part = 0;
};

// One window over one fresh machine, driven as the message loop drives it: an
// exception of a handler is shown (recorded here), the grid is painted after every
// handler, device changes and timer ticks are delivered until the window is idle.
class WindowRun {
 public:
  explicit WindowRun(sim::MachineModel model)
      : machine_(std::make_unique<sim::Machine>(std::move(model))), scope_(machine_->Backend()) {
    machine_->SetDeviceChangeHandler([this] { ++pendingDeviceChanges_; });
    machine_->SetMessageBoxHandler([](const sim::MessageBoxCall& box) {
      return (box.type & MB_YESNO) != 0 ? IDYES : IDOK;
    });
    window_ = std::make_unique<TestWindow>();
  }
  ~WindowRun() {
    if (window_) window_->frm.FormDestroy();
  }

  sim::Machine& Machine() { return *machine_; }
  TestWindow& Window() { return *window_; }
  morvane::TfrmSetup& Form() { return window_->frm; }

  // Runs a handler as the message loop does.
  void Handle(const std::function<void()>& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      shownErrors_.push_back(e.what());
    } catch (...) {
      crashes_.push_back("an exception that is no std::exception escaped a handler");
    }
  }

  void Paint() {
    const int rows = window_->dgDevices.RowCount();
    cells_.assign(static_cast<std::size_t>(rows), std::vector<std::optional<std::string>>(6));
    for (int row = 0; row < rows; ++row) {
      for (int col = 0; col < 6; ++col) {
        TestCanvas canvas;
        const morvane::TRect rect{0, 0, 100, 21};
        morvane::TGridDrawState state;
        state.Selected = row == window_->dgDevices.Row() && col == window_->dgDevices.Col();
        bool drawn = false;
        Handle([&] {
          Form().dgDevicesDrawCell(col, row, rect, state, canvas);
          drawn = true;
        });
        if (drawn) cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] =
                       canvas.texts.empty() ? std::string() : canvas.texts.back().text;
      }
    }
  }

  // Delivers what has arrived and lets the timer run out until the window is idle.
  void Settle() {
    for (int round = 0; round < 6; ++round) {
      for (; pendingDeviceChanges_ > 0; --pendingDeviceChanges_) Handle([&] { Form().WMDeviceChange(); });
      if (!window_->tmrDeviceChange.Enabled()) break;
      Handle([&] { window_->FireTimer(); });
    }
    Paint();
  }

  void Open(const std::string& argument) {
    Handle([&] { Form().FormCreate(argument); });
    Handle([&] { Form().FormShow(); });
    Settle();
  }

  int RowOf(const std::string& instanceId) {
    for (int i = 0; i < Form().DeviceCount; ++i) {
      if (sim::ToUpperAscii(Form().DeviceList->GetDevice(i).InstanceId) == sim::ToUpperAscii(instanceId)) {
        return i + 1;
      }
    }
    return 0;
  }

  std::size_t ShownErrorCount() const { return shownErrors_.size(); }
  std::size_t ErrorBoxCount() const {
    std::size_t n = 0;
    for (const sim::MessageBoxCall& box : machine_->MessageBoxes()) n += (box.type & MB_ICONERROR) != 0 ? 1 : 0;
    return n;
  }
  const std::vector<std::string>& Crashes() const { return crashes_; }
  const std::vector<std::vector<std::optional<std::string>>>& Cells() const { return cells_; }

  // Ends the window: its list and everything it holds go.
  void Close() {
    window_->frm.FormDestroy();
    window_.reset();
  }

 private:
  std::unique_ptr<sim::Machine> machine_;
  platform::ScopedBackend scope_;
  std::unique_ptr<TestWindow> window_;
  int pendingDeviceChanges_ = 0;
  std::vector<std::string> shownErrors_;
  std::vector<std::string> crashes_;
  std::vector<std::vector<std::optional<std::string>>> cells_;
};

// What a device holds, read again without faults through a list of its own, and
// what the window shows for it when one of its reads failed and gave the neutral
// answer: the filter off, no override ("Default"), or the speed not determined
// (which counts as high speed, so the override is taken as an exponent).
struct DeviceTruth {
  bool filter = false;
  int rate = 0;
  std::string rateText;
  int rateAtUnknownSpeed = 0;
  std::string rateTextAtUnknownSpeed;
};

std::map<std::string, DeviceTruth> ReadTruth(sim::Machine& machine, int category) {
  // The overrides first: every look into the model makes the machine index its
  // devices again before the next call.
  std::map<std::string, DWORD> overrides;
  for (const sim::Device& device : machine.Model().devices) {
    overrides[sim::ToUpperAscii(device.instanceId)] = OverrideOf(device).value_or(0);
  }
  std::map<std::string, DeviceTruth> truth;
  morvane::TDeviceList list(category);
  for (int i = 0; i < list.Count(); ++i) {
    morvane::TDevice& device = list.GetDevice(i);
    DeviceTruth t{device.IsFilterInstalled(), static_cast<int>(device.GetRate()), device.GetRateText(), 0, "Default"};
    const DWORD value = overrides[sim::ToUpperAscii(device.InstanceId)];
    t.rateAtUnknownSpeed = static_cast<int>(std::min<DWORD>(value, 6));
    if (t.rateAtUnknownSpeed > 0) t.rateTextAtUnknownSpeed = std::to_string(8000 >> (t.rateAtUnknownSpeed - 1));
    truth[sim::ToUpperAscii(device.InstanceId)] = t;
  }
  return truth;
}

// The same for one device, through a device-information set of its own.
std::optional<DeviceTruth> ReadDeviceTruth(sim::Machine& machine, const std::string& instanceId) {
  const DWORD value = OverrideOf(machine, instanceId).value_or(0);
  const platform::UniqueDevInfo set(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  if (!set || !platform::DeviceInstall().SetupDiOpenDeviceInfoA(set.Get(), instanceId.c_str(), nullptr, 0, &data)) {
    return std::nullopt;
  }
  morvane::TDevice device(set.Get(), data, set.Get());
  DeviceTruth t{device.IsFilterInstalled(), static_cast<int>(device.GetRate()), device.GetRateText(), 0, "Default"};
  t.rateAtUnknownSpeed = static_cast<int>(std::min<DWORD>(value, 6));
  if (t.rateAtUnknownSpeed > 0) t.rateTextAtUnknownSpeed = std::to_string(8000 >> (t.rateAtUnknownSpeed - 1));
  return t;
}

using OverrideMap = std::map<std::string, std::optional<DWORD>>;

OverrideMap AllOverrides(sim::Machine& machine) {
  OverrideMap overrides;
  for (const sim::Device& device : machine.Model().devices) overrides[sim::ToUpperAscii(device.instanceId)] = OverrideOf(device);
  return overrides;
}

// Calls that change something or hand something over: when one of them fails, the
// window has nothing neutral to show, only the device's state or an error.
bool IsWriteOrHandOver(const std::string& function) {
  static const std::set<std::string> writes = {
      "SetupDiSetDeviceRegistryPropertyA", "RegSetValueExA",   "RegDeleteValueA",  "SetupDiSetClassInstallParamsA",
      "SetupDiCallClassInstaller",         "ShellExecuteA",    "OpenClipboard",    "EmptyClipboard",
      "SetClipboardData",                  "CloseClipboard",   "InstallHinfSectionA", "StartServiceA"};
  return writes.count(function) != 0;
}

// How a shown state compares with the device's.
enum class Shown { Held, Neutral, Wrong };

template <typename T>
Shown Compare(const T& shown, const T& held, std::initializer_list<T> neutral, bool neutralAllowed) {
  if (shown == held) return Shown::Held;
  if (neutralAllowed && std::find(neutral.begin(), neutral.end(), shown) != neutral.end()) return Shown::Neutral;
  return Shown::Wrong;
}

// What the devices of the action's last list hold after its clean run. A faulted run
// can change only the action's own device (which is read again): every other
// device's lower filters and override are checked to be as they were.
using TruthMap = std::map<std::string, DeviceTruth>;

RunResult RunWindowAction(const WindowAction& action, const std::optional<Injection>& injection, TruthMap& cleanTruth) {
  RunResult result;
  Outcomes check(result);
  std::string leftOpen;
  // Each run is a program of its own: nothing it changed is remembered by the next.
  morvane::ForgetSessionChanges();
  {
    WindowRun run(action.model());
    sim::Machine& machine = run.Machine();
    if (action.effect != Effect::Start) run.Open(action.argument);
    if (!action.target.empty()) {
      const int row = run.RowOf(action.target);
      if (row == 0) {
        result.problems.push_back("the target is not listed before the action");
        return result;
      }
      run.Handle([&] { run.Window().ClickRow(row); });
      run.Paint();
    }
    const FilterMap filtersBefore = AllLowerFilters(machine);
    const OverrideMap overridesBefore = AllOverrides(machine);
    const std::size_t restartsBefore = action.target.empty() ? 0 : machine.RestartCount(action.target);
    const std::string clipboardBefore = "text another program left";
    machine.SetClipboardText(clipboardBefore);
    const std::size_t errorsBefore = run.ShownErrorCount() + run.ErrorBoxCount();
    const std::size_t firstCall = machine.Calls().size();

    if (injection) {
      machine.InjectFault(sim::Fault{injection->function, injection->error, injection->occurrence, 1});
    }
    run.Handle([&] { action.act(run); });
    run.Settle();
    result.actionCalls.assign(machine.Calls().begin() + static_cast<std::ptrdiff_t>(firstCall), machine.Calls().end());
    if (injection) {
      result.faultTaken = machine.Core().PendingFaultCount() == 0;
      machine.Core().ClearFaults();
      leftOpen = LeftOpenByFaultedRelease(result.actionCalls, *injection);
    }

    const bool errorShown = run.ShownErrorCount() + run.ErrorBoxCount() > errorsBefore;
    if (action.countdown && !injection) {
      check.Check(run.Window().keepBox.asked.size() == 1, "the clean run did not ask whether to keep the settings");
    }
    for (const std::string& crash : run.Crashes()) check.Check(false, crash);
    check.Check(run.Crashes().empty(), "no exception outside the program's error path");

    // Lower filters: only the action's own device, only its own entry.
    const FilterMap filtersAfter = AllLowerFilters(machine);
    for (const auto& [id, before] : filtersBefore) {
      const auto found = filtersAfter.find(id);
      const std::vector<std::string> after = found == filtersAfter.end() ? before : found->second;
      bool allowed = after == before;
      if (!allowed && sim::ToUpperAscii(action.target) == id) {
        const auto withFilter = [&, &before = before](bool on) {
          std::vector<std::string> list = before;
          if (on && !HasFilterEntry(before)) list.insert(list.begin(), "morvane");
          if (!on) std::erase_if(list, [](const std::string& f) { return sim::ToUpperAscii(f) == "MORVANE"; });
          return list;
        };
        const bool filterAction = action.effect == Effect::FilterOn || action.effect == Effect::FilterOff;
        const bool on = action.effect == Effect::FilterOn;
        // A countdown's change that was not put back (an error says why) is the
        // opposite of what the put-back makes.
        allowed = filterAction && (after == withFilter(on) || (action.countdown && after == withFilter(!on)));
      }
      check.Check(allowed, "the lower filters of " + id + " were changed beyond the action's entry");
    }

    // Overrides: only the action's own device, only to the value chosen.
    const OverrideMap overridesAfter = AllOverrides(machine);
    for (const auto& [id, before] : overridesBefore) {
      const auto found = overridesAfter.find(id);
      const std::optional<DWORD> after = found == overridesAfter.end() ? before : found->second;
      const bool intended = action.effect == Effect::Rate && sim::ToUpperAscii(action.target) == id &&
                            after == std::optional<DWORD>(action.rateValue);
      check.Check(after == before || intended, "the override of " + id + " was changed beyond the action's value");
    }

    // The action's effect, or an error shown.
    bool effectHappened = true;
    std::string effectText;
    switch (action.effect) {
      case Effect::Start:
      case Effect::None: break;
      case Effect::FilterOn:
        effectHappened = HasFilterEntry(filtersAfter.at(sim::ToUpperAscii(action.target)));
        effectText = "the filter was not attached";
        break;
      case Effect::FilterOff:
        effectHappened = !HasFilterEntry(filtersAfter.at(sim::ToUpperAscii(action.target)));
        effectText = "the filter was not detached";
        break;
      case Effect::Rate:
        effectHappened = OverrideOf(machine, action.target) == action.rateValue;
        effectText = "the rate was not written";
        break;
      case Effect::Restart:
        effectHappened = machine.RestartCount(action.target) > restartsBefore;
        effectText = "the device was not restarted";
        break;
      case Effect::Install:
        effectHappened = machine.FindService(morvane::FilterServiceName) != nullptr;
        effectText = "the service was not installed";
        break;
      case Effect::CopyIds: {
        const std::string copied = ClipboardText(machine);
        effectHappened = copied.rfind("Device:\r\n", 0) == 0 && copied.find("\r\nOS: ") != std::string::npos;
        effectText = "the report was not copied";
        // A clipboard that another program holds is left to it without a message:
        // nothing copied, nothing shown, its text still there.
        if (injection && injection->function == "OpenClipboard") {
          check.Check(!errorShown, "a clipboard that could not be opened showed an error");
          check.Check(copied == clipboardBefore, "a clipboard that could not be opened was changed");
          effectHappened = true;
        }
        break;
      }
    }
    if (action.effect != Effect::None && action.effect != Effect::Start) check.Check(effectHappened || errorShown, effectText + " and no error was shown");

    // The boxes and the grid against the devices, read again without faults. A
    // failed read may show its neutral answer; anything else that differs from the
    // device needs an error shown.
    morvane::TfrmSetup& frm = run.Form();
    const bool neutralAllowed = injection && !IsWriteOrHandOver(injection->function);
    const auto expectShown = [&](Shown shown, const std::string& what) {
      if (shown == Shown::Neutral) ++result.neutralShown;
      check.Check(shown != Shown::Wrong, what);
    };
    if (frm.DeviceCount > 0) {
      const int category = run.Window().cbDevices.ItemIndex();
      if (!injection) {
        try {
          cleanTruth = ReadTruth(machine, category);
        } catch (const std::exception& e) {
          check.Check(false, std::string("the devices could not be read again: ") + e.what());
        }
      }
      TruthMap truth = cleanTruth;
      if (!action.target.empty()) {
        const std::string targetId = sim::ToUpperAscii(action.target);
        truth.erase(targetId);
        if (const auto target = ReadDeviceTruth(machine, action.target)) truth[targetId] = *target;
      }
      const int selected = frm.GetSelectedIndex();
      if (selected >= 0 && selected < frm.DeviceCount) {
        const std::string id = sim::ToUpperAscii(frm.DeviceList->GetDevice(selected).InstanceId);
        const auto found = truth.find(id);
        if (found != truth.end()) {
          const DeviceTruth& t = found->second;
          const bool checked = run.Window().cbFilter.Checked();
          expectShown(Compare(checked, t.filter, {false}, neutralAllowed),
                      "the filter box shows " + std::string(checked ? "on" : "off") + " for " + id);
          const int item = run.Window().cbRate.ItemIndex();
          if (item < 0) {
            // No item: the box shows no rate at all, which only an error explains.
            check.Check(errorShown, "the rate box shows no rate for " + id + " and no error was shown");
          } else {
            expectShown(Compare(item, t.rate, {0, t.rateAtUnknownSpeed}, neutralAllowed),
                        "the rate box shows item " + std::to_string(item) + " for " + id + ", which holds rate " +
                            std::to_string(t.rate));
          }
        }
      }
      const auto& cells = run.Cells();
      for (int i = 0; i < frm.DeviceCount && i + 1 < static_cast<int>(cells.size()); ++i) {
        const std::string id = sim::ToUpperAscii(frm.DeviceList->GetDevice(i).InstanceId);
        const auto found = truth.find(id);
        if (found == truth.end()) continue;
        const DeviceTruth& t = found->second;
        const auto& row = cells[static_cast<std::size_t>(i + 1)];
        // A cell whose drawing raised shows nothing but the error box.
        if (!row[1] || !row[2]) {
          check.Check(errorShown, "a cell of " + id + " was not drawn and no error was shown");
          continue;
        }
        const std::string filterText = *row[1];
        expectShown(Compare(filterText, std::string(t.filter ? "Yes" : "No"), {std::string("No")}, neutralAllowed),
                    "the grid shows Filter? \"" + filterText + "\" for " + id);
        const std::string rateText = *row[2];
        expectShown(Compare(rateText, t.rateText, {std::string("Default"), t.rateTextAtUnknownSpeed}, neutralAllowed),
                    "the grid shows Rate \"" + rateText + "\" for " + id + ", which holds \"" + t.rateText + "\"");
      }
    }

    run.Close();
    const std::string leaks = UnexplainedLeaks(machine.LeakReport(), leftOpen, injection && injection->function == "GlobalFree");
    check.Check(leaks.empty(), "left open after the window closed:\n" + leaks);
  }
  return result;
}

sim::MachineModel On64BitWindows(sim::MachineModel model = BuiltInModel()) {
  model.system.wow64 = true;
  return model;
}

std::vector<WindowAction> WindowActions() {
  std::vector<WindowAction> actions;
  actions.push_back({"start", [] { return BuiltInModel(); }, "", "", [](WindowRun& r) { r.Open("/mice"); },
                     Effect::Start, 0, true});
  // From "with MORVANE" (the gaming mouse alone) to "All": the remembered device is
  // selected again in a list of every kind of device.
  actions.push_back({"choose category All", [] { return BuiltInModel(); }, "/morvane", kGamingMouse,
                     [](WindowRun& r) { r.Window().cbDevices.Pick(kCategoryAll); }, Effect::None, 0});
  actions.push_back({"device change refresh", [] { return BuiltInModel(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().frm.WMDeviceChange(); }, Effect::None, 0, true});
  actions.push_back({"select row", [] { return BuiltInModel(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) {
                       TestWindow& w = r.Window();
                       for (int i = 0; i < w.frm.DeviceCount; ++i) {
                         if (w.frm.DeviceList->GetDevice(i).InstanceId == kOpticalMouse) w.ClickRow(i + 1);
                       }
                     },
                     Effect::None, 0});
  actions.push_back({"attach filter", [] { return BuiltInModel(); }, "/keyboards", kKeyboard,
                     [](WindowRun& r) { r.Window().cbFilter.Click(); }, Effect::FilterOn, 0});
  actions.push_back({"detach filter", [] { return BuiltInModel(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().cbFilter.Click(); }, Effect::FilterOff, 0});
  // Item 1 of a low-speed device is 1000 (overclocking, asked and accepted): interval 1.
  actions.push_back({"choose rate", [] { return BuiltInModel(); }, "/mice", kOpticalMouse,
                     [](WindowRun& r) { r.Window().cbRate.Pick(1); }, Effect::Rate, 1});
  actions.push_back({"restart", [] { return BuiltInModel(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().frm.btnApplyClick(); }, Effect::Restart, 0, true});
  actions.push_back({"install service", WithoutFilterService, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().frm.btnInstallClick(); }, Effect::Install, 0});
  // A 32-bit program on 64-bit Windows hands the restart and the installation to the
  // helper program through the shell.
  actions.push_back({"restart (64-bit Windows)", [] { return On64BitWindows(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().frm.btnApplyClick(); }, Effect::Restart, 0, true});
  actions.push_back({"install service (64-bit Windows)", [] { return On64BitWindows(WithoutFilterService()); },
                     "/mice", kGamingMouse, [](WindowRun& r) { r.Window().frm.btnInstallClick(); }, Effect::Install, 0});
  // A filter change, the restart, and the countdown left to run out: what the device
  // held is put back and it is restarted again. The keyboard had no filter; the
  // gaming mouse had ours before another driver's, in this order.
  const auto changeAndRestart = [](WindowRun& r) {
    r.Window().cbFilter.Click();
    r.Settle();
    r.Window().frm.btnApplyClick();
  };
  actions.push_back({"attach, restart, no answer at the countdown", [] { return BuiltInModel(); }, "/keyboards",
                     kKeyboard, changeAndRestart, Effect::FilterOff, 0, false, true});
  actions.push_back({"detach, restart, no answer at the countdown", [] { return BuiltInModel(); }, "/mice",
                     kGamingMouse, changeAndRestart, Effect::FilterOn, 0, false, true});
  actions.push_back({"copy IDs", [] { return BuiltInModel(); }, "/mice", kGamingMouse,
                     [](WindowRun& r) { r.Window().frm.btnCopyIDClick(); }, Effect::CopyIds, 0});
  // Three parts of about 125, 75 and 65 s under the sanitizers, which ctest runs side by
  // side. The list's actions stay in part 0 together: the refresh and the restarts find
  // nearly all their calls failed already by the start and the category change there.
  for (WindowAction& action : actions) {
    if (action.countdown) action.part = action.effect == Effect::FilterOn ? 2 : 1;
    else if (action.effect != Effect::None && action.effect != Effect::Start && action.effect != Effect::Restart)
      action.part = 1;
  }
  return actions;
}

constexpr int kWindowSweepParts = 3;

class WindowSweepPart : public ::testing::TestWithParam<int> {};

TEST_P(WindowSweepPart, EveryCallOfEveryWindowActionFails) {
  const int part = GetParam();
  const auto start = std::chrono::steady_clock::now();
  SweepFigures figures;
  std::vector<std::string> failures;
  int actionsOfPart = 0;
  for (const WindowAction& action : WindowActions()) {
    if (action.part != part) continue;
    ++actionsOfPart;
    const auto actionStart = std::chrono::steady_clock::now();
    TruthMap cleanTruth;
    Sweep(action.name,
          [&](const std::optional<Injection>& injection) { return RunWindowAction(action, injection, cleanTruth); },
          figures, failures, action.refreshFamily);
    std::printf("  %s: %.1f s\n", action.name.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - actionStart).count());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Report("window, part " + std::to_string(part), figures, seconds);
  EXPECT_GT(actionsOfPart, 0);
  EXPECT_EQ(figures.actions, actionsOfPart);
  EXPECT_GT(figures.calls, 0);
  EXPECT_EQ(figures.unfailable, 0) << "calls the machine cannot fail yet";
  ExpectNoFailures(failures);
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, WindowSweepPart, ::testing::Range(0, kWindowSweepParts));

TEST(FaultSweep, EveryWindowActionIsInAPartThatRuns) {
  for (const WindowAction& action : WindowActions()) {
    EXPECT_TRUE(action.part >= 0 && action.part < kWindowSweepParts) << action.name << ": part " << action.part;
  }
}

}  // namespace
}  // namespace faultsweep
