// The rate override and the lower-filter list on both platform families, and the
// restart request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "tests/devices/sim_machine.h"

namespace {

using namespace morvane;
using namespace devtest;
using Filters = std::vector<std::string>;

class SettingsTest : public SimMachineTest {
 protected:
  // The mouse with its port answering at the given speed (255: hub not reachable).
  TDevice& MouseAt(BYTE speed) {
    sim::MachineModel model = UsbMachine();
    for (sim::Device& device : model.devices) {
      if (device.instanceId == kRootHub) {
        device.hub->connections.at(0).speed = speed;
        if (speed == kSpeedUnknown) device.interfaces.clear();
      }
    }
    model.system.platformId = platformId_;
    Load(model);
    return Device(kMouse);
  }

  sim::ValueMap& DriverKey() { return *Model(kMouse).driverKey; }
  sim::ValueMap& HardwareKey() { return *Model(kMouse).hardwareKey; }

  std::optional<DWORD> StoredInterval() {
    auto it = DriverKey().find("bInterval");
    if (it == DriverKey().end()) return std::nullopt;
    EXPECT_EQ(it->second.type, REG_DWORD);
    DWORD value = 0;
    std::memcpy(&value, it->second.data.data(), std::min<std::size_t>(4, it->second.data.size()));
    return value;
  }

  // The stored lower-filter bytes of the family in use; nullopt when absent.
  std::optional<std::vector<BYTE>> StoredFilters() {
    sim::Device& mouse = Model(kMouse);
    if (platformId_ == VER_PLATFORM_WIN32_NT) {
      auto it = mouse.properties.find(SPDRP_LOWERFILTERS);
      if (it == mouse.properties.end()) return std::nullopt;
      return it->second.data;
    }
    auto it = mouse.hardwareKey->find("LowerFilters");
    if (it == mouse.hardwareKey->end()) return std::nullopt;
    EXPECT_EQ(it->second.type, REG_MULTI_SZ);
    return it->second.data;
  }

  void StoreFilters(const std::vector<BYTE>& bytes) {
    sim::RegValue value = sim::RegValue::Binary(bytes, REG_MULTI_SZ);
    if (platformId_ == VER_PLATFORM_WIN32_NT) {
      Model(kMouse).properties[SPDRP_LOWERFILTERS] = value;
    } else {
      HardwareKey()["LowerFilters"] = value;
    }
  }
  void StoreFilters(const Filters& entries) { StoreFilters(sim::RegValue::MultiString(entries).data); }

  // The buffer sizes passed by the reads of the lower-filter list, in order.
  std::vector<std::string> FilterReadSizes() {
    const bool nt = platformId_ == VER_PLATFORM_WIN32_NT;
    std::vector<std::string> sizes;
    for (const sim::Call& call : machine_->CallsTo(nt ? "SetupDiGetDeviceRegistryPropertyA" : "RegQueryValueExA")) {
      std::vector<std::string> fields;
      for (std::size_t start = 0;;) {
        const std::size_t comma = call.args.find(", ", start);
        fields.push_back(call.args.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 2;
      }
      const bool lowerFilters = nt ? fields.at(2) == "18" : fields.at(1) == "\"LowerFilters\"";
      if (lowerFilters) sizes.push_back(fields.at(4));
    }
    return sizes;
  }

  std::size_t Writes() {
    return Count("SetupDiSetDeviceRegistryPropertyA") + Count("RegSetValueExA") + Count("RegDeleteValueA");
  }

  DWORD platformId_ = VER_PLATFORM_WIN32_NT;
};

// Forwards to the machine and keeps a copy of every class-install parameter block.
class CapturingDeviceInstall final : public ForwardingDeviceInstall {
 public:
  using ForwardingDeviceInstall::ForwardingDeviceInstall;
  std::vector<std::vector<BYTE>> params;

