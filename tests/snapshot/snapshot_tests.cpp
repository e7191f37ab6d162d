// The PC snapshot recorded through the simulated machine and loaded again: the
// window must show the same lists, cells and ID reports over the recording as over
// the original machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <cstring>
#include <algorithm>

#include "devaccess/DevAccess.h"
#include "devices/DeviceTables.h"
#include "devices/HubLayout.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "devices/DeviceList.h"
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

// The text `step` gives, or what it raised: an error of the program is part of what it shows.
template <typename F>
std::string Raised(F step) {
  try {
    return step();
  } catch (const std::exception& e) {
    return "raised " + std::string(e.what()) + "\n";
  }
}

// Everything the window shows: per category the drawn texts and tints of every cell
// and the "Copy IDs" report of every device.
std::string Observe(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  morvane::test::TestWindow w;
  std::string seen;
  seen += Raised([&] {
    w.frm.FormCreate("");
    w.frm.FormShow();
    return std::string();
  });
  for (int category = 0; category < w.cbDevices.ItemCount(); ++category) {
    seen += Raised([&] {
      w.cbDevices.Pick(category);
      return std::string();
    });
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
      seen += Raised([&] {
        w.ClickRow(row);
        w.frm.btnCopyIDClick();
        return ClipboardText(machine);
      });
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

TEST(Snapshot, TheSystemValuesOfTheFiltersDiagnosisAreCarriedOver) {
  auto machine = sim::Machine::Default();
  auto& keys = machine->Model().system.machineKeys;
  keys["SYSTEM\\CurrentControlSet\\Control\\DeviceGuard\\Scenarios\\HypervisorEnforcedCodeIntegrity"]["Enabled"] =
      sim::RegValue::Dword(1);
  keys["SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State"]["UEFISecureBootEnabled"] =
      sim::RegValue::Unreadable(ERROR_ACCESS_DENIED);
  keys["SYSTEM\\CurrentControlSet\\Control"]["SystemStartOptions"] = sim::RegValue::String(" TESTSIGNING");
  keys["SYSTEM\\CurrentControlSet\\Control"]["Unread"] = sim::RegValue::Dword(7);
  const std::string recorded = Record(*machine);
  EXPECT_EQ(recorded.find("Unread"), std::string::npos);
  const sim::MachineModel model = sim::Machine::ParseModel(recorded);
  auto expected = keys;
  expected["SYSTEM\\CurrentControlSet\\Control"].erase("Unread");
  EXPECT_EQ(model.system.machineKeys, expected);
  EXPECT_EQ(machine->LeakReport(), "");
  // A PC without those keys records none.
  auto plain = sim::Machine::Default();
  EXPECT_TRUE(sim::Machine::ParseModel(Record(*plain)).system.machineKeys.empty());
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

// A machine where each thing the program reads fails in its own way, each with an
// error code other than the loader's default: key opens, a value read, a property
// read, a hub that cannot be opened, a hub whose node information fails, controls
// per port (an empty port among them), and services that open but cannot be queried
// or cannot be opened at all.
const char* const kFailingMachine = R"json({
  "devices": [
    {"id": "HTREE\\ROOT\\0"},
    {"id": "PCI\\VEN_8086&DEV_A36D\\3&1&0&A0", "parent": "HTREE\\ROOT\\0", "class": "USB",
     "interfaces": ["USB_HOST_CONTROLLER"],
     "properties": {"DeviceDesc": "xHCI Controller", "Service": "USBXHCI"}, "driverKeyError": 5},
    {"id": "USB\\ROOT_HUB30\\4&1&0&0", "parent": "PCI\\VEN_8086&DEV_A36D\\3&1&0&A0", "class": "USB",
     "interfaces": ["USB_HUB"], "properties": {"DeviceDesc": "USB Root Hub", "Service": "USBHUB3"},
     "driverKey": {}, "hub": {"ports": 5, "connections": [
       {"port": 1, "device": "USB\\VID_0001&PID_0001\\A", "fail": {"ex": 1167, "plain": 21},
        "pipes": [{"type": "interrupt", "interval": 1}]},
       {"port": 2, "device": "USB\\VID_0001&PID_0002\\B", "speed": "super", "fail": {"v2": 50},
        "pipes": [{"type": "interrupt", "interval": 4}]},
       {"port": 3, "device": "USB\\VID_0001&PID_0003\\C", "fail": {"driverKey": 5},
        "pipes": [{"type": "interrupt", "interval": 8}]},
       {"port": 4, "fail": {"ex": 21}},
       {"port": 5, "device": "USB\\VID_05E3&PID_0608\\E", "speed": "high"}
     ]}},
    {"id": "USB\\VID_0001&PID_0001\\A", "parent": "USB\\ROOT_HUB30\\4&1&0&0", "class": "Mouse",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse A", "FriendlyName": {"error": 1117}, "Service": "HidUsb", "Address": 1,
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0001", "LowerFilters": ["morvane"]},
     "driverKey": {"bInterval": {"error": 5}}, "hardwareKeyError": 1015},
    {"id": "USB\\VID_0001&PID_0002\\B", "parent": "USB\\ROOT_HUB30\\4&1&0&0", "class": "Mouse",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse B", "Service": "mouhid", "Address": 2,
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0002"},
     "driverKey": {"bInterval": 2}},
    {"id": "USB\\VID_0001&PID_0003\\C", "parent": "USB\\ROOT_HUB30\\4&1&0&0", "class": "Keyboard",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Keyboard C", "Service": "kbdhid", "Address": 3,
                    "Driver": "{4d36e96b-e325-11ce-bfc1-08002be10318}\\0003"}},
    {"id": "USB\\VID_05E3&PID_0608\\E", "parent": "USB\\ROOT_HUB30\\4&1&0&0", "class": "USB",
     "interfaces": ["USB_DEVICE", "USB_HUB"],
     "properties": {"DeviceDesc": "Generic Hub", "Service": "usbhub", "Address": 5,
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0009"},
     "hub": {"openError": 32, "connections": [{"port": 1, "device": "USB\\VID_0002&PID_0001\\F"}]}},
    {"id": "USB\\VID_0002&PID_0001\\F", "parent": "USB\\VID_05E3&PID_0608\\E", "class": "Mouse",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse F", "Service": "HidUsb", "Address": 1,
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0004"}},
    {"id": "PCI\\VEN_1022&DEV_43D5\\4&2&0&0", "parent": "HTREE\\ROOT\\0", "class": "USB",
     "properties": {"DeviceDesc": "Second Controller", "Service": "amdxhc"}},
    {"id": "USB\\ROOT_HUB30\\5&3&0&0", "parent": "PCI\\VEN_1022&DEV_43D5\\4&2&0&0", "class": "USB",
     "interfaces": ["USB_HUB"], "properties": {"DeviceDesc": "Second Root Hub", "Service": "USBHUB3"},
     "hub": {"nodeInfoFails": 1167, "connections": [{"port": 1, "device": "USB\\VID_0003&PID_0001\\G"}]}},
    {"id": "USB\\VID_0003&PID_0001\\G", "parent": "USB\\ROOT_HUB30\\5&3&0&0", "class": "Mouse",
     "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse G", "Service": "HidUsb", "Address": 1,
                    "Driver": "{4d36e96f-e325-11ce-bfc1-08002be10318}\\0005"}}
  ],
  "services": [
    {"name": "USBXHCI", "state": "running", "binaryPath": "\\SystemRoot\\System32\\drivers\\USBXHCI.SYS"},
    {"name": "USBHUB3", "state": "running", "configError": 1115},
    {"name": "HidUsb", "state": "running", "statusError": 6,
     "binaryPath": "\\SystemRoot\\System32\\drivers\\hidusb.sys"},
    {"name": "mouhid", "openError": 5},
    {"name": "kbdhid", "state": "running", "configError": 1060, "statusError": 1053},
    {"name": "morvane", "state": "startPending", "binaryPath": "\\SystemRoot\\System32\\drivers\\morvane.sys"}
  ],
  "files": [
    {"path": "C:\\WINDOWS\\System32\\drivers\\USBXHCI.SYS", "version": {"fileVersion": "10.0.1"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\hidusb.sys", "version": {"fileVersion": "10.0.2"}},
    {"path": "C:\\WINDOWS\\System32\\drivers\\morvane.sys", "version": {"fileVersion": "1.0.0.0"}}
  ]
})json";

std::string Result(bool ok) {
  return ok ? "ok" : "error " + std::to_string(platform::System().GetLastError());
}

std::string RegResult(LSTATUS status) {
  return status == ERROR_SUCCESS ? "ok" : "error " + std::to_string(status);
}

std::string HubControlResult(HANDLE hub, DWORD code, ULONG port, DWORD size) {
  std::vector<BYTE> buffer(std::max<DWORD>(size, morvane::hub::kV2Size), 0);
  std::memcpy(buffer.data(), &port, 4);
  if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2) {
    const DWORD length = morvane::hub::kV2Size;
    std::memcpy(buffer.data() + morvane::hub::kV2LengthOffset, &length, 4);
  }
  DWORD returned = 0;
  return Result(platform::Files().DeviceIoControl(hub, code, buffer.data(), size, buffer.data(), size, &returned,
                                                  nullptr) != FALSE);
}

// The driver key name as the program asks for it: the size query, then, when it
// answers a usable length, the name query with that length.
std::string DriverKeyNameResult(HANDLE hub, ULONG port) {
  std::vector<BYTE> area(morvane::hub::kDriverKeyAreaSize, 0);
  std::memcpy(area.data(), &port, 4);
  DWORD returned = 0;
  platform::IFiles& files = platform::Files();
  const DWORD probe = morvane::hub::kDriverKeyProbeSize;
  if (!files.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), probe, area.data(),
                             probe, &returned, nullptr)) {
    return Result(false);
  }
  DWORD length = 0;
  std::memcpy(&length, area.data() + morvane::hub::kActualLengthOffset, 4);
  std::string seen = "ok " + std::to_string(length);
  if (length < probe || length > area.size()) return seen;
  std::fill(area.begin(), area.end(), BYTE{0});
  std::memcpy(area.data(), &port, 4);
  return seen + ", name " +
         Result(files.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, area.data(), length,
                                      area.data(), length, &returned, nullptr) != FALSE);
}

