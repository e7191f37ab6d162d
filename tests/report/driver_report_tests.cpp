// TDevice::GetDriverReport over small machines: identifier lines, labels, the
// driver-file list on both platform families, files that cannot be opened or have
// no version, and the file handle when something raises.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/DriverReport.h"
#include "tests/common/forwarding.h"
#include "tests/report/report_fixture.h"

namespace reporttest {
namespace {

using namespace std::string_literals;
using List = std::vector<std::string>;

const char* const kDevice = "USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1";

class DriverReportTest : public ReportTest {
 protected:
  // The root and one device below it, driven by `service` with the image path
  // `image` (no service is installed when `image` is null).
  static sim::MachineModel Machine(const std::string& service, const char* image) {
    sim::MachineModel model = RootOnly();
    sim::Device device = Node(kDevice, kRoot, sim::guids::DevClassHid, {sim::guids::InterfaceUsbDevice});
    SetText(device, SPDRP_DEVICEDESC, "USB Input Device");
    if (!service.empty()) SetText(device, SPDRP_SERVICE, service);
    model.devices.push_back(device);
    if (image != nullptr) model.services.push_back(KernelService(service, image));
    return model;
  }
  static sim::Device& Dev(sim::MachineModel& model) { return model.devices.back(); }

  // A 9x machine whose device names its driver files in the driver key.
  static sim::MachineModel Win9xMachine(const std::string& files) {
    sim::MachineModel model = Machine("", nullptr);
    model.system.platformId = VER_PLATFORM_WIN32_WINDOWS;
    (*Dev(model).driverKey)["NTMPDriver"] = sim::RegValue::String(files);
    return model;
  }
};

TEST_F(DriverReportTest, WholeReportWithItsLabelsAndBlanks) {
  sim::MachineModel model = Machine("HidUsb", "\\SystemRoot\\System32\\drivers\\hidusb.sys");
  SetHardwareIds(Dev(model), {"USB\\VID_1A2B&PID_3C4D&REV_0100", "USB\\VID_1A2B&PID_3C4D"});
  SetText(Dev(model), SPDRP_FRIENDLYNAME, "Aurora Mouse");
  model.files.push_back(DriverFile("hidusb.sys", "10.0.19041.1"));
  Load(model);

  const std::string expected =
      "\"USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1\"\r\n"
      "\"USB\\VID_1A2B&PID_3C4D&REV_0100\"\r\n"
      "\"USB\\VID_1A2B&PID_3C4D\"\r\n"
      "  Name: USB Input Device - Aurora Mouse\r\n"
      "  Driver: HidUsb\r\n"
      "  Binary: \\SystemRoot\\System32\\drivers\\hidusb.sys\r\n"
      "    Path: C:\\WINDOWS\\System32\\drivers\\hidusb.sys\r\n"
      "    Version: 10.0.19041.1\r\n";
  morvane::TDevice& device = Device(kDevice);
  EXPECT_EQ(device.GetDriverReport(), expected);
  // A second report starts afresh.
  EXPECT_EQ(device.GetDriverReport(), expected);
  EXPECT_EQ(device.GetHardwareIds(), "USB\\VID_1A2B&PID_3C4D&REV_0100\0USB\\VID_1A2B&PID_3C4D\0"s);
}

TEST_F(DriverReportTest, IdentifierLinesWithOneAndWithoutHardwareIds) {
  sim::MachineModel model = Machine("", nullptr);
  SetHardwareIds(Dev(model), {"USB\\VID_1A2B&PID_3C4D"});
  Load(model);
  EXPECT_EQ(Lines(Report(kDevice)).at(0), "\"USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1\"");
  EXPECT_EQ(Lines(Report(kDevice)).at(1), "\"USB\\VID_1A2B&PID_3C4D\"");
  EXPECT_EQ(Lines(Report(kDevice)).at(2), "  Name: USB Input Device");

  Load(Machine("", nullptr));
  const std::string report = Report(kDevice);
  EXPECT_EQ(report.substr(0, report.find("  Name: ")), "\"USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1\"\r\n");
  EXPECT_EQ(Device(kDevice).GetHardwareIds(), "");
}

TEST_F(DriverReportTest, EmptyNameAndServiceOnNtGiveOneEmptyBinaryLine) {
  sim::MachineModel model = Machine("", nullptr);
  Dev(model).properties.erase(SPDRP_DEVICEDESC);
  // NT never reads the 9x driver-file value.
  (*Dev(model).driverKey)["NTMPDriver"] = sim::RegValue::String("usbohci.sys");
  Load(model);
  EXPECT_EQ(Report(kDevice),
            "\"USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1\"\r\n"
            "  Name: \r\n"
            "  Driver: \r\n"
            "  Binary: \r\n");
}

TEST_F(DriverReportTest, ServiceWithoutImagePathAndServiceWithoutConfiguration) {
  sim::MachineModel model = Machine("fltx", "");
  model.files.push_back(DriverFile("fltx.sys", "2.0"));
  Load(model);
  const std::string report = Report(kDevice);
  EXPECT_NE(report.find("  Driver: fltx\r\n"
                        "  Binary: fltx.SYS\r\n"
                        "    Path: C:\\WINDOWS\\System32\\DRIVERS\\fltx.SYS\r\n"
                        "    Version: 2.0\r\n"),
            std::string::npos)
      << report;

  // A service name the service manager does not know: one empty entry.
  Load(Machine("ghost", nullptr));
  const std::string ghost = Report(kDevice);
  EXPECT_EQ(Binaries(ghost), List{""});
  EXPECT_EQ(ghost.substr(ghost.find("  Driver: ")), "  Driver: ghost\r\n  Binary: \r\n");
}

TEST_F(DriverReportTest, FileThatCannotBeOpenedHasItsBinaryLineOnly) {
  Load(Machine("gone", "\\SystemRoot\\System32\\drivers\\gone.sys"));
  const std::string report = Report(kDevice);
  EXPECT_EQ(report.substr(report.find("  Driver: ")),
            "  Driver: gone\r\n  Binary: \\SystemRoot\\System32\\drivers\\gone.sys\r\n");

  // The file exists and has a version, but opening it fails: neither path nor version.
  sim::MachineModel model = Machine("HidUsb", "\\SystemRoot\\System32\\drivers\\hidusb.sys");
  model.files.push_back(DriverFile("hidusb.sys", "10.0.1"));
  Load(model);
  morvane::TDevice& device = Device(kDevice);
  machine_->InjectFault({"CreateFileA", ERROR_ACCESS_DENIED, 0, 1});
  machine_->ClearCalls();
  const std::string denied = device.GetDriverReport();
  EXPECT_EQ(denied.substr(denied.find("  Binary: ")), "  Binary: \\SystemRoot\\System32\\drivers\\hidusb.sys\r\n");
  EXPECT_EQ(machine_->CountCalls("GetFileVersionInfoSizeA") + machine_->CountCalls("LoadLibraryExA"), 0u);
}

TEST_F(DriverReportTest, FileWithoutVersionHasNoVersionLine) {
  sim::MachineModel model = Machine("plain", "System32\\drivers\\plain.sys");
  model.files.push_back(DriverFile("plain.sys", ""));
  Load(model);
  const std::string report = Report(kDevice);
  EXPECT_EQ(report.substr(report.find("  Binary: ")),
            "  Binary: System32\\drivers\\plain.sys\r\n"
            "    Path: C:\\WINDOWS\\System32\\drivers\\plain.sys\r\n");
}

TEST_F(DriverReportTest, PortDriverFollowsAnOhciUhciOrEhciImageInAnyCaseAndDirectory) {
  for (const char* image : {"\\SystemRoot\\System32\\drivers\\usbohci.sys", "System32\\DRIVERS\\USBUHCI.SYS",
                            "\\??\\D:\\Vendor\\UsbEhci.Sys", "usbohci.sys", "\\SystemRoot\\drv.d\\USBEHCI"}) {
    sim::MachineModel model = Machine("hcd", image);
    model.files.push_back(DriverFile("usbport.sys", "10.0.2"));
    Load(model);
    const std::string report = Report(kDevice);
    EXPECT_EQ(Binaries(report), (List{image, "USBPORT.SYS"})) << image;
    const std::string tail =
        "  Binary: USBPORT.SYS\r\n"
        "    Path: C:\\WINDOWS\\System32\\DRIVERS\\USBPORT.SYS\r\n"
        "    Version: 10.0.2\r\n";
    EXPECT_EQ(report.substr(report.size() - std::min(report.size(), tail.size())), tail) << image;
  }
}

TEST_F(DriverReportTest, NoPortDriverAfterXhciOrOtherImages) {
  for (const char* image : {"\\SystemRoot\\System32\\drivers\\USBXHCI.SYS", "usbxhci.sys",
                            "\\SystemRoot\\System32\\drivers\\usbport.sys", "\\SystemRoot\\System32\\drivers\\uhcd.sys",
                            "\\SystemRoot\\System32\\drivers\\usbohci2.sys", "\\SystemRoot\\usbohci\\x.sys"}) {
    Load(Machine("hcd", image));
    EXPECT_EQ(Binaries(Report(kDevice)), List{image}) << image;
  }
}

TEST_F(DriverReportTest, Win9xCommaListWithOnePortDriverEntry) {
  sim::MachineModel model = Win9xMachine("a.sys,usbuhci.sys,b.sys");
  model.files.push_back(DriverFile("a.sys", "4.10.2222"));
  Load(model);
  const std::string report = Report(kDevice);
  EXPECT_EQ(Binaries(report), (List{"a.sys", "usbuhci.sys", "b.sys", "USBPORT.SYS"}));
  EXPECT_NE(report.find("  Driver: a.sys,usbuhci.sys,b.sys\r\n"
                        "  Binary: a.sys\r\n"
                        "    Path: C:\\WINDOWS\\System32\\DRIVERS\\a.sys\r\n"
                        "    Version: 4.10.2222\r\n"
                        "  Binary: usbuhci.sys\r\n"),
            std::string::npos)
      << report;

  // Two miniports and a trailing comma: one port entry, no empty entry.
  Load(Win9xMachine("usbohci.sys,usbehci.sys,"));
  EXPECT_EQ(Binaries(Report(kDevice)), (List{"usbohci.sys", "usbehci.sys", "USBPORT.SYS"}));

  // Blanks are kept and an empty piece is an entry of its own.
  Load(Win9xMachine("a.sys, b.sys,,c.sys"));
  EXPECT_EQ(Binaries(Report(kDevice)), (List{"a.sys", " b.sys", "", "c.sys"}));
}

TEST_F(DriverReportTest, Win9xWithoutDriverFilesHasNoBinaryLine) {
  sim::MachineModel model = Win9xMachine("");
  Load(model);
  EXPECT_EQ(Report(kDevice),
            "\"USB\\VID_1A2B&PID_3C4D\\5&1A2B3C4D&0&1\"\r\n"
            "  Name: USB Input Device\r\n"
            "  Driver: \r\n");
}

TEST_F(DriverReportTest, FilterEntryComesLastAfterThePortDriver) {
  sim::MachineModel model = Machine("hcd", "\\SystemRoot\\System32\\drivers\\usbehci.sys");
  Dev(model).properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"ravenflt", "MORVANE"});
  model.files.push_back(DriverFile("morvane.sys", "1.0.0.0"));
  Load(model);
  const std::string report = Report(kDevice);
  // Other lower filters are not driver files of the report.
  EXPECT_EQ(Binaries(report), (List{"\\SystemRoot\\System32\\drivers\\usbehci.sys", "USBPORT.SYS", "MORVANE.SYS"}));
  EXPECT_EQ(report.substr(report.find("  Binary: MORVANE.SYS")),
            "  Binary: MORVANE.SYS\r\n"
            "    Path: C:\\WINDOWS\\System32\\DRIVERS\\MORVANE.SYS\r\n"
            "    Version: 1.0.0.0\r\n");

