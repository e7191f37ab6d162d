// The configuration manager's view of the tree: DevInst values, walks, IDs, status.
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

class DeviceTree : public MachineTest {
 protected:
  std::string IdOf(DEVINST devInst) {
    ULONG length = 0;
    if (Cm().CM_Get_Device_ID_Size(&length, devInst, 0) != CR_SUCCESS) return "?";
    std::vector<char> buffer(length + 1);
    if (Cm().CM_Get_Device_IDA(devInst, buffer.data(), length + 1, 0) != CR_SUCCESS) return "?";
    return buffer.data();
  }

  std::vector<std::string> ChildrenOf(const std::string& id) {
    std::vector<std::string> ids;
    DEVINST child = 0;
    if (Cm().CM_Get_Child(&child, machine_->DevInstOf(id), 0) != CR_SUCCESS) return ids;
    do {
      ids.push_back(IdOf(child));
    } while (Cm().CM_Get_Sibling(&child, child, 0) == CR_SUCCESS);
    return ids;
  }
};

TEST_F(DeviceTree, DevInstsAreSmallStableAndNeverZero) {
  const auto& devices = machine_->Model().devices;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(machine_->DevInstOf(devices[i].instanceId), i + 1) << devices[i].instanceId;
  }
  EXPECT_EQ(machine_->DevInstOf("NO\\SUCH\\DEVICE"), 0u);
  const DEVINST before = machine_->DevInstOf(kMouse);
  ASSERT_TRUE(machine_->RestartDevice(kMouse));
  EXPECT_EQ(machine_->DevInstOf(kMouse), before);
  machine_->RemoveDevice(kLowSpeed);
  EXPECT_EQ(machine_->DevInstOf(kMouse), before) << "other devices keep their DevInst";
}

TEST_F(DeviceTree, WalksFollowTheModelOrderAndSkipDevicesThatAreNotPresent) {
  EXPECT_EQ(ChildrenOf(kRootHub), (std::vector<std::string>{kMouse, kLowSpeed, "USB\\VID_1A2C&PID_0004\\5&4"}));
  EXPECT_EQ(ChildrenOf(kMouse), std::vector<std::string>{kMouseInterface});

  DEVINST parent = 99;
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, machine_->DevInstOf(kMouseLeaf), 0), CR_SUCCESS);
  EXPECT_EQ(parent, machine_->DevInstOf(kMouseInterface));
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, machine_->DevInstOf("HTREE\\ROOT\\0"), 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(parent, 0u);

  DEVINST child = 99;
  EXPECT_EQ(Cm().CM_Get_Child(&child, machine_->DevInstOf(kMouseLeaf), 0), CR_NO_SUCH_DEVNODE);
  DEVINST sibling = 99;
  EXPECT_EQ(Cm().CM_Get_Sibling(&sibling, machine_->DevInstOf("USB\\VID_1A2C&PID_0004\\5&4"), 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(Cm().CM_Get_Sibling(&sibling, machine_->DevInstOf("HTREE\\ROOT\\0"), 0), CR_NO_SUCH_DEVNODE);

  EXPECT_EQ(Cm().CM_Get_Parent(&parent, 0, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, 4242, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, machine_->DevInstOf(kAbsent), 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(Cm().CM_Get_Parent(nullptr, machine_->DevInstOf(kMouse), 0), CR_INVALID_POINTER);
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, machine_->DevInstOf(kMouse), 1), CR_INVALID_FLAG);
}

TEST_F(DeviceTree, DeviceIdSizeExcludesTheNulAndASmallBufferIsRefused) {
  const DEVINST mouse = machine_->DevInstOf(kMouse);
  ULONG length = 0;
  ASSERT_EQ(Cm().CM_Get_Device_ID_Size(&length, mouse, 0), CR_SUCCESS);
  EXPECT_EQ(length, std::string(kMouse).size());
  std::vector<char> buffer(length, 'x');
  EXPECT_EQ(Cm().CM_Get_Device_IDA(mouse, buffer.data(), length, 0), CR_BUFFER_SMALL);
  EXPECT_EQ(IdOf(mouse), kMouse);
  EXPECT_EQ(Cm().CM_Get_Device_ID_Size(&length, machine_->DevInstOf(kAbsent), 0), CR_NO_SUCH_DEVNODE);
}

TEST_F(DeviceTree, StatusReflectsProblemOverrideAndFailure) {
  ULONG status = 0;
  ULONG problem = 99;
  ASSERT_EQ(Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf(kMouse), 0), CR_SUCCESS);
  EXPECT_EQ(status, DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER);
  EXPECT_EQ(problem, 0u);

  ASSERT_EQ(Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf(kLowSpeed), 0), CR_SUCCESS);
  EXPECT_EQ(status & DN_HAS_PROBLEM, DN_HAS_PROBLEM);
  EXPECT_EQ(problem, 28u);

  ASSERT_EQ(Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf("USB\\VID_1A2C&PID_0004\\5&4"), 0),
            CR_SUCCESS);
  EXPECT_EQ(status, 25165834u) << "an explicit status wins";

  machine_->FindDevice(kMouse)->statusFails = true;
  EXPECT_EQ(Cm().CM_Get_DevNode_Status(&status, &problem, machine_->DevInstOf(kMouse), 0), CR_NO_SUCH_VALUE);
}

TEST_F(DeviceTree, CmFaultsReturnCrCodesAndAreLoggedWithTheirArguments) {
  DEVINST parent = 0;
  const DEVINST mouse = machine_->DevInstOf(kMouse);
  machine_->InjectFault({"CM_Get_Parent", CR_NO_SUCH_DEVNODE, 0, 1});
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, mouse, 0), CR_NO_SUCH_DEVNODE);
  machine_->InjectFault({"CM_Get_Parent", ERROR_INVALID_PARAMETER, 0, 1});
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, mouse, 0), CR_FAILURE) << "a Win32 error becomes CR_FAILURE";
  EXPECT_EQ(Cm().CM_Get_Parent(&parent, mouse, 0), CR_SUCCESS);
  const auto calls = machine_->CallsTo("CM_Get_Parent");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args, "out, " + std::to_string(mouse) + ", 0x0");
}

}  // namespace
}  // namespace simtest