// The outcome, with its error code, of each call through which the program reads the
// machine: per device its key opens, its value and property reads, its hub's open
// and controls for each port; per service its opens and queries.
std::string ProbeCalls(sim::Machine& machine) {
  platform::ScopedBackend scope(machine.Backend());
  std::string seen;
  platform::IDeviceInstall& setup = platform::DeviceInstall();
  platform::UniqueDevInfo lookup(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
  for (const sim::Device& device : machine.Model().devices) {
    seen += device.instanceId + "\n";
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!setup.SetupDiOpenDeviceInfoA(lookup.Get(), device.instanceId.c_str(), nullptr, 0, &data)) continue;
    for (DWORD property : {SPDRP_DEVICEDESC, SPDRP_FRIENDLYNAME, SPDRP_SERVICE, SPDRP_DRIVER, SPDRP_ADDRESS}) {
      BYTE buffer[512];
      DWORD type = 0;
      const bool ok =
          setup.SetupDiGetDeviceRegistryPropertyA(lookup.Get(), &data, property, &type, buffer, sizeof(buffer), nullptr);
      seen += "  property " + std::to_string(property) + ": " + Result(ok) + "\n";
    }
    for (DWORD keyType : {DIREG_DRV, DIREG_DEV}) {
      platform::UniqueDevRegKey key(setup.SetupDiOpenDevRegKey(lookup.Get(), &data, DICS_FLAG_GLOBAL, 0, keyType, KEY_READ));
      seen += "  key " + std::to_string(keyType) + ": " + Result(key.IsValid()) + "\n";
      if (!key) continue;
      DWORD value = 0;
      DWORD size = sizeof(value);
      seen += "    bInterval: " +
              RegResult(platform::Registry().RegQueryValueExA(key.Get(), "bInterval", nullptr, nullptr,
                                                              reinterpret_cast<BYTE*>(&value), &size)) +
              "\n";
    }
    if (!morvane::InstanceHasInterface(device.instanceId, morvane::GUID_DEVINTERFACE_USB_HUB)) continue;
    platform::UniqueFile hub(morvane::OpenInterfaceHandle(device.instanceId, morvane::GUID_DEVINTERFACE_USB_HUB));
    seen += "  hub open: " + Result(hub.IsValid()) + "\n";
    if (!hub) continue;
    seen += "  node information: " + HubControlResult(hub.Get(), IOCTL_USB_GET_NODE_INFORMATION, 0,
                                                      morvane::hub::kNodeInfoSize) + "\n";
    for (ULONG port = 1; port <= 6; ++port) {
      seen += "  port " + std::to_string(port) + ":";
      seen += " driverKey " + DriverKeyNameResult(hub.Get(), port);
      seen += ", ex " + HubControlResult(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, port,
                                         morvane::hub::kConnectionInfoSize);
      seen += ", v2 " + HubControlResult(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, port,
                                         morvane::hub::kV2Size);
      seen += ", plain " + HubControlResult(hub.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port,
                                            morvane::hub::kConnectionInfoSize) + "\n";
    }
  }
  platform::IServiceControl& scm = platform::ServiceControl();
  platform::UniqueServiceHandle manager(scm.OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ));
  seen += "service manager: " + Result(manager.IsValid()) + "\n";
  for (const char* name : {"USBXHCI", "USBHUB3", "HidUsb", "mouhid", "kbdhid", "morvane", "usbhub", "amdxhc"}) {
    seen += std::string("service ") + name + ":";
    platform::UniqueServiceHandle config(
        scm.OpenServiceA(manager.Get(), name, STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG));
    seen += " open " + Result(config.IsValid());
    if (config) {
      DWORD needed = 0;
      seen += ", config " + Result(scm.QueryServiceConfigA(config.Get(), nullptr, 0, &needed) != FALSE);
    }
    platform::UniqueServiceHandle status(
        scm.OpenServiceA(manager.Get(), name, STANDARD_RIGHTS_READ | SERVICE_QUERY_STATUS));
    if (status) {
      SERVICE_STATUS state{};
      const bool ok = scm.QueryServiceStatus(status.Get(), &state) != FALSE;
      seen += ", status " + Result(ok) + (ok ? " " + std::to_string(state.dwCurrentState) : "");
    }
    seen += "\n";
  }
  return seen;
}

