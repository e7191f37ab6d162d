// The device-change wait: restart wait, settling pushed by each notification, the
// retry of a failed build, M7; and device changes delivered while a question is open.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "setup/SetupF.h"
#include "tests/setup/WindowFixture.h"

namespace morvane::test {
namespace {

const std::string M7 =
    "Device doesn't restart after 10 seconds, you probably have some problem in your system like running Setup "
    "without Admin rights or you run Setup with current folder without Helper module (TALON64.EXE) on x64 system "
    "(possibly from archive directly without unzipping?) or AV is preventing executing of Helper module or "
    "something holds this device opened (uses it). You can try to disconnect and then reconnect device or reboot "
    "system.";

class DeviceChangeTest : public WindowTest {
 protected:
  void ExpectIdle() {
    EXPECT_FALSE(w.tmrDeviceChange.Enabled());
    EXPECT_EQ(frm.ChangeCount, 0);
  }
  void ExpectSettling(int changes) {
    EXPECT_TRUE(w.tmrDeviceChange.Enabled());
    EXPECT_EQ(w.tmrDeviceChange.Interval(), 1000u);
    EXPECT_EQ(frm.ChangeCount, changes);
    EXPECT_TRUE(w.DeviceControlsDisabled());
  }
  // A 32-bit program on 64-bit Windows, with the helper program beside it.
  void OnWow64WithHelper() {
    machine->Model().system.wow64 = true;
    sim::File helper;
    helper.path = "C:\\MORVANE\\TALON64.EXE";
    machine->Model().files.push_back(helper);
  }
};

TEST_F(DeviceChangeTest, ARestartSettlesAndTheDeviceIsSelectedAgain) {
  Open("/mice");
  Select(kHighMouse);
  frm.btnApplyClick();
  EXPECT_TRUE(w.tmrDeviceChange.Enabled());
  EXPECT_EQ(w.tmrDeviceChange.Interval(), 10000u);
  EXPECT_EQ(frm.ChangeCount, 0);
  EXPECT_TRUE(w.DeviceControlsDisabled());

  ASSERT_GT(pendingDeviceChanges, 0);  // the device went away and came back
  const int notifications = pendingDeviceChanges;
  const int starts = w.tmrDeviceChange.starts;
  DeliverDeviceChanges();
  ExpectSettling(notifications);
  EXPECT_EQ(w.tmrDeviceChange.starts, starts + notifications);  // each one restarts the second

  const std::size_t builds = ListBuilds();
  w.FireTimer();
  ExpectIdle();
  EXPECT_EQ(ListBuilds(), builds + 1);
  EXPECT_TRUE(w.DeviceControlsEnabled());
  EXPECT_EQ(SelectedId(), kHighMouse);
  EXPECT_TRUE(machine->MessageBoxes().empty());
}

TEST_F(DeviceChangeTest, NotificationsDuringTheRestartRequestAreNotLost) {
  deliverAtOnce = true;  // the window hears of the change inside the restart call
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  EXPECT_GT(frm.ChangeCount, 0);
  ExpectSettling(frm.ChangeCount);
  w.FireTimer();
  ExpectIdle();
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(SelectedId(), kLowMouse);
}

TEST_F(DeviceChangeTest, NotificationsKeepPushingTheSettlingTimer) {
  Open("/mice");
  for (int i = 1; i <= 3; ++i) {
    frm.WMDeviceChange();
    ExpectSettling(i);
  }
  w.FireTimer();
  ExpectIdle();
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

TEST_F(DeviceChangeTest, NoDeviceChangeWithinTheRestartWaitShowsM7) {
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 0, -1});
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  EXPECT_EQ(pendingDeviceChanges, 0);
  const std::size_t builds = ListBuilds();
  w.FireTimer();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  const auto& box = machine->MessageBoxes()[0];
  EXPECT_EQ(box.text, M7);
  EXPECT_EQ(box.caption, " Error!!!");
  EXPECT_EQ(box.type, MB_ICONERROR);
  ExpectIdle();
  EXPECT_TRUE(w.DeviceControlsEnabled());
  EXPECT_EQ(ListBuilds(), builds);  // the list is not rebuilt
}

// Windows says the restart has to wait for its own: the window says so at once,
// instead of waiting for device changes that will not come and then blaming rights,
// an antivirus or a missing helper.
TEST_F(DeviceChangeTest, ARebootNeededOn32BitWindowsIsSaidAtOnceInsteadOfM7) {
  machine->FindDevice(kLowMouse)->needsReboot = true;
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, TextRebootNeeded);
  EXPECT_EQ(machine->MessageBoxes()[0].caption, CaptionRebootNeeded);
  EXPECT_EQ(machine->MessageBoxes()[0].type, MB_ICONINFORMATION);
  ExpectIdle();
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

TEST_F(DeviceChangeTest, TheHelpersRebootCodeIsSaidInsteadOfM7) {
  OnWow64WithHelper();
  machine->FindDevice(kLowMouse)->needsReboot = true;  // the helper ends with its code 7
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  EXPECT_EQ(machine->ShellExecutes()[0].parameters, "U " + kLowMouse);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{TextRebootNeeded});
  ExpectIdle();
  EXPECT_TRUE(w.DeviceControlsEnabled());
  // The helper's process handle is closed once its exit code is read.
  EXPECT_EQ(machine->LeakReport().find("ShellExecuteExA"), std::string::npos) << machine->LeakReport();
}

