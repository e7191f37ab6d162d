// gui-probe.exe: looks into another program's windows for the GUI tests, the way
// only a Windows program can (xdotool sees X windows, not controls):
//   gui-probe focus <title>          the control with the keyboard focus of the window
//                                    titled <title>: "<class> <id> <text>", or "none"
//   gui-probe watch-focus <title> <ms>
//                                    the focus as "focus" prints it, each time it changes,
//                                    for <ms> milliseconds
//   gui-probe tooltip                the visible hint windows: "<text>" per line, or "none"
//   gui-probe box <title>            the text of the message box titled <title>
//   gui-probe rect <title>           "left top right bottom clientWidth clientHeight"
//   gui-probe client <title>         the client area on the screen: "x y width height",
//                                    its origin from ClientToScreen, its size from
//                                    GetClientRect, whoever draws the frame
//   gui-probe dpi <title> <new> <old>
//                                    sends WM_DPICHANGED for <new> pixels per inch with the
//                                    window rectangle scaled by new/old as the suggestion,
//                                    as the system does when the window moves to a monitor
//                                    of another scale; prints the suggested rectangle
//   gui-probe activate-other <ms>    shows a window of its own, makes it the active one
//                                    for <ms> milliseconds, then ends
//   gui-probe clipboard              the text on the clipboard, or "none"
// Exit code 0 when the window was found, 1 otherwise, 2 for a wrong command line.
// The probe is per-monitor DPI aware, so that it sees other programs' windows in
// pixels of the screen (as xdotool clicks), not scaled to 96 pixels per inch.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {

std::string ClassOf(HWND hwnd) {
  char name[256] = {};
  ::GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// The text of a window of another process, asked from the window itself.
std::string TextOf(HWND hwnd) {
  std::vector<char> text(4096, '\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutA(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             5000, &copied)) {
    return {};
  }
  return std::string(text.data(), std::strlen(text.data()));
}

struct Search {
  const char* title;
  const char* className;  // null: any
  HWND found = nullptr;
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  char title[512] = {};
  ::GetWindowTextA(hwnd, title, sizeof title);
  if (!::IsWindowVisible(hwnd) || std::strcmp(title, search.title) != 0) return TRUE;
  if (search.className != nullptr && ClassOf(hwnd) != search.className) return TRUE;
  search.found = hwnd;
  return FALSE;
}

HWND FindVisible(const char* title, const char* className = nullptr) {
  Search search{title, className};
  ::EnumWindows(&FindTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) {
    return "none";
  }
  HWND focus = info.hwndFocus;
  return ClassOf(focus) + " " + std::to_string(focus == window ? 0 : ::GetDlgCtrlID(focus)) + " " + TextOf(focus);
}

int Focus(const char* title) {
  HWND window = FindVisible(title);
  if (window == nullptr) return 1;
  std::printf("%s\n", FocusOf(window).c_str());
  return 0;
}

int WatchFocus(const char* title, int milliseconds) {
  HWND window = FindVisible(title);
  if (window == nullptr) return 1;
  std::string last;
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(milliseconds);
  while (static_cast<int>(end - ::GetTickCount()) > 0) {
    const std::string now = FocusOf(window);
    if (now != last) {
      std::printf("%s\n", now.c_str());
      std::fflush(stdout);
      last = now;
    }
    ::Sleep(30);
  }
  return 0;
}

BOOL CALLBACK PrintTooltip(HWND hwnd, LPARAM param) {
  if (ClassOf(hwnd) == "tooltips_class32" && ::IsWindowVisible(hwnd)) {
    std::printf("%s\n", TextOf(hwnd).c_str());
    ++*reinterpret_cast<int*>(param);
  }
  return TRUE;
}

int Tooltip() {
  int shown = 0;
  ::EnumWindows(&PrintTooltip, reinterpret_cast<LPARAM>(&shown));
  if (shown == 0) std::printf("none\n");
  return 0;
}

BOOL CALLBACK PrintStaticText(HWND hwnd, LPARAM) {
  if (ClassOf(hwnd) == "Static") {
    const std::string text = TextOf(hwnd);
    if (!text.empty()) std::printf("%s\n", text.c_str());
  }
  return TRUE;
}

int Box(const char* title) {
  HWND box = FindVisible(title, "#32770");
  if (box == nullptr) return 1;
  ::EnumChildWindows(box, &PrintStaticText, 0);
  return 0;
}

int Client(const char* title) {
  HWND window = FindVisible(title);
  if (window == nullptr) return 1;
  RECT client{};
  POINT origin{0, 0};
  if (!::GetClientRect(window, &client) || !::ClientToScreen(window, &origin)) return 1;
  std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right - client.left, client.bottom - client.top);
  return 0;
}