TEST(SnapshotFailures, EveryFailingCallFailsInTheReplayWithTheSameErrorCode) {
  auto original = sim::Machine::FromJson(kFailingMachine);
  const std::string recorded = Record(*original);
  auto replay = sim::Machine::FromJson(recorded);
  const std::string expected = ProbeCalls(*original);
  // The probe sees each failure of the machine with its own code.
  for (const char* line :
       {"  key 2: error 5\n", "    bInterval: error 5\n", "  property 12: error 1117\n", "  key 1: error 1015\n",
        "  hub open: error 32\n", "  node information: error 1167\n",
        "  port 1: driverKey ok 96, name ok, ex error 1167, v2 ok, plain error 21\n",
        "  port 2: driverKey ok 96, name ok, ex ok, v2 error 50, plain ok\n", "  port 3: driverKey error 5,",
        "  port 4: driverKey error 1167, ex error 21,", "service USBHUB3: open ok, config error 1115, status ok 4\n",
        "service HidUsb: open ok, config error 122, status error 6\n", "service mouhid: open error 5\n",
        "service kbdhid: open ok, config error 1060, status error 1053\n",
        "service morvane: open ok, config error 122, status ok 2\n"}) {
    EXPECT_NE(expected.find(line), std::string::npos) << line << "\nin\n" << expected;
  }
  EXPECT_EQ(ProbeCalls(*replay), expected) << recorded;
  ExpectRoundTrip(sim::Machine::FromJson(kFailingMachine));
}

