// The device access layer and the device record against Wine's SetupAPI, CfgMgr32
// and registry, through the real backend.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "platform/handles.h"
#include "platform/win32/win32_backend.h"

namespace {

using namespace morvane;

// Wine's monitor node exposes the monitor interface and nothing of USB.
constexpr const char* kMonitorId = "DISPLAY\\DEFAULT_MONITOR\\0000&0000";
constexpr GUID kMonitorInterface = {0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}};

struct Element {
  SP_DEVINFO_DATA data{};
  std::string instanceId;
};

class WineDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_.Reset(platform::DeviceInstall().SetupDiGetClassDevsA(nullptr, nullptr, nullptr,
                                                              DIGCF_ALLCLASSES | DIGCF_PRESENT));
    ASSERT_TRUE(set_.IsValid());
    for (DWORD index = 0;; ++index) {
      Element element;
      element.data.cbSize = sizeof(SP_DEVINFO_DATA);
      if (!platform::DeviceInstall().SetupDiEnumDeviceInfo(set_.Get(), index, &element.data)) break;
      char id[1024] = {};
      DWORD required = 0;
      ASSERT_TRUE(platform::DeviceInstall().SetupDiGetDeviceInstanceIdA(set_.Get(), &element.data, id, sizeof(id),
                                                                        &required));
      element.instanceId = id;
      elements_.push_back(element);
    }
    ASSERT_FALSE(elements_.empty());
  }

  Element* Find(const std::string& instanceId) {
    for (Element& element : elements_) {
      if (element.instanceId == instanceId) return &element;
    }
    return nullptr;
  }

  // A property read straight from the platform, with its own buffer.
  std::optional<std::vector<BYTE>> RawProperty(Element& element, DWORD property) {
    std::vector<BYTE> buffer(4096);
    DWORD type = 0;
    DWORD required = 0;
    if (!platform::DeviceInstall().SetupDiGetDeviceRegistryPropertyA(set_.Get(), &element.data, property, &type,
                                                                    buffer.data(), 4096, &required)) {
      return std::nullopt;
    }
    buffer.resize(required);
    return buffer;
  }

  std::string RawString(Element& element, DWORD property) {
    auto raw = RawProperty(element, property);
    if (!raw || raw->empty()) return {};
    return std::string(reinterpret_cast<const char*>(raw->data()));
  }

  platform::ScopedBackend scope_{platform::win32::RealBackend()};
  platform::UniqueDevInfo set_;
  std::vector<Element> elements_;
};

TEST_F(WineDevicesTest, InstanceIdsNamesAndEnumeratorsOfEveryPresentDevice) {
  for (Element& element : elements_) {
    SCOPED_TRACE(element.instanceId);
    EXPECT_EQ(GetInstanceId(set_.Get(), element.data), element.instanceId);

    const std::string description = RawString(element, SPDRP_DEVICEDESC);
    const std::string friendly = RawString(element, SPDRP_FRIENDLYNAME);
    EXPECT_EQ(GetDeviceDescription(set_.Get(), element.data), description);
    std::string expected = description;
    if (!friendly.empty()) {
      expected = (!description.empty() && friendly.find(description) != std::string::npos)
                     ? friendly
                     : description + " - " + friendly;
    }
    EXPECT_EQ(GetDisplayName(set_.Get(), element.data), expected);

    // Wine reports no enumerator property: the name comes from the instance ID.
    const std::string enumerator = RawString(element, SPDRP_ENUMERATOR_NAME);
    const std::string fromId = element.instanceId.substr(0, element.instanceId.find('\\'));
    EXPECT_EQ(GetEnumeratorName(set_.Get(), element.data), enumerator.empty() ? fromId : enumerator);
  }
  Element* monitor = Find(kMonitorId);
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(GetEnumeratorName(set_.Get(), monitor->data), "DISPLAY");
  EXPECT_EQ(GetDisplayName(set_.Get(), monitor->data), "Generic Non-PnP Monitor");
}

