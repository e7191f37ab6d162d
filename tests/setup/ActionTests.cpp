// The device actions: the questions of the filter check box and the rate box with
// their order, styles and texts, declining, the install and the restart commands.
#include <gtest/gtest.h>

#include <functional>

#include "platform/errors.h"
#include "devices/Journal.h"
#include "devices/SessionChanges.h"
#include "setup/RateMeterF.h"
#include "setup/SetupF.h"
#include "syshelpers/Messages.h"
#include "tests/setup/WindowFixture.h"

namespace morvane::test {
namespace {

const std::string Q1 =
    "Filter driver service (morvane) is disabled or not installed, continue Setup?\r\n"
    "Hint: Don't forget to [Install Service] one time before anything else.";
std::string Q2(const std::string& code, const std::string& quotedText) {
  return "Error trying to test loading of filter service: " + code + "\r\n" + quotedText +
         "Something (Windows 10+ x64 with Secure Boot, antivirus, protection/anticheat engine, broken installation "
         "of service, absent or wrong C:\\WINDOWS\\SYSTEM32\\DRIVERS\\MORVANE.SYS, morvane.sys from morvaneN.zip "
         "without Test Mode on x64, enforced kernel code loading policy, enabled memory integrity, etc.) prevents "
         "filter service from running; device will stop functioning after [Restart] with high probability, "
         "continue Setup?";
}
const std::string Q3 = "It is not good idea to set up filter for device with problem, continue Setup?";
const std::string Q4 = "Filter driver is probably useless for this device (without Interrupt Pipes), continue Setup?";
const std::string Q5 =
    "Controller Driver \"FOOHCI\" is unknown, some overclocking (to higher USB Speed Class) is probably "
    "impossible, continue Setup?\r\nHint: If you really want this overclocking and have other USB Controllers in "
    "your system then try to use them.";
const std::string Q6 =
    "Overclocking to higher USB Speed Class(*), change rate?\r\nNotes:\r\n(*) You have to use recent(**) Patching "
    "version of MORVANE.SYS or recent(**) standalone MORVANEP.SYS Patcher in most(***) cases\r\n(**) Recent for "
    "your OS. See manual which OSes and they versions are supported\r\n(***) Examples of exception are MS Drivers "
    "for OHCI and UHCI Controllers in Windows 2000 or VIA Drivers for xHCI Controllers";

constexpr UINT kWarningNo = MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2;          // 0x134
constexpr UINT kInformationNo = MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2;  // 0x144
constexpr UINT kInformationYes = MB_YESNO | MB_ICONINFORMATION;                 // 0x44

sim::MachineModel WithoutService() {
  sim::MachineModel model = TestMachineModel();
  model.services.clear();
  model.system.messages[ERROR_SERVICE_DOES_NOT_EXIST] =
      "The specified service does not exist as an installed service.\r\n";
  return model;
}

using FilterTest = WindowTest;

TEST_F(FilterTest, SwitchingOffAsksNothingAndIsWrittenAtOnce) {
  machine->FindDevice(kProblemMouse)->properties[SPDRP_LOWERFILTERS] =
      sim::RegValue::MultiString({"morvane", "mouhid"});
  machine->Model().services.clear();  // not even a missing service is asked about
  Open("/mice");
  Select(kProblemMouse);
  ASSERT_TRUE(w.cbFilter.Checked());
  const int repaints = w.dgDevices.invalidations;
  w.cbFilter.Click();
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(LowerFiltersOf(*machine, kProblemMouse), std::vector<std::string>{"mouhid"});
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_GT(w.dgDevices.invalidations, repaints);
}

TEST_F(FilterTest, AHealthyDeviceGetsTheFilterWithoutQuestions) {
  machine->FindDevice(kFullMouse)->properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"mouhid"});
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), (std::vector<std::string>{"morvane", "mouhid"}));
  EXPECT_TRUE(w.cbFilter.Checked());
  TestCanvas canvas;
  frm.dgDevicesDrawCell(1, RowOf(kFullMouse), TRect{}, {}, canvas);
  EXPECT_EQ(canvas.texts.at(0).text, "Yes");  // the grid reads the new state
}

class MissingServiceTest : public WindowTest {
 protected:
  MissingServiceTest() : WindowTest(WithoutService()) {}
};

