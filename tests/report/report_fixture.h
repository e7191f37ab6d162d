// Small simulated machines for the driver-report and ID-report tests, and a fixture
// that installs one and checks at the end of each test that nothing was left open.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/common/machine_test.h"
#include "tests/common/sim_model.h"

namespace reporttest {

inline const char* const kRoot = "HTREE\\ROOT\\0";
inline const char* const kWindows = "C:\\WINDOWS";

using simtest::Node;
using simtest::SetText;

inline void SetHardwareIds(sim::Device& device, const std::vector<std::string>& ids) {
  device.properties[SPDRP_HARDWAREID] = sim::RegValue::MultiString(ids);
}

inline sim::Service KernelService(const std::string& name, const std::string& binaryPath) {
  sim::Service service;
  service.name = name;
  service.displayName = name;
  service.binaryPath = binaryPath;
  service.state = SERVICE_RUNNING;
  return service;
}

// A file below the Windows directory's drivers folder; no version when `version` is
// empty.
inline sim::File DriverFile(const std::string& name, const std::string& version) {
  sim::File file;
  file.path = std::string(kWindows) + "\\System32\\drivers\\" + name;
  if (!version.empty()) file.version = sim::FileVersion{version};
  return file;
}

inline sim::MachineModel RootOnly() {
  sim::MachineModel model;
  model.system.windowsDirectory = kWindows;
  model.system.currentDirectory = "C:\\MORVANE";
  sim::Device root = Node(kRoot, "", sim::guids::DevClassSystem);
  root.driverKey.reset();
  root.hardwareKey.reset();
  model.devices.push_back(root);
  return model;
}

// Every line of the text ends with CR LF, the last one included, and neither byte
// occurs elsewhere.
inline ::testing::AssertionResult IsCrLfText(const std::string& text) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    return ::testing::AssertionFailure() << "does not end with CR LF";
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) {
      return ::testing::AssertionFailure() << "CR without LF at " << i;
    }
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return ::testing::AssertionFailure() << "LF without CR at " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

// The lines of a CR LF text.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The entries of the "  Binary: " lines, in order.
inline std::vector<std::string> Binaries(const std::string& report) {
  const std::string label = "  Binary: ";
  std::vector<std::string> entries;
  for (const std::string& line : Lines(report)) {
    if (line.compare(0, label.size(), label) == 0) entries.push_back(line.substr(label.size()));
  }
  return entries;
}

class ReportTest : public simtest::MachineTest {
 protected:
  void TearDown() override { Unload(); }

  // The device's driver report, checked for its line ends.
  std::string Report(const std::string& id) {
    const std::string report = Device(id).GetDriverReport();
    EXPECT_TRUE(IsCrLfText(report)) << report;
    return report;
  }
};

}  // namespace reporttest
