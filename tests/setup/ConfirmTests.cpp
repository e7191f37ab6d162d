// After a filter or rate change and a restart: the check of the restarted device,
// "Keep these settings?" for a device with a mouse or keyboard child, and the
// settings put back (by the journal) when the device is not healthy or nobody answers.
#include <gtest/gtest.h>

#include "devices/Journal.h"
#include "platform/sim/sim.h"
#include "setup/SetupF.h"
#include "tests/setup/WindowFixture.h"

namespace morvane::test {
namespace {

class ConfirmTest : public WindowTest {
 protected:
  // The full-speed device's child made a keyboard.
  void MakeKeyboard() {
    for (sim::Device& d : machine->Model().devices) {
      if (d.parent == kFullMouse) d.classGuid = sim::guids::DevClassKeyboard;
    }
  }
  std::vector<JournalEntry> Journal() {
    auto& keys = machine->Model().system.machineKeys;
    const auto key = keys.find(JournalKeyPath);
    if (key == keys.end()) return {};
    const auto& value = key->second.at(JournalValueName);
    return ParseJournal(std::string(value.data.begin(), value.data.end())).entries;
  }
  // The restart's device changes arrive and settle.
  void Settle() {
    DeliverDeviceChanges();
    w.FireTimer();
  }
};

TEST_F(ConfirmTest, AKeyboardBackWithProblem10IsDetachedRestartedAgainAndTheUserTold) {
  MakeKeyboard();
  machine->FindDevice(kFullMouse)->problemWithFilter = 10;
  Open("/all");
  Select(kFullMouse);
  w.cbFilter.Click();
  ASSERT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  frm.btnApplyClick();
  Settle();
  // Not asked: the device is not healthy. Detached, restarted again, and said.
  EXPECT_TRUE(w.keepBox.asked.empty());
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
  EXPECT_EQ(machine->RestartCount(kFullMouse), 2u);
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  const auto& box = machine->MessageBoxes()[0];
  EXPECT_NE(box.text.find(kFullMouse + " came back with problem 10"), std::string::npos) << box.text;
  EXPECT_NE(box.text.find("were put back, and the device is restarted again"), std::string::npos) << box.text;
  EXPECT_EQ(box.caption, CaptionSettingsPutBack);
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].command, "window: filter on");
  EXPECT_EQ(entries[1].command, "window: undo");
  EXPECT_EQ(entries[1].state, JournalState::Done);
  EXPECT_EQ(entries[1].filtersBefore, std::vector<std::string>{"morvane"});
  EXPECT_TRUE(entries[1].filtersAfter.empty());
  // The second restart comes back healthy: nothing more is asked or put back.
  Settle();
  EXPECT_EQ(machine->FindDevice(kFullMouse)->problem, 0u);
  EXPECT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

TEST_F(ConfirmTest, NoAnswerWithinTheCountdownPutsTheRateAndFilterBack) {
  Open();
  Select(kFullMouse);
  w.cbFilter.Click();
  w.cbRate.Pick(4);
  ASSERT_EQ(OverrideOf(*machine, kFullMouse), 8);
  frm.btnApplyClick();
  Settle();
  ASSERT_EQ(w.keepBox.asked, std::vector<std::string>{TextKeepSettings});
  EXPECT_EQ(w.keepBox.secondsAsked, 15u);
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), -1);  // no override, as before
  EXPECT_EQ(machine->RestartCount(kFullMouse), 2u);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The previous settings of " + kFullMouse +
                                                 " were put back, and the device is restarted again."});
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 1u);  // the put-back restart is not asked about
}

TEST_F(ConfirmTest, OkKeepsTheSettingsAndADeviceWithoutMouseOrKeyboardIsNotAsked) {
  w.keepBox.answers = {true};
  Open("/all");
  Select(kFullMouse);
  w.cbFilter.Click();
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 1u);
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  EXPECT_EQ(machine->RestartCount(kFullMouse), 1u);
  EXPECT_TRUE(machine->MessageBoxes().empty());
  // A restart without a change since the last one asks nothing.
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 1u);
  // The storage stick has no mouse or keyboard: its rate change is not asked about.
  Select(kStorage);
  w.cbRate.Pick(2);
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 1u);
  EXPECT_EQ(OverrideOf(*machine, kStorage), 2);
}

