// A small Win32 window framework: a base window with a virtual WndProc, controls
// created from a CreateArgs struct, and notifications (WM_COMMAND, WM_NOTIFY) reflected
// from the parent to the control object that sent them.
//
// Exceptions never cross a window procedure: the procedure of every window class of
// ours catches what a handler throws and hands it to the error queue (ErrorQueue.h),
// which the message loop shows to the user.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace morvane::win {

// Owning wrapper of a GDI object (font, brush, pen, bitmap).
template <typename T>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(T handle) : handle_(handle) {}
  ~GdiObject() { Reset(); }
  GdiObject(GdiObject&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;

  T Get() const { return handle_; }
  void Reset(T handle = nullptr) {
    if (handle_ != nullptr) ::DeleteObject(handle_);
    handle_ = handle;
  }

 private:
  T handle_ = nullptr;
};

using UniqueFont = GdiObject<HFONT>;
using UniqueBrush = GdiObject<HBRUSH>;
using UniquePen = GdiObject<HPEN>;
using UniqueBitmap = GdiObject<HBITMAP>;

// Selects a GDI object into a DC for one scope.
class SelectInDc {
 public:
  SelectInDc(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
  ~SelectInDc() { ::SelectObject(dc_, old_); }
  SelectInDc(const SelectInDc&) = delete;
  SelectInDc& operator=(const SelectInDc&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A memory DC compatible with another, released at the end of its scope.
class MemoryDc {
 public:
  explicit MemoryDc(HDC compatible) : dc_(::CreateCompatibleDC(compatible)) {}
  ~MemoryDc() {
    if (dc_ != nullptr) ::DeleteDC(dc_);
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
};

// BeginPaint/EndPaint for one WM_PAINT.
class PaintScope {
 public:
  explicit PaintScope(HWND hwnd) : hwnd_(hwnd) { dc_ = ::BeginPaint(hwnd, &ps_); }
  ~PaintScope() { ::EndPaint(hwnd_, &ps_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC Dc() const { return dc_; }
  const RECT& Area() const { return ps_.rcPaint; }

 private:
  HWND hwnd_;
  PAINTSTRUCT ps_{};
  HDC dc_ = nullptr;
};

struct CreateArgs {
  HWND parent = nullptr;
  const char* text = "";
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int id = 0;  // control identifier; 0 for top-level windows
};

// Base of every window object. Windows of our own classes route their messages to
// WndProc; native controls (buttons, combo boxes) receive only the notifications
// their parent reflects to them.
class Wnd {
 public:
  Wnd() = default;
  virtual ~Wnd();
  Wnd(const Wnd&) = delete;
  Wnd& operator=(const Wnd&) = delete;

  HWND Hwnd() const { return hwnd_; }
  static Wnd* FromHwnd(HWND hwnd);

  // A WM_COMMAND notification sent by this control to its parent.
  virtual void OnCommandReflect(WORD /*code*/) {}
  // A WM_NOTIFY sent by this control; returns true when handled, with the result.
  virtual bool OnNotifyReflect(NMHDR* /*header*/, LRESULT& /*result*/) { return false; }

 protected:
  // Creates a window of a class registered with RegisterOwnClass (its messages then
  // reach WndProc) or of a system class (it then only gets reflected notifications).
  void Create(const char* className, const CreateArgs& args);
  virtual LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

  // Registers a window class whose procedure dispatches to the Wnd's WndProc.
  static void RegisterOwnClass(const char* className, HBRUSH background, UINT classStyle = CS_DBLCLKS,
                               HCURSOR cursor = nullptr);

  // Reflects a WM_COMMAND or WM_NOTIFY to the child that sent it; false when the
  // child is not one of ours.
  static bool ReflectCommand(WPARAM wParam, LPARAM lParam);
  static bool ReflectNotify(LPARAM lParam, LRESULT& result);

 private:
  static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Attach(HWND hwnd);

  HWND hwnd_ = nullptr;
  bool ownClass_ = false;
};

// A window or window class that could not be created. The message names the step
// and carries the system's text for the error code it left.
class WindowError : public std::runtime_error {
 public:
  WindowError(const std::string& step, DWORD code);
  DWORD Code() const noexcept { return code_; }

 private:
  DWORD code_;
};

// The system's message text for an error code, without the trailing line break and
// period; empty when the system has none.
std::string SystemErrorText(DWORD code);

// The module handle of the program.
HINSTANCE Instance();

// Window text as a string.
std::string WindowText(HWND hwnd);

}  // namespace morvane::win
