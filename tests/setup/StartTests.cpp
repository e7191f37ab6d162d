// Program start: the command-line category, the category box, and the DPI scaling
// with the width of column 4 when the window is first shown.
#include <gtest/gtest.h>

#include "setup/SetupF.h"
#include "tests/setup/WindowFixture.h"

namespace morvane::test {
namespace {

TEST(CommandLine, FirstArgumentFollowsBlanksAndQuotes) {
  EXPECT_EQ(FirstCommandLineArgument("setup.exe /mice"), "/mice");
  EXPECT_EQ(FirstCommandLineArgument("\"C:\\Program Files\\MORVANE\\setup.exe\" -all /usb"), "-all");
  EXPECT_EQ(FirstCommandLineArgument("setup.exe \t  \"/with problem\"  x"), "/with problem");
  EXPECT_EQ(FirstCommandLineArgument("setup.exe a\"b c\"d"), "ab cd");
  EXPECT_EQ(FirstCommandLineArgument("\"C:\\a b\\setup.exe\""), "");
  EXPECT_EQ(FirstCommandLineArgument("setup.exe   "), "");
  EXPECT_EQ(FirstCommandLineArgument(""), "");
  EXPECT_EQ(FirstCommandLineArgument("setup.exe \"\" /mice"), "");
}

TEST(CommandLine, CategoryIsTheLastNameEndingInTheArgument) {
  const std::pair<const char*, int> cases[] = {
      {"/mice", 0}, {"-KEYBOARDS", 1}, {"hids", 2}, {"/interrupts", 3}, {"/usb", 4}, {"/all", 5},
      {"/morvane", 6}, {"/problem", 7}, {"-all", 5}, {"/USB", 4}, {"rOBLEM", 7},
      {"", 0},       // none
      {"/S", 3},     // Keyboards, HIDs and with Interrupts end in S: the last wins
      {"/e", 6},     // Mice and with MORVANE end in E
      {"/", 0},      // nothing left after the slash
      {"-", 0},
      {"//mice", 0},  // only one leading character is removed
      {"/xyz", 0},
      // Longer than the name: the whole name is compared, so a text that merely ends
      // in a name selects nothing.
      {"/MOUSE AND MICE", 0},
      {"/everything with interrupts", 0},
  };
  for (const auto& [argument, category] : cases) {
    EXPECT_EQ(CategoryFromArgument(argument), category) << '"' << argument << '"';
  }
}

using StartTest = WindowTest;

TEST_F(StartTest, FormCreateFillsTheBoxesAndSelectsTheCategoryWithoutItsClickHandler) {
  int clicks = 0;
  w.cbDevices.onClick = [&clicks] { ++clicks; };
  frm.FormCreate("/usb");
  ASSERT_EQ(w.cbDevices.Items(), (std::vector<std::string>{"Mice", "Keyboards", "HIDs", "with Interrupts", "USB",
                                                           "All", "with MORVANE", "with Problem"}));
  EXPECT_EQ(w.cbDevices.ItemIndex(), 4);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(ListBuilds(), 1u);  // the one first refresh
  EXPECT_EQ(frm.DeviceCount, 8);  // every device with the USB-device interface
  EXPECT_TRUE(frm.LastSelectedId.empty());
}

TEST_F(StartTest, NoArgumentShowsMiceAndTheFirstMouseIsSelected) {
  Open();
  EXPECT_EQ(w.cbDevices.ItemIndex(), 0);
  EXPECT_EQ(frm.DeviceCount, 6);
  EXPECT_EQ(w.dgDevices.RowCount(), 7);
  EXPECT_EQ(SelectedId(), kFullMouse);
  EXPECT_TRUE(w.DeviceControlsEnabled());
}

TEST_F(StartTest, At96DotsPerInchOnlyColumn4Changes) {
  frm.FormShow();
  EXPECT_EQ(w.form.clientWidth, 960);
  EXPECT_EQ(w.form.clientHeight, 360);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 21);
  const int expected[] = {228, 34, 40, 50, 370, 228};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(w.dgDevices.ColWidth(col), expected[col]) << col;
}

TEST_F(StartTest, BelowOrAt96NothingIsScaled) {
  w.form.pixelsPerInch = 72;
  frm.FormShow();
  EXPECT_EQ(w.form.clientWidth, 960);
  EXPECT_EQ(w.form.clientHeight, 360);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 21);
  EXPECT_EQ(w.dgDevices.ColWidth(4), 370);
}

