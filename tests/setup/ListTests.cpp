// The list: empty categories, re-selection by instance ID, the rate items per speed
// and the drawing of the grid's cells.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "setup/SetupF.h"
#include "tests/setup/WindowFixture.h"

namespace morvane::test {
namespace {

using ListTest = WindowTest;

const std::vector<std::string> kFullSpeedItems = {"Default", "1000", "500", "250", "125", "62", "31"};
const std::vector<std::string> kLowSpeedItems = {"Default", "1000 *", "500 *", "250 *", "125", "62", "31"};
const std::vector<std::string> kHighSpeedItems = {"Default", "8000", "4000", "2000", "1000", "500", "250"};

TEST_F(ListTest, EmptyCategoryDisablesTheDeviceControlsAndClearsThem) {
  Open("/mice");
  machine->FindDevice(kFullMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
  frm.RefreshDevices();
  ASSERT_TRUE(w.cbFilter.Checked());
  ASSERT_EQ(w.cbRate.ItemCount(), 7);

  w.cbDevices.Pick(1);  // Keyboards: none on this machine
  EXPECT_EQ(frm.DeviceCount, 0);
  EXPECT_EQ(w.dgDevices.RowCount(), 2);
  EXPECT_TRUE(w.DeviceControlsDisabled());
  EXPECT_TRUE(w.cbDevices.Enabled());
  EXPECT_TRUE(w.btnInstall.Enabled());
  EXPECT_TRUE(w.btnClose.Enabled());
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_EQ(w.cbRate.ItemIndex(), 0);
  EXPECT_FALSE(frm.Updating);
  // Clearing the box is not the user switching the filter off.
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});