  BOOL SetupDiSetClassInstallParamsA(HDEVINFO s, PSP_DEVINFO_DATA d, PSP_CLASSINSTALL_HEADER p, DWORD n) override {
    const auto* bytes = reinterpret_cast<const BYTE*>(p);
    params.emplace_back(bytes, bytes + n);
    return inner_.SetupDiSetClassInstallParamsA(s, d, p, n);
  }
};

std::vector<BYTE> Bytes(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }

TEST_F(SettingsTest, RateIndexAtLowAndFullSpeedFollowsTheIntervalTable) {
  struct Case {
    DWORD stored;
    DWORD index;
    const char* text;
  };
  for (BYTE speed : {kSpeedLow, kSpeedFull}) {
    for (const Case& c : {Case{0, 0, "Default"}, Case{1, 1, "1000"}, Case{2, 2, "500"}, Case{3, 3, "250"},
                          Case{4, 3, "250"}, Case{5, 4, "125"}, Case{8, 4, "125"}, Case{9, 5, "62"},
                          Case{16, 5, "62"}, Case{17, 6, "31"}, Case{33, 6, "31"}, Case{0xFFFFFFFF, 6, "31"}}) {
      TDevice& mouse = MouseAt(speed);
      if (c.stored != 0) DriverKey()["bInterval"] = sim::RegValue::Dword(c.stored);
      EXPECT_EQ(mouse.GetRate(), c.index) << c.stored;
      EXPECT_EQ(mouse.GetRateText(), c.text) << c.stored;
    }
  }
}

TEST_F(SettingsTest, RateIndexAtHighSpeedIsTheExponent) {
  struct Case {
    BYTE speed;
    DWORD stored;
    DWORD index;
    const char* text;
  };
  for (const Case& c : {Case{2, 3, 3, "2000"}, Case{2, 9, 6, "250"}, Case{3, 1, 1, "8000"}, Case{4, 6, 6, "250"},
                        Case{2, 0, 0, "Default"}, Case{kSpeedUnknown, 4, 4, "1000"},
                        Case{kSpeedUnknown, 0xFFFFFFFF, 6, "250"}}) {
    TDevice& mouse = MouseAt(c.speed);
    if (c.stored != 0) DriverKey()["bInterval"] = sim::RegValue::Dword(c.stored);
    EXPECT_EQ(mouse.GetRate(), c.index) << int(c.speed) << " " << c.stored;
    EXPECT_EQ(mouse.GetRateText(), c.text) << int(c.speed) << " " << c.stored;
  }
}

TEST_F(SettingsTest, SetRateWritesTheSpeedsOverrideAndClearsTheCache) {
  struct Case {
    BYTE speed;
    DWORD index;
    std::optional<DWORD> written;
  };
  for (const Case& c : {Case{1, 4, 8}, Case{0, 1, 1}, Case{1, 9, 32}, Case{2, 4, 4}, Case{2, 9, 6},
                        Case{kSpeedUnknown, 5, 5}, Case{1, 0, std::nullopt}, Case{2, 0, std::nullopt}}) {
    TDevice& mouse = MouseAt(c.speed);
    DriverKey()["bInterval"] = sim::RegValue::Dword(2);
    const DWORD before = mouse.GetRate();
    mouse.SetRate(c.index);
    EXPECT_EQ(StoredInterval(), c.written) << int(c.speed) << " " << c.index;
    const DWORD expected = std::min<DWORD>(c.index, 6);
    EXPECT_EQ(mouse.GetRate(), expected) << int(c.speed) << " " << c.index << " was " << before;
  }
  for (const sim::Call& call : machine_->CallsTo("SetupDiOpenDevRegKey")) {
    EXPECT_THAT(call.args, ::testing::HasSubstr("0xF003F"));
  }
}

// The rate is read from the registry once per device object; only SetRate makes it
// read again. A change written behind its back is not seen until then.
TEST_F(SettingsTest, RateIsReadOnceUntilItIsSet) {
  TDevice& mouse = MouseAt(kSpeedFull);
  DriverKey()["bInterval"] = sim::RegValue::Dword(2);
  machine_->ClearCalls();
  EXPECT_EQ(mouse.GetRate(), 2u);
  const std::size_t opens = machine_->CountCalls("SetupDiOpenDevRegKey");
  EXPECT_EQ(opens, 1u);
  DriverKey()["bInterval"] = sim::RegValue::Dword(8);
  EXPECT_EQ(mouse.GetRate(), 2u);
  EXPECT_EQ(mouse.GetRateText(), "500");
  EXPECT_EQ(machine_->CountCalls("SetupDiOpenDevRegKey"), opens);
  mouse.SetRate(3);
  EXPECT_EQ(mouse.GetRate(), 3u);
  EXPECT_EQ(StoredInterval(), DWORD{4});
}

// The override lives in the device's global driver key; a configuration-specific key
// is another key, which this machine's devices do not have.
TEST_F(SettingsTest, TheOverrideKeyIsOpenedGlobally) {
  TDevice& mouse = MouseAt(kSpeedFull);
  DriverKey()["bInterval"] = sim::RegValue::Dword(2);
  machine_->ClearCalls();
  EXPECT_EQ(mouse.GetOverrideInterval(), 2u);
  mouse.SetRate(4);
  EXPECT_EQ(StoredInterval(), DWORD{8});
  const auto opens = machine_->CallsTo("SetupDiOpenDevRegKey");
  ASSERT_EQ(opens.size(), 2u);
  for (const sim::Call& call : opens) {
    EXPECT_THAT(call.args, ::testing::HasSubstr(", 0x1, 0, 2, ")) << "DICS_FLAG_GLOBAL, profile 0, DIREG_DRV";
  }
}

TEST_F(SettingsTest, OverrideOfTheWrongSizeOrWithoutKeyReadsAsNone) {
  TDevice& mouse = MouseAt(1);
  DriverKey()["bInterval"] = sim::RegValue::Qword(4);
  EXPECT_EQ(mouse.GetOverrideInterval(), 0u);
  DriverKey()["bInterval"] = sim::RegValue::Binary({4, 0});
  EXPECT_EQ(mouse.GetOverrideInterval(), 0u);
  // The stored type is not examined.
  DriverKey()["bInterval"] = sim::RegValue::Binary({4, 0, 0, 0});
  EXPECT_EQ(mouse.GetOverrideInterval(), 4u);

  Model(kMouse).driverKey.reset();
  EXPECT_EQ(mouse.GetOverrideInterval(), 0u);
  mouse.SetOverrideInterval(8);
  EXPECT_FALSE(Model(kMouse).driverKey.has_value());
}

TEST_F(SettingsTest, LowerFiltersSplitIntoEntriesAndJoinWithCommas) {
  TDevice& mouse = MouseAt(1);
  EXPECT_EQ(mouse.GetLowerFilters(), Filters{});
  EXPECT_EQ(mouse.GetLowerFiltersText(), "");
  StoreFilters(Filters{"a", "b"});
  EXPECT_EQ(mouse.GetLowerFilters(), (Filters{"a", "b"}));
  EXPECT_EQ(mouse.GetLowerFiltersText(), "a,b");

  // Two NULs in the middle keep one empty entry; trailing empty entries never appear.
  const std::string stored("a\0\0b\0\0\0", 7);
  StoreFilters(Bytes(stored));
  EXPECT_EQ(mouse.GetLowerFilters(), (Filters{"a", "", "b"}));
  Filters entries = mouse.GetLowerFilters();
  mouse.SetLowerFilters(entries);
  EXPECT_EQ(StoredFilters(), Bytes(std::string("a\0\0b\0\0", 6)));

  Filters trailing = {"x", "", ""};
  mouse.SetLowerFilters(trailing);
  EXPECT_EQ(trailing, Filters{"x"});
  EXPECT_EQ(StoredFilters(), Bytes(std::string("x\0\0", 3)));

  // Line breaks inside the content end entries too.
  StoreFilters(Bytes(std::string("a\r\nb\nc\0\0", 9)));
  EXPECT_EQ(mouse.GetLowerFilters(), (Filters{"a", "b", "c"}));
}

class FilterFamilyTest : public SettingsTest, public ::testing::WithParamInterface<DWORD> {
 protected:
  void SetUp() override { platformId_ = GetParam(); }
  std::string Entry() const { return platformId_ == VER_PLATFORM_WIN32_NT ? "morvane" : "morvane.sys"; }
  std::string MixedCase() const { return platformId_ == VER_PLATFORM_WIN32_NT ? "MorVane" : "MORVANE.Sys"; }
};

TEST_P(FilterFamilyTest, AttachAndDetachKeepOtherFiltersInOrder) {
  TDevice& mouse = MouseAt(1);
  StoreFilters(Filters{"kbdclass", MixedCase(), "mouhid"});
  EXPECT_TRUE(mouse.IsFilterInstalled());
  machine_->ClearCalls();
  mouse.SetFilterInstalled(true);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_TRUE(mouse.IsFilterInstalled());

  mouse.SetFilterInstalled(false);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({"kbdclass", "mouhid"}).data);
  EXPECT_FALSE(mouse.IsFilterInstalled());