TEST_F(WineDevicesTest, OpeningADevInstIntoALookupSetFillsItsRecord) {
  platform::UniqueDevInfo lookup(platform::DeviceInstall().SetupDiCreateDeviceInfoList(nullptr, nullptr));
  ASSERT_TRUE(lookup.IsValid());
  for (Element& element : elements_) {
    SCOPED_TRACE(element.instanceId);
    SP_DEVINFO_DATA opened{};
    ASSERT_TRUE(OpenDevInstInfo(lookup.Get(), element.data.DevInst, opened));
    EXPECT_EQ(opened.cbSize, sizeof(SP_DEVINFO_DATA));
    // Wine numbers nodes per set, so the handle itself may differ; it names the same node.
    char id[1024] = {};
    ASSERT_EQ(platform::ConfigManager().CM_Get_Device_IDA(opened.DevInst, id, sizeof(id), 0), CR_SUCCESS);
    EXPECT_EQ(std::string(id), element.instanceId);
    EXPECT_TRUE(IsEqualGUID(opened.ClassGuid, element.data.ClassGuid));
    // The record belongs to the lookup set and answers there.
    EXPECT_EQ(GetInstanceId(lookup.Get(), opened), element.instanceId);
  }
  // The lookup set now holds every device once.
  SP_DEVINFO_DATA member{};
  member.cbSize = sizeof(member);
  EXPECT_TRUE(platform::DeviceInstall().SetupDiEnumDeviceInfo(lookup.Get(), 0, &member));
}

TEST_F(WineDevicesTest, NodeStatusOfPresentDevicesIsReadable) {
  for (Element& element : elements_) {
    SCOPED_TRACE(element.instanceId);
    ULONG problem = 12345;
    const ULONG status = GetDevNodeStatus(element.data.DevInst, problem);
    EXPECT_NE(status, 0xFFFFFFFFu);
    EXPECT_NE(problem, 0xFFFFFFFFu);
    EXPECT_EQ(DevNodeHasProblem(element.data.DevInst), (status & DN_HAS_PROBLEM) != 0 && problem != 0);
  }
}

TEST_F(WineDevicesTest, InterfaceTestsMatchTheExactInstanceId) {
  ASSERT_NE(Find(kMonitorId), nullptr);
  EXPECT_TRUE(InstanceHasInterface(kMonitorId, kMonitorInterface));
  const std::string path = GetInterfacePath(kMonitorId, kMonitorInterface);
  EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;

  // The platform reports the ID in its own spelling, which a lower-cased ID misses.
  const std::string lowerCased = "display\\default_monitor\\0000&0000";
  EXPECT_FALSE(InstanceHasInterface(lowerCased, kMonitorInterface));
  EXPECT_EQ(GetInterfacePath(lowerCased, kMonitorInterface), "");
  EXPECT_FALSE(InstanceHasInterface("", kMonitorInterface));
}

TEST_F(WineDevicesTest, ADeviceWithoutTheInterfaceHasNoPathAndNoHandle) {
  for (const GUID& interfaceClass : {GUID_DEVINTERFACE_USB_HUB, GUID_DEVINTERFACE_USB_DEVICE}) {
    EXPECT_FALSE(InstanceHasInterface(kMonitorId, interfaceClass));
    EXPECT_EQ(GetInterfacePath(kMonitorId, interfaceClass), "");
    HANDLE handle = OpenInterfaceHandle(kMonitorId, interfaceClass);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) platform::Files().CloseHandle(handle);
  }
}

TEST_F(WineDevicesTest, RegistryPropertyReadsFollowTheReportedSize) {
  Element* monitor = Find(kMonitorId);
  ASSERT_NE(monitor, nullptr);
  auto raw = RawProperty(*monitor, SPDRP_HARDWAREID);
  ASSERT_TRUE(raw.has_value());
  // A multi-string comes back as its entries with their NULs, the list terminator dropped.
  const std::string expected(reinterpret_cast<const char*>(raw->data()), raw->size() - 1);
  EXPECT_EQ(GetRegistryPropertyString(set_.Get(), monitor->data, SPDRP_HARDWAREID), expected);
  EXPECT_EQ(GetRegistryPropertyString(set_.Get(), monitor->data, SPDRP_LOWERFILTERS), "");
  EXPECT_EQ(GetRegistryPropertyDword(set_.Get(), monitor->data, SPDRP_LOWERFILTERS), 0u);
}

