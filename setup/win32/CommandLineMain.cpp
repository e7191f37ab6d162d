#include "setup/win32/CommandLineMain.h"

#include <windows.h>
#include <dbt.h>

#include "snapshot/Snapshot.h"
#include "setup/win32/UsbInterface.h"

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

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// " (code N: text)" with the system's own text for a code of this process.
std::string Reason(DWORD code) {
  char buffer[512] = {};
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                  sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' ' ||
                        buffer[length - 1] == '.')) {
    --length;
  }
  return " (code " + std::to_string(code) + (length > 0 ? ": " + std::string(buffer, length) : "") + ")";
}

// Writes to the standard handle the program inherited, else to the parent's console.
void WriteStandard(DWORD which, const std::string& text) {
  if (text.empty()) return;
  const HANDLE inherited = ::GetStdHandle(which);
  if (Usable(inherited) && WriteAll(inherited, text)) return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    OwnedHandle console(
        ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (console.IsValid()) WriteAll(console.Get(), text);
    ::FreeConsole();
  }
}

constexpr const char* WatchClass = "MorvaneDeviceChangeWatch";

LRESULT CALLBACK WatchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    auto* watch = reinterpret_cast<DeviceChangeWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (watch != nullptr) {
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
      if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && header != nullptr &&
          header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
        watch->NotifyEvent(wParam == DBT_DEVICEARRIVAL, InstanceIdOfInterface(device->dbcc_name));
      }
      watch->Notify();
    }
    return TRUE;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

constexpr const char* InputClass = "MorvaneMeasureInput";

LRESULT CALLBACK InputProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INPUT) {
    auto* window = reinterpret_cast<InputWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (window != nullptr && window->Receiver() != nullptr && *window->Receiver()) {
      (*window->Receiver())(reinterpret_cast<HRAWINPUT>(lParam));
    }
    // The default procedure frees the input's data.
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

InputWindow::~InputWindow() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

HWND InputWindow::Window() {
  if (tried_) return hwnd_;
  tried_ = true;
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = InputProc;
  windowClass.hInstance = ::GetModuleHandleA(nullptr);
  windowClass.lpszClassName = InputClass;
  ::RegisterClassA(&windowClass);
  // Never shown; RIDEV_INPUTSINK delivers the reports while other windows have the input.
  HWND hwnd = ::CreateWindowExA(0, InputClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance,
                                nullptr);
  if (hwnd == nullptr) {
    error_ = "the system refused it" + Reason(::GetLastError());
    return nullptr;
  }
  ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  hwnd_ = hwnd;
  return hwnd_;
}

void InputWindow::Wait(unsigned milliseconds, const std::function<void(HRAWINPUT)>& onInput) {
  receiver_ = &onInput;
  const DWORD start = ::GetTickCount();
  for (;;) {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
    const DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= milliseconds) break;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
  }
  receiver_ = nullptr;
}

bool WriteCommandOutput(const std::string& text, const std::string& outFile) {
  if (!outFile.empty()) {
    OwnedHandle file(::CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsValid() && WriteAll(file.Get(), text)) return true;
  }
  WriteStandard(STD_OUTPUT_HANDLE, text);
  return outFile.empty();
}

int RunCommandLine(const cli::ParseResult& parsed, cli::CommandHost& host) {
  const std::string& outFile = parsed.arguments.outFile;
  auto unwritable = [&outFile](DWORD code, const char* what) {
    return "error: the output file \"" + outFile + "\" cannot be " + what + Reason(code) + "\r\n";
  };
  if (outFile.empty()) {
    const cli::CommandResult result = cli::RunParsed(parsed, host);
    WriteStandard(STD_OUTPUT_HANDLE, result.output);
    return result.exitCode;
  }
  // The file is made before the command runs: a command whose log cannot be kept is
  // not run at all.
  OwnedHandle file(::CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    WriteStandard(STD_ERROR_HANDLE, unwritable(::GetLastError(), "created") + "error: nothing was done\r\n");
    return cli::ExitOutputNotWritten;
  }
  const cli::CommandResult result = cli::RunParsed(parsed, host);
  if (WriteAll(file.Get(), result.output) && ::FlushFileBuffers(file.Get())) return result.exitCode;
  const DWORD code = ::GetLastError();
  WriteStandard(STD_ERROR_HANDLE, unwritable(code, "written") + "error: the command ended with exit code " +
                                      std::to_string(result.exitCode) + "; its output follows on the standard output\r\n");
  WriteStandard(STD_OUTPUT_HANDLE, result.output);
  return cli::ExitOutputNotWritten;
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
  if (hwnd == nullptr) {
    error_ = "the window that receives device changes cannot be made" + Reason(::GetLastError());
    return;
  }
  ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  hwnd_ = hwnd;
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = UsbDeviceInterface;
  notification_ = ::RegisterDeviceNotificationA(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification_ == nullptr) {
    error_ = "the notifications of USB devices cannot be registered" + Reason(::GetLastError());
  }
}

DeviceChangeWindow::~DeviceChangeWindow() {
  if (notification_ != nullptr) ::UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notification_));
  if (hwnd_ != nullptr) ::DestroyWindow(static_cast<HWND>(hwnd_));
}

unsigned DeviceChangeWindow::Changes() {
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
  return changes_;
}

const std::vector<cli::DeviceEvent>& DeviceChangeWindow::Events() {
  Changes();
  return events_;
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
  output += "error: " + error + "\r\n";
  return cli::ExitWriteRefused;
}

}  // namespace morvane::win
