// Registry properties and the devices' driver and hardware keys.
#include <cstring>
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

using platform::UniqueDevInfo;
using platform::UniqueDevRegKey;

class DeviceRegistry : public MachineTest {
 protected:
  void SetUp() override {
    lookup_ = UniqueDevInfo(Di().SetupDiCreateDeviceInfoList(nullptr, nullptr));
    ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup_.Get(), kMouse, nullptr, 0, &mouse_));
  }
  void TearDown() override {
    lookup_.Reset();
    MachineTest::TearDown();
  }

  UniqueDevRegKey OpenKey(DWORD keyType, REGSAM access) {
    return UniqueDevRegKey(
        Di().SetupDiOpenDevRegKey(lookup_.Get(), &mouse_, DICS_FLAG_GLOBAL, 0, keyType, access));
  }

  UniqueDevInfo lookup_;
  SP_DEVINFO_DATA mouse_ = Record();
};

TEST_F(DeviceRegistry, PropertyReadsReportTypeAndSizeAsStored) {
  DWORD type = 0;
  DWORD required = 0;
  BYTE buffer[256];
  ASSERT_TRUE(Di().SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_HARDWAREID, &type, buffer,
                                                     sizeof(buffer), &required));
  EXPECT_EQ(type, REG_MULTI_SZ);
  const char multi[] = "USB\\VID_1A2C&PID_0001&REV_0102\0USB\\VID_1A2C&PID_0001\0";  // + the literal's NUL
  const std::string expected(multi, sizeof(multi));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), required), expected);

  ASSERT_TRUE(Di().SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_ADDRESS, &type, buffer, 4,
                                                     &required));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(required, 4u);
  EXPECT_EQ(buffer[0], 1);

  required = 0;
  EXPECT_FALSE(Di().SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_DEVICEDESC, &type, buffer, 3,
                                                      &required));
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, 8u) << "\"Mouse A\" with its NUL";
  EXPECT_EQ(type, REG_SZ);

  EXPECT_FALSE(Di().SetupDiGetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_FRIENDLYNAME, &type, buffer,
                                                      sizeof(buffer), &required));
  EXPECT_EQ(LastError(), ERROR_INVALID_DATA);
}

TEST_F(DeviceRegistry, LowerFiltersAreWrittenAsMultiStringAndDeletedByNullData) {
  const char filters[] = "morvane\0x\0";  // with the literal's NUL: the double NUL
  ASSERT_TRUE(Di().SetupDiSetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_LOWERFILTERS,
                                                     reinterpret_cast<const BYTE*>(filters), sizeof(filters)));
  const sim::RegValue& stored = machine_->FindDevice(kMouse)->properties.at(SPDRP_LOWERFILTERS);
  EXPECT_EQ(stored, sim::RegValue::MultiString({"morvane", "x"}));

  ASSERT_TRUE(Di().SetupDiSetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_LOWERFILTERS, nullptr, 0));
  EXPECT_EQ(machine_->FindDevice(kMouse)->properties.count(SPDRP_LOWERFILTERS), 0u);

  EXPECT_FALSE(Di().SetupDiSetDeviceRegistryPropertyA(lookup_.Get(), &mouse_, SPDRP_SERVICE,
                                                      reinterpret_cast<const BYTE*>("x"), 2));
  EXPECT_EQ(LastError(), ERROR_INVALID_REG_PROPERTY);
}