// The lower-filter property and the driver key's "bInterval" of a real node are
// written, read and removed, and the node is left as it was found.
class WineSettingsTest : public WineDevicesTest {
 protected:
  void SetUp() override {
    WineDevicesTest::SetUp();
    monitor_ = Find(kMonitorId);
    ASSERT_NE(monitor_, nullptr);
    originalFilters_ = RawProperty(*monitor_, SPDRP_LOWERFILTERS);
    device_.emplace(set_.Get(), monitor_->data, set_.Get());
    originalInterval_ = device_->GetOverrideInterval();
  }
  void TearDown() override {
    if (!device_) return;
    device_->SetOverrideInterval(originalInterval_);
    if (originalFilters_) {
      platform::DeviceInstall().SetupDiSetDeviceRegistryPropertyA(set_.Get(), &monitor_->data, SPDRP_LOWERFILTERS,
                                                                  originalFilters_->data(),
                                                                  static_cast<DWORD>(originalFilters_->size()));
    } else {
      DeleteStoredLowerFilters();
    }
    EXPECT_EQ(RawProperty(*monitor_, SPDRP_LOWERFILTERS), originalFilters_);
    EXPECT_EQ(device_->GetOverrideInterval(), originalInterval_);
  }

  // Where Windows deletes the property for no data, Wine stores an empty value; the
  // test removes that value from the node's key itself to leave the node as found.
  void DeleteStoredLowerFilters() {
    const std::string path = "System\\CurrentControlSet\\Enum\\" + monitor_->instanceId;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    ::RegDeleteValueA(key, "LowerFilters");
    ::RegCloseKey(key);
  }

  // Absent (Windows) or stored empty (Wine).
  bool HasNoLowerFilters() {
    auto raw = RawProperty(*monitor_, SPDRP_LOWERFILTERS);
    return !raw || raw->empty();
  }

  // A record with empty caches, as after a rebuild of the list.
  TDevice Fresh() { return TDevice(set_.Get(), monitor_->data, set_.Get()); }

  Element* monitor_ = nullptr;
  std::optional<std::vector<BYTE>> originalFilters_;
  DWORD originalInterval_ = 0;
  std::optional<TDevice> device_;
};

TEST_F(WineSettingsTest, AttachingAndDetachingTheFilterKeepsOtherFilters) {
  std::vector<std::string> filters = {"winefilt", "Other2", ""};
  device_->SetLowerFilters(filters);
  EXPECT_EQ(filters, (std::vector<std::string>{"winefilt", "Other2"}));
  const char stored[] = "winefilt\0Other2\0";
  EXPECT_EQ(RawProperty(*monitor_, SPDRP_LOWERFILTERS), std::vector<BYTE>(stored, stored + sizeof(stored)));

  device_->SetFilterInstalled(true);
  EXPECT_EQ(device_->GetLowerFilters(), (std::vector<std::string>{"morvane", "winefilt", "Other2"}));
  EXPECT_TRUE(Fresh().IsFilterInstalled());
  EXPECT_EQ(device_->GetLowerFiltersText(), "morvane,winefilt,Other2");

  device_->SetFilterInstalled(false);
  EXPECT_EQ(RawProperty(*monitor_, SPDRP_LOWERFILTERS), std::vector<BYTE>(stored, stored + sizeof(stored)));
  EXPECT_FALSE(Fresh().IsFilterInstalled());
}

TEST_F(WineSettingsTest, DetachingTheLastFilterRemovesTheProperty) {
  std::vector<std::string> none;
  device_->SetLowerFilters(none);
  ASSERT_TRUE(HasNoLowerFilters());
  device_->SetFilterInstalled(true);
  const char stored[] = "morvane\0";
  EXPECT_EQ(RawProperty(*monitor_, SPDRP_LOWERFILTERS), std::vector<BYTE>(stored, stored + sizeof(stored)));
  device_->SetFilterInstalled(false);
  EXPECT_TRUE(HasNoLowerFilters());
  EXPECT_EQ(device_->GetLowerFilters(), std::vector<std::string>{});
}

TEST_F(WineSettingsTest, TheOverrideIsWrittenReadAndRemovedInTheDriverKey) {
  device_->SetOverrideInterval(8);
  EXPECT_EQ(Fresh().GetOverrideInterval(), 8u);
  {
    platform::UniqueDevRegKey key(platform::DeviceInstall().SetupDiOpenDevRegKey(
        set_.Get(), &monitor_->data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    ASSERT_TRUE(key.IsValid());
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    ASSERT_EQ(platform::Registry().RegQueryValueExA(key.Get(), "bInterval", nullptr, &type,
                                                    reinterpret_cast<LPBYTE>(&value), &size),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 8u);
  }
  device_->SetOverrideInterval(0);
  EXPECT_EQ(Fresh().GetOverrideInterval(), 0u);
  EXPECT_EQ(GetDevRegString(set_.Get(), monitor_->data, DIREG_DRV, "bInterval"), "");
}

}  // namespace