TEST_F(MissingServiceTest, Q1ComesFirstAndQ2FollowsWithTheErrorAndTheDriverPath) {
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  const auto& boxes = machine->MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, Q1);
  EXPECT_EQ(boxes[0].caption, " Warning !!!");
  EXPECT_EQ(boxes[0].type, kWarningNo);
  EXPECT_EQ(boxes[1].text,
            Q2("1060", "\"The specified service does not exist as an installed service\"\r\n"));
  EXPECT_EQ(boxes[1].caption, " Warning !!!");
  EXPECT_EQ(boxes[1].type, kWarningNo);
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
}

TEST_F(MissingServiceTest, NoToQ1LeavesTheBoxClearAndTheDeviceUntouched) {
  Open("/mice");
  Select(kFullMouse);
  Answer({IDNO});
  w.cbFilter.Click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Q1});
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_FALSE(frm.Updating);
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
  EXPECT_EQ(machine->CountCalls("SetupDiSetDeviceRegistryPropertyA"), 0u);
}

TEST_F(MissingServiceTest, OnThe9xFamilyTheServiceIsNotAskedAbout) {
  machine->Model().system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_TRUE(frm.GetSelectedDevice().IsFilterInstalled());
}

TEST_F(FilterTest, ADisabledServiceAsksQ1ButStillCountsAsLoadable) {
  machine->FindService("morvane")->startType = SERVICE_DISABLED;
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Q1});
  EXPECT_TRUE(w.cbFilter.Checked());
}

TEST_F(FilterTest, AServiceThatCannotStartAsksQ2AloneWithTheSystemsText) {
  machine->FindService("morvane")->startError = ERROR_INVALID_IMAGE_HASH;
  machine->Model().system.messages[ERROR_INVALID_IMAGE_HASH] =
      "Windows cannot verify the digital signature for this file...  \r\n";
  Open("/mice");
  Select(kFullMouse);
  Answer({IDNO});
  w.cbFilter.Click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Q2(
                            "577", "\"Windows cannot verify the digital signature for this file\"\r\n")});
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
}

TEST_F(FilterTest, WithoutASystemTextSomethingFollowsTheCodeDirectly) {
  constexpr DWORD kNoText = 0x20001234;
  machine->FindService("morvane")->startError = kNoText;
  machine->Model().system.messages.erase(kNoText);
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Q2("536875572", "")});
}

TEST_F(FilterTest, ErrorCodesAreWrittenSigned) {
  constexpr DWORD kNegative = 0xE0000235;
  machine->FindService("morvane")->startError = kNegative;
  machine->Model().system.messages.erase(kNegative);
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, Q2("-536870347", ""));
}

TEST_F(FilterTest, ADeviceWithAProblemAsksQ3) {
  Open("/mice");
  Select(kProblemMouse);
  w.cbFilter.Click();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, Q3);
  EXPECT_EQ(machine->MessageBoxes()[0].type, kWarningNo);
  EXPECT_EQ(LowerFiltersOf(*machine, kProblemMouse), std::vector<std::string>{"morvane"});
}

TEST_F(FilterTest, ADeviceWithoutInterruptPipesAsksQ4) {
  Open("/usb");
  Select(kStorage);
  Answer({IDNO});
  w.cbFilter.Click();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, Q4);
  EXPECT_EQ(machine->MessageBoxes()[0].caption, " Information");
  EXPECT_EQ(machine->MessageBoxes()[0].type, kInformationNo);
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_TRUE(LowerFiltersOf(*machine, kStorage).empty());
}

TEST_F(FilterTest, AnUnknownControllerDriverAsksQ5WithItsName) {
  Open("/mice");
  Select(kForeignMouse);
  w.cbFilter.Click();
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, Q5);
  EXPECT_EQ(machine->MessageBoxes()[0].caption, " Information");
  EXPECT_EQ(machine->MessageBoxes()[0].type, kInformationNo);
  EXPECT_EQ(LowerFiltersOf(*machine, kForeignMouse), std::vector<std::string>{"morvane"});
}