  mouse.SetFilterInstalled(true);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({Entry(), "kbdclass", "mouhid"}).data);
  EXPECT_TRUE(mouse.IsFilterInstalled());

  // Every copy goes, in any case.
  StoreFilters(Filters{Entry(), "x", MixedCase()});
  mouse.SetFilterInstalled(false);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({"x"}).data);

  // The other family's spelling is another filter.
  StoreFilters(Filters{platformId_ == VER_PLATFORM_WIN32_NT ? "morvane.sys" : "morvane"});
  EXPECT_FALSE(Device(kMouse).IsFilterInstalled());
}

TEST_P(FilterFamilyTest, RemovingTheLastFilterDeletesTheListAndNothingIsWrittenWithoutChange) {
  TDevice& mouse = MouseAt(1);
  machine_->ClearCalls();
  mouse.SetFilterInstalled(false);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(StoredFilters(), std::nullopt);

  mouse.SetFilterInstalled(true);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({Entry()}).data);
  mouse.SetFilterInstalled(false);
  EXPECT_EQ(StoredFilters(), std::nullopt);
  if (platformId_ == VER_PLATFORM_WIN32_NT) {
    EXPECT_THAT(machine_->CallsTo("SetupDiSetDeviceRegistryPropertyA").back().args,
                ::testing::HasSubstr("null, 0"));
  } else {
    EXPECT_EQ(Count("RegDeleteValueA"), 1u);
  }
}