// Per-monitor awareness where the system has it (Windows 10 1703), the system DPI's
// awareness before that.
void BecomeDpiAware() {
  using SetContext = BOOL(WINAPI*)(HANDLE);
  const HMODULE user32 = ::GetModuleHandleA("user32.dll");
  const auto setContext =
      user32 != nullptr
          ? reinterpret_cast<SetContext>(reinterpret_cast<void*>(::GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
          : nullptr;
  const HANDLE perMonitorV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));
  if (setContext != nullptr && setContext(perMonitorV2)) return;
  ::SetProcessDPIAware();
}

int Rect(const char* title) {
  HWND window = FindVisible(title);
  if (window == nullptr) return 1;
  RECT r{};
  RECT client{};
  ::GetWindowRect(window, &r);
  ::GetClientRect(window, &client);
  std::printf("%ld %ld %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom, client.right, client.bottom);
  return 0;
}

// The message's rectangle lives in the receiver's memory. The same address is taken
// here too, with the same contents, so the message works whether the system passes
// the pointer on as it is or copies what it points to.
int Dpi(const char* title, int newDpi, int oldDpi) {
  HWND window = FindVisible(title);
  if (window == nullptr || newDpi <= 0 || oldDpi <= 0) return 1;
  RECT r{};
  ::GetWindowRect(window, &r);
  RECT suggested{r.left, r.top, r.left + ::MulDiv(r.right - r.left, newDpi, oldDpi),
                 r.top + ::MulDiv(r.bottom - r.top, newDpi, oldDpi)};
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return 1;
  void* remote = ::VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  int code = 1;
  if (remote != nullptr && ::WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr)) {
    void* local = ::VirtualAlloc(remote, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (local == remote) std::memcpy(local, &suggested, sizeof suggested);
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutA(window, WM_DPICHANGED, MAKEWPARAM(newDpi, newDpi), reinterpret_cast<LPARAM>(remote),
                              SMTO_ABORTIFHUNG, 10000, &result)) {
      std::printf("%ld %ld %ld %ld\n", suggested.left, suggested.top, suggested.right, suggested.bottom);
      code = 0;
    }
    if (local == remote) ::VirtualFree(local, 0, MEM_RELEASE);
  }
  if (remote != nullptr) ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  ::CloseHandle(process);
  return code;
}

int ActivateOther(int milliseconds) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &::DefWindowProcA;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = "GuiProbeOther";
  ::RegisterClassA(&wc);
  HWND other = ::CreateWindowExA(0, wc.lpszClassName, "Another Program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                 100, nullptr, nullptr, wc.hInstance, nullptr);
  if (other == nullptr) return 1;
  ::SetForegroundWindow(other);
  ::SetActiveWindow(other);
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(milliseconds);
  MSG msg{};
  while (static_cast<int>(end - ::GetTickCount()) > 0) {
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    ::Sleep(20);
  }
  std::printf("%s\n", ::GetForegroundWindow() == other ? "active" : "not active");
  ::DestroyWindow(other);
  return 0;
}

int Clipboard() {
  if (!::OpenClipboard(nullptr)) return 1;
  HANDLE data = ::GetClipboardData(CF_TEXT);
  const char* text = data != nullptr ? static_cast<const char*>(::GlobalLock(data)) : nullptr;
  std::printf("%s\n", text != nullptr ? text : "none");
  if (text != nullptr) ::GlobalUnlock(data);
  ::CloseClipboard();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BecomeDpiAware();
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "focus" && argc == 3) return Focus(argv[2]);
  if (command == "watch-focus" && argc == 4) return WatchFocus(argv[2], std::atoi(argv[3]));
  if (command == "tooltip" && argc == 2) return Tooltip();
  if (command == "box" && argc == 3) return Box(argv[2]);
  if (command == "rect" && argc == 3) return Rect(argv[2]);
  if (command == "client" && argc == 3) return Client(argv[2]);
  if (command == "dpi" && argc == 5) return Dpi(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (command == "activate-other" && argc == 3) return ActivateOther(std::atoi(argv[2]));
  if (command == "clipboard" && argc == 2) return Clipboard();
  std::fprintf(stderr, "usage: gui-probe focus|watch-focus|tooltip|box|rect|client|dpi|activate-other ...\n");
  return 2;
}
