// The snapshot of Wine's own machine: recorded through the real backend, loaded into
// the simulated machine, and read back there. The simulated machine must answer what
// the real one answers: the window's lists in every category with every cell, the
// "Copy IDs" text of every listed device, the driver report of every recorded device,
// the services, the driver files and the system facts.
//
// Wine's machine has no USB device of its own, so the second test adds one for a
// moment: a node of the USB enumerator with a driver key, a hardware key, a lower
// filter and a service whose image carries a version resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "devices/DriverReport.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "platform/win32/win32_backend.h"
#include "snapshot/Snapshot.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"
#include "tests/setup/TestControls.h"

namespace {

using namespace morvane;

// The real backend, but with the simulated clipboard, message boxes and memory of
// `scratch`: "Copy IDs" then lands where the test can read it, and no box waits for
// a click.
platform::Backend RealWithScratchUser(sim::Machine& scratch) {
  platform::Backend backend = platform::win32::RealBackend();
  const platform::Backend simulated = scratch.Backend();
  backend.user = simulated.user;
  backend.memory = simulated.memory;
  return backend;
}

std::string ClipboardText(sim::Machine& machine) {
  const auto data = machine.ClipboardData(CF_TEXT);
  if (!data || data->empty()) return "(empty clipboard)";
  return std::string(data->begin(), data->end() - 1);
}

// The text `read` gives, or what it raised: the program's errors are part of what it shows.
template <typename F>
std::string Text(F read) {
  try {
    return read();
  } catch (const std::exception& e) {
    return std::string("raised ") + e.what() + "\n";
  }
}

// What the window shows under the installed backend: per category the drawn texts of
// every cell and the "Copy IDs" text of every device. `clipboard` holds the clipboard.
std::string ObserveWindow(sim::Machine& clipboard) {
  test::TestWindow w;
  std::string seen;
  // What the window's steps raise is shown as they are: the real window's message
  // loop would receive it the same way from either machine.
  seen += Text([&] {
    w.frm.FormCreate("");
    w.frm.FormShow();
    return std::string();
  });
  for (int category = 0; category < w.cbDevices.ItemCount(); ++category) {
    seen += Text([&] {
      w.cbDevices.Pick(category);
      return std::string();
    });
    seen += "== " + w.cbDevices.Item(category) + ": " + std::to_string(w.frm.DeviceCount) + "\n";
    for (int row = 1; row <= w.frm.DeviceCount; ++row) {
      for (int col = 0; col < 6; ++col) {
        test::TestCanvas canvas;
        seen += Text([&] {
          w.frm.dgDevicesDrawCell(col, row, TRect{0, 0, 100, 21}, {}, canvas);
          return std::string();
        });
        for (const auto& fill : canvas.fills) seen += "fill " + std::to_string(fill.color) + "\n";
        for (const auto& text : canvas.texts) seen += "[" + text.text + "]";
        seen += "\n";
      }
    }
    for (int row = 1; row <= w.frm.DeviceCount; ++row) {
      seen += Text([&] {
        w.ClickRow(row);
        w.frm.btnCopyIDClick();
        return ClipboardText(clipboard);
      });
    }
  }
  for (const sim::MessageBoxCall& box : clipboard.MessageBoxes()) seen += "box: " + box.text + "\n";
  w.frm.FormDestroy();
  return seen;
}

// The driver report and the record's answers for every recorded device, each opened
// by its instance ID; the services' configuration and state, the driver files'
// paths and versions; the system facts.
std::string ObserveRecorded(const sim::MachineModel& recorded) {
  std::string seen;
  platform::UniqueDevInfo lookup(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  for (const sim::Device& node : recorded.devices) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    seen += "device " + node.instanceId + "\n";
    if (!platform::DeviceInstall().SetupDiOpenDeviceInfoA(lookup.Get(), node.instanceId.c_str(), nullptr, 0, &data)) {
      seen += "  (cannot be opened)\n";
      continue;
    }
    TDevice device(lookup.Get(), data, lookup.Get());
    seen += Text([&] { return device.GetDriverReport(); });
    seen += Text([&] { return "  name: " + device.GetName() + "\n"; });
    seen += Text([&] { return "  usb: " + std::to_string(device.IsUsbDevice()) + "\n"; });
    seen += Text([&] { return "  hub: " + std::to_string(device.IsHub()) + "\n"; });
    seen += Text([&] { return "  problem: " + std::to_string(device.HasProblem()) + "\n"; });
    seen += Text([&] { return "  filters: " + device.GetLowerFiltersText() + "\n"; });
    seen += Text([&] { return "  filter installed: " + std::to_string(device.IsFilterInstalled()) + "\n"; });
    seen += Text([&] { return "  override: " + std::to_string(device.GetOverrideInterval()) + "\n"; });
    seen += Text([&] { return "  rate: " + device.GetRateText() + "\n"; });
    seen += Text([&] { return "  connection: " + std::to_string(device.QueryConnection()) + "\n"; });
    seen += Text([&] { return "  controller: " + device.GetControllerDevice().GetDriverReport(); });
  }
  for (const sim::Service& service : recorded.services) {
    const ServiceConfig config = QueryServiceConfiguration(service.name);
    seen += "service " + service.name + ": ";
    if (config) {
      seen += "start " + std::to_string(config->Config().dwStartType) + ", binary " +
              (config->Config().lpBinaryPathName ? config->Config().lpBinaryPathName : "(none)");
    } else {
      seen += "no configuration";
    }
    seen += ", running " + std::to_string(IsServiceRunning(service.name));
    const std::string image = GetServiceImagePath(service.name);
    seen += "\n  image " + image + " at " + GetDriverFullPath(image) + ", version " + GetDriverFileVersion(image) + "\n";
  }
  for (const char* entry : {PortDriverEntry, FilterDriverEntry}) {
    seen += std::string("file ") + entry + " at " + GetDriverFullPath(entry) + ", version " +
            GetDriverFileVersion(entry) + "\n";
  }
  std::string windows;
  GetWindowsDir(windows);
  seen += "system: NT " + std::to_string(platform::IsNtPlatform()) + ", WOW64 " + std::to_string(IsWow64()) +
          ", Windows in " + windows + "\n";
  return seen;
}

struct Comparison {
  std::string recorded;
  std::string realWindow, realRecorded;
  std::string simWindow, simRecorded;
  sim::MachineModel model;
};

// Records the machine through the real backend, observes it there, loads the
// recording and observes the simulated machine the same way.
Comparison RecordAndReplay() {
  Comparison c;
  auto scratch = std::make_unique<sim::Machine>();
  {
    platform::ScopedBackend real(RealWithScratchUser(*scratch));
    c.recorded = RecordMachineSnapshot();
    try {
      c.model = sim::Machine::ParseModel(c.recorded);
    } catch (const sim::MachineFileError& e) {
      ADD_FAILURE() << "the recording does not load: " << e.what() << "\n" << c.recorded;
      throw;
    }
    c.realWindow = ObserveWindow(*scratch);
    c.realRecorded = ObserveRecorded(c.model);
  }
  auto replay = sim::Machine::FromJson(c.recorded);
  {
    platform::ScopedBackend simulated(replay->Backend());
    c.simWindow = ObserveWindow(*replay);
    c.simRecorded = ObserveRecorded(c.model);
    // The recording of the replay is the recording itself.
    EXPECT_EQ(RecordMachineSnapshot(), c.recorded);
  }
  EXPECT_EQ(replay->LeakReport(), "");
  return c;
}

TEST(WineSnapshot, WinesOwnMachineReadsTheSameFromItsRecording) {
  const Comparison c = RecordAndReplay();
  std::printf("--- recording of Wine's machine\n%s--- as read\n%s", c.recorded.c_str(), c.realRecorded.c_str());
  EXPECT_EQ(c.simWindow, c.realWindow);
  EXPECT_EQ(c.simRecorded, c.realRecorded);

  // What Wine has is recorded: the system facts, as the real backend answers them.
  std::string windows;
  {
    platform::ScopedBackend real(platform::win32::RealBackend());
    GetWindowsDir(windows);
    EXPECT_EQ(c.model.system.wow64, IsWow64());
  }
  ASSERT_FALSE(windows.empty());
  EXPECT_EQ(c.model.system.windowsDirectory, windows);
  EXPECT_EQ(c.model.system.platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_NE(c.realRecorded.find("Windows in " + windows + "\n"), std::string::npos) << c.realRecorded;
  // Every category is listed on both sides, also when it is empty.
  EXPECT_NE(c.realWindow.find("== "), std::string::npos) << c.realWindow;
}

// What setup.exe's /snapshot runs, over Wine's real machine: the file holds the
// recording, and a folder that does not exist is refused with the path named.
TEST(WineSnapshot, TheCommandWritesWinesRecordingAndRefusesAFolderThatIsNotThere) {
  platform::ScopedBackend real(platform::win32::RealBackend());
  char folder[MAX_PATH] = {};
  ASSERT_NE(::GetTempPathA(MAX_PATH, folder), 0u);
  const std::string path = std::string(folder) + "morvane-wine-snapshot.json";
  std::string error;
  ASSERT_EQ(WriteSnapshotCommand(path, error), 0) << error;
  std::string written;
  {
    platform::UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.IsValid()) << path;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) written.append(buffer, read);
  }
  ::DeleteFileA(path.c_str());
  EXPECT_EQ(written, RecordMachineSnapshot());
  EXPECT_NO_THROW(sim::Machine::ParseModel(written)) << written;