TEST_P(FilterFamilyTest, ListsLongerThanTheReadBufferSurviveAttachAndDetach) {
  TDevice& mouse = MouseAt(1);
  Filters others;
  for (int i = 0; i < 100; ++i) others.push_back("upperlayer_filter_" + std::to_string(1000 + i));
  const std::vector<BYTE> original = sim::RegValue::MultiString(others).data;
  ASSERT_GT(original.size(), 1500u);
  StoreFilters(original);
  // Read through the 1024-byte buffer first, then once more whole at the size reported.
  machine_->ClearCalls();
  EXPECT_EQ(mouse.GetLowerFilters(), others);
  EXPECT_EQ(FilterReadSizes(), (std::vector<std::string>{"1024", std::to_string(original.size())}));
  EXPECT_FALSE(mouse.IsFilterInstalled());

  mouse.SetFilterInstalled(true);
  Filters attached = others;
  attached.insert(attached.begin(), Entry());
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString(attached).data);
  EXPECT_TRUE(mouse.IsFilterInstalled());

  mouse.SetFilterInstalled(false);
  EXPECT_EQ(StoredFilters(), original);
}

TEST_P(FilterFamilyTest, AShortListIsReadOnceThroughTheFixedBuffer) {
  TDevice& mouse = MouseAt(1);
  StoreFilters(Filters{"kbdclass"});
  machine_->ClearCalls();
  EXPECT_EQ(mouse.GetLowerFilters(), Filters{"kbdclass"});
  EXPECT_EQ(FilterReadSizes(), std::vector<std::string>{"1024"});
}

TEST_P(FilterFamilyTest, AListAboveAMebibyteIsTakenAsBrokenAndNeverRewritten) {
  TDevice& mouse = MouseAt(1);
  std::vector<BYTE> huge = sim::RegValue::MultiString({std::string(1024 * 1024, 'f')}).data;
  StoreFilters(huge);
  machine_->ClearCalls();
  EXPECT_EQ(mouse.GetLowerFilters(), Filters{});
  EXPECT_EQ(FilterReadSizes(), std::vector<std::string>{"1024"});
  mouse.SetFilterInstalled(true);
  mouse.SetFilterInstalled(false);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(StoredFilters(), huge);
}