TEST(SnapshotFailures, TheRecordingStatesEachFailureOnce) {
  auto original = sim::Machine::FromJson(kFailingMachine);
  const sim::MachineModel model = sim::Machine::ParseModel(Record(*original));
  auto device = [&model](const std::string& id) -> const sim::Device& {
    for (const sim::Device& d : model.devices) {
      if (d.instanceId == id) return d;
    }
    throw std::runtime_error("not recorded: " + id);
  };
  EXPECT_EQ(device("PCI\\VEN_8086&DEV_A36D\\3&1&0&A0").driverKeyError, 5u);
  EXPECT_EQ(device("USB\\VID_0001&PID_0001\\A").hardwareKeyError, 1015u);
  EXPECT_EQ(device("USB\\VID_0001&PID_0001\\A").driverKey->at("bInterval"), sim::RegValue::Unreadable(5));
  EXPECT_EQ(device("USB\\VID_0001&PID_0001\\A").properties.at(SPDRP_FRIENDLYNAME), sim::RegValue::Unreadable(1117));
  // A key that does not exist is written as before: null, without an error code.
  EXPECT_FALSE(device("USB\\VID_0001&PID_0003\\C").driverKey.has_value());
  EXPECT_EQ(device("USB\\VID_0001&PID_0003\\C").driverKeyError, 0u);
  EXPECT_EQ(device("USB\\VID_05E3&PID_0608\\E").hub->openError, 32u);
  EXPECT_EQ(device("USB\\ROOT_HUB30\\5&3&0&0").hub->nodeInfoError, 1167u);
  const std::vector<sim::PortConnection>& ports = device("USB\\ROOT_HUB30\\4&1&0&0").hub->connections;
  ASSERT_EQ(ports.size(), 5u);
  EXPECT_EQ(ports[3].port, 4u);  // the empty port is listed for its failing control alone
  EXPECT_TRUE(ports[3].device.empty());
  EXPECT_EQ(ports[3].exError, 21u);
  EXPECT_FALSE(ports[3].driverKeyFails);  // an empty port's own answer, the loader's as well
  std::map<std::string, const sim::Service*> services;
  for (const sim::Service& service : model.services) services[service.name] = &service;
  EXPECT_EQ(services.at("mouhid")->openError, 5u);
  EXPECT_EQ(services.at("USBHUB3")->configError, 1115u);
  EXPECT_EQ(services.at("HidUsb")->statusError, 6u);
  EXPECT_EQ(services.at("morvane")->state, static_cast<DWORD>(SERVICE_START_PENDING));
}