TEST_F(FilterTest, ABoxThatCannotBeShownCountsAsYes) {
  machine->SetMessageBoxHandler([](const sim::MessageBoxCall&) { return 0; });
  Open("/mice");
  Select(kProblemMouse);
  w.cbFilter.Click();
  EXPECT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(LowerFiltersOf(*machine, kProblemMouse), std::vector<std::string>{"morvane"});
}

// kOddDevice: a problem, bulk pipes only, behind the FOOHCI controller; and no service.
class WholeChainTest : public WindowTest, public ::testing::WithParamInterface<int> {
 protected:
  WholeChainTest() : WindowTest(WithoutService()) {}
};

TEST_P(WholeChainTest, TheQuestionsComeInOrderAndNoStopsTheChain) {
  const int declined = GetParam();  // 0: every answer is Yes
  Open("/usb");
  Select(kOddDevice);
  std::vector<int> answers(5, IDYES);
  if (declined > 0) answers[declined - 1] = IDNO;
  Answer(answers);
  w.cbFilter.Click();

  const std::vector<std::string> all = {
      Q1, Q2("1060", "\"The specified service does not exist as an installed service\"\r\n"), Q3, Q4, Q5};
  const std::size_t asked = declined > 0 ? static_cast<std::size_t>(declined) : all.size();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(asked)));
  EXPECT_EQ(w.cbFilter.Checked(), declined == 0);
  EXPECT_EQ(LowerFiltersOf(*machine, kOddDevice).size(), declined == 0 ? 1u : 0u);
  EXPECT_FALSE(frm.Updating);
}

INSTANTIATE_TEST_SUITE_P(DeclinedAt, WholeChainTest, ::testing::Values(0, 1, 2, 3, 4, 5));

TEST_F(FilterTest, AFailingDeviceOperationPutsTheBoxBack) {
  Open("/mice");
  Select(kFullMouse);
  // From here on no other device can be opened: the controller walk raises.
  machine->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST, 0, -1});
  try {
    w.cbFilter.Click();
    ADD_FAILURE() << "the handler did not raise";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "GetControllerDevice.FindDevInfo");
  }
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_FALSE(frm.Updating);
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
}

// The code a handler raised for the message loop's error box; 0xFFFFFFFF when it
// raised nothing.
template <typename Handler>
DWORD RaisedCode(Handler&& handler) {
  try {
    handler();
  } catch (const SysError& e) {
    return e.Code();
  }
  return 0xFFFFFFFF;
}

