// "Copy IDs": the report of the selected device, its controller and the system, as
// the window puts it on the clipboard.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "syshelpers/Messages.h"
#include "tests/common/sim_model.h"
#include "tests/report/report_fixture.h"
#include "tests/setup/TestControls.h"

namespace reporttest {
namespace {

const char* const kController = "PCI\\VEN_8086&DEV_0001\\3&1&0&A0";
const char* const kRootHub = "USB\\ROOT_HUB30\\4&1&0&0";
const char* const kBare = "USB\\VID_0001&PID_0001\\5&1&0&1";
const char* const kLow = "USB\\VID_0001&PID_0002\\5&1&0&2";
const char* const kRange = "USB\\VID_0001&PID_0003\\5&1&0&3";
const char* const kOdd = "USB\\VID_0001&PID_0004\\5&1&0&4";
const char* const kHigh = "USB\\VID_0001&PID_0005\\5&1&0&5";
const char* const kSuperPlus = "USB\\VID_0001&PID_0006\\5&1&0&6";

sim::Pipe Interrupt(BYTE interval, BYTE address = 0x81) { return sim::Pipe{address, 3, 8, interval, 0}; }
sim::Pipe Bulk(BYTE address) { return sim::Pipe{address, 2, 512, 0, 0}; }

using simtest::Port;

// An xHCI controller whose root hub holds one device per case of the optional lines;
// every device is driven by HidUsb and has no hardware IDs.
sim::MachineModel OptionalLinesMachine() {
  using namespace sim::guids;
  sim::MachineModel model = RootOnly();
  sim::Device controller = Node(kController, kRoot, DevClassUsb, {InterfaceUsbHostController});
  SetText(controller, SPDRP_DEVICEDESC, "USB xHCI Compliant Host Controller");
  SetText(controller, SPDRP_SERVICE, "USBXHCI");
  SetText(controller, SPDRP_ENUMERATOR_NAME, "PCI");
  model.devices.push_back(controller);

  sim::PortConnection bare = Port(1, kBare, 1, {Interrupt(2)});
  bare.exFails = true;
  bare.plainFails = true;
  sim::PortConnection superPlus = Port(6, kSuperPlus, 3, {Interrupt(4)});
  superPlus.v2Flags = 0x5;
  sim::Device rootHub = Node(kRootHub, kController, DevClassUsb, {InterfaceUsbHub});
  SetText(rootHub, SPDRP_DEVICEDESC, "USB Root Hub (USB 3.0)");
  SetText(rootHub, SPDRP_SERVICE, "USBHUB3");
  SetText(rootHub, SPDRP_ENUMERATOR_NAME, "USB");
  rootHub.hub = sim::Hub{};
  rootHub.hub->connections = {bare,
                              Port(2, kLow, 0, {Interrupt(10)}),
                              Port(3, kRange, 1, {Interrupt(8), Interrupt(1, 0x82)}),
                              Port(4, kOdd, 5, {Interrupt(0), Interrupt(0, 0x82)}),
                              Port(5, kHigh, 2, {Bulk(0x81), Bulk(0x02)}),
                              superPlus};
  model.devices.push_back(rootHub);

  int port = 0;
  for (const char* id : {kBare, kLow, kRange, kOdd, kHigh, kSuperPlus}) {
    ++port;
    sim::Device device = Node(id, kRootHub, DevClassHid, {InterfaceUsbDevice});
    SetText(device, SPDRP_DEVICEDESC, "Device " + std::to_string(port));
    SetText(device, SPDRP_SERVICE, "HidUsb");
    SetText(device, SPDRP_ENUMERATOR_NAME, "USB");
    SetText(device, SPDRP_DRIVER, "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\000" + std::to_string(port));
    device.properties[SPDRP_ADDRESS] = sim::RegValue::Dword(static_cast<DWORD>(port));
    model.devices.push_back(device);
  }
  sim::Device& range = model.devices[model.devices.size() - 4];
  range.properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane", "ravenflt"});
  (*range.driverKey)["bInterval"] = sim::RegValue::Dword(8);
  (*model.devices[model.devices.size() - 3].driverKey)["bInterval"] = sim::RegValue::Dword(0);

  model.services = {KernelService("USBXHCI", "\\SystemRoot\\System32\\drivers\\USBXHCI.SYS"),
                    KernelService("USBHUB3", "\\SystemRoot\\System32\\drivers\\UsbHub3.sys"),
                    KernelService("HidUsb", "\\SystemRoot\\System32\\drivers\\hidusb.sys")};
  model.files = {DriverFile("USBXHCI.SYS", "10.0.1"), DriverFile("hidusb.sys", "10.0.2")};
  return model;
}

// The driver report of one of the machine's devices, written out by hand.
std::string DeviceSection(const std::string& id, int number, const std::string& filterLines = "") {
  return "\"" + id + "\"\r\n  Name: Device " + std::to_string(number) +
         "\r\n"
         "  Driver: HidUsb\r\n"
         "  Binary: \\SystemRoot\\System32\\drivers\\hidusb.sys\r\n"
         "    Path: C:\\WINDOWS\\System32\\drivers\\hidusb.sys\r\n"
         "    Version: 10.0.2\r\n" +
         filterLines;
}

const std::string kControllerSection =
    "\"PCI\\VEN_8086&DEV_0001\\3&1&0&A0\"\r\n"
    "  Name: USB xHCI Compliant Host Controller\r\n"
    "  Driver: USBXHCI\r\n"
    "  Binary: \\SystemRoot\\System32\\drivers\\USBXHCI.SYS\r\n"
    "    Path: C:\\WINDOWS\\System32\\drivers\\USBXHCI.SYS\r\n"
    "    Version: 10.0.1\r\n";

std::string Expected(const std::string& deviceSection, const std::string& optionalLines) {
  return "Device:\r\n" + deviceSection + optionalLines + "\r\nController:\r\n" + kControllerSection +
         "\r\nOS: NT x86 (i386)\r\n";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CopyIdTest : public ::testing::Test {
 protected:
  ~CopyIdTest() override { Close(); }

  void Open(std::unique_ptr<sim::Machine> m) {
    Close();
    machine = std::move(m);
    scope.emplace(machine->Backend());
    window = std::make_unique<morvane::test::TestWindow>();
    window->frm.FormCreate("USB");
    window->frm.FormShow();
  }
  void Open(sim::MachineModel model) { Open(std::make_unique<sim::Machine>(std::move(model))); }
  void Close() {
    if (!machine) return;
    window->frm.FormDestroy();
    window.reset();
    EXPECT_EQ(machine->LeakReport(), "");
    scope.reset();
    machine.reset();
  }

  void Select(const std::string& id) {
    morvane::TfrmSetup& frm = window->frm;
    for (int i = 0; i < frm.DeviceCount; ++i) {
      if (frm.DeviceList->GetDevice(i).InstanceId == id) {
        window->ClickRow(i + 1);
        ASSERT_EQ(frm.GetSelectedDevice().InstanceId, id);
        return;
      }
    }
    FAIL() << id << " is not listed";
  }

  // The CF_TEXT block without its terminating NUL; empty when there is none.
  std::string ClipboardText() {
    const auto data = machine->ClipboardData(CF_TEXT);
    if (!data || data->empty()) return {};
    EXPECT_EQ(data->back(), 0);
    return std::string(data->begin(), data->end() - 1);
  }

  // Selects the device, clicks "Copy IDs" and reads the clipboard back.
  std::string CopyIds(const std::string& id) {
    Select(id);
    window->frm.btnCopyIDClick();
    const std::string text = ClipboardText();
    EXPECT_TRUE(IsCrLfText(text)) << text;
    return text;
  }

  std::unique_ptr<sim::Machine> machine;
  std::optional<platform::ScopedBackend> scope;
  std::unique_ptr<morvane::test::TestWindow> window;
};

struct DefaultCase {
  const char* instanceId;
  const char* expectedFile;
};

class CopyIdDefaultMachineTest : public CopyIdTest, public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(CopyIdDefaultMachineTest, ReportMatchesTheExpectedFileByteForByte) {
  Open(sim::Machine::Default());
  const std::string expected = ReadFile(std::string(MORVANE_REPORT_EXPECTED_DIR) + "/" + GetParam().expectedFile);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(CopyIds(GetParam().instanceId), expected);

  // The Unicode copy holds the same characters, set first on NT.
  const auto wide = machine->ClipboardData(CF_UNICODETEXT);
  ASSERT_TRUE(wide.has_value());
  std::vector<BYTE> widened;
  for (char c : expected) {
    widened.push_back(static_cast<BYTE>(c));
    widened.push_back(0);
  }
  widened.push_back(0);
  widened.push_back(0);
  EXPECT_EQ(*wide, widened);
  EXPECT_EQ(machine->ClipboardFormats(), (std::vector<UINT>{CF_UNICODETEXT, CF_TEXT}));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, CopyIdDefaultMachineTest,
    ::testing::Values(DefaultCase{"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1", "gaming_mouse.txt"},
                      DefaultCase{"USB\\VID_1A2C&PID_3106\\5&2D4C6B8A&0&1", "ehci_game_controller.txt"},
                      DefaultCase{"USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6", "wireless_receiver.txt"}));

TEST_F(CopyIdTest, DeviceWithoutAnyOptionalFactHasOnlyTheSections) {
  Open(OptionalLinesMachine());
  // Undetermined speed, no interval seen, no filters, no override.
  EXPECT_EQ(CopyIds(kBare), Expected(DeviceSection(kBare, 1), ""));
}

TEST_F(CopyIdTest, OptionalLinesInTheirOrder) {
  Open(OptionalLinesMachine());
  EXPECT_EQ(CopyIds(kLow), Expected(DeviceSection(kLow, 2), "  BusSpeed: 0 (Low)\r\n  bInterval: 10\r\n"));
  EXPECT_EQ(CopyIds(kRange), Expected(DeviceSection(kRange, 3, "  Binary: MORVANE.SYS\r\n"),
                                      "  LowerFilters: morvane,ravenflt\r\n"
                                      "  BusSpeed: 1 (Full)\r\n"
                                      "  bInterval: 1 - 8\r\n"
                                      "  Overrided.bInterval: 8\r\n"));
  // Interrupt endpoints whose intervals are both 0 and an override of 0 give no line.
  EXPECT_EQ(CopyIds(kOdd), Expected(DeviceSection(kOdd, 4), "  BusSpeed: 5 (Unknown)\r\n"));
  EXPECT_EQ(CopyIds(kHigh), Expected(DeviceSection(kHigh, 5), "  BusSpeed: 2 (High)\r\n"));
  EXPECT_EQ(CopyIds(kSuperPlus), Expected(DeviceSection(kSuperPlus, 6), "  BusSpeed: 4 (SuperPlus)\r\n  bInterval: 4\r\n"));
}

TEST_F(CopyIdTest, OverridesAboveTheSignedRangeArePrintedUnsigned) {
  for (DWORD stored : {DWORD{0x7FFFFFFF}, DWORD{0x80000000}, DWORD{0xFFFFFFFF}}) {
    sim::MachineModel model = OptionalLinesMachine();
    (*model.devices[model.devices.size() - 4].driverKey)["bInterval"] = sim::RegValue::Dword(stored);
    Open(std::move(model));
    const std::string text = CopyIds(kRange);
    EXPECT_NE(text.find("  Overrided.bInterval: " + std::to_string(stored) + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("bInterval: -"), std::string::npos) << text;
  }
}

TEST_F(CopyIdTest, OsLineOfEachPlatform) {
  struct Case {
    DWORD platformId;
    bool wow64;
    const char* line;
  };
  for (const Case& c : {Case{VER_PLATFORM_WIN32_NT, false, "OS: NT x86 (i386)"},
                        Case{VER_PLATFORM_WIN32_NT, true, "OS: NT x64 (amd64)"},
                        Case{VER_PLATFORM_WIN32_WINDOWS, false, "OS: 9x"},
                        Case{VER_PLATFORM_WIN32_WINDOWS, true, "OS: 9x"}}) {
    sim::MachineModel model = OptionalLinesMachine();
    model.system.platformId = c.platformId;
    model.system.wow64 = c.wow64;
    Open(std::move(model));
    const std::string text = CopyIds(kLow);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], "") << c.line;
    EXPECT_EQ(lines.back(), c.line);
  }
}

TEST_F(CopyIdTest, NothingIsCopiedWhenTheControllerCannotBeFound) {
  Open(OptionalLinesMachine());
  Select(kLow);
  window->frm.GetSelectedDevice().QueryConnection();
  // From here on no device can be opened: the walk to the controller finds none.
  machine->InjectFault({"SetupDiOpenDeviceInfoA", ERROR_GEN_FAILURE, 0, -1});
  machine->ClearCalls();
  try {
    window->frm.btnCopyIDClick();
    ADD_FAILURE() << "no exception";
  } catch (const morvane::Error& e) {
    EXPECT_STREQ(e.what(), "GetControllerDevice.FindDevInfo");
  }
  EXPECT_EQ(machine->CountCalls("OpenClipboard"), 0u);
  EXPECT_TRUE(machine->ClipboardFormats().empty());
  machine->Core().ClearFaults();
}

TEST_F(CopyIdTest, FailedClipboardFormatRaisesAndLeavesTheClipboardClosed) {
  Open(OptionalLinesMachine());
  Select(kLow);
  machine->InjectFault({"SetClipboardData", ERROR_NOT_ENOUGH_MEMORY, 0, 1});
  EXPECT_THROW(window->frm.btnCopyIDClick(), morvane::SysError);
  EXPECT_EQ(machine->CountCalls("OpenClipboard"), 1u);
  EXPECT_EQ(machine->CountCalls("CloseClipboard"), 1u);
  // The window goes on: the next click copies.
  window->frm.btnCopyIDClick();
  EXPECT_EQ(ClipboardText(), Expected(DeviceSection(kLow, 2), "  BusSpeed: 0 (Low)\r\n  bInterval: 10\r\n"));
}

// Another program holds the clipboard: nothing is copied, its text stays, and the
// error box says why rather than letting the user paste the other program's text.
TEST_F(CopyIdTest, BusyClipboardIsLeftAsItWasWithoutAMessage) {
  Open(OptionalLinesMachine());
  machine->SetClipboardText("another program's text");
  machine->Model().system.clipboardBusy = true;
  Select(kLow);
  EXPECT_NO_THROW(window->frm.btnCopyIDClick());
  EXPECT_EQ(ClipboardText(), "another program's text");
  EXPECT_TRUE(machine->MessageBoxes().empty());
  EXPECT_EQ(machine->CountCalls("EmptyClipboard"), 0u);
}

}  // namespace
}  // namespace reporttest