// The outcome of each call the driver report makes for a driver file, by its full
// path: the open and, when it opens, the load as data with the version resource
// lookup, and the version-information size and read.
std::string ProbeDriverFiles(sim::Machine& machine, const std::vector<std::string>& paths) {
  platform::ScopedBackend scope(machine.Backend());
  platform::IFiles& files = platform::Files();
  std::string seen;
  for (const std::string& path : paths) {
    seen += path + ":";
    platform::UniqueFile file(
        files.CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    seen += " open " + Result(file.IsValid()) + (file ? "" : "\n");
    if (!file) continue;  // the program reads no version of a file it cannot open
    platform::UniqueModule module(files.LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    seen += ", load " + Result(module.IsValid());
    if (module) {
      seen += ", resource " +
              Result(files.FindResourceA(module.Get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16)) != nullptr);
    }
    DWORD handle = 0;
    const DWORD size = files.GetFileVersionInfoSizeA(path.c_str(), &handle);
    seen += ", version size " + Result(size != 0);
    std::vector<BYTE> block(std::max<DWORD>(size, 64), 0);
    seen += ", version " +
            Result(files.GetFileVersionInfoA(path.c_str(), handle, static_cast<DWORD>(block.size()), block.data()) != FALSE) +
            "\n";
  }
  return seen;
}

sim::File* FileAt(sim::MachineModel& model, const std::string& path) {
  for (sim::File& file : model.files) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

TEST(SnapshotFailures, DriverFilesThatCannotBeOpenedOrVersionedFailTheSameCallsInTheReplay) {
  auto model = sim::Machine::ParseModel(kFailingMachine);
  const std::string drivers = "C:\\WINDOWS\\System32\\drivers\\";
  constexpr DWORD kSharingViolation = 32;
  FileAt(model, drivers + "USBXHCI.SYS")->openError = kSharingViolation;
  // Neither way to the version works: the load and the version information are refused.
  sim::File* hidusb = FileAt(model, drivers + "hidusb.sys");
  hidusb->version.reset();
  hidusb->loadError = ERROR_ACCESS_DENIED;
  hidusb->versionError = ERROR_ACCESS_DENIED;
  // The resource lookup fails, the version information still gives the version.
  FileAt(model, drivers + "morvane.sys")->resourceError = ERROR_RESOURCE_DATA_NOT_FOUND;
  // The port driver: no image, no version, an odd code for the version information.
  sim::File usbport;
  usbport.path = drivers + "usbport.sys";
  usbport.loadableAsData = false;
  usbport.versionError = ERROR_INVALID_DATA;
  model.files.push_back(usbport);
  std::vector<std::string> paths;
  for (const sim::File& file : model.files) paths.push_back(file.path);
  paths.push_back(drivers + "missing.sys");
  const sim::MachineModel before = model;

  auto original = std::make_unique<sim::Machine>(std::move(model));
  const std::string recorded = Record(*original);
  auto replay = sim::Machine::FromJson(recorded);
  const std::string expected = ProbeDriverFiles(*original, paths);
  for (const char* line : {"USBXHCI.SYS: open error 32\n",
                           "hidusb.sys: open ok, load error 5, version size error 5, version error 5\n",
                           "morvane.sys: open ok, load ok, resource error 1812, version size ok, version ok\n",
                           "usbport.sys: open ok, load error 193, version size error 13, version error 13\n",
                           "missing.sys: open error 2\n"}) {
    EXPECT_NE(expected.find(line), std::string::npos) << line << "\nin\n" << expected;
  }
  EXPECT_EQ(ProbeDriverFiles(*replay, paths), expected) << recorded;
  // Every file but the one that does not exist is listed.
  const sim::MachineModel recordedModel = sim::Machine::ParseModel(recorded);
  EXPECT_EQ(recordedModel.files.size(), 4u) << recorded;
  ExpectRoundTrip(std::make_unique<sim::Machine>(before));
}

TEST(SnapshotFailures, AServiceManagerThatCannotBeOpenedForReadingIsRecordedAsSuch) {
  auto model = sim::Machine::ParseModel(kFailingMachine);
  model.system.serviceManagerError = ERROR_ACCESS_DENIED;
  const sim::MachineModel before = model;
  auto original = std::make_unique<sim::Machine>(std::move(model));
  const std::string recorded = Record(*original);
  const sim::MachineModel recordedModel = sim::Machine::ParseModel(recorded);
  EXPECT_EQ(recordedModel.system.serviceManagerError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(recordedModel.services.empty());
  auto replay = sim::Machine::FromJson(recorded);
  const std::string expected = ProbeCalls(*original);
  EXPECT_NE(expected.find("service manager: error 5\nservice USBXHCI: open error 6\n"), std::string::npos) << expected;
  EXPECT_EQ(ProbeCalls(*replay), expected) << recorded;
  ExpectRoundTrip(std::make_unique<sim::Machine>(before));

  // Another code is carried over as it is, and a manager that opens is not mentioned.
  auto otherModel = sim::Machine::ParseModel(kFailingMachine);
  constexpr DWORD kDatabaseLocked = 1055;
  otherModel.system.serviceManagerError = kDatabaseLocked;
  sim::Machine other(std::move(otherModel));
  EXPECT_EQ(sim::Machine::ParseModel(Record(other)).system.serviceManagerError,
            kDatabaseLocked);
  auto opening = sim::Machine::FromJson(kFailingMachine);
  EXPECT_EQ(Record(*opening).find("serviceManagerError"), std::string::npos);
}

TEST(SnapshotFailures, ADriverKeyNameWhoseNameQueryFailsAfterTheSizeQueryReplaysBothCalls) {
  constexpr DWORD kNotReady = 21;
  auto model = sim::Machine::ParseModel(kFailingMachine);
  for (sim::Device& device : model.devices) {
    if (!device.hub) continue;
    for (sim::PortConnection& port : device.hub->connections) {
      // Port 2: the device is still found by its address. Port 1: a reported length of its own.
      if (port.port == 2) port.driverKeyNameFails = true, port.driverKeyNameError = kNotReady;
      if (port.port == 1 && device.instanceId == "USB\\ROOT_HUB30\\4&1&0&0") {
        port.driverKeyNameFails = true;
        port.actualLengthOverride = 200;
      }
      // Port 4 is empty: its size query answers all the same.
      if (port.port == 4) port.driverKeyNameFails = true, port.actualLengthOverride = 40;
      // A device without a driver: its size query answers too.
      if (port.port == 3) port.driverKeyFails = false, port.driverKeyNameFails = true, port.actualLengthOverride = 64;
    }
    if (device.instanceId == "USB\\VID_0001&PID_0003\\C") device.properties.erase(SPDRP_DRIVER);
  }
  const sim::MachineModel before = model;
  auto original = std::make_unique<sim::Machine>(std::move(model));
  const std::string recorded = Record(*original);
  auto replay = sim::Machine::FromJson(recorded);
  const std::string expected = ProbeCalls(*original);
  EXPECT_NE(expected.find("  port 2: driverKey ok 96, name error 21, ex ok,"), std::string::npos) << expected;
  EXPECT_NE(expected.find("  port 1: driverKey ok 200, name error 31, ex error 1167,"), std::string::npos) << expected;
  EXPECT_NE(expected.find("  port 3: driverKey ok 64, name error 31, ex ok,"), std::string::npos) << expected;
  EXPECT_NE(expected.find("  port 4: driverKey ok 40, name error 31, ex error 21,"), std::string::npos) << expected;
  EXPECT_EQ(ProbeCalls(*replay), expected) << recorded;
  ExpectRoundTrip(std::make_unique<sim::Machine>(before));
}

// Texts read through the ANSI functions in the system code page: 0xE9 is "é" in
// code page 1252, and no UTF-8.
TEST(SnapshotAnsiTexts, BytesThatAreNoUtf8ComeBackByteForByte) {
  auto model = sim::Machine::ParseModel(kFailingMachine);
  const std::string mouse = "USB\\VID_0001&PID_0002\\S\xE9RIE";
  model.system.windowsDirectory = "C:\\WIND\xC9";
  for (sim::Device& device : model.devices) {
    if (device.instanceId == "USB\\VID_0001&PID_0002\\B") device.instanceId = mouse;
    if (device.instanceId == "USB\\VID_0001&PID_0003\\C") {
      device.properties[SPDRP_FRIENDLYNAME] = sim::RegValue::String("Clavier fran\xE7" "ais");
      device.properties[SPDRP_HARDWAREID] = sim::RegValue::MultiString({"USB\\VID_0001&PID_0003", "caf\xE9"});
      // Bytes that look like UTF-8 but are not: an overlong NUL and a lone surrogate.
      device.properties[SPDRP_DEVICEDESC] = sim::RegValue::String("\xC0\x80 \xED\xA0\x80");
    }
    if (device.hub) {
      for (sim::PortConnection& port : device.hub->connections) {
        if (port.device == "USB\\VID_0001&PID_0002\\B") port.device = mouse;
      }
    }
  }
  for (sim::Service& service : model.services) {
    if (service.name == "USBXHCI") service.binaryPath = "\\SystemRoot\\System32\\drivers\\USBX\xC9.SYS";
  }
  model.files[0].path = "C:\\WIND\xC9\\System32\\drivers\\USBX\xC9.SYS";
  model.files[0].version = sim::FileVersion{"10.0 (\xE9t\xE9)"};
  model.files[2].path = "C:\\WIND\xC9\\System32\\drivers\\morvane.sys";
  const sim::MachineModel before = model;

  auto original = std::make_unique<sim::Machine>(std::move(model));
  const std::string recorded = Record(*original);
  // Written as the characters of its bytes, readable in the file: "É" in UTF-8.
  EXPECT_NE(recorded.find("\"ansi\": \"C:\\\\WIND\xC3\x89\""), std::string::npos) << recorded;
  const sim::MachineModel replay = sim::Machine::ParseModel(recorded);
  EXPECT_EQ(replay.system.windowsDirectory, before.system.windowsDirectory);
  std::map<std::string, const sim::Device*> devices;
  for (const sim::Device& device : replay.devices) devices[device.instanceId] = &device;
  ASSERT_EQ(devices.count(mouse), 1u) << recorded;
  const sim::Device& keyboard = *devices.at("USB\\VID_0001&PID_0003\\C");
  EXPECT_EQ(keyboard.properties.at(SPDRP_FRIENDLYNAME), sim::RegValue::String("Clavier fran\xE7" "ais"));
  EXPECT_EQ(keyboard.properties.at(SPDRP_HARDWAREID), sim::RegValue::MultiString({"USB\\VID_0001&PID_0003", "caf\xE9"}));
  EXPECT_EQ(keyboard.properties.at(SPDRP_DEVICEDESC), sim::RegValue::String("\xC0\x80 \xED\xA0\x80"));
  bool portFound = false;
  for (const sim::PortConnection& port : devices.at("USB\\ROOT_HUB30\\4&1&0&0")->hub->connections) {
    portFound = portFound || port.device == mouse;
  }
  EXPECT_TRUE(portFound);
  std::map<std::string, const sim::Service*> services;
  for (const sim::Service& service : replay.services) services[service.name] = &service;
  EXPECT_EQ(services.at("USBXHCI")->binaryPath, "\\SystemRoot\\System32\\drivers\\USBX\xC9.SYS");
  bool fileFound = false;
  for (const sim::File& file : replay.files) {
    if (file.path != before.files[0].path) continue;
    fileFound = true;
    EXPECT_EQ(file.version->fileVersion, "10.0 (\xE9t\xE9)");
  }
  EXPECT_TRUE(fileFound) << recorded;
  ExpectRoundTrip(std::make_unique<sim::Machine>(before));
}

// Wine's configuration manager answers a child query with success and no child, and
// a node whose parent it does not know with CR_NO_SUCH_DEVNODE; here over the
// simulated machine's own answers.
class ChildlessSuccess : public platform::IConfigManager {
 public:
  explicit ChildlessSuccess(platform::IConfigManager& inner) : inner_(inner) {}
  CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) override {
    return inner_.CM_Get_Device_ID_Size(length, devInst, flags);
  }
  CONFIGRET CM_Get_Device_IDA(DEVINST devInst, LPSTR buffer, ULONG bufferLength, ULONG flags) override {
    return inner_.CM_Get_Device_IDA(devInst, buffer, bufferLength, flags);
  }
  CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) override {
    return inner_.CM_Get_DevNode_Status(status, problem, devInst, flags);
  }
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) override {
    return inner_.CM_Get_Parent(parent, devInst, flags);
  }
  CONFIGRET CM_Get_Child(DEVINST*, DEVINST, ULONG) override { return CR_SUCCESS; }
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) override {
    return inner_.CM_Get_Sibling(sibling, devInst, flags);
  }

 private:
  platform::IConfigManager& inner_;
};

