// The PC snapshot recorded through the simulated machine and loaded again: the
// window must show the same lists, cells and ID reports over the recording as over
// the original machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "snapshot/Snapshot.h"
#include "tests/setup/TestControls.h"
#include "tests/setup/WindowFixture.h"

namespace {

std::string Record(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  return morvane::RecordMachineSnapshot();
}

std::string ClipboardText(sim::Machine& machine) {
  const auto data = machine.ClipboardData(CF_TEXT);
  if (!data || data->empty()) return "(empty clipboard)";
  return std::string(data->begin(), data->end() - 1);
}

// Everything the window shows: per category the drawn texts and tints of every cell
// and the "Copy IDs" report of every device.
std::string Observe(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  morvane::test::TestWindow w;
  std::string seen;
  w.frm.FormCreate("");
  w.frm.FormShow();
  for (int category = 0; category < w.cbDevices.ItemCount(); ++category) {
    w.cbDevices.Pick(category);
    seen += "== " + w.cbDevices.Item(category) + ": " + std::to_string(w.frm.DeviceCount) + "\n";
    for (int row = 1; row <= w.frm.DeviceCount; ++row) {
      for (int col = 0; col < 6; ++col) {
        morvane::test::TestCanvas canvas;
        try {
          w.frm.dgDevicesDrawCell(col, row, morvane::TRect{0, 0, 100, 21}, {}, canvas);
        } catch (const std::exception& e) {
          seen += "raised " + std::string(e.what()) + "\n";
        }
        for (const auto& fill : canvas.fills) seen += "fill " + std::to_string(fill.color) + "\n";
        for (const auto& text : canvas.texts) seen += "[" + text.text + "]";
        seen += "\n";
      }
    }
    for (int row = 1; row <= w.frm.DeviceCount; ++row) {
      w.ClickRow(row);
      w.frm.btnCopyIDClick();
      seen += ClipboardText(machine);
    }
  }
  w.frm.FormDestroy();
  return seen;
}

// Records the machine, loads the recording and compares what the window shows on
// both; the recording of the recording must be the same bytes.
void ExpectRoundTrip(std::unique_ptr<sim::Machine> original) {
  const std::string recorded = Record(*original);
  std::unique_ptr<sim::Machine> replay;
  try {
    replay = sim::Machine::FromJson(recorded);
  } catch (const sim::MachineFileError& e) {
    FAIL() << "the recording does not load: " << e.what() << "\n" << recorded;
  }
  const std::string expected = Observe(*original);
  // The comparison covers the ID reports, not only the lists.
  EXPECT_NE(expected.find("Controller:\r\n"), std::string::npos);
  EXPECT_EQ(Observe(*replay), expected) << recorded;
  EXPECT_EQ(Record(*replay), recorded);
  EXPECT_EQ(original->LeakReport(), "");
  EXPECT_EQ(replay->LeakReport(), "");
}

// A machine of the cases the recorder must carry over: a port found only by its
// driver key, a SuperSpeed port, a failing EX control answered by the plain one, a
// hub whose node information fails with a device on a port beyond its count,
// reported pipe counts that are not the listed ones, a status that cannot be read,
// missing keys, odd registry values, a miniport controller and a filter that is
// attached.
const char* const kAwkwardMachine = R"json({
  "system": {"platformId": "NT", "wow64": true, "windowsDirectory": "D:\\WIN"},
  "devices": [
    {"id": "HTREE\\ROOT\\0"},
    {"id": "PCI\\VEN_1033&DEV_0035\\3&1&0&10", "parent": "HTREE\\ROOT\\0", "class": "USB",
     "interfaces": ["USB_HOST_CONTROLLER"],
     "properties": {"DeviceDesc": "Standard OpenHCD USB Host Controller", "Service": "usbohci", "EnumeratorName": "PCI"}},
    {"id": "USB\\ROOT_HUB\\4&1&0", "parent": "PCI\\VEN_1033&DEV_0035\\3&1&0&10", "class": "USB",
     "interfaces": ["USB_HUB"], "properties": {"DeviceDesc": "USB Root Hub", "Service": "usbhub"},
     "driverKey": {}, "hub": {"ports": 4, "connections": [
       {"port": 1, "device": "USB\\VID_0001&PID_0001\\A", "speed": "super", "v2Flags": 1,
        "pipes": [{"type": "interrupt", "interval": 4, "maxPacket": 16}]},
       {"port": 2, "device": "USB\\VID_0001&PID_0002\\B", "speed": "low", "fail": ["ex"],
        "pipes": [{"type": "interrupt", "interval": 10}, {"type": "bulk", "endpoint": 2, "maxPacket": 64}]},
       {"port": 3, "device": "USB\\VID_0001&PID_0003\\C", "driverKeyName": "{other}\\0001", "openPipes": 40,
        "pipes": [{"type": "interrupt", "interval": 2, "scheduleOffset": 3}]},
       {"port": 4, "device": "USB\\VID_0001&PID_0004\\D", "actualLength": 600, "fail": ["v2"],
        "pipes": [{"type": "interrupt", "interval": 1}]},
       {"port": 6, "device": "USB\\VID_05E3&PID_0608\\E", "speed": "high", "openPipes": -1}
     ]}},
    {"id": "USB\\VID_0001&PID_0001\\A", "parent": "USB\\ROOT_HUB\\4&1&0", "class": "HIDClass",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "USB Input Device", "FriendlyName": "Fast Mouse", "Service": "HidUsb",
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0001",
                    "LowerFilters": ["morvane"], "HardwareID": ["USB\\VID_0001&PID_0001&REV_0100", "USB\\VID_0001"]},
     "driverKey": {"bInterval": 3, "DriverDesc": "never read"}},
    {"id": "HID\\VID_0001&PID_0001\\1", "parent": "USB\\VID_0001&PID_0001\\A", "class": "Mouse",
     "interfaces": ["HID"], "properties": {"DeviceDesc": "HID-compliant mouse"}},
    {"id": "USB\\VID_0001&PID_0002\\B", "parent": "USB\\ROOT_HUB\\4&1&0", "class": "Keyboard",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Slow Keyboard", "Service": "HidUsb", "Address": 2,
                    "Driver": "{4d36e96b-e325-11ce-bfc1-08002be10318}\\0002"},
     "driverKey": {"bInterval": {"type": 3, "hex": "08 00"}}},
    {"id": "USB\\VID_0001&PID_0003\\C", "parent": "USB\\ROOT_HUB\\4&1&0", "class": "HIDClass",
     "interfaces": ["USB_DEVICE"], "problem": 10,
     "properties": {"DeviceDesc": "Broken Pad", "Address": 3, "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0003",
                    "LowerFilters": {"type": 7, "hex": "6d 6f 72 76 61 6e 65"}},
     "driverKey": {"bInterval": {"qword": 2}}},
    {"id": "USB\\VID_0001&PID_0004\\D", "parent": "USB\\ROOT_HUB\\4&1&0", "class": "HIDClass",
     "interfaces": ["USB_DEVICE"], "statusFails": true,
     "properties": {"DeviceDesc": "Odd Device", "FriendlyName": "Odd Device (2)", "Service": "HidUsb",
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0004"},
     "driverKey": null, "hardwareKey": null},
    {"id": "USB\\VID_05E3&PID_0608\\E", "parent": "USB\\ROOT_HUB\\4&1&0", "class": "USB",
     "interfaces": ["USB_DEVICE", "USB_HUB"], "status": 25174026,
     "properties": {"DeviceDesc": "Generic Hub", "Service": "usbhub", "Address": 6,
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0009"},
     "hub": {"nodeInfoFails": true, "connections": [
       {"port": 1, "device": "USB\\VID_0002&PID_0001\\F", "speed": "full",
        "pipes": [{"type": "interrupt", "interval": 8}]}]}},
    {"id": "USB\\VID_0002&PID_0001\\F", "parent": "USB\\VID_05E3&PID_0608\\E", "class": "HIDClass",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Behind The Hub", "Service": "HidUsb", "Address": 1,
                    "Driver": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0005"}},
    {"id": "HID\\VID_0002&PID_0001\\1", "parent": "USB\\VID_0002&PID_0001\\F", "class": "HIDClass",
     "interfaces": ["HID"], "properties": {"DeviceDesc": "HID device"}},
    {"id": "ACPI\\PNP0303\\0", "parent": "HTREE\\ROOT\\0", "class": "Keyboard", "properties": {"DeviceDesc": "never reached"}}
  ],
  "services": [
    {"name": "usbohci", "state": "running", "binaryPath": "\\SystemRoot\\System32\\drivers\\usbohci.sys"},
    {"name": "HidUsb", "state": "running", "startType": "system"},
    {"name": "morvane", "state": "stopped", "startType": "disabled", "binaryPath": "System32\\drivers\\morvane.sys"},
    {"name": "unused", "state": "running"}
  ],
  "files": [
    {"path": "D:\\WIN\\System32\\drivers\\usbohci.sys", "version": {"fileVersion": "5.1.2600.0"}},
    {"path": "D:\\WIN\\System32\\drivers\\usbport.sys", "version": null},
    {"path": "D:\\WIN\\System32\\drivers\\HidUsb.SYS", "loadable": false, "version": {"fileVersion": "6.0"}},
    {"path": "D:\\WIN\\System32\\drivers\\morvane.sys", "version": {"fileVersion": "1.0.0.0", "language": 7}},
    {"path": "D:\\WIN\\System32\\drivers\\unused.sys", "version": {"fileVersion": "9"}}
  ]
})json";