// After a rate change, a restart and the settings kept, the window offers to measure
// the device; "Yes" opens the meter for it. A filter change alone, a device put back
// and "No" open nothing.
TEST_F(ConfirmTest, AKeptRateChangeOffersToMeasureTheDevice) {
  std::vector<std::string> measured;
  frm.OnMeasureDevice = [&measured](const std::string& id) { measured.push_back(id); };
  Open("/all");
  Select(kFullMouse);
  w.keepBox.answers = {true, true, false, true};
  w.cbRate.Pick(2);
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 1u);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{TextMeasureNow});
  EXPECT_EQ(machine->MessageBoxes().back().type & MB_YESNO, static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(measured, std::vector<std::string>{kFullMouse});

  w.cbFilter.Click();  // a filter change alone: kept, not offered
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 2u);
  EXPECT_EQ(BoxTexts().size(), 1u);

  w.cbRate.Pick(3);  // reverted: put back, not offered
  frm.btnApplyClick();
  Settle();
  Settle();  // the restart of the settings put back
  EXPECT_EQ(w.keepBox.asked.size(), 3u);
  EXPECT_EQ(BoxTexts().back().find(TextMeasureNow), std::string::npos);
  EXPECT_EQ(measured.size(), 1u);

  Answer({IDNO});
  Select(kFullMouse);
  w.cbRate.Pick(4);
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(w.keepBox.asked.size(), 4u);
  EXPECT_EQ(BoxTexts().back(), TextMeasureNow);
  EXPECT_EQ(measured.size(), 1u);  // "No" opens nothing

  Select(kStorage);  // no mouse: nothing offered
  const std::size_t boxes = machine->MessageBoxes().size();
  w.cbRate.Pick(2);
  frm.btnApplyClick();
  Settle();
  EXPECT_EQ(machine->MessageBoxes().size(), boxes);
}

// The restart is asked for but the device is never seen going or coming back: after
// M7, what it held is put back and it is restarted again.
TEST_F(ConfirmTest, ADeviceNotSeenAgainWithinTheWaitGetsItsSettingsBackAfterM7) {
  Open();
  Select(kFullMouse);
  w.cbFilter.Click();
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 0, 1});
  frm.btnApplyClick();
  Settle();
  EXPECT_TRUE(w.keepBox.asked.empty());
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
  EXPECT_EQ(machine->RestartCount(kFullMouse), 1u);  // the second request went through
  const auto texts = BoxTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].rfind("Device doesn't restart after 10 seconds", 0), 0u) << texts[0];
  EXPECT_EQ(texts[1], kFullMouse + " did not come back after its restart.\r\nThe previous settings of " + kFullMouse +
                          " were put back, and the device is restarted again.");
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].command, "window: undo");
  EXPECT_EQ(entries[1].state, JournalState::Done);
  EXPECT_TRUE(w.DeviceControlsDisabled());  // the second restart is awaited
  Settle();
  EXPECT_EQ(BoxTexts().size(), 2u);
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

// An earlier run cut short: its put-back of the full-speed mouse begun, and a filter
// change of the low-speed mouse whose device holds the change. At the start the
// put-back is finished, the change marked done, the list shows both, and the user
// is told.
TEST_F(ConfirmTest, ChangesAnEarlierRunDidNotFinishAreResolvedAtTheStartAndTold) {
  machine->FindDevice(kFullMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane", "mouhid"});
  machine->FindDevice(kLowMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
  JournalEntry undo;
  undo.sequence = 1;
  undo.time = "2026-12-09T04:00:00Z";
  undo.command = "window: undo";
  undo.instanceId = kFullMouse;
  undo.filtersTouched = true;
  undo.filtersBefore = {"morvane", "mouhid"};
  undo.filtersAfter = {"mouhid"};
  JournalEntry attach = undo;
  attach.sequence = 2;
  attach.command = "window: filter on";
  attach.instanceId = kLowMouse;
  attach.filtersBefore = {};
  attach.filtersAfter = {"morvane"};
  const std::string text = FormatJournal({undo, attach});
  machine->Model().system.machineKeys[JournalKeyPath][JournalValueName] =
      sim::RegValue::Binary(std::vector<BYTE>(text.begin(), text.end()));

  Open("/all");
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"mouhid"});
  EXPECT_EQ(LowerFiltersOf(*machine, kLowMouse), std::vector<std::string>{"morvane"});
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].state, JournalState::Done);
  EXPECT_EQ(entries[1].state, JournalState::Done);
  EXPECT_EQ(entries[2].command, "finish window: undo");
  EXPECT_EQ(entries[2].state, JournalState::Done);
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  const auto& box = machine->MessageBoxes()[0];
  EXPECT_EQ(box.caption, CaptionUnfinishedChanges);
  EXPECT_NE(box.text.find(kFullMouse + ": a change begun at 2026-12-09T04:00:00Z by \"window: undo\" was not "
                          "finished; it is finished now"),
            std::string::npos)
      << box.text;
  EXPECT_NE(box.text.find(kLowMouse + ": a change begun at 2026-12-09T04:00:00Z by \"window: filter on\" was not "
                          "finished; the device holds the change"),
            std::string::npos)
      << box.text;
  EXPECT_NE(box.type & MB_ICONINFORMATION, 0u);
  // The grid shows the devices as they are now.
  Select(kFullMouse);
  EXPECT_FALSE(w.cbFilter.Checked());
  Select(kLowMouse);
  EXPECT_TRUE(w.cbFilter.Checked());
}

}  // namespace
}  // namespace morvane::test