  TestCanvas canvas;
  frm.dgDevicesDrawCell(0, 1, TRect{0, 22, 228, 43}, {}, canvas);
  EXPECT_TRUE(canvas.fills.empty());
  EXPECT_TRUE(canvas.texts.empty());
  bool canSelect = false;
  frm.dgDevicesSelectCell(0, 1, canSelect);  // the empty row: allowed, nothing to show
  EXPECT_TRUE(canSelect);
}

TEST_F(ListTest, TheRememberedDeviceIsSelectedAgainAfterARefresh) {
  Open("/mice");
  Select(kLowMouse);
  EXPECT_EQ(w.dgDevices.Row(), 2);
  machine->RemoveDevice("HID\\VID_1038&PID_1824\\6&1A2B3C4D&0&2\\MOUSE");
  machine->RemoveDevice(kFullMouse);

  frm.RefreshDevices();
  EXPECT_EQ(frm.LastSelectedId, kLowMouse);
  EXPECT_EQ(w.dgDevices.Row(), 1);
  EXPECT_EQ(SelectedId(), kLowMouse);
  EXPECT_EQ(w.cbRate.Items(), kLowSpeedItems);
}

TEST_F(ListTest, TheRememberedDeviceIsFoundInAnotherCategory) {
  Open("/mice");
  Select(kLowMouse);
  w.cbDevices.Pick(4);  // USB: the stick comes first
  EXPECT_EQ(SelectedId(), kLowMouse);
  EXPECT_EQ(w.dgDevices.Row(), 3);
  w.cbDevices.Pick(7);  // with Problem: the low-speed mouse is not there
  EXPECT_EQ(RowOf(kLowMouse), 0);
  EXPECT_EQ(SelectedId(), kOddDevice);  // row 3 of USB became the last row, 2
  EXPECT_EQ(frm.LastSelectedId, kLowMouse);
}

TEST_F(ListTest, AGoneDeviceLeavesTheRowAtItsNumberOrAtTheLastRow) {
  Open("/mice");
  Select(kLowMouse);  // row 2
  machine->RemoveDevice("HID\\VID_046D&PID_C05A\\6&1A2B3C4D&0&3\\MOUSE");
  machine->RemoveDevice(kLowMouse);
  frm.RefreshDevices();
  EXPECT_EQ(w.dgDevices.Row(), 2);
  EXPECT_EQ(SelectedId(), kHighMouse);
  EXPECT_EQ(w.cbRate.Items(), kHighSpeedItems);  // the controls follow the new row

  Select(kForeignMouse);  // the last row
  const int last = w.dgDevices.Row();
  machine->RemoveDevice("HID\\VID_1BCF&PID_0005\\7&2B3C4D5E&0&1\\MOUSE");
  machine->RemoveDevice(kForeignMouse);
  frm.RefreshDevices();
  EXPECT_EQ(w.dgDevices.Row(), last - 1);
  EXPECT_EQ(w.dgDevices.Row(), w.dgDevices.RowCount() - 1);
}

TEST_F(ListTest, ARefreshThatFindsNothingKeepsTheRememberedDevice) {
  Open("/mice");
  Select(kHighMouse);
  machine->InjectFault({"SetupDiGetClassDevsA", ERROR_GEN_FAILURE, 0, 1});
  frm.RefreshDevices();
  ASSERT_EQ(frm.DeviceCount, 0);
  frm.RefreshDevices();
  EXPECT_EQ(frm.LastSelectedId, kHighMouse);
  EXPECT_EQ(SelectedId(), kHighMouse);
  EXPECT_TRUE(machine->MessageBoxes().empty());  // a failed build shows nothing
}

TEST_F(ListTest, RateItemsFollowTheSpeed) {
  Open("/mice");
  Select(kFullMouse);
  EXPECT_EQ(w.cbRate.Items(), kFullSpeedItems);
  Select(kLowMouse);
  EXPECT_EQ(w.cbRate.Items(), kLowSpeedItems);
  Select(kHighMouse);
  EXPECT_EQ(w.cbRate.Items(), kHighSpeedItems);
  Select(kUnknownSpeedMouse);  // speed 255 counts as high speed
  EXPECT_EQ(w.cbRate.Items(), kHighSpeedItems);
  EXPECT_FALSE(frm.Updating);
}

TEST_F(ListTest, TheBoxesShowTheDevicesSettings) {
  machine->FindDevice(kLowMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(4));
  machine->FindDevice(kLowMouse)->properties[SPDRP_LOWERFILTERS] =
      sim::RegValue::MultiString({"morvane", "mouhid"});
  Open("/mice");
  int filterClicks = 0;
  w.cbFilter.onClick = [&] {
    ++filterClicks;
    frm.cbFilterClick();
  };
  Select(kLowMouse);
  EXPECT_TRUE(w.cbFilter.Checked());
  EXPECT_EQ(filterClicks, 1);  // the box changed: its handler ran and did nothing
  EXPECT_EQ(w.cbRate.ItemIndex(), 3);
  EXPECT_TRUE(machine->MessageBoxes().empty());
  Select(kFullMouse);
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_EQ(w.cbRate.ItemIndex(), 0);
  EXPECT_EQ(LowerFiltersOf(*machine, kLowMouse), (std::vector<std::string>{"morvane", "mouhid"}));
}

TEST_F(ListTest, ARowWhoseDeviceRaisesLeavesTheBoxesOnTheCurrentDevice) {
  machine->FindDevice(kFullMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
  machine->FindDevice(kFullMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(2));
  Open("/mice");
  ASSERT_EQ(SelectedId(), kFullMouse);
  ASSERT_TRUE(w.cbFilter.Checked());
  ASSERT_EQ(w.cbRate.ItemIndex(), 2);
  // From here on no other device can be opened: the low-speed mouse cannot reach
  // its hub, and the click on its row raises.
  machine->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, 0, -1});
  EXPECT_THROW(w.ClickRow(RowOf(kLowMouse)), Error);
  EXPECT_EQ(SelectedId(), kFullMouse);
  EXPECT_TRUE(w.cbFilter.Checked());
  EXPECT_EQ(w.cbRate.Items(), kFullSpeedItems);
  EXPECT_EQ(w.cbRate.ItemIndex(), 2);
  EXPECT_FALSE(frm.Updating);
  machine->Core().ClearFaults();
}

