// The simulated machine's Raw Input: players, registration, the message and the
// buffered reads, device names, and the failures a caller must handle.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

const char* const kGamingMouseHid = "HID\\VID_1A2C&PID_0E24&MI_00&COL01\\9&3A1F2B7C&0&0000";
const char* const kOpticalMouse = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";
const char* const kOpticalMouseHid = "HID\\VID_0461&PID_4D81\\8&1F3E5D7C&0&0000";
const HWND kWindow = reinterpret_cast<HWND>(0x4242);
constexpr UINT kFailed = static_cast<UINT>(-1);

class SimRawInput : public ::testing::Test {
 protected:
  SimRawInput() : machine_(sim::Machine::Default()), backend_(machine_->Backend()) {}

  platform::IRawInput& api() { return *backend_.rawInput; }
  sim::RawInputServices& raw() { return machine_->RawInput(); }

  BOOL Register(DWORD flags, HWND target) {
    RAWINPUTDEVICE mice{1, 2, flags, target};
    return api().RegisterRawInputDevices(&mice, 1, sizeof mice);
  }
  void Play(const std::string& device, std::uint32_t rate, LONGLONG start = 1) {
    sim::RawInputStream s;
    s.device = device;
    s.rate = rate;
    s.start = start;
    raw().Play(s);
  }
  DWORD LastError() { return backend_.system->GetLastError(); }

  std::unique_ptr<sim::Machine> machine_;
  platform::Backend backend_;
};

TEST_F(SimRawInput, TheMiceAreListedWithTheNamesOfTheirHidNodes) {
  UINT count = 0;
  EXPECT_EQ(api().GetRawInputDeviceList(nullptr, &count, sizeof(RAWINPUTDEVICELIST)), 0u);
  ASSERT_EQ(count, 2u);  // the gaming mouse's collection and the optical mouse
  std::vector<RAWINPUTDEVICELIST> list(count);
  UINT small = 1;
  EXPECT_EQ(api().GetRawInputDeviceList(list.data(), &small, sizeof(RAWINPUTDEVICELIST)), kFailed);
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small, 2u);
  ASSERT_EQ(api().GetRawInputDeviceList(list.data(), &count, sizeof(RAWINPUTDEVICELIST)), 2u);
  EXPECT_EQ(list[1].hDevice, raw().DeviceHandle(kOpticalMouseHid));
  EXPECT_EQ(list[1].dwType, RIM_TYPEMOUSE);

  const std::string expected = "\\\\?\\HID#VID_0461&PID_4D81#8&1F3E5D7C&0&0000#{378DE44C-56EF-11D1-BC8C-00A0C91405DD}";
  UINT chars = 0;
  EXPECT_EQ(api().GetRawInputDeviceInfoA(list[1].hDevice, RIDI_DEVICENAME, nullptr, &chars), 0u);
  EXPECT_EQ(chars, expected.size() + 1);
  std::vector<char> name(chars);
  UINT tooSmall = chars - 1;
  EXPECT_EQ(api().GetRawInputDeviceInfoA(list[1].hDevice, RIDI_DEVICENAME, name.data(), &tooSmall), kFailed);
  EXPECT_EQ(tooSmall, chars);
  EXPECT_EQ(api().GetRawInputDeviceInfoA(list[1].hDevice, RIDI_DEVICENAME, name.data(), &chars), chars);
  EXPECT_EQ(std::string(name.data()), expected);
  EXPECT_EQ(api().GetRawInputDeviceInfoA(reinterpret_cast<HANDLE>(0x99), RIDI_DEVICENAME, nullptr, &chars), kFailed);
  EXPECT_EQ(LastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SimRawInput, RegistrationIsCheckedAsTheSystemDoes) {
  RAWINPUTDEVICE mice{1, 2, RIDEV_INPUTSINK, kWindow};
  EXPECT_FALSE(api().RegisterRawInputDevices(&mice, 1, sizeof mice - 1));
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Register(RIDEV_INPUTSINK, nullptr));  // a sink needs its window
  EXPECT_FALSE(Register(RIDEV_REMOVE, kWindow));     // removing takes no window
  EXPECT_FALSE(raw().IsRegistered(1, 2));
  EXPECT_TRUE(Register(RIDEV_INPUTSINK, kWindow));
  EXPECT_TRUE(raw().IsRegistered(1, 2));
  EXPECT_TRUE(Register(RIDEV_REMOVE, nullptr));
  EXPECT_FALSE(raw().IsRegistered(1, 2));
}