TEST(SnapshotWineAnswers, AChildQueryThatNamesNoChildEndsEveryWalk) {
  auto machine = sim::Machine::FromJson(kFailingMachine);
  ChildlessSuccess childless(*machine->Backend().configManager);
  platform::Backend backend = machine->Backend();
  backend.configManager = &childless;
  platform::ScopedBackend scope(backend);
  // The lists ask for every device's children (mouse, keyboard and HID children).
  std::size_t listed = 0;
  for (int category = 0; category < 8; ++category) {
    morvane::TDeviceList list(category);
    for (int i = 0; i < list.Count(); ++i) EXPECT_TRUE(list.GetDevice(i).GetChildren().empty());
    listed += static_cast<std::size_t>(list.Count());
  }
  EXPECT_GT(listed, 0u);
  const std::string recorded = morvane::RecordMachineSnapshot();
  EXPECT_NO_THROW(sim::Machine::ParseModel(recorded)) << recorded;
  EXPECT_EQ(machine->LeakReport(), "");
}

// Per device that opens by its ID: its parent query's answer and the parent's ID query.
std::string ProbeParents(sim::Machine& machine, const std::vector<std::string>& ids) {
  platform::ScopedBackend scope(machine.Backend());
  std::string seen;
  platform::UniqueDevInfo lookup(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  for (const std::string& id : ids) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    seen += id + ": ";
    if (!platform::DeviceInstall().SetupDiOpenDeviceInfoA(lookup.Get(), id.c_str(), nullptr, 0, &data)) {
      seen += "does not open\n";
      continue;
    }
    DEVINST parent = 0;
    const CONFIGRET up = platform::ConfigManager().CM_Get_Parent(&parent, data.DevInst, 0);
    seen += "parent " + std::to_string(up);
    if (up == CR_SUCCESS) {
      ULONG length = 0;
      const CONFIGRET size = platform::ConfigManager().CM_Get_Device_ID_Size(&length, parent, 0);
      seen += ", parent's ID " + std::to_string(size);
      if (size == CR_SUCCESS) {
        std::vector<char> text(length + 1, '\0');
        platform::ConfigManager().CM_Get_Device_IDA(parent, text.data(), length + 1, 0);
        seen += " " + std::string(text.data());
      }
    }
    seen += "\n";
  }
  return seen;
}

