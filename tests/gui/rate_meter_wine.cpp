// Raw Input of the system itself (under Wine) while the test moves the pointer: for
// the seconds given on the command line, every WM_INPUT of a mouse is timed with the
// performance counter into a TRateMeter of its own, and handed to the rate meter's
// logic aimed at the first mouse the system lists. Prints, one per line:
//   messages <n>, device <first report's device handle>, name <its raw-input name>,
//   listed <mice in GetRawInputDeviceList>, rate <n>, median <ms>, count <n>,
//   meter-count <n>, meter-ignored <n>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "ratemeter/RateMeter.h"
#include "setup/RateMeterF.h"

namespace {

morvane::TfrmRateMeter* meter = nullptr;
morvane::TRateMeter* all = nullptr;
long messages = 0;
HANDLE firstDevice = nullptr;

std::string NameOf(HANDLE device) {
  UINT chars = 0;
  if (::GetRawInputDeviceInfoA(device, RIDI_DEVICENAME, nullptr, &chars) == UINT(-1) || chars == 0) return "";
  std::string name(chars + 1, '\0');
  if (::GetRawInputDeviceInfoA(device, RIDI_DEVICENAME, name.data(), &chars) == UINT(-1)) return "";
  return name.c_str();
}

LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INPUT && meter != nullptr) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    RAWINPUTHEADER header{};
    UINT size = sizeof header;
    if (::GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_HEADER, &header, &size, sizeof header) ==
            sizeof header &&
        header.dwType == RIM_TYPEMOUSE) {
      if (messages++ == 0) firstDevice = header.hDevice;
      all->AddReport(now.QuadPart);
    }
    meter->OnInput(reinterpret_cast<HRAWINPUT>(lParam));
  }
  if (message == WM_TIMER && meter != nullptr) meter->OnTimer();
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

std::vector<HANDLE> ListedMice() {
  UINT count = 0;
  ::GetRawInputDeviceList(nullptr, &count, sizeof(RAWINPUTDEVICELIST));
  std::vector<RAWINPUTDEVICELIST> list(count);
  std::vector<HANDLE> mice;
  if (count == 0 || ::GetRawInputDeviceList(list.data(), &count, sizeof(RAWINPUTDEVICELIST)) == UINT(-1)) return mice;
  for (const RAWINPUTDEVICELIST& d : list) {
    if (d.dwType == RIM_TYPEMOUSE) mice.push_back(d.hDevice);
  }
  return mice;
}

}  // namespace

int main(int argc, char** argv) {
  platform::Install(platform::win32::RealBackend());
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::vector<HANDLE> mice = ListedMice();

  morvane::TMeterTarget target;
  target.Name = "first mouse";
  if (!mice.empty()) target.ChildIds = {morvane::InstanceIdFromRawInputName(NameOf(mice.front()))};
  morvane::TfrmRateMeter logic(target);
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  morvane::TRateMeter allReports(frequency.QuadPart);

  WNDCLASSA wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = "RateMeterWineTest";
  ::RegisterClassA(&wc);
  HWND hwnd = ::CreateWindowExA(0, wc.lpszClassName, "Rate Meter Wine Test", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200,
                                nullptr, nullptr, wc.hInstance, nullptr);
  if (!logic.Start(hwnd)) {
    std::printf("register-failed %lu\n", logic.RegisterError());
    return 1;
  }
  meter = &logic;
  all = &allReports;
  ::SetTimer(hwnd, 1, 50, nullptr);
  std::printf("registered\n");
  std::fflush(stdout);
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(seconds) * 1000;
  MSG msg{};
  while (::GetTickCount() < end) {
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  meter = nullptr;
  all = nullptr;
  logic.Stop();
  const morvane::TRateFigures f = allReports.Figures();
  std::printf("messages %ld\ndevice %p\nname %s\nlisted %zu\n", messages, firstDevice, NameOf(firstDevice).c_str(),
              mice.size());
  std::printf("rate %lld\nmedian %s\ncount %llu\n", static_cast<long long>(f.Rate),
              allReports.MillisecondsText(f.MedianTicks).c_str(), static_cast<unsigned long long>(f.Count));
  std::printf("meter-count %llu\nmeter-ignored %llu\n",
              static_cast<unsigned long long>(logic.Meter().Figures().Count),
              static_cast<unsigned long long>(logic.IgnoredReports()));
  ::DestroyWindow(hwnd);
  return 0;
}
