// The text helpers of the driver report and the ID report: separator marks, the
// port-miniport test, the 9x file list and the speed names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/DriverReport.h"
#include "setup/SetupF.h"

namespace {

using morvane::IsUsbPortMiniport;
using morvane::MarkMultiSzSeparators;
using morvane::SplitDriverFileList;
using namespace std::string_literals;

TEST(MarkMultiSzSeparators, SingleNulsBecomeMarksAndADoubleNulEndsTheList) {
  EXPECT_EQ(MarkMultiSzSeparators("I\0A\0B\0\0"s), "I\xFF" "A\xFF" "B"s);
  EXPECT_EQ(MarkMultiSzSeparators("I\0\0"s), "I");
  // Whatever follows the end of the list is dropped with both NUL bytes.
  EXPECT_EQ(MarkMultiSzSeparators("a\0\0b\0c"s), "a");
  EXPECT_EQ(MarkMultiSzSeparators("\0\0"s), "");
  EXPECT_EQ(MarkMultiSzSeparators(""s), "");
}

TEST(MarkMultiSzSeparators, ATextWithoutTwoNulsInARowKeepsEveryCharacter) {
  EXPECT_EQ(MarkMultiSzSeparators("a\0b"s), "a\xFF" "b"s);
  EXPECT_EQ(MarkMultiSzSeparators("a\0b\0"s), "a\xFF" "b\xFF"s);
  EXPECT_EQ(MarkMultiSzSeparators("\0"s), "\xFF"s);
  EXPECT_EQ(MarkMultiSzSeparators("plain"s), "plain");
  // A 0xFF byte of the text is not a replaced NUL: the NUL after it is a separator.
  EXPECT_EQ(MarkMultiSzSeparators("a\xFF\0"s), "a\xFF\xFF"s);
  // Three NUL bytes: the second ends the list, the third is never reached.
  EXPECT_EQ(MarkMultiSzSeparators("x\0\0\0"s), "x");
}

TEST(IsUsbPortMiniport, TheThreePortMiniportsInAnyCaseAndDirectory) {
  for (const char* file : {"usbohci.sys", "USBUHCI.SYS", "UsbEhci.Sys", "usbehci",
                           "\\SystemRoot\\System32\\drivers\\usbohci.sys", "system32\\DRIVERS\\USBUHCI.SYS",
                           "\\??\\D:\\Drivers\\usbehci.sys", "C:usbuhci.sys", "D:\\drv.d\\USBOHCI",
                           "\\SystemRoot\\System32\\drivers\\usbehci.dll"}) {
    EXPECT_TRUE(IsUsbPortMiniport(file)) << file;
  }
}

TEST(IsUsbPortMiniport, OtherNamesAreNot) {
  for (const char* file : {"", "usbxhci.sys", "\\SystemRoot\\System32\\drivers\\USBXHCI.SYS", "usbport.sys",
                           "uhcd.sys", "openhci.sys", "usbohci2.sys", "myusbehci.sys", "usbohci.sys.old",
                           "usbehci.sys\\", "usbuhci\\x.sys", "usbohci:", " usbohci.sys",
                           "usbohci .sys"}) {
    EXPECT_FALSE(IsUsbPortMiniport(file)) << file;
  }
}

TEST(SplitDriverFileList, EachCommaSeparatesAndATrailingOneAddsNothing) {
  using List = std::vector<std::string>;
  EXPECT_EQ(SplitDriverFileList(""), List{});
  EXPECT_EQ(SplitDriverFileList("a.sys"), List{"a.sys"});
  EXPECT_EQ(SplitDriverFileList("a.sys,usbuhci.sys,b.sys"), (List{"a.sys", "usbuhci.sys", "b.sys"}));
  EXPECT_EQ(SplitDriverFileList("a.sys,"), List{"a.sys"});
  EXPECT_EQ(SplitDriverFileList(","), List{""});
  EXPECT_EQ(SplitDriverFileList("a.sys,,b.sys"), (List{"a.sys", "", "b.sys"}));
  EXPECT_EQ(SplitDriverFileList("a.sys,b.sys,,"), (List{"a.sys", "b.sys", ""}));
  // Blanks stay where they are.
  EXPECT_EQ(SplitDriverFileList(" a.sys , b.sys"), (List{" a.sys ", " b.sys"}));
  // A line break inside the value separates as well; CR LF counts once.
  EXPECT_EQ(SplitDriverFileList("a.sys\r\nb.sys\nc.sys\rd.sys"), (List{"a.sys", "b.sys", "c.sys", "d.sys"}));
}

TEST(GetSpeedName, NamesOfTheFiveSpeedsAndUnknownForEveryOtherCode) {
  EXPECT_EQ(morvane::GetSpeedName(0), "Low");
  EXPECT_EQ(morvane::GetSpeedName(1), "Full");
  EXPECT_EQ(morvane::GetSpeedName(2), "High");
  EXPECT_EQ(morvane::GetSpeedName(3), "Super");
  EXPECT_EQ(morvane::GetSpeedName(4), "SuperPlus");
  for (int code : {5, 6, 127, 128, 254, 255}) {
    EXPECT_EQ(morvane::GetSpeedName(static_cast<unsigned char>(code)), "Unknown") << code;
  }
}

}  // namespace
