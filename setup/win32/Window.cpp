#include "setup/win32/Window.h"

#include <stdexcept>

#include "setup/win32/ErrorQueue.h"

namespace morvane::win {
namespace {

// The window property that links a window to its Wnd object.
constexpr const char* kWndProperty = "MorvaneWnd";

// Set while CreateWindowExA runs, so the first messages of a new window of our own
// classes (WM_NCCREATE and before) find their object.
Wnd* creating = nullptr;

}  // namespace

HINSTANCE Instance() { return ::GetModuleHandleA(nullptr); }

std::string WindowText(HWND hwnd) {
  std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(hwnd)) + 1, '\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string SystemErrorText(DWORD code) {
  char* buffer = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text(buffer != nullptr ? buffer : "", length);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
  return text;
}

namespace {

std::string WindowErrorMessage(const std::string& step, DWORD code) {
  std::string message = step + " failed";
  if (code == ERROR_SUCCESS) return message + ".";
  const std::string text = SystemErrorText(code);
  message += " with error " + std::to_string(code);
  return text.empty() ? message + "." : message + ":\n" + text + ".";
}

}  // namespace

WindowError::WindowError(const std::string& step, DWORD code)
    : std::runtime_error(WindowErrorMessage(step, code)), code_(code) {}

Wnd::~Wnd() {
  if (hwnd_ != nullptr && ::IsWindow(hwnd_) && ::GetPropA(hwnd_, kWndProperty) == this) {
    ::RemovePropA(hwnd_, kWndProperty);
    if (ownClass_) ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd_);
  }
}

Wnd* Wnd::FromHwnd(HWND hwnd) {
  return hwnd == nullptr ? nullptr : static_cast<Wnd*>(::GetPropA(hwnd, kWndProperty));
}

void Wnd::Attach(HWND hwnd) {
  hwnd_ = hwnd;
  ::SetPropA(hwnd, kWndProperty, this);
}

void Wnd::Create(const char* className, const CreateArgs& args) {
  creating = this;
  HWND hwnd = ::CreateWindowExA(args.exStyle, className, args.text, args.style, args.x, args.y, args.width,
                                args.height, args.parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(args.id)), Instance(), nullptr);
  const DWORD error = ::GetLastError();
  creating = nullptr;
  if (hwnd == nullptr) throw WindowError(std::string("CreateWindowEx(") + className + ")", error);
  if (hwnd_ == nullptr) Attach(hwnd);  // a system class: no WM_NCCREATE of ours
}

LRESULT Wnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT Wnd::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (ReflectCommand(wParam, lParam)) return 0;
      break;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (ReflectNotify(lParam, result)) return result;
      break;
    }
    default:
      break;
  }
  return Default(message, wParam, lParam);
}

bool Wnd::ReflectCommand(WPARAM wParam, LPARAM lParam) {
  Wnd* child = FromHwnd(reinterpret_cast<HWND>(lParam));
  if (child == nullptr) return false;
  child->OnCommandReflect(HIWORD(wParam));
  return true;
}

bool Wnd::ReflectNotify(LPARAM lParam, LRESULT& result) {
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  Wnd* child = header == nullptr ? nullptr : FromHwnd(header->hwndFrom);
  return child != nullptr && child->OnNotifyReflect(header, result);
}

void Wnd::RegisterOwnClass(const char* className, HBRUSH background, UINT classStyle, HCURSOR cursor) {
  WNDCLASSEXA wc{};
  if (::GetClassInfoExA(Instance(), className, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.style = classStyle;
  wc.lpfnWndProc = &Wnd::StaticWndProc;
  wc.hInstance = Instance();
  wc.hCursor = cursor != nullptr ? cursor : ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = background;
  wc.lpszClassName = className;
  if (::RegisterClassExA(&wc) == 0) throw WindowError(std::string("RegisterClassEx(") + className + ")", ::GetLastError());
}

LRESULT CALLBACK Wnd::StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Wnd*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr && creating != nullptr) {
    self = std::exchange(creating, nullptr);
    self->ownClass_ = true;
    self->Attach(hwnd);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (self == nullptr) return ::DefWindowProcA(hwnd, message, wParam, lParam);

  LRESULT result = 0;
  try {
    result = self->WndProc(message, wParam, lParam);
  } catch (...) {
    QueueError(CurrentExceptionMessage());
    // A failed paint must still validate, or WM_PAINT would come back at once.
    if (message == WM_PAINT) ::ValidateRect(hwnd, nullptr);
  }
  if (message == WM_NCDESTROY) {
    ::RemovePropA(hwnd, kWndProperty);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

}  // namespace morvane::win