// Top nodes whose parent query fails, as on Wine, and a root whose ID cannot be read.
const char* const kParentlessMachine = R"json({
  "devices": [
    {"id": "HTREE\\ROOT\\0", "deviceIdError": 13},
    {"id": "USB\\VID_0001&PID_0001\\A", "parent": "HTREE\\ROOT\\0", "class": "Mouse", "interfaces": ["USB_DEVICE"],
     "properties": {"DeviceDesc": "Mouse A", "Service": "HidUsb"}},
    {"id": "USB\\VID_0001&PID_0002\\B", "parent": "HTREE\\ROOT\\0", "parentError": 13, "class": "Mouse",
     "interfaces": ["USB_DEVICE"], "properties": {"DeviceDesc": "Mouse B", "Service": "HidUsb"}},
    {"id": "USB\\VID_0001&PID_0003\\C", "parent": "HTREE\\ROOT\\0", "parentError": 13, "class": "Keyboard",
     "interfaces": ["USB_DEVICE"], "properties": {"DeviceDesc": "Keyboard C", "Service": "kbdhid"}}
  ],
  "services": [{"name": "HidUsb", "state": "running"}]
})json";

TEST(SnapshotWineAnswers, NodesWithoutAParentAndARootWithoutAnIdReplayAsTheyAnswered) {
  const std::vector<std::string> ids = {"HTREE\\ROOT\\0", "USB\\VID_0001&PID_0001\\A", "USB\\VID_0001&PID_0002\\B",
                                        "USB\\VID_0001&PID_0003\\C"};
  auto original = sim::Machine::FromJson(kParentlessMachine);
  const std::string recorded = Record(*original);
  const sim::MachineModel model = sim::Machine::ParseModel(recorded);
  // Three nodes answer no parent (the root among them): they hang below a root of the
  // file's own that nothing reaches; the root is written under a name of the file's.
  ASSERT_EQ(model.devices.size(), 5u) << recorded;
  EXPECT_EQ(model.devices[0].instanceId, "UNREADABLE\\ROOT");
  EXPECT_FALSE(model.devices[0].present);
  std::map<std::string, const sim::Device*> byId;
  for (const sim::Device& device : model.devices) byId[device.instanceId] = &device;
  ASSERT_EQ(byId.count("UNREADABLE\\ID\\1"), 1u) << recorded;
  EXPECT_EQ(byId.at("UNREADABLE\\ID\\1")->deviceIdError, static_cast<ULONG>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(byId.at("USB\\VID_0001&PID_0001\\A")->parent, "UNREADABLE\\ID\\1");
  EXPECT_EQ(byId.at("USB\\VID_0001&PID_0002\\B")->parent, "UNREADABLE\\ROOT");
  EXPECT_EQ(byId.at("USB\\VID_0001&PID_0002\\B")->parentError, static_cast<ULONG>(CR_NO_SUCH_DEVNODE));

  auto replay = sim::Machine::FromJson(recorded);
  const std::string expected = ProbeParents(*original, ids);
  EXPECT_NE(expected.find("USB\\VID_0001&PID_0001\\A: parent 0, parent's ID 13\n"), std::string::npos) << expected;
  EXPECT_NE(expected.find("USB\\VID_0001&PID_0002\\B: parent 13\n"), std::string::npos) << expected;
  EXPECT_EQ(ProbeParents(*replay, ids), expected) << recorded;
  ExpectRoundTrip(sim::Machine::FromJson(kParentlessMachine));
}

}  // namespace
