#include <gtest/gtest.h>

#include <cstring>

#include "sim_fixture.h"
#include "syshelpers/Messages.h"

namespace syshelpers_test {
namespace {

using morvane::SysError;
using Formats = std::vector<UINT>;
using Texts = std::vector<std::string>;

class MessagesTest : public SimTest {
 protected:
  // The code of the SysError that `copy` raises; fails the test when none passes.
  template <typename F>
  DWORD RaisedCode(F copy, std::string* message = nullptr) {
    try {
      copy();
    } catch (const SysError& e) {
      if (message != nullptr) *message = e.what();
      return e.Code();
    }
    ADD_FAILURE() << "no SysError";
    return 0xFFFFFFFF;
  }
};

TEST_F(MessagesTest, QuestionBoxStylesTitlesAndAnswers) {
  struct Case { bool warning, defaultYes; UINT style; const char* title; };
  const Case cases[] = {{true, true, 0x34, " Warning !!!"}, {true, false, 0x134, " Warning !!!"},
                        {false, true, 0x44, " Information"}, {false, false, 0x144, " Information"}};
  HWND owner = reinterpret_cast<HWND>(0x1234);
  for (const Case& c : cases) morvane::ShowMessageBox(owner, "Go on?", c.warning, c.defaultYes);
  const auto& boxes = services.MessageBoxes();
  ASSERT_EQ(boxes.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(boxes[i].type, cases[i].style) << i;
    EXPECT_EQ(boxes[i].caption, cases[i].title) << i;
    EXPECT_EQ(boxes[i].text, "Go on?");
    EXPECT_EQ(boxes[i].owner, owner);
  }
  // True exactly for No; Yes, a failed box and anything else go on.
  int answer = IDYES;
  services.SetMessageBoxHandler([&](const sim::MessageBoxCall&) { return answer; });
  for (int a : {IDYES, 0, IDCANCEL}) {
    answer = a;
    EXPECT_FALSE(morvane::ShowMessageBox(nullptr, "q", false, false)) << a;
  }
  answer = IDNO;
  EXPECT_TRUE(morvane::ShowMessageBox(nullptr, "q", true, true));
}

TEST_F(MessagesTest, Wow64AnswersAndMissingFunctions) {
  model.system.wow64 = true;
  EXPECT_TRUE(morvane::IsWow64());
  EXPECT_TRUE(morvane::IsWow64());
  EXPECT_EQ(ArgsOf("GetProcAddress").size(), 2u) << "resolved again at every call";
  model.system.isWow64ProcessFails = true;
  EXPECT_FALSE(morvane::IsWow64());
  model.system.isWow64ProcessFails = false;
  model.system.wow64 = false;
  EXPECT_FALSE(morvane::IsWow64());
  PVOID token = nullptr;
  EXPECT_NE(morvane::DisableWow64Redirection(token), -1);
  EXPECT_NE(morvane::RevertWow64Redirection(token), -1);

  model.system.wow64 = true;
  model.system.hasWow64Functions = false;
  EXPECT_FALSE(morvane::IsWow64());
  token = reinterpret_cast<PVOID>(0x55);
  EXPECT_EQ(morvane::DisableWow64Redirection(token), -1);
  EXPECT_EQ(token, nullptr);
  EXPECT_EQ(morvane::RevertWow64Redirection(token), -1);
}

TEST_F(MessagesTest, ClipboardOrderAndBlockSizesOnNtAnd9x) {
  const std::string text = "0123456789";
  const char16_t wide[] = u"0123456789";
  const std::vector<BYTE> wideBytes(reinterpret_cast<const BYTE*>(wide), reinterpret_cast<const BYTE*>(wide) + 22);
  const std::vector<BYTE> ansiBytes(text.c_str(), text.c_str() + 11);
  for (DWORD platformId : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    const bool nt = platformId == VER_PLATFORM_WIN32_NT;
    model.system.platformId = platformId;
    core.ClearCalls();
    ASSERT_TRUE(morvane::CopyTextToClipboard(text));
    EXPECT_EQ(services.ClipboardFormats(), (nt ? Formats{CF_UNICODETEXT, CF_TEXT} : Formats{CF_TEXT, CF_UNICODETEXT}));
    EXPECT_EQ(services.ClipboardData(CF_UNICODETEXT), wideBytes);
    EXPECT_EQ(services.ClipboardData(CF_TEXT), ansiBytes);
    EXPECT_EQ(ArgsOf("GlobalAlloc"), (nt ? Texts{"0x2002, 22", "0x2002, 11"} : Texts{"0x2002, 11", "0x2002, 22"}));
    EXPECT_EQ(Sequence({"OpenClipboard", "EmptyClipboard", "CloseClipboard"}),
              (Texts{"OpenClipboard", "EmptyClipboard", "CloseClipboard"}));
  }
}

TEST_F(MessagesTest, RefusedFormatsOnNtRaiseAndKeepWhatWasSet) {
  model.system.messages[1418] = "Thread does not have a clipboard open.\r\n";
  core.InjectFault({"SetClipboardData", 1418, 1, 1});  // the second, ANSI format
  std::string message;
  EXPECT_EQ(RaisedCode([] { morvane::CopyTextToClipboard("report"); }, &message), 1418u);
  EXPECT_EQ(message, "Win32 Error.  Code: 1418.\nThread does not have a clipboard open");
  EXPECT_EQ(services.ClipboardFormats(), Formats{CF_UNICODETEXT});
  EXPECT_EQ(ArgsOf("GlobalFree").size(), 1u) << "the refused block";

  core.InjectFault({"SetClipboardData", 0, 0, 1});  // the first, Unicode format
  EXPECT_EQ(RaisedCode([] { morvane::CopyTextToClipboard("report"); }, &message), 0u);
  EXPECT_EQ(message, "A Win32 API function failed");
  EXPECT_TRUE(services.ClipboardFormats().empty());
  EXPECT_EQ(ArgsOf("CloseClipboard").size(), 2u);
}

TEST_F(MessagesTest, RefusedUnicodeFormatIsIgnoredOn9x) {
  model.system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  core.InjectFault({"SetClipboardData", ERROR_NOT_ENOUGH_MEMORY, 1, 1});
  EXPECT_TRUE(morvane::CopyTextToClipboard("report"));
  EXPECT_EQ(services.ClipboardFormats(), Formats{CF_TEXT});
  EXPECT_EQ(ArgsOf("GlobalFree").size(), 1u);
}

TEST_F(MessagesTest, GlobalMemoryFailuresRaiseWithTheirCode) {
  core.InjectFault({"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 0, 1});
  EXPECT_EQ(RaisedCode([] { morvane::CopyToGlobalMemory("abc", 4); }), ERROR_NOT_ENOUGH_MEMORY);
  core.InjectFault({"GlobalLock", ERROR_INVALID_HANDLE, 0, 1});
  EXPECT_EQ(RaisedCode([] { morvane::CopyToGlobalMemory("abc", 4); }), ERROR_INVALID_HANDLE);
  EXPECT_EQ(ArgsOf("GlobalFree").size(), 1u);
  // Inside the clipboard operation: the clipboard is closed, the Unicode text stays.
  core.InjectFault({"GlobalLock", ERROR_INVALID_HANDLE, 1, 1});
  EXPECT_EQ(RaisedCode([] { morvane::CopyTextToClipboard("report"); }), ERROR_INVALID_HANDLE);
  EXPECT_EQ(services.ClipboardFormats(), Formats{CF_UNICODETEXT});
  EXPECT_EQ(ArgsOf("CloseClipboard").size(), 1u);

  platform::UniqueGlobal block = morvane::CopyToGlobalMemory("abc", 4);
  ASSERT_TRUE(block);
  EXPECT_EQ(std::memcmp(services.GlobalLock(block.Get()), "abc", 4), 0);
  services.GlobalUnlock(block.Get());
  // Every lock that succeeded is undone; the two that failed have nothing to undo.
  EXPECT_EQ(ArgsOf("GlobalUnlock").size(), ArgsOf("GlobalLock").size() - 2);
}

TEST_F(MessagesTest, EmptyTextAndBusyClipboardChangeNothing) {
  services.SetClipboardText("kept");
  const auto before = services.ClipboardData(CF_TEXT);
  EXPECT_FALSE(morvane::CopyTextToClipboard(""));
  EXPECT_TRUE(ArgsOf("OpenClipboard").empty());
  model.system.clipboardBusy = true;
  EXPECT_FALSE(morvane::CopyTextToClipboard("new text"));
  EXPECT_TRUE(ArgsOf("EmptyClipboard").empty());
  EXPECT_TRUE(ArgsOf("CloseClipboard").empty());
  EXPECT_EQ(services.ClipboardData(CF_TEXT), before);
}

TEST(FormatIntervalRangeTest, Forms) {
  EXPECT_EQ(morvane::FormatIntervalRange(0, 0), "");
  EXPECT_EQ(morvane::FormatIntervalRange(8, 8), "8");
  EXPECT_EQ(morvane::FormatIntervalRange(1, 8), "1 - 8");
  EXPECT_EQ(morvane::FormatIntervalRange(0, 4), "0 - 4");
  EXPECT_EQ(morvane::FormatIntervalRange(8, 1), "8 - 1");
  EXPECT_EQ(morvane::FormatIntervalRange(255, 4294967295u), "255 - 4294967295");
}

TEST_F(MessagesTest, ErrorTextsAreTrimmedAtTheEndOnly) {
  model.system.messages[0x7001] = "First. Second...  . \r\n";
  model.system.messages[0x7002] = "Gr\xFC\xDF\xE9";
  model.system.messages[0x7003] = "Nur \xE4.\t\x01";
  model.system.messages[0x7004] = " . .\r\n";
  EXPECT_EQ(morvane::GetSysErrorText(0x7001), "First. Second");
  EXPECT_EQ(morvane::GetSysErrorText(0x7002), "Gr\xFC\xDF\xE9");
  EXPECT_EQ(morvane::GetSysErrorText(0x7003), "Nur \xE4");
  EXPECT_EQ(morvane::GetSysErrorText(2), "The system cannot find the file specified");
  core.ClearCalls();
  // Nothing left after trimming counts as no message: English is asked next.
  EXPECT_EQ(morvane::GetSysErrorText(0x7004), "");
  EXPECT_EQ(ArgsOf("FormatMessageA"), (Texts{"0x3200, null, 28676, 0, 32767, 32767, null",
                                             "0x3200, null, 28676, 1033, 32767, 32767, null"}));
  EXPECT_EQ(morvane::GetSysErrorText(0x7FFF), "");
  model.system.messages[0x7005] = "Only in English.\r\n";
  core.InjectFault({"FormatMessageA", 1815, 0, 1});
  EXPECT_EQ(morvane::GetSysErrorText(0x7005), "Only in English");
}

// No arguments are passed, so a message with inserts must come back with them as
// they are instead of failing (or reading arguments from a null array).
TEST_F(MessagesTest, MessageWithInsertsKeepsThem) {
  EXPECT_EQ(morvane::GetSysErrorText(193), "%1 is not a valid Win32 application");
  model.system.messages[0x7006] = "Driver %1 could not be loaded from %2.\r\n";
  EXPECT_EQ(morvane::GetSysErrorText(0x7006), "Driver %1 could not be loaded from %2");
}

}  // namespace
}  // namespace syshelpers_test