TEST_F(FilterTest, ARefusedWriteShowsTheFilterAsTheDeviceKeepsIt) {
  Open("/mice");
  Select(kFullMouse);
  machine->InjectFault({"SetupDiSetDeviceRegistryPropertyA", ERROR_ACCESS_DENIED, 0, 1});
  // On, without a question: the write is refused, and the error box tells why.
  EXPECT_EQ(RaisedCode([&] { w.cbFilter.Click(); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine->CountCalls("SetupDiSetDeviceRegistryPropertyA"), 1u);
  EXPECT_TRUE(LowerFiltersOf(*machine, kFullMouse).empty());
  EXPECT_FALSE(w.cbFilter.Checked());
  EXPECT_FALSE(frm.Updating);
  TestCanvas canvas;
  frm.dgDevicesDrawCell(1, RowOf(kFullMouse), TRect{}, {}, canvas);
  EXPECT_EQ(canvas.texts.at(0).text, "No");

  w.cbFilter.Click();  // the next try is written
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  EXPECT_TRUE(w.cbFilter.Checked());

  machine->InjectFault({"SetupDiSetDeviceRegistryPropertyA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(RaisedCode([&] { w.cbFilter.Click(); }), ERROR_ACCESS_DENIED);  // off: refused as well
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  EXPECT_TRUE(w.cbFilter.Checked());
  EXPECT_TRUE(machine->MessageBoxes().empty());
}

TEST_F(FilterTest, AListThatCannotBeReadIsNotWrittenAndTheErrorIsShown) {
  Open("/mice");
  Select(kFullMouse);
  w.cbFilter.Click();
  ASSERT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  // Off asks nothing: the first property read is the list's own.
  machine->InjectFault({"SetupDiGetDeviceRegistryPropertyA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(RaisedCode([&] { w.cbFilter.Click(); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine->CountCalls("SetupDiSetDeviceRegistryPropertyA"), 1u);  // the first click's only
  EXPECT_EQ(LowerFiltersOf(*machine, kFullMouse), std::vector<std::string>{"morvane"});
  EXPECT_TRUE(w.cbFilter.Checked());
  EXPECT_FALSE(frm.Updating);
}

using RateTest = WindowTest;

TEST_F(RateTest, OverclockingALowSpeedDeviceAsksQ6WithYesAsDefault) {
  Open("/mice");
  Select(kLowMouse);
  Answer({IDNO});
  w.cbRate.Pick(1);
  ASSERT_EQ(machine->MessageBoxes().size(), 1u);
  EXPECT_EQ(machine->MessageBoxes()[0].text, Q6);
  EXPECT_EQ(machine->MessageBoxes()[0].caption, " Information");
  EXPECT_EQ(machine->MessageBoxes()[0].type, kInformationYes);
  EXPECT_EQ(w.cbRate.ItemIndex(), 0);  // "Default" is back
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), -1);
  EXPECT_FALSE(frm.Updating);

  w.cbRate.Pick(1);  // Yes
  EXPECT_EQ(machine->MessageBoxes().size(), 2u);
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), 1);
  EXPECT_EQ(w.cbRate.ItemIndex(), 1);
  EXPECT_EQ(frm.GetSelectedDevice().GetRate(), 1u);
}

TEST_F(RateTest, Q6OnlyWhenTheDeviceIsNotOverclockedYet) {
  machine->FindDevice(kLowMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(2));
  Open("/mice");
  Select(kLowMouse);
  ASSERT_EQ(w.cbRate.ItemIndex(), 2);
  w.cbRate.Pick(3);  // from one overclocking rate to another
  w.cbRate.Pick(5);  // 62: no overclocking
  w.cbRate.Pick(0);  // Default
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), -1);

  // From "Default", a rate of 125 or less is no overclocking either.
  ASSERT_EQ(w.cbRate.ItemIndex(), 0);
  w.cbRate.Pick(4);
  w.cbRate.Pick(6);
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), 32);

  machine->FindDevice(kLowMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(8));
  frm.RefreshDevices();
  ASSERT_EQ(w.cbRate.ItemIndex(), 4);  // 125
  w.cbRate.Pick(2);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Q6});
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), 2);
}

TEST_F(RateTest, FullAndHighSpeedDevicesAndThe9xFamilyNeverAsk) {
  Open("/mice");
  Select(kFullMouse);
  w.cbRate.Pick(1);
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), 1);
  Select(kHighMouse);
  w.cbRate.Pick(2);
  EXPECT_GT(OverrideOf(*machine, kHighMouse), 0);
  Select(kUnknownSpeedMouse);
  w.cbRate.Pick(3);
  machine->Model().system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  Select(kLowMouse);
  w.cbRate.Pick(1);
  EXPECT_EQ(OverrideOf(*machine, kLowMouse), 1);
  EXPECT_TRUE(machine->MessageBoxes().empty());
}

