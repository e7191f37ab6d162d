#include "setup/win32/CommandLineMain.h"

#include <windows.h>

#include "snapshot/Snapshot.h"

namespace morvane::win {
namespace {

// The real CloseHandle: setup-sim.exe's platform is the simulated machine, whose
// files these are not.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (IsValid()) ::CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

bool WriteAll(HANDLE handle, const std::string& text) {
  DWORD written = 0;
  return ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
         written == text.size();
}

constexpr const char* WatchClass = "MorvaneDeviceChangeWatch";

LRESULT CALLBACK WatchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    auto* watch = reinterpret_cast<DeviceChangeWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (watch != nullptr) watch->Notify();
    return TRUE;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

void WriteCommandOutput(const std::string& text, const std::string& outFile) {
  if (!outFile.empty()) {
    OwnedHandle file(::CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsValid() && WriteAll(file.Get(), text)) return;
  }
  const HANDLE inherited = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (inherited != nullptr && inherited != INVALID_HANDLE_VALUE && WriteAll(inherited, text)) return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    OwnedHandle console(
        ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (console.IsValid()) WriteAll(console.Get(), text);
    ::FreeConsole();
  }
}

int RunCommandLine(const cli::ParseResult& parsed, cli::CommandHost& host) {
  cli::CommandResult result = cli::RunParsed(parsed, host);
  std::string text = result.output;
  if (!parsed.arguments.outFile.empty()) {
    // Say so on the console too when the file cannot be written.
    OwnedHandle probe(::CreateFileA(parsed.arguments.outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe.IsValid()) {
      const DWORD code = ::GetLastError();
      WriteCommandOutput("error: the output file \"" + parsed.arguments.outFile + "\" cannot be written (code " +
                             std::to_string(code) + ")\r\n" + text,
                         "");
      return result.exitCode;
    }
  }
  WriteCommandOutput(text, parsed.arguments.outFile);
  return result.exitCode;
}

DeviceChangeWindow::DeviceChangeWindow() : lastTicks_(::GetTickCount()) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = WatchProc;
  windowClass.hInstance = ::GetModuleHandleA(nullptr);
  windowClass.lpszClassName = WatchClass;
  ::RegisterClassA(&windowClass);
  // A top-level window, never shown: message-only windows receive no broadcasts.
  HWND hwnd = ::CreateWindowExA(0, WatchClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (hwnd != nullptr) ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  hwnd_ = hwnd;
}

DeviceChangeWindow::~DeviceChangeWindow() {
  if (hwnd_ != nullptr) ::DestroyWindow(static_cast<HWND>(hwnd_));
}

unsigned DeviceChangeWindow::Changes() {
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
  return changes_;
}

void DeviceChangeWindow::Wait(unsigned milliseconds) {
  const unsigned long long end = Now() + milliseconds;
  for (unsigned long long now = Now(); now < end; now = Now()) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    Changes();
  }
}

// Milliseconds from the 32-bit tick count, which Windows XP has (GetTickCount64 it
// does not): the unsigned difference of two readings is right across its wrap, and
// the command's waits read it far more often than every 49 days.
unsigned long long DeviceChangeWindow::Now() {
  const DWORD ticks = ::GetTickCount();
  elapsed_ += static_cast<DWORD>(ticks - lastTicks_);
  lastTicks_ = ticks;
  return elapsed_;
}

int SnapshotCommand(const std::string& file, std::string& output) {
  std::string error;
  if (WriteSnapshotCommand(file, error) == 0) {
    output += "Snapshot written to " + file + "\r\n";
    return cli::ExitDone;
  }
  output += error + "\r\n";
  ::MessageBoxA(nullptr, error.c_str(), "MORVANE Setup", MB_ICONERROR);
  return cli::ExitWriteRefused;
}

}  // namespace morvane::win