// The helper's end is read as soon as it comes, not when the 10 s wait runs out: its
// reboot code and its failures are said then, a success leaves the wait running.
TEST_F(DeviceChangeTest, TheHelpersEndIsActedOnAsSoonAsItComes) {
  OnWow64WithHelper();
  Open("/mice");
  struct Case {
    std::optional<DWORD> helperCode;  // none: it restarts the device and ends with 0
    bool reboot;
    std::vector<std::string> boxes;
  };
  const std::vector<Case> cases{
      {std::nullopt, true, {TextRebootNeeded}},
      {10, false, {TextHelperFailed(10)}},
      {3, false, {TextHelperFailed(3)}},
      {std::nullopt, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.helperCode ? std::to_string(*c.helperCode) : std::string("restart"));
    machine->Model().system.helperExitCode = c.helperCode;
    machine->FindDevice(kLowMouse)->needsReboot = c.reboot;
    const std::size_t boxesBefore = machine->MessageBoxes().size();
    machine->HoldProcesses(true);
    Select(kLowMouse);
    frm.btnApplyClick();
    // Still running: nothing is said yet, the wait and the watch run.
    EXPECT_EQ(machine->MessageBoxes().size(), boxesBefore);
    ASSERT_TRUE(w.tmrHelper.Enabled());
    EXPECT_EQ(w.tmrHelper.Interval(), HelperPollInterval);
    w.FireHelperTimer();
    EXPECT_EQ(machine->MessageBoxes().size(), boxesBefore);
    EXPECT_TRUE(w.tmrHelper.Enabled());

    machine->EndProcesses();
    w.FireHelperTimer();  // the next tick after its end, long before the 10 s
    EXPECT_FALSE(w.tmrHelper.Enabled());
    std::vector<std::string> said;
    for (std::size_t i = boxesBefore; i < machine->MessageBoxes().size(); ++i) said.push_back(machine->MessageBoxes()[i].text);
    EXPECT_EQ(said, c.boxes);
    if (c.boxes.empty()) {
      EXPECT_TRUE(w.tmrDeviceChange.Enabled());  // a success awaits the device's removal and arrival
      DeliverDeviceChanges();
      w.FireTimer();
      EXPECT_EQ(machine->MessageBoxes().size(), boxesBefore);
    } else {
      EXPECT_FALSE(w.tmrDeviceChange.Enabled());
      EXPECT_EQ(machine->MessageBoxes().back().type, c.reboot ? MB_ICONINFORMATION : MB_ICONERROR);
    }
    EXPECT_TRUE(w.DeviceControlsEnabled());
    EXPECT_EQ(machine->LeakReport().find("ShellExecuteExA"), std::string::npos) << machine->LeakReport();
  }
}