TEST_F(RateTest, ARefusedWriteShowsTheRateTheDeviceKeeps) {
  machine->FindDevice(kFullMouse)->driverKey->insert_or_assign("bInterval", sim::RegValue::Dword(2));
  Open("/mice");
  Select(kFullMouse);
  ASSERT_EQ(w.cbRate.ItemIndex(), 2);
  // The registry's status is the code the error box shows (the journal's entry is
  // written first).
  machine->InjectFault({"RegSetValueExA", ERROR_ACCESS_DENIED, 1, 1});
  EXPECT_EQ(RaisedCode([&] { w.cbRate.Pick(4); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), 2);
  EXPECT_EQ(w.cbRate.ItemIndex(), 2);
  machine->InjectFault({"RegDeleteValueA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(RaisedCode([&] { w.cbRate.Pick(0); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), 2);
  EXPECT_EQ(w.cbRate.ItemIndex(), 2);
  EXPECT_FALSE(frm.Updating);
  TestCanvas canvas;
  frm.dgDevicesDrawCell(2, RowOf(kFullMouse), TRect{}, {}, canvas);
  EXPECT_EQ(canvas.texts.at(0).text, "500");

  EXPECT_EQ(RaisedCode([&] { w.cbRate.Pick(4); }), 0xFFFFFFFFu);  // accepted
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), 8);
  EXPECT_EQ(w.cbRate.ItemIndex(), 4);
  // No override and nothing to remove: "Default" is no refusal.
  machine->FindDevice(kFullMouse)->driverKey->erase("bInterval");
  frm.RefreshDevices();
  Select(kFullMouse);
  EXPECT_EQ(RaisedCode([&] { w.cbRate.Pick(0); }), 0xFFFFFFFFu);
  EXPECT_EQ(w.cbRate.ItemIndex(), 0);
}

TEST_F(RateTest, ADriverKeyThatCannotBeOpenedIsShownAsAnError) {
  Open("/mice");
  Select(kFullMouse);
  machine->InjectFault({"SetupDiOpenDevRegKey", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(RaisedCode([&] { w.cbRate.Pick(3); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OverrideOf(*machine, kFullMouse), -1);
  EXPECT_EQ(w.cbRate.ItemIndex(), 0);
}

TEST_F(RateTest, TheGridShowsTheNewRate) {
  Open("/mice");
  Select(kFullMouse);
  const int repaints = w.dgDevices.invalidations;
  w.cbRate.Pick(4);
  EXPECT_GT(w.dgDevices.invalidations, repaints);
  TestCanvas canvas;
  frm.dgDevicesDrawCell(2, RowOf(kFullMouse), TRect{}, {}, canvas);
  EXPECT_EQ(canvas.texts.at(0).text, "125");
}

sim::File FileAt(const std::string& path) {
  sim::File file;
  file.path = path;
  return file;
}

// The test PC with the helper program and the INF file in the current directory.
sim::MachineModel WithSetupFiles() {
  sim::MachineModel model = TestMachineModel();
  model.files.push_back(FileAt("C:\\MORVANE\\TALON64.EXE"));
  sim::File inf = FileAt("C:\\MORVANE\\morvane.inf");
  inf.content = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  model.files.push_back(inf);
  return model;
}

class CommandTest : public WindowTest {
 protected:
  CommandTest() : WindowTest(WithSetupFiles()) {}
};

TEST_F(CommandTest, InstallOn32BitWindowsOpensTheInfWithTheShell) {
  Open("/keyboards");  // also while the list is empty
  frm.btnInstallClick();
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  const auto& call = machine->ShellExecutes()[0];
  EXPECT_EQ(call.verb, "install");
  EXPECT_EQ(call.file, "morvane.inf");
  EXPECT_EQ(call.parameters, "");
  EXPECT_TRUE(call.directoryIsNull);
  EXPECT_EQ(call.show, SW_SHOW);
  EXPECT_TRUE(machine->MessageBoxes().empty());
  // Null parameters, not an empty text.
  EXPECT_EQ(machine->CallsTo("ShellExecuteA").at(0).args, "null, \"install\", \"morvane.inf\", null, null, 5");
}

TEST_F(CommandTest, InstallOn64BitWindowsRunsTheHelper) {
  machine->Model().system.wow64 = true;
  Open();
  frm.btnInstallClick();
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  const auto& call = machine->ShellExecutes()[0];
  EXPECT_EQ(call.verb, "");
  EXPECT_EQ(call.file, "TALON64.EXE");
  EXPECT_EQ(call.parameters, "e install morvane.inf");
  EXPECT_TRUE(call.directoryIsNull);
  EXPECT_EQ(call.show, SW_SHOW);
  // The default verb is a null verb, not an empty text.
  EXPECT_EQ(machine->CallsTo("ShellExecuteA").at(0).args,
            "null, null, \"TALON64.EXE\", \"e install morvane.inf\", null, 5");
}

// The installation is recorded before it starts: done once the service is there,
// failed when the start failed, or when the window closes without the service.
TEST_F(CommandTest, TheInstallationIsRecordedDoneOrFailed) {
  const auto journal = [&] {
    const auto& keys = machine->Model().system.machineKeys;
    const auto key = keys.find(JournalKeyPath);
    if (key == keys.end()) return std::vector<JournalEntry>{};
    const auto& data = key->second.at(JournalValueName).data;
    return ParseJournal(std::string(data.begin(), data.end())).entries;
  };
  Open("/mice");
  frm.btnInstallClick();
  auto entries = journal();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].command, "window: install service");
  EXPECT_EQ(entries[0].service, "installed");
  EXPECT_TRUE(entries[0].instanceId.empty());
  EXPECT_EQ(entries[0].state, JournalState::Done);
  machine->InjectFault(sim::Fault{"ShellExecuteA", ERROR_ACCESS_DENIED});
  EXPECT_THROW(frm.btnInstallClick(), Error);
  ASSERT_EQ(journal().size(), 2u);
  EXPECT_EQ(journal()[1].state, JournalState::Failed);
  // Started, but no service yet: it waits, and the window's end marks it.
  std::erase_if(machine->Model().services, [](const sim::Service& s) { return s.name == "morvane"; });
  frm.btnInstallClick();
  ASSERT_EQ(journal().size(), 3u);
  EXPECT_EQ(journal()[2].state, JournalState::Pending);
  frm.FormDestroy();
  EXPECT_EQ(journal()[2].state, JournalState::Failed);
}

// What message the loop shows for an install that could not start: the system's
// error text for the code, as for any failed system call.
std::string InstallFailure(const std::function<void()>& click) {
  try {
    click();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no failure)";
}

using InstallStartTest = WindowTest;  // the test PC has neither the helper nor the INF

TEST_F(InstallStartTest, AMissingHelperIsReportedWithTheSystemsText) {
  machine->Model().system.wow64 = true;
  Open("/keyboards");
  EXPECT_EQ(InstallFailure([&] { frm.btnInstallClick(); }),
            "Win32 Error.  Code: 2.\nThe system cannot find the file specified");
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  EXPECT_EQ(machine->ShellExecutes()[0].file, "TALON64.EXE");
  // No question and no box of its own: the message loop shows the error once.
  EXPECT_TRUE(machine->MessageBoxes().empty());
  // Nothing else happened: the list and the device controls are as they were.
  EXPECT_EQ(ListBuilds(), 1u);
  EXPECT_FALSE(w.tmrDeviceChange.Enabled());
}

TEST_F(InstallStartTest, AMissingInfIsReportedOn32BitWindowsToo) {
  Open("/mice");
  EXPECT_EQ(InstallFailure([&] { frm.btnInstallClick(); }),
            "Win32 Error.  Code: 2.\nThe system cannot find the file specified");
  EXPECT_EQ(machine->ShellExecutes().at(0).file, "morvane.inf");
  EXPECT_FALSE(w.DeviceControlsDisabled());
}

TEST_F(InstallStartTest, TheShellsOwnErrorIsTheOneShown) {
  machine->Model().system.wow64 = true;
  machine->Model().files.push_back(FileAt("C:\\MORVANE\\TALON64.EXE"));
  machine->InjectFault(sim::Fault{"ShellExecuteA", ERROR_ACCESS_DENIED});
  Open();
  EXPECT_EQ(InstallFailure([&] { frm.btnInstallClick(); }), "Win32 Error.  Code: 5.\nAccess is denied");
}

TEST_F(InstallStartTest, WithoutALastErrorTheResultCodeTellsWhy) {
  // An earlier failure's code is still the thread's last error; the shell fails
  // without setting one, so only its result (2, file not found) can tell.
  machine->Model().system.wow64 = true;
  machine->Model().files.push_back(FileAt("C:\\MORVANE\\TALON64.EXE"));
  machine->InjectFault(sim::Fault{"ShellExecuteA", ERROR_SUCCESS});
  Open();
  platform::System().SetLastError(ERROR_INVALID_HANDLE);
  EXPECT_EQ(InstallFailure([&] { frm.btnInstallClick(); }),
            "Win32 Error.  Code: 2.\nThe system cannot find the file specified");
}

TEST_F(CommandTest, RestartOn32BitWindowsAsksTheClassInstaller) {
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  EXPECT_EQ(machine->RestartCount(kLowMouse), 1u);
  EXPECT_EQ(machine->RestartCount(kFullMouse), 0u);
  EXPECT_TRUE(machine->ShellExecutes().empty());
  EXPECT_TRUE(w.DeviceControlsDisabled());
  EXPECT_TRUE(w.tmrDeviceChange.Enabled());
  EXPECT_EQ(w.tmrDeviceChange.Interval(), 10000u);
}

TEST_F(CommandTest, RestartOn64BitWindowsHandsTheInstanceIdToTheHelper) {
  machine->Model().system.wow64 = true;
  Open("/mice");
  Select(kLowMouse);
  frm.btnApplyClick();
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  const auto& call = machine->ShellExecutes()[0];
  EXPECT_EQ(call.verb, "");
  EXPECT_EQ(call.file, "TALON64.EXE");
  EXPECT_EQ(call.parameters, "U USB\\VID_046D&PID_C05A\\6&1A2B3C4D&0&3");
  EXPECT_TRUE(call.directoryIsNull);
  EXPECT_EQ(call.show, SW_SHOW);
  // Started with its process, whose exit code tells a restart that waits for Windows.
  EXPECT_EQ(machine->CallsTo("ShellExecuteExA").at(0).args,
            "0x540, null, \"TALON64.EXE\", \"U USB\\VID_046D&PID_C05A\\6&1A2B3C4D&0&3\", null, 5");
  EXPECT_EQ(machine->CountCalls("SetupDiCallClassInstaller"), 0u);
  EXPECT_TRUE(w.DeviceControlsDisabled());
}

// A setting changed this session is the one in effect once the restart was handed
// on, by the helper under WOW64 as by the class installer: the meter stops saying
// "after a restart" for it; a helper that could not start leaves the note.
TEST_F(CommandTest, ARestartHandedToTheHelperPutsThisSessionsChangesInEffect) {
  machine->Model().system.wow64 = true;
  Open("/mice");
  Select(kLowMouse);
  ForgetSessionChanges();
  NoteSettingsBeforeChange(kLowMouse, TSettingsAtStart{true, false, 0});
  machine->InjectFault(sim::Fault{"ShellExecuteExA", ERROR_FILE_NOT_FOUND});
  frm.btnApplyClick();  // the shell starts nothing: the window waits for M7 as before
  EXPECT_TRUE(SettingsAtStart(kLowMouse).has_value());
  frm.btnApplyClick();
  EXPECT_FALSE(SettingsAtStart(kLowMouse).has_value());
  ForgetSessionChanges();
}

// A restart of a changed device made by another program ends the note as the
// window's own does, once the window has seen the device go and come back: by its
// interface notifications, or by a broadcast that finds it gone. A restart of another
// device, or a broadcast with the device there all along, leaves it.
TEST_F(CommandTest, ARestartByAnotherProgramSeenByTheWindowPutsTheChangesInEffect) {
  Open("/mice");
  ForgetSessionChanges();
  Select(kFullMouse);
  w.cbRate.Pick(2);
  ASSERT_TRUE(SettingsAtStart(kFullMouse).has_value());
  EXPECT_TRUE(MeterTargetFor(frm.GetSelectedDevice()).Expectation.AfterRestart);

  frm.WMDeviceChange();  // the device there all along
  machine->RestartDevice(kLowMouse);
  DeliverDeviceChanges();
  w.FireTimer();
  EXPECT_TRUE(SettingsAtStart(kFullMouse).has_value());

  machine->RestartDevice(kFullMouse);  // by its interface notifications
  DeliverDeviceChanges();
  EXPECT_FALSE(SettingsAtStart(kFullMouse).has_value());
  w.FireTimer();
  Select(kFullMouse);
  EXPECT_FALSE(MeterTargetFor(frm.GetSelectedDevice()).Expectation.AfterRestart);

  // Without interface notifications: the broadcast of its removal finds it gone.
  machine->SetDeviceEventHandler(nullptr);
  w.cbRate.Pick(3);
  ASSERT_TRUE(SettingsAtStart(kFullMouse).has_value());
  deliverAtOnce = true;
  machine->RestartDevice(kFullMouse);
  EXPECT_FALSE(SettingsAtStart(kFullMouse).has_value());
  deliverAtOnce = false;
  w.FireTimer();
  ForgetSessionChanges();
}

TEST_F(CommandTest, CloseClosesTheWindow) {
  Open();
  frm.btnCloseClick();
  EXPECT_TRUE(w.form.closed);
}

}  // namespace
}  // namespace morvane::test