TEST_F(ListTest, TheTitleRowCannotBeSelected) {
  Open("/mice");
  Select(kHighMouse);
  w.ClickRow(0);
  EXPECT_EQ(SelectedId(), kHighMouse);
}

TEST_F(ListTest, DrawCellWritesTitlesAndTheDevicesTexts) {
  machine->FindDevice(kFullMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
  machine->FindDevice(kFullMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(2));
  Open("/mice");
  const TRect rect{10, 20, 110, 41};

  TestCanvas titles;
  for (int col = 0; col < 6; ++col) frm.dgDevicesDrawCell(col, 0, rect, {false, false, true}, titles);
  ASSERT_EQ(titles.texts.size(), 6u);
  const char* expectedTitles[] = {"Device Name", "Filter?", "Rate", "bInterval", "Child Name(s)", "Controller Name"};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(titles.texts[col].text, expectedTitles[col]);
  EXPECT_EQ(titles.texts[0].x, 13);
  EXPECT_EQ(titles.texts[0].y, 23);
  EXPECT_TRUE(titles.fills.empty());

  TestCanvas cells;
  const int row = RowOf(kFullMouse);
  for (int col = 0; col < 6; ++col) frm.dgDevicesDrawCell(col, row, rect, {}, cells);
  ASSERT_EQ(cells.texts.size(), 6u);
  EXPECT_EQ(cells.texts[0].text, kFullMouseName);
  EXPECT_EQ(cells.texts[1].text, "Yes");
  EXPECT_EQ(cells.texts[2].text, "500");
  EXPECT_EQ(cells.texts[3].text, "1 - 8");
  EXPECT_EQ(cells.texts[4].text, "HID-compliant mouse");
  EXPECT_EQ(cells.texts[5].text, kXhciName);
  EXPECT_EQ(cells.texts[5].x, 13);

  TestCanvas other;
  frm.dgDevicesDrawCell(1, RowOf(kHighMouse), rect, {}, other);
  EXPECT_EQ(other.texts.at(0).text, "No");
}

TEST_F(ListTest, TintsMarkProblemsAndInterruptPipesButNeverTheCurrentCell) {
  Open("/all");
  const TRect rect{0, 0, 50, 21};
  auto fillOf = [&](const std::string& id, TGridDrawState state) {
    TestCanvas canvas;
    frm.dgDevicesDrawCell(2, RowOf(id), rect, state, canvas);
    EXPECT_EQ(canvas.texts.size(), 1u);  // the text is drawn in every case
    return canvas.fills;
  };
  const auto problem = fillOf(kProblemMouse, {});  // a problem, and interrupt pipes
  ASSERT_EQ(problem.size(), 1u);
  EXPECT_EQ(problem[0].color, RGBColor(255, 204, 204));
  EXPECT_EQ(problem[0].rect.Right, 50);
  const auto healthy = fillOf(kFullMouse, {});
  ASSERT_EQ(healthy.size(), 1u);
  EXPECT_EQ(healthy[0].color, RGBColor(204, 255, 204));
  const auto unknown = fillOf(kUnknownSpeedMouse, {});  // no connection information: counts as pipes
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(unknown[0].color, RGBColor(204, 255, 204));
  EXPECT_TRUE(fillOf(kStorage, {}).empty());  // bulk pipes only
  EXPECT_TRUE(fillOf(kProblemMouse, {true, false, false}).empty());
  EXPECT_TRUE(fillOf(kFullMouse, {false, true, false}).empty());
}

TEST_F(ListTest, ARaisingDeviceOperationEndsTheDrawHandler) {
  Open("/mice");
  // The controller cannot be opened: column 5 raises; the message loop shows it.
  machine->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, 0, -1});
  TestCanvas canvas;
  EXPECT_THROW(frm.dgDevicesDrawCell(5, RowOf(kLowMouse), TRect{0, 0, 9, 9}, {}, canvas), Error);
  EXPECT_TRUE(canvas.texts.empty());
}

}  // namespace
}  // namespace morvane::test