// A helper still running when the whole wait has run out is given up: M7, its
// process closed.
TEST_F(DeviceChangeTest, AHelperStillRunningAfterTheWaitEndsInM7) {
  OnWow64WithHelper();
  machine->Model().system.helperExitCode = 0;  // ends with success, having restarted nothing
  machine->HoldProcesses(true);
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  w.FireHelperTimer();
  EXPECT_TRUE(machine->MessageBoxes().empty());
  w.FireTimer();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{M7});
  EXPECT_FALSE(w.tmrHelper.Enabled());
  EXPECT_EQ(machine->LeakReport().find("ShellExecuteExA"), std::string::npos) << machine->LeakReport();
}

TEST_F(DeviceChangeTest, ATimerRunningAcrossACategoryPickFiresIntoM7) {
  Open("/mice");
  frm.WMDeviceChange();
  w.cbDevices.Pick(4);  // the refresh clears ChangeCount; the timer keeps running
  EXPECT_EQ(frm.ChangeCount, 0);
  EXPECT_TRUE(w.tmrDeviceChange.Enabled());
  EXPECT_TRUE(w.DeviceControlsEnabled());
  w.FireTimer();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{M7});
}

TEST_F(DeviceChangeTest, M7AfterAPickOfAnEmptyCategoryLeavesTheDeviceControlsDisabled) {
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 0, -1});
  Open("/mice");
  frm.btnApplyClick();
  w.cbDevices.Pick(1);  // Keyboards: none; the restart wait keeps running
  ASSERT_TRUE(w.tmrDeviceChange.Enabled());
  ASSERT_TRUE(w.DeviceControlsDisabled());
  w.FireTimer();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{M7});
  // Nothing to restart or copy: enabling them would let Restart and Copy IDs ask
  // the empty list for a device.
  EXPECT_TRUE(w.DeviceControlsDisabled());
  EXPECT_FALSE(w.tmrDeviceChange.Enabled());
  w.cbDevices.Pick(0);
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

TEST_F(DeviceChangeTest, AFailedBuildIsRetriedEveryTwoSeconds) {
  Open("/mice");
  Select(kFullMouse);
  machine->InjectFault({"SetupDiGetClassDevsA", ERROR_GEN_FAILURE, 0, 2});
  frm.WMDeviceChange();
  w.FireTimer();
  EXPECT_EQ(frm.DeviceCount, 0);
  EXPECT_EQ(w.dgDevices.RowCount(), 2);
  EXPECT_TRUE(w.tmrDeviceChange.Enabled());
  EXPECT_EQ(w.tmrDeviceChange.Interval(), 2000u);
  EXPECT_EQ(frm.ChangeCount, 1);
  EXPECT_TRUE(w.DeviceControlsDisabled());

  const int starts = w.tmrDeviceChange.starts;
  w.FireTimer();  // fails again
  EXPECT_EQ(w.tmrDeviceChange.Interval(), 2000u);
  EXPECT_EQ(w.tmrDeviceChange.starts, starts + 1);

  w.FireTimer();
  ExpectIdle();
  EXPECT_EQ(frm.DeviceCount, 6);
  EXPECT_EQ(SelectedId(), kFullMouse);
  EXPECT_TRUE(w.DeviceControlsEnabled());
  EXPECT_TRUE(machine->MessageBoxes().empty());
}

TEST_F(DeviceChangeTest, ADeviceChangeTurnsTheRetryIntoSettling) {
  Open("/mice");
  machine->InjectFault({"SetupDiGetClassDevsA", ERROR_GEN_FAILURE, 0, 1});
  frm.RefreshDevices();
  ASSERT_EQ(w.tmrDeviceChange.Interval(), 2000u);
  frm.WMDeviceChange();
  ExpectSettling(2);
  w.FireTimer();
  ExpectIdle();
  EXPECT_EQ(frm.DeviceCount, 6);
}

TEST_F(DeviceChangeTest, AChangeWhileM7IsOpenKeepsTheControlsDisabled) {
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 0, -1});
  Open("/mice");
  frm.btnApplyClick();  // the restart fails: a change arrives later, with M7 on screen
  machine->SetMessageBoxHandler([this](const sim::MessageBoxCall&) {
    frm.WMDeviceChange();
    return IDOK;
  });
  w.FireTimer();
  ExpectSettling(1);
  w.FireTimer();
  ExpectIdle();
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

