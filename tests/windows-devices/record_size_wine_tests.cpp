// The SetupAPI records carry the sizes of the program's own bitness, and Windows
// (here Wine) accepts only those: a 32-bit build that filled in the 64-bit sizes would
// enumerate nothing and find no interface path.
#include <gtest/gtest.h>

#include <string>

#include "devaccess/DevAccess.h"
#include "platform/handles.h"
#include "platform/win32/win32_backend.h"
#include "tests/common/wine_prefix.h"

namespace {

using namespace morvane;

constexpr const char* kMonitorId = "DISPLAY\\DEFAULT_MONITOR\\0000&0000";
constexpr GUID kMonitorInterface = {0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}};

struct RecordSizes {
  DWORD devInfo;
  DWORD interfaceData;
  DWORD interfaceDetail;
};
constexpr RecordSizes kThirtyTwoBit{28, 28, 5};
constexpr RecordSizes kSixtyFourBit{32, 32, 8};
constexpr RecordSizes kOwn = test::IsThirtyTwoBitBuild() ? kThirtyTwoBit : kSixtyFourBit;
constexpr RecordSizes kOther = test::IsThirtyTwoBitBuild() ? kSixtyFourBit : kThirtyTwoBit;

static_assert(sizeof(SP_DEVINFO_DATA) == kOwn.devInfo);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kOwn.interfaceData);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kOwn.interfaceDetail);

class RecordSizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_.Reset(platform::DeviceInstall().SetupDiGetClassDevsA(&kMonitorInterface, nullptr, nullptr,
                                                              DIGCF_DEVICEINTERFACE | DIGCF_PRESENT));
    ASSERT_TRUE(set_.IsValid());
  }
  platform::ScopedBackend scope_{platform::win32::RealBackend()};
  platform::UniqueDevInfo set_;
};

TEST_F(RecordSizeTest, EnumerationAcceptsOnlyThisBitnessDeviceRecord) {
  SP_DEVINFO_DATA data{};
  data.cbSize = kOther.devInfo;
  EXPECT_FALSE(platform::DeviceInstall().SetupDiEnumDeviceInfo(set_.Get(), 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "cbSize " << kOther.devInfo;

  data.cbSize = kOwn.devInfo;
  EXPECT_TRUE(platform::DeviceInstall().SetupDiEnumDeviceInfo(set_.Get(), 0, &data)) << GetLastError();
}

TEST_F(RecordSizeTest, InterfacesAndTheirDetailAcceptOnlyThisBitnessRecords) {
  SP_DEVICE_INTERFACE_DATA member{};
  member.cbSize = kOther.interfaceData;
  EXPECT_FALSE(platform::DeviceInstall().SetupDiEnumDeviceInterfaces(set_.Get(), nullptr, &kMonitorInterface, 0,
                                                                     &member));
  // Windows says ERROR_INVALID_USER_BUFFER; Wine says ERROR_INVALID_PARAMETER.
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_INVALID_USER_BUFFER || error == ERROR_INVALID_PARAMETER)
      << "cbSize " << kOther.interfaceData << ": error " << error;

  member.cbSize = kOwn.interfaceData;
  ASSERT_TRUE(platform::DeviceInstall().SetupDiEnumDeviceInterfaces(set_.Get(), nullptr, &kMonitorInterface, 0,
                                                                    &member))
      << GetLastError();
  alignas(8) BYTE block[512] = {};
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block);
  detail->cbSize = kOther.interfaceDetail;
  EXPECT_FALSE(platform::DeviceInstall().SetupDiGetDeviceInterfaceDetailA(set_.Get(), &member, detail,
                                                                          sizeof(block), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "cbSize " << kOther.interfaceDetail;
}

// The device access layer fills the records itself: the path of the monitor's
// interface is found only when all three sizes are right.
TEST_F(RecordSizeTest, TheDeviceAccessLayerFindsTheInterfacePath) {
  EXPECT_TRUE(InstanceHasInterface(kMonitorId, kMonitorInterface));
  const std::string path = GetInterfacePath(kMonitorId, kMonitorInterface);
  EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << "path \"" << path << "\"";
}

}  // namespace
