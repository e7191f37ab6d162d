// A small simulated PC for the window's tests, and a fixture that runs one window
// over it with the in-memory controls.
//
// The PC: an xHCI controller with a root hub whose ports hold, in this order, a
// mass-storage stick (high speed, bulk pipes only), a full-speed mouse (interrupt
// pipes at 1 and 8), a low-speed mouse, a high-speed mouse, a mouse whose speed
// cannot be read and a full-speed mouse with a problem; and a controller with an
// unknown driver ("FOOHCI") whose root hub holds a full-speed mouse and a device with
// a problem and only bulk pipes. There is no keyboard. The filter service "morvane"
// is installed and starts.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/setup/TestControls.h"

namespace morvane::test {

inline const std::string kStorage = "USB\\VID_0781&PID_5581\\4C530001";
inline const std::string kFullMouse = "USB\\VID_1038&PID_1824\\6&1A2B3C4D&0&2";
inline const std::string kLowMouse = "USB\\VID_046D&PID_C05A\\6&1A2B3C4D&0&3";
inline const std::string kHighMouse = "USB\\VID_1532&PID_0084\\6&1A2B3C4D&0&4";
inline const std::string kUnknownSpeedMouse = "USB\\VID_093A&PID_2510\\6&1A2B3C4D&0&5";
inline const std::string kProblemMouse = "USB\\VID_045E&PID_0040\\6&1A2B3C4D&0&6";
inline const std::string kForeignMouse = "USB\\VID_1BCF&PID_0005\\7&2B3C4D5E&0&1";
inline const std::string kOddDevice = "USB\\VID_0BDA&PID_8153\\7&2B3C4D5E&0&2";

// Names as the grid shows them.
inline const std::string kFullMouseName = "Rival Gaming Mouse";
inline const std::string kXhciName = "Intel(R) USB 3.1 eXtensible Host Controller";

sim::MachineModel TestMachineModel();

// Entries of a device's LowerFilters property on the machine (empty when none).
std::vector<std::string> LowerFiltersOf(sim::Machine& machine, const std::string& instanceId);
// The device's "bInterval" override on the machine, -1 when there is none.
long long OverrideOf(sim::Machine& machine, const std::string& instanceId);

class WindowTest : public ::testing::Test {
 protected:
  explicit WindowTest(sim::MachineModel model = TestMachineModel());
  ~WindowTest() override;

  // FormCreate with the argument, then FormShow.
  void Open(const std::string& argument = "");
  // The grid row of a device of the current list; 0 when it is not listed.
  int RowOf(const std::string& instanceId);
  // Makes the device's row current, as a click does; fails the test when absent.
  void Select(const std::string& instanceId);
  std::string SelectedId();
  // Delivers the device-change notifications the machine has broadcast.
  void DeliverDeviceChanges();
  // Answers the next question boxes in this order; IDYES once they run out.
  void Answer(std::vector<int> answers);
  std::vector<std::string> BoxTexts() const;
  // Device lists built so far: the enumerations of the categories.
  std::size_t ListBuilds() const;

  std::unique_ptr<sim::Machine> machine;
  platform::ScopedBackend scope;
  TestWindow w;
  TfrmSetup& frm = w.frm;
  int pendingDeviceChanges = 0;
  std::vector<std::pair<bool, std::string>> pendingDeviceEvents;  // arrival, instance ID
  bool deliverAtOnce = false;  // notifications reach the window inside the broadcasting call
  std::vector<int> answers_;
};

}  // namespace morvane::test