  sim::MachineModel plain = Machine("HidUsb", "\\SystemRoot\\System32\\drivers\\hidusb.sys");
  Dev(plain).properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvane"});
  Load(plain);
  EXPECT_EQ(Binaries(Report(kDevice)), (List{"\\SystemRoot\\System32\\drivers\\hidusb.sys", "MORVANE.SYS"}));

  sim::MachineModel other = Machine("HidUsb", "\\SystemRoot\\System32\\drivers\\hidusb.sys");
  Dev(other).properties[SPDRP_LOWERFILTERS] = sim::RegValue::MultiString({"morvanex", "ravenflt"});
  Load(other);
  EXPECT_EQ(Binaries(Report(kDevice)), (List{"\\SystemRoot\\System32\\drivers\\hidusb.sys"}));
}

TEST_F(DriverReportTest, Win9xFilterEntryComesLast) {
  sim::MachineModel model = Win9xMachine("usbuhci.sys");
  (*Dev(model).hardwareKey)["LowerFilters"] = sim::RegValue::MultiString({"morvane.sys"});
  Load(model);
  EXPECT_EQ(Binaries(Report(kDevice)), (List{"usbuhci.sys", "USBPORT.SYS", "MORVANE.SYS"}));
}

// Forwards to the machine's files and throws from GetWindowsDirectoryA once a file
// has been opened; records how many files were open at that moment.
class ThrowingFiles : public simtest::ForwardingFiles {
 public:
  ThrowingFiles(platform::IFiles& target, sim::SimCore& core) : ForwardingFiles(target), core_(core) {}

  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) override {
    const HANDLE file = inner_.CreateFileA(p, a, s, sa, d, f, t);
    if (file != INVALID_HANDLE_VALUE) opened_ = true;
    return file;
  }
  UINT GetWindowsDirectoryA(LPSTR b, UINT s) override {
    if (opened_) {
      openAtThrow = core_.LiveCount(sim::ResourceKind::FileHandle);
      throw std::runtime_error("GetWindowsDirectoryA");
    }
    return inner_.GetWindowsDirectoryA(b, s);
  }

  std::size_t openAtThrow = 0;

 private:
  sim::SimCore& core_;
  bool opened_ = false;
};