TEST_F(DeviceRegistry, TypedValuesFollowTheSizeProtocol) {
  UniqueDevRegKey key = OpenKey(DIREG_DRV, KEY_READ);
  ASSERT_TRUE(key);

  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(Reg().RegQueryValueExA(key.Get(), "bInterval", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  DWORD dword = 0;
  size = sizeof(dword);
  ASSERT_EQ(Reg().RegQueryValueExA(key.Get(), "BINTERVAL", nullptr, nullptr, reinterpret_cast<BYTE*>(&dword), &size),
            ERROR_SUCCESS)
      << "value names ignore case";
  EXPECT_EQ(dword, 2u);

  BYTE qword[8] = {};
  size = 4;
  EXPECT_EQ(Reg().RegQueryValueExA(key.Get(), "Big", nullptr, &type, qword, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, REG_QWORD);
  size = sizeof(qword);
  ASSERT_EQ(Reg().RegQueryValueExA(key.Get(), "Big", nullptr, nullptr, qword, &size), ERROR_SUCCESS);
  std::uint64_t value = 0;
  std::memcpy(&value, qword, 8);
  EXPECT_EQ(value, 81985529216486895ull);

  char multi[16] = {};
  size = sizeof(multi);
  ASSERT_EQ(Reg().RegQueryValueExA(key.Get(), "Names", nullptr, &type, reinterpret_cast<BYTE*>(multi), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(multi, size), std::string("a\0bc\0\0", 6));

  size = sizeof(multi);
  EXPECT_EQ(Reg().RegQueryValueExA(key.Get(), "Missing", nullptr, &type, reinterpret_cast<BYTE*>(multi), &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceRegistry, WritesNeedSetValueAccess) {
  const DWORD eight = 8;
  {
    UniqueDevRegKey readOnly = OpenKey(DIREG_DRV, KEY_READ);
    EXPECT_EQ(Reg().RegSetValueExA(readOnly.Get(), "bInterval", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Reg().RegDeleteValueA(readOnly.Get(), "bInterval"), ERROR_ACCESS_DENIED);
  }
  UniqueDevRegKey key = OpenKey(DIREG_DRV, KEY_ALL_ACCESS);
  ASSERT_EQ(Reg().RegSetValueExA(key.Get(), "bInterval", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(machine_->FindDevice(kMouse)->driverKey->at("bInterval"), sim::RegValue::Dword(8));
  EXPECT_EQ(Reg().RegDeleteValueA(key.Get(), "bInterval"), ERROR_SUCCESS);
  EXPECT_EQ(Reg().RegDeleteValueA(key.Get(), "bInterval"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(machine_->FindDevice(kMouse)->driverKey->count("bInterval"), 0u);
}

TEST_F(DeviceRegistry, MissingKeysAndUnknownHandles) {
  SP_DEVINFO_DATA leaf = Record();
  ASSERT_TRUE(Di().SetupDiOpenDeviceInfoA(lookup_.Get(), kMouseLeaf, nullptr, 0, &leaf));
  const HKEY none = Di().SetupDiOpenDevRegKey(lookup_.Get(), &leaf, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  EXPECT_EQ(none, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(LastError(), ERROR_KEY_DOES_NOT_EXIST);

  UniqueDevRegKey hardware = OpenKey(DIREG_DEV, KEY_ALL_ACCESS);
  EXPECT_TRUE(hardware) << "an empty hardware key exists";

  // The hardware profile's keys of a device are other keys, which are not there.
  for (DWORD keyType : {DWORD{DIREG_DEV}, DWORD{DIREG_DRV}}) {
    const HKEY profile = Di().SetupDiOpenDevRegKey(lookup_.Get(), &mouse_, DICS_FLAG_CONFIGSPECIFIC, 0, keyType,
                                                   KEY_READ);
    EXPECT_EQ(profile, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) << keyType;
    EXPECT_EQ(LastError(), ERROR_KEY_DOES_NOT_EXIST) << keyType;
  }

  const HKEY key = OpenKey(DIREG_DRV, KEY_READ).Release();
  EXPECT_EQ(Reg().RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Reg().RegCloseKey(key), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(Reg().RegQueryValueExA(key, "bInterval", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceRegistry, AKeyLeftOpenIsReportedAndRegistryFaultsReturnTheirCode) {
  const HKEY key = OpenKey(DIREG_DRV, KEY_READ).Release();
  EXPECT_NE(machine_->LeakReport().find("registry key"), std::string::npos);
  machine_->InjectFault({"RegQueryValueExA", ERROR_MORE_DATA, 0, 1});
  DWORD size = 0;
  EXPECT_EQ(Reg().RegQueryValueExA(key, "bInterval", nullptr, nullptr, nullptr, &size), ERROR_MORE_DATA);
  EXPECT_EQ(Reg().RegQueryValueExA(key, "bInterval", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(Reg().RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(machine_->CallsTo("RegQueryValueExA").back().args,
            "h" + std::to_string(reinterpret_cast<std::uintptr_t>(key)) + ", \"bInterval\", null, null, null, out");
}

}  // namespace
}  // namespace simtest