  const std::string missing = std::string(folder) + "morvane-no-such-folder\\pc.json";
  EXPECT_NE(WriteSnapshotCommand(missing, error), 0);
  EXPECT_NE(error.find(missing), std::string::npos) << error;
}

// A node of the USB enumerator, its keys and its service, made for one test and
// removed at its end.
class ScratchUsbDevice {
 public:
  ScratchUsbDevice() : set_(::SetupDiCreateDeviceInfoList(nullptr, nullptr)) {}
  ~ScratchUsbDevice() {
    if (hasInterface_) ::SetupDiRemoveDeviceInterface(set_.Get(), &interface_);
    if (registered_) ::SetupDiRemoveDevice(set_.Get(), &data_);
    if (service_ != nullptr) {
      ::DeleteService(service_);
      ::CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) ::CloseServiceHandle(manager_);
  }
  ScratchUsbDevice(const ScratchUsbDevice&) = delete;
  ScratchUsbDevice& operator=(const ScratchUsbDevice&) = delete;

  bool Create(const char* instanceId, const char* service, const char* binaryPath) {
    static constexpr GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
    if (!set_.IsValid()) return Fail("SetupDiCreateDeviceInfoList");
    RemoveLeftOvers(instanceId, service);
    data_.cbSize = sizeof(data_);
    if (!::SetupDiCreateDeviceInfoA(set_.Get(), instanceId, &kUsbClass, nullptr, nullptr, 0, &data_)) {
      return Fail("SetupDiCreateDeviceInfoA");
    }
    if (!::SetupDiRegisterDeviceInfo(set_.Get(), &data_, 0, nullptr, nullptr, nullptr)) {
      return Fail("SetupDiRegisterDeviceInfo");
    }
    registered_ = true;
    if (!SetProperty(SPDRP_DEVICEDESC, std::string("USB Input Device") + '\0') ||
        !SetProperty(SPDRP_FRIENDLYNAME, std::string("MORVANE snapshot test mouse") + '\0') ||
        !SetProperty(SPDRP_HARDWAREID, std::string("USB\\VID_F00D&PID_0001&REV_0100") + '\0' +
                                           "USB\\VID_F00D&PID_0001" + '\0' + '\0') ||
        !SetProperty(SPDRP_SERVICE, std::string(service) + '\0') ||
        !SetProperty(SPDRP_LOWERFILTERS, std::string("morvane") + '\0' + '\0')) {
      return false;
    }
    HKEY driverKey = ::SetupDiCreateDevRegKeyA(set_.Get(), &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    if (driverKey == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDevRegKeyA(DIREG_DRV)");
    const DWORD interval = 2;
    const LSTATUS set = ::RegSetValueExA(driverKey, "bInterval", 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&interval), sizeof(interval));
    ::RegCloseKey(driverKey);
    if (set != ERROR_SUCCESS) return Fail("RegSetValueExA(bInterval)");
    HKEY hardwareKey = ::SetupDiCreateDevRegKeyA(set_.Get(), &data_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (hardwareKey == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDevRegKeyA(DIREG_DEV)");
    ::RegCloseKey(hardwareKey);
    if (!AddPresentUsbDeviceInterface(instanceId)) return false;

    manager_ = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return Fail("OpenSCManagerA");
    service_ = ::CreateServiceA(manager_, service, service, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binaryPath, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
    if (service_ == nullptr) return Fail("CreateServiceA");
    return true;
  }

  const std::string& Failure() const { return failure_; }

 private:
  // What a run that did not end left behind.
  static void RemoveLeftOvers(const char* instanceId, const char* service) {
    platform::UniqueDevInfo old(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (old.IsValid() && ::SetupDiOpenDeviceInfoA(old.Get(), instanceId, nullptr, 0, &data)) {
      ::SetupDiRemoveDevice(old.Get(), &data);
    }
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE left = ::OpenServiceA(manager, service, SERVICE_ALL_ACCESS);
    if (left != nullptr) {
      ::DeleteService(left);
      ::CloseServiceHandle(left);
    }
    ::CloseServiceHandle(manager);
  }

  // The USB device interface, linked as a driver's interface is once it is enabled:
  // only linked interfaces are present.
  bool AddPresentUsbDeviceInterface(const char* instanceId) {
    static constexpr GUID kUsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    interface_.cbSize = sizeof(interface_);
    if (!::SetupDiCreateDeviceInterfaceA(set_.Get(), &data_, &kUsbDevice, nullptr, 0, &interface_)) {
      return Fail("SetupDiCreateDeviceInterfaceA");
    }
    hasInterface_ = true;
    const char* const classKey = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
    HKEY interfaces = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, classKey, 0, KEY_READ, &interfaces) != ERROR_SUCCESS) {
      return Fail("RegOpenKeyExA(DeviceClasses)");
    }
    std::string wanted = instanceId;
    for (char& c : wanted) c = c == '\\' ? '#' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string link;
    char name[512];
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof(name);
      if (::RegEnumKeyExA(interfaces, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (upper.find(wanted) != std::string::npos) link = name;
    }
    ::RegCloseKey(interfaces);
    if (link.empty()) return Fail("finding the interface's key");
    HKEY control = nullptr;
    const std::string controlKey = std::string(classKey) + "\\" + link + "\\Control";
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, controlKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &control,
                          nullptr) != ERROR_SUCCESS) {
      return Fail("RegCreateKeyExA(Control)");
    }
    const DWORD linked = 1;
    const LSTATUS set = ::RegSetValueExA(control, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                                         sizeof(linked));
    ::RegCloseKey(control);
    return set == ERROR_SUCCESS || Fail("RegSetValueExA(Linked)");
  }

  bool SetProperty(DWORD property, const std::string& bytes) {
    if (::SetupDiSetDeviceRegistryPropertyA(set_.Get(), &data_, property, reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size()))) {
      return true;
    }
    return Fail(("SetupDiSetDeviceRegistryPropertyA(" + std::to_string(property) + ")").c_str());
  }
  bool Fail(const char* step) {
    failure_ = std::string(step) + " failed with " + std::to_string(::GetLastError());
    return false;
  }
  platform::UniqueDevInfo set_;
  SP_DEVINFO_DATA data_{};
  SP_DEVICE_INTERFACE_DATA interface_{};
  bool registered_ = false;
  bool hasInterface_ = false;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  std::string failure_;
};

TEST(WineSnapshot, AUsbNodeOfWinesMachineReadsTheSameFromItsRecording) {
  platform::ScopedBackend real(platform::win32::RealBackend());  // for the scratch node's own handles
  constexpr const char* kId = "USB\\VID_F00D&PID_0001\\MORVSNAP1";
  ScratchUsbDevice scratch;
  ASSERT_TRUE(scratch.Create(kId, "morvsnap", "\\SystemRoot\\system32\\kernel32.dll")) << scratch.Failure();

  const Comparison c = RecordAndReplay();
  std::printf("--- recording with the USB node\n%s--- as read\n%s--- the window\n%s", c.recorded.c_str(),
              c.realRecorded.c_str(), c.realWindow.c_str());
  EXPECT_EQ(c.simWindow, c.realWindow);
  EXPECT_EQ(c.simRecorded, c.realRecorded);

  // The node is recorded with what the program reads of it, and the comparison
  // covers its driver report with the version of its image.
  const sim::Device* node = nullptr;
  for (const sim::Device& device : c.model.devices) {
    if (device.instanceId == kId) node = &device;
  }
  ASSERT_NE(node, nullptr) << c.recorded;
  EXPECT_EQ(node->properties.at(SPDRP_SERVICE), sim::RegValue::String("morvsnap"));
  EXPECT_EQ(node->properties.at(SPDRP_LOWERFILTERS), sim::RegValue::MultiString({"morvane"}));
  ASSERT_TRUE(node->driverKey.has_value());
  EXPECT_EQ(node->driverKey->at("bInterval"), sim::RegValue::Dword(2));
  EXPECT_NE(c.realRecorded.find("  Name: USB Input Device - MORVANE snapshot test mouse\r\n"), std::string::npos)
      << c.realRecorded;
  EXPECT_NE(c.realRecorded.find("  Driver: morvsnap\r\n"), std::string::npos) << c.realRecorded;
  EXPECT_NE(c.realRecorded.find("    Version: "), std::string::npos) << c.realRecorded;
  EXPECT_NE(c.realRecorded.find("  override: 2"), std::string::npos) << c.realRecorded;
  // The node is a USB device of the lists: the window's rows and "Copy IDs" are compared too.
  EXPECT_NE(c.realRecorded.find("  usb: 1\n"), std::string::npos) << c.realRecorded;
  EXPECT_NE(c.realWindow.find("== USB: 1\n"), std::string::npos) << c.realWindow;
  EXPECT_NE(c.realWindow.find("[USB Input Device - MORVANE snapshot test mouse]"), std::string::npos) << c.realWindow;
  EXPECT_NE(c.realWindow.find("Device:\r\n\"USB\\VID_F00D&PID_0001\\MORVSNAP1\"\r\n"), std::string::npos)
      << c.realWindow;
  bool serviceRecorded = false;
  for (const sim::Service& service : c.model.services) serviceRecorded = serviceRecorded || service.name == "morvsnap";
  EXPECT_TRUE(serviceRecorded) << c.recorded;
}

}  // namespace