// A question box runs a message loop: the device restarts, its notifications and
// the settling tick arrive before the user answers. The list the open handler works
// on must outlive the handler; the refresh follows when it is done.
class OpenQuestionTest : public WindowTest {
 protected:
  // Inside the first question: restart the selected device and let the timer fire.
  void RefreshInsideTheFirstBox(int answer) {
    machine->SetMessageBoxHandler([this, answer](const sim::MessageBoxCall&) {
      if (++boxes == 1) {
        deliverAtOnce = true;
        EXPECT_TRUE(machine->RestartDevice(selected));
        deliverAtOnce = false;
        w.FireTimer();
        pendingInside = frm.IsRefreshPending();
        return answer;
      }
      return IDYES;
    });
  }
  // Idle with the device selected again, and the boxes showing what the machine holds.
  void ExpectIdleAfterRefresh() {
    EXPECT_FALSE(frm.IsRefreshPending());
    EXPECT_FALSE(w.tmrDeviceChange.Enabled());
    EXPECT_EQ(frm.ChangeCount, 0);
    EXPECT_TRUE(w.DeviceControlsEnabled());
    ASSERT_EQ(SelectedId(), selected);
    const bool written = !LowerFiltersOf(*machine, selected).empty() && LowerFiltersOf(*machine, selected)[0] == "morvane";
    EXPECT_EQ(w.cbFilter.Checked(), written);
    EXPECT_FALSE(frm.Updating);
  }
  std::string selected;
  int boxes = 0;
  bool pendingInside = false;
};

TEST_F(OpenQuestionTest, TheFilterChainGoesOnWithItsDeviceAndTheRefreshFollows) {
  machine->Model().services.clear();
  Open("/mice");
  selected = kProblemMouse;
  Select(selected);
  RefreshInsideTheFirstBox(IDYES);
  const std::size_t builds = ListBuilds();
  w.cbFilter.Click();
  EXPECT_TRUE(pendingInside);
  EXPECT_EQ(boxes, 3);  // Q1, Q2 and Q3: the device still answered HasProblem
  EXPECT_FALSE(frm.IsRefreshPending());
  EXPECT_EQ(ListBuilds(), builds + 1);
  ExpectIdleAfterRefresh();
}

TEST_F(OpenQuestionTest, ADeclinedChainStillRefreshesAfterwards) {
  Open("/mice");
  selected = kForeignMouse;
  Select(selected);
  RefreshInsideTheFirstBox(IDNO);  // Q5, answered No after the refresh was asked for
  w.cbFilter.Click();
  EXPECT_EQ(boxes, 1);
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_TRUE(LowerFiltersOf(*machine, kForeignMouse).empty());
  ExpectIdleAfterRefresh();
}

TEST_F(OpenQuestionTest, TheRateQuestionGoesOnWithItsDevice) {
  Open("/mice");
  selected = kLowMouse;
  Select(selected);
  RefreshInsideTheFirstBox(IDYES);
  w.cbRate.Pick(2);
  EXPECT_TRUE(pendingInside);
  EXPECT_EQ(boxes, 1);
  ExpectIdleAfterRefresh();
  // The rate box shows what the rebuilt list reads from the machine.
  EXPECT_EQ(w.cbRate.ItemIndex(), static_cast<int>(frm.GetSelectedDevice().GetRate()));
}

TEST_F(OpenQuestionTest, ADeviceThatHasGoneMeanwhileIsNotUsed) {
  Open("/mice");
  Select(kFullMouse);
  machine->Model().services.clear();
  machine->SetMessageBoxHandler([this](const sim::MessageBoxCall&) {
    if (++boxes == 1) {
      machine->RemoveDevice("HID\\VID_1038&PID_1824\\6&1A2B3C4D&0&2\\MOUSE");
      machine->RemoveDevice(kFullMouse);
      frm.WMDeviceChange();
      w.FireTimer();
    }
    return IDYES;
  });
  // The device is gone before the chain reaches its controller: that question
  // fails as it would for any device that cannot be opened, on the old list.
  EXPECT_THROW(w.cbFilter.Click(), Error);
  EXPECT_FALSE(frm.IsRefreshPending());
  EXPECT_EQ(RowOf(kFullMouse), 0);
  EXPECT_EQ(frm.DeviceCount, 5);
  EXPECT_EQ(w.cbFilter.Checked(), frm.GetSelectedDevice().IsFilterInstalled());
}

}  // namespace
}  // namespace morvane::test
