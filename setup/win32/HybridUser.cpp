#include "setup/win32/HybridUser.h"

#include <windows.h>

namespace morvane::win {

template <typename R>
R HybridUser::PassLastError(R result) {
  if (!result) system_.SetLastError(::GetLastError());
  return result;
}

int HybridUser::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return real_.MessageBoxA(owner, text, caption, type);
}

BOOL HybridUser::OpenClipboard(HWND owner) { return PassLastError(real_.OpenClipboard(owner)); }
BOOL HybridUser::EmptyClipboard() { return PassLastError(real_.EmptyClipboard()); }
HANDLE HybridUser::SetClipboardData(UINT format, HANDLE data) {
  return PassLastError(real_.SetClipboardData(format, data));
}
BOOL HybridUser::CloseClipboard() { return PassLastError(real_.CloseClipboard()); }

HINSTANCE HybridUser::ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                    INT show) {
  return simulated_.ShellExecuteA(owner, verb, file, parameters, directory, show);
}

BOOL HybridUser::ShellExecuteExA(LPSHELLEXECUTEINFOA info) { return simulated_.ShellExecuteExA(info); }

DWORD HybridUser::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return simulated_.WaitForSingleObject(handle, milliseconds);
}

BOOL HybridUser::GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  return simulated_.GetExitCodeProcess(process, exitCode);
}

BOOL HybridUser::SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) {
  return simulated_.SystemParametersInfoA(action, param, data, winIni);
}

}  // namespace morvane::win