TEST(SnapshotRoundTrip, TheBuiltInPcShowsTheSameOverItsRecording) { ExpectRoundTrip(sim::Machine::Default()); }

TEST(SnapshotRoundTrip, EveryMachineFileOfTheTestsShowsTheSameOverItsRecording) {
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(MORVANE_TESTS_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    ++files;
    ExpectRoundTrip(sim::Machine::FromFile(entry.path().string()));
  }
  EXPECT_GE(files, 1);
}

TEST(SnapshotRoundTrip, TheWindowTestPcShowsTheSameOverItsRecording) {
  ExpectRoundTrip(std::make_unique<sim::Machine>(morvane::test::TestMachineModel()));
}

TEST(SnapshotRoundTrip, FailingControlsOddValuesAndMissingKeysAreCarriedOver) {
  ExpectRoundTrip(sim::Machine::FromJson(kAwkwardMachine));
}

TEST(SnapshotRoundTrip, A9xMachineKeepsItsDriverListsAndHardwareKeyFilters) {
  auto model = sim::Machine::ParseModel(kAwkwardMachine);
  model.system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  model.system.wow64 = false;
  model.system.hasWow64Functions = false;
  for (sim::Device& device : model.devices) {
    if (device.instanceId == "USB\\VID_0001&PID_0001\\A") {
      device.properties.erase(SPDRP_SERVICE);
      device.driverKey = sim::ValueMap{{"NTMPDriver", sim::RegValue::String("hidusb.sys,hidclass.sys")},
                                       {"bInterval", sim::RegValue::Dword(8)}};
      device.hardwareKey = sim::ValueMap{{"LowerFilters", sim::RegValue::String("morvane.sys")}};
    }
  }
  sim::File hidclass;
  hidclass.path = "D:\\WIN\\System32\\drivers\\hidclass.sys";
  hidclass.version = sim::FileVersion{"4.10"};
  model.files.push_back(hidclass);
  ExpectRoundTrip(std::make_unique<sim::Machine>(std::move(model)));
}