TEST_F(StartTest, At120DotsPerInchSizesScaleAndColumn4FillsTheGrid) {
  w.form.pixelsPerInch = 120;
  frm.FormShow();
  EXPECT_EQ(w.form.clientWidth, 1200);
  EXPECT_EQ(w.form.clientHeight, 450);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 26);
  const int expected[] = {285, 42, 50, 62, 466, 285};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(w.dgDevices.ColWidth(col), expected[col]) << col;
}

TEST_F(StartTest, At144DotsPerInch) {
  w.form.pixelsPerInch = 144;
  frm.FormShow();
  EXPECT_EQ(w.form.clientWidth, 1440);
  EXPECT_EQ(w.form.clientHeight, 540);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 31);
  // 342 + 51 + 60 + 75 + 523 + 342 + 10 = 1403
  const int expected[] = {342, 51, 60, 75, 523 + 1440 - 1403, 342};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(w.dgDevices.ColWidth(col), expected[col]) << col;
}

TEST_F(StartTest, NarrowWindowIsWidenedToTheCloseButton) {
  w.form.clientWidth = 600;
  frm.FormShow();
  EXPECT_EQ(w.form.clientWidth, 612 + 90 + 24);
  EXPECT_EQ(w.dgDevices.ColWidth(4), 349 + 600 - 939);  // column 4 was fitted before the widening
}

// A DPI change: the window has taken the suggested size and given the grid its design
// sizes back (as MainWindow does) before FormDpiChanged runs.
void MoveToDpi(TestWindow& w, int dpi, int clientWidth, int clientHeight) {
  w.form.pixelsPerInch = dpi;
  w.form.clientWidth = clientWidth;
  w.form.clientHeight = clientHeight;
  w.dgDevices.SetDefaultRowHeight(21);
  const int design[] = {228, 34, 40, 50, 349, 228};
  for (int col = 0; col < 6; ++col) w.dgDevices.SetColWidth(col, design[col]);
  w.frm.FormDpiChanged();
}

TEST_F(StartTest, ADpiChangeScalesTheGridAsAtStartAndKeepsTheSuggestedSize) {
  frm.FormShow();
  // The suggested rectangle is the system's: its client area need not be 960 x 1.5.
  MoveToDpi(w, 144, 1444, 554);
  EXPECT_EQ(w.form.clientWidth, 1444);
  EXPECT_EQ(w.form.clientHeight, 554);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 31);
  const int at144[] = {342, 51, 60, 75, 523 + 1444 - 1403, 342};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(w.dgDevices.ColWidth(col), at144[col]) << col;

  // Back at 96 nothing is scaled; column 4 fills the grid again.
  MoveToDpi(w, 96, 960, 360);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 21);
  const int at96[] = {228, 34, 40, 50, 370, 228};
  for (int col = 0; col < 6; ++col) EXPECT_EQ(w.dgDevices.ColWidth(col), at96[col]) << col;
}

TEST_F(StartTest, ADpiChangeToANarrowSuggestionWidensTheWindowToTheCloseButton) {
  frm.FormShow();
  MoveToDpi(w, 120, 700, 450);
  EXPECT_EQ(w.dgDevices.DefaultRowHeight(), 26);
  EXPECT_EQ(w.form.clientWidth, 612 + 90 + 24);  // the test's foot controls keep their design size
}

TEST(ScaleByDpi, TruncatesTowardZero) {
  EXPECT_EQ(ScaleByDpi(21, 120), 26);
  EXPECT_EQ(ScaleByDpi(-21, 120), -26);
  EXPECT_EQ(ScaleByDpi(349, 144), 523);
  EXPECT_EQ(ScaleByDpi(100000000, 192), 200000000);  // no overflow in between
}

}  // namespace
}  // namespace morvane::test