TEST_F(SimRawInput, ReportsComeOnlyWhileRegisteredAndInTimeOrder) {
  Play(kGamingMouseHid, 1000);
  Play(kOpticalMouse, 500);  // a USB device plays through its mouse node
  raw().Advance(50'000);
  EXPECT_EQ(raw().PendingCount(), 0u);  // nobody listens: lost
  ASSERT_TRUE(Register(RIDEV_INPUTSINK, kWindow));
  raw().Advance(20'000);  // 2 ms: gaming reports at 5 and 6 ms, optical at 6 ms
  std::vector<HANDLE> order;
  std::vector<HRAWINPUT> messages;
  while (HRAWINPUT input = raw().NextMessage()) {
    RAWINPUT record{};
    UINT size = sizeof record;
    ASSERT_EQ(api().GetRawInputData(input, RID_INPUT, &record, &size, sizeof(RAWINPUTHEADER)), sizeof record);
    EXPECT_EQ(record.header.dwType, RIM_TYPEMOUSE);
    EXPECT_EQ(record.data.mouse.lLastX, 1);
    order.push_back(record.header.hDevice);
    messages.push_back(input);
  }
  const HANDLE gaming = raw().DeviceHandle(kGamingMouseHid);
  const HANDLE optical = raw().DeviceHandle(kOpticalMouseHid);
  EXPECT_EQ(order, (std::vector<HANDLE>{gaming, gaming, optical}));
  // A message's handle is good only while it is the current one.
  UINT size = sizeof(RAWINPUTHEADER);
  RAWINPUTHEADER header{};
  EXPECT_EQ(api().GetRawInputData(messages.front(), RID_HEADER, &header, &size, sizeof header), kFailed);
  EXPECT_EQ(LastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SimRawInput, TheBufferedReadFillsAlignedRecordsAndRefusesATooSmallBuffer) {
  ASSERT_TRUE(Register(RIDEV_INPUTSINK, kWindow));
  Play(kGamingMouseHid, 8000, raw().Now() + 1);
  raw().Advance(10'000);  // 1 ms: 8 reports
  UINT size = 0;
  EXPECT_EQ(api().GetRawInputBuffer(nullptr, &size, sizeof(RAWINPUTHEADER)), 0u);
  EXPECT_EQ(size, sizeof(RAWINPUT));
  std::vector<std::uint64_t> buffer(64);
  size = sizeof(RAWINPUT) - 1;
  EXPECT_EQ(api().GetRawInputBuffer(reinterpret_cast<PRAWINPUT>(buffer.data()), &size, sizeof(RAWINPUTHEADER)),
            kFailed);
  EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER);
  size = 5 * sizeof(RAWINPUT);
  EXPECT_EQ(api().GetRawInputBuffer(reinterpret_cast<PRAWINPUT>(buffer.data()), &size, sizeof(RAWINPUTHEADER)), 5u);
  const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
  for (int i = 0; i < 5; ++i) {
    RAWINPUTHEADER header{};
    std::memcpy(&header, bytes + i * ((sizeof(RAWINPUT) + 7) & ~std::size_t{7}), sizeof header);
    EXPECT_EQ(header.dwSize, sizeof(RAWINPUT));
    EXPECT_EQ(header.hDevice, raw().DeviceHandle(kGamingMouseHid));
  }
  EXPECT_EQ(raw().PendingCount(), 3u);
  EXPECT_EQ(api().GetRawInputBuffer(reinterpret_cast<PRAWINPUT>(buffer.data()), &size, 16 + 1), kFailed);
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SimRawInput, AFullQueueDropsAndCounts) {
  ASSERT_TRUE(Register(RIDEV_INPUTSINK, kWindow));
  Play(kGamingMouseHid, 8000, raw().Now() + 1);
  raw().Advance(20'000'000);  // 2 s unread: 16,000 reports
  EXPECT_EQ(raw().PendingCount(), sim::RawInputServices::QueueLimit);
  EXPECT_EQ(raw().DroppedCount(), 16000u - sim::RawInputServices::QueueLimit);
}

TEST_F(SimRawInput, TheCounterIsTheSimulatedOneOrTheClockHandedIn) {
  LARGE_INTEGER value{};
  raw().SetCounter(5);
  raw().Advance(7);
  ASSERT_TRUE(api().QueryPerformanceCounter(&value));
  EXPECT_EQ(value.QuadPart, 12);
  ASSERT_TRUE(api().QueryPerformanceFrequency(&value));
  EXPECT_EQ(value.QuadPart, 10'000'000);
  raw().UseClock([] { return LONGLONG{0x7FFF'FFFF'0000'0000}; }, 3'000'000'000);
  ASSERT_TRUE(api().QueryPerformanceCounter(&value));
  EXPECT_EQ(value.QuadPart, 0x7FFF'FFFF'0000'0000);
  ASSERT_TRUE(api().QueryPerformanceFrequency(&value));
  EXPECT_EQ(value.QuadPart, 3'000'000'000);
  EXPECT_THROW(Play("USB\\VID_DEAD&PID_BEEF\\1", 1000), std::invalid_argument);
}

TEST(SimRawInputStreams, AreReadFromRateAndInstanceIdPairs) {
  const auto streams = sim::ParseRawInputStreams("1000:USB\\VID_1&PID_2\\3;;8000:HID\\X&Y:Z\\1");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].rate, 1000u);
  EXPECT_EQ(streams[0].device, "USB\\VID_1&PID_2\\3");
  EXPECT_EQ(streams[1].rate, 8000u);
  EXPECT_EQ(streams[1].device, "HID\\X&Y:Z\\1");  // only the first colon separates
  EXPECT_TRUE(sim::ParseRawInputStreams("").empty());
  for (const char* bad : {"1000", "0:USB\\1", "x:USB\\1", "1000:", ":USB\\1", "99999999:USB\\1"}) {
    EXPECT_THROW(sim::ParseRawInputStreams(bad), std::invalid_argument) << bad;
  }
}

}  // namespace