TEST(Snapshot, RecordingOnlyReadsAndLeavesNothingOpen) {
  auto machine = sim::Machine::FromJson(kAwkwardMachine);
  Record(*machine);
  for (const char* writer : {"RegSetValueExA", "RegDeleteValueA", "SetupDiSetDeviceRegistryPropertyA",
                             "SetupDiCallClassInstaller", "StartServiceA", "SetupDiSetClassInstallParamsA"}) {
    EXPECT_EQ(machine->CountCalls(writer), 0u) << writer;
  }
  EXPECT_GT(machine->CountCalls("DeviceIoControl"), 0u);
  EXPECT_EQ(machine->LeakReport(), "");
}

TEST(Snapshot, HoldsWhatTheProgramReadsAndNothingElse) {
  auto machine = sim::Machine::FromJson(kAwkwardMachine);
  const std::string recorded = Record(*machine);
  // Values, services, files and devices the program never reads.
  for (const char* unread : {"never read", "never reached", "DriverDesc", "unused", "displayName", "language"}) {
    EXPECT_EQ(recorded.find(unread), std::string::npos) << unread;
  }
  const sim::MachineModel model = sim::Machine::ParseModel(recorded);
  EXPECT_EQ(model.system.windowsDirectory, "D:\\WIN");
  EXPECT_TRUE(model.system.wow64);
  ASSERT_EQ(model.devices.size(), 11u);
  EXPECT_EQ(model.devices.front().instanceId, "HTREE\\ROOT\\0");
  EXPECT_EQ(model.services.size(), 3u);  // usbohci, HidUsb, morvane; usbhub is not installed
}