TEST_F(DriverReportTest, OpenFileIsClosedWhenThePathOrTheVersionRaises) {
  // The path of a relative entry needs the Windows directory; the version of an
  // absolute one does.
  for (const char* image : {"\\SystemRoot\\System32\\drivers\\hidusb.sys", "\\??\\C:\\Vendor\\hidusb.sys"}) {
    sim::MachineModel model = Machine("HidUsb", image);
    model.files.push_back(DriverFile("hidusb.sys", "10.0.1"));
    sim::File vendor;
    vendor.path = "C:\\Vendor\\hidusb.sys";
    vendor.version = sim::FileVersion{"10.0.1"};
    model.files.push_back(vendor);
    Load(model);
    morvane::TDevice& device = Device(kDevice);

    ThrowingFiles throwing(*machine_->Backend().files, machine_->Core());
    platform::Backend backend = machine_->Backend();
    backend.files = &throwing;
    {
      platform::ScopedBackend scope(backend);
      EXPECT_THROW(device.GetDriverReport(), std::runtime_error) << image;
    }
    EXPECT_EQ(throwing.openAtThrow, 1u) << image;
    EXPECT_EQ(machine_->Core().LiveCount(sim::ResourceKind::FileHandle), 0u) << image;
  }
}

}  // namespace
}  // namespace reporttest
