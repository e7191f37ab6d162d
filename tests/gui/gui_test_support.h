// Helpers of the Windows-side window tests: a host window, a bitmap to print
// windows into, a held-down key, and the error boxes the error queue shows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "setup/win32/ErrorQueue.h"
#include "setup/win32/Window.h"

namespace morvane::win {

// A visible top-level window of our own class that reflects notifications.
class HostWindow : public Wnd {
 public:
  HostWindow() {
    RegisterOwnClass("MorvaneTestHost", reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    CreateArgs args;
    args.text = "host";
    args.style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    args.exStyle = WS_EX_CONTROLPARENT;
    args.width = 1000;
    args.height = 400;
    Create("MorvaneTestHost", args);
    ::ShowWindow(Hwnd(), SW_SHOW);
    ::SetActiveWindow(Hwnd());
  }
};

// A 32-bit DIB section with a DC, for printing a window and reading its pixels.
class Bitmap {
 public:
  Bitmap(int width, int height) : width_(width), height_(height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = ::CreateCompatibleDC(nullptr);
    bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = ::SelectObject(dc_, bitmap_);
  }
  ~Bitmap() {
    ::SelectObject(dc_, old_);
    ::DeleteObject(bitmap_);
    ::DeleteDC(dc_);
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  HDC Dc() const { return dc_; }
  COLORREF Pixel(int x, int y) const {
    ::GdiFlush();
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return CLR_INVALID;
    const DWORD bgr = bits_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
    return RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);
  }

 private:
  int width_;
  int height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  DWORD* bits_ = nullptr;
};

// Holds a key down in the thread's keyboard state for one scope (GetKeyState sees it).
class KeyboardState {
 public:
  explicit KeyboardState(int key) : key_(key) {
    ::GetKeyboardState(saved_);
    BYTE state[256];
    ::GetKeyboardState(state);
    state[key] = 0x80;
    ::SetKeyboardState(state);
  }
  ~KeyboardState() { ::SetKeyboardState(saved_); }
  KeyboardState(const KeyboardState&) = delete;
  KeyboardState& operator=(const KeyboardState&) = delete;

 private:
  int key_;
  BYTE saved_[256]{};
};

// A user backend that records message boxes instead of showing them.
class RecordingUser : public platform::IUser {
 public:
  struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
  };
  std::vector<Box> boxes;

  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override {
    boxes.push_back({owner, text, caption, type});
    return IDOK;
  }
  BOOL OpenClipboard(HWND) override { return FALSE; }
  BOOL EmptyClipboard() override { return FALSE; }
  HANDLE SetClipboardData(UINT, HANDLE) override { return nullptr; }
  BOOL CloseClipboard() override { return FALSE; }
  HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) override { return nullptr; }
  BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA) override {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  DWORD WaitForSingleObject(HANDLE, DWORD) override {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  BOOL GetExitCodeProcess(HANDLE, LPDWORD) override {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) override {
    return ::SystemParametersInfoA(action, param, data, winIni);
  }
};

// Shows the queued errors into a recording user and returns their texts.
inline std::vector<std::string> DrainErrors() {
  RecordingUser user;
  platform::Backend backend = platform::Current();
  backend.user = &user;
  platform::ScopedBackend scope(backend);
  ShowQueuedErrors(nullptr);
  std::vector<std::string> texts;
  for (const auto& box : user.boxes) texts.push_back(box.text);
  return texts;
}

}  // namespace morvane::win