TEST_P(FilterFamilyTest, AListThatCannotBeReadIsNeverWrittenBack) {
  TDevice& mouse = MouseAt(1);
  StoreFilters(Filters{"kbdclass"});
  const std::string reader =
      platformId_ == VER_PLATFORM_WIN32_NT ? "SetupDiGetDeviceRegistryPropertyA" : "RegQueryValueExA";
  machine_->InjectFault({reader, ERROR_GEN_FAILURE, 0, 1});
  machine_->ClearCalls();
  mouse.SetFilterInstalled(true);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({"kbdclass"}).data);

  // Long list, and the second, full-size read fails.
  Filters others;
  for (int i = 0; i < 100; ++i) others.push_back("filter" + std::to_string(i) + "_with_a_long_name");
  StoreFilters(others);
  machine_->InjectFault({reader, ERROR_GEN_FAILURE, 1, 1});
  mouse.SetFilterInstalled(true);
  mouse.SetFilterInstalled(false);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString(others).data);
}

TEST_F(SettingsTest, A9xHardwareKeyThatCannotBeOpenedForTheReadIsNeverWritten) {
  platformId_ = VER_PLATFORM_WIN32_WINDOWS;
  TDevice& mouse = MouseAt(1);
  StoreFilters(Filters{"ravenflt.sys", "kbdhook.vxd"});
  // The read's key fails to open, the write's would open: the list was not read.
  machine_->InjectFault({"SetupDiOpenDevRegKey", ERROR_GEN_FAILURE, 0, 1});
  machine_->ClearCalls();
  mouse.SetFilterInstalled(true);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({"ravenflt.sys", "kbdhook.vxd"}).data);
  machine_->InjectFault({"SetupDiOpenDevRegKey", ERROR_GEN_FAILURE, 0, 1});
  EXPECT_EQ(mouse.GetLowerFilters(), Filters{}) << "it still reads as no list";
  mouse.SetFilterInstalled(true);
  EXPECT_EQ(StoredFilters(), sim::RegValue::MultiString({"morvane.sys", "ravenflt.sys", "kbdhook.vxd"}).data);
}

INSTANTIATE_TEST_SUITE_P(Families, FilterFamilyTest,
                         ::testing::Values(VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                           return info.param == VER_PLATFORM_WIN32_NT ? std::string("NT") : std::string("Win9x");
                         });

TEST_F(SettingsTest, FilterStateIsCachedUntilSetFilterInstalled) {
  TDevice& mouse = MouseAt(1);
  EXPECT_FALSE(mouse.IsFilterInstalled());
  StoreFilters(Filters{"morvane"});
  EXPECT_FALSE(mouse.IsFilterInstalled());
  std::vector<std::string> none;
  mouse.SetLowerFilters(none);
  EXPECT_FALSE(mouse.IsFilterInstalled());
  mouse.SetFilterInstalled(true);
  EXPECT_TRUE(mouse.IsFilterInstalled());
}

TEST_F(SettingsTest, RestartSendsAPropertyChangeToTheClassInstaller) {
  TDevice& mouse = MouseAt(1);
  machine_->ClearCalls();
  platform::Backend backend = machine_->Backend();
  CapturingDeviceInstall capture(*backend.deviceInstall);
  backend.deviceInstall = &capture;
  {
    platform::ScopedBackend captured(backend);
    mouse.RestartDevice();
  }
  // cbSize 8, DIF_PROPERTYCHANGE, DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC, profile 0.
  const std::vector<BYTE> expected = {8, 0, 0, 0, 0x12, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(capture.params.size(), 1u);
  EXPECT_EQ(capture.params[0], expected);
  const auto installer = machine_->CallsTo("SetupDiCallClassInstaller");
  ASSERT_EQ(installer.size(), 1u);
  EXPECT_THAT(installer[0].args, ::testing::HasSubstr("0x12"));
  EXPECT_EQ(machine_->RestartCount(kMouse), 1u);

  TDevice& again = Device(kMouse);
  machine_->InjectFault({"SetupDiSetClassInstallParamsA", ERROR_INVALID_PARAMETER, 0, 1});
  machine_->ClearCalls();
  again.RestartDevice();
  EXPECT_EQ(Count("SetupDiCallClassInstaller"), 0u);
  EXPECT_EQ(machine_->RestartCount(kMouse), 1u);
}

}  // namespace