TEST(Snapshot, TheBuiltInPcGivesTheSameBytesTwiceAndALoadableFile) {
  auto machine = sim::Machine::Default();
  const std::string first = Record(*machine);
  EXPECT_EQ(Record(*machine), first);
  EXPECT_NO_THROW(sim::Machine::ParseModel(first));
  const sim::MachineModel model = sim::Machine::ParseModel(first);
  EXPECT_EQ(model.devices.size(), 29u);  // every node of the built-in PC is reached
}

TEST(Snapshot, AnAnsiNameThatIsNoUtf8StillGivesALoadableFile) {
  auto model = sim::Machine::ParseModel(sim::Machine::DefaultJson());
  for (sim::Device& device : model.devices) {
    if (device.instanceId == "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1") {
      device.properties[SPDRP_FRIENDLYNAME] = sim::RegValue::String("Ger\xE4t");
    }
  }
  sim::Machine machine(std::move(model));
  const std::string recorded = Record(machine);
  const sim::MachineModel replay = sim::Machine::ParseModel(recorded);
  bool found = false;
  for (const sim::Device& device : replay.devices) {
    if (device.instanceId != "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1") continue;
    found = true;
    // The value keeps its exact bytes, written in the hexadecimal form.
    EXPECT_EQ(device.properties.at(SPDRP_FRIENDLYNAME), sim::RegValue::String("Ger\xE4t"));
  }
  EXPECT_TRUE(found);
}

TEST(Snapshot, TheCommandWritesTheFileAndReportsAPathItCannotWrite) {
  auto machine = sim::Machine::Default();
  platform::ScopedBackend scope(machine->Backend());
  const std::string path = (std::filesystem::temp_directory_path() / "morvane-snapshot-test.json").string();
  std::string error;
  ASSERT_EQ(morvane::WriteSnapshotCommand(path, error), 0) << error;
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, morvane::RecordMachineSnapshot());
  std::filesystem::remove(path);

  EXPECT_NE(morvane::WriteSnapshotCommand("/no/such/folder/pc.json", error), 0);
  EXPECT_NE(error.find("/no/such/folder/pc.json"), std::string::npos) << error;
}

}  // namespace
