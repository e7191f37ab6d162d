// The simulated machine's services other than the device tree: files, directories
// and version resources, the service control manager, message boxes, the clipboard
// and the shell, global memory, system facts (last error, version, modules and
// functions resolved by name, message texts, code pages) and token privileges.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/core.h"
#include "platform/sim/sim.h"

namespace sim {

class SystemServices final : public platform::IFiles,
                             public platform::IServiceControl,
                             public platform::IUser,
                             public platform::IMemory,
                             public platform::ISystem,
                             public platform::ISecurity {
 public:
  explicit SystemServices(SimCore& core);
  ~SystemServices() override;

  // IFiles. CreateFileA of a "\\?\" path and DeviceIoControl are handed to the
  // device side through SimCore's hooks.
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                       LPDWORD bytesReturned, LPOVERLAPPED overlapped) override;
  BOOL CloseHandle(HANDLE handle) override;
  UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override;
  DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) override;
  BOOL SetCurrentDirectoryA(LPCSTR path) override;
  HMODULE LoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags) override;
  BOOL FreeLibrary(HMODULE module) override;
  HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) override;
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) override;
  LPVOID LockResource(HGLOBAL resourceData) override;
  DWORD SizeofResource(HMODULE module, HRSRC resource) override;
  DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) override;
  BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data) override;
  BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) override;

  // IServiceControl.
  SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) override;
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override;
  BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                           LPDWORD bytesNeeded) override;
  BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override;
  BOOL StartServiceA(SC_HANDLE service, DWORD argCount, LPCSTR* args) override;
  BOOL DeleteService(SC_HANDLE service) override;
  BOOL CloseServiceHandle(SC_HANDLE handle) override;

  // IUser.
  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override;
  BOOL OpenClipboard(HWND owner) override;
  BOOL EmptyClipboard() override;
  HANDLE SetClipboardData(UINT format, HANDLE data) override;
  BOOL CloseClipboard() override;
  HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                          INT show) override;
  // The programs run to their end before the call returns: a process handle is
  // signalled at once and holds the program's exit code.
  BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) override;
  // SPI_GETHIGHCONTRAST from the machine's "highContrast"; any other action is refused
  // with ERROR_INVALID_SPI_VALUE.
  BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) override;

  // IMemory.
  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override;
  LPVOID GlobalLock(HGLOBAL block) override;
  BOOL GlobalUnlock(HGLOBAL block) override;
  HGLOBAL GlobalFree(HGLOBAL block) override;

  // ISystem.
  DWORD GetLastError() override;
  void SetLastError(DWORD code) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA info) override;
  HANDLE GetCurrentProcess() override;
  HMODULE GetModuleHandleA(LPCSTR moduleName) override;
  HMODULE LoadLibraryW(LPCWSTR moduleName) override;
  FARPROC GetProcAddress(HMODULE module, LPCSTR procName) override;
  DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                       void* arguments) override;
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                          int wideLength) override;
  int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text, int length,
                          LPCSTR defaultChar, PBOOL usedDefault) override;

  // ISecurity.
  BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) override;
  BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) override;
  BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                             PTOKEN_PRIVILEGES previousState, PDWORD returnLength) override;

  // Observation and scripting, forwarded by Machine.
  std::vector<UINT> ClipboardFormats() const;
  std::optional<std::vector<BYTE>> ClipboardData(UINT format) const;
  void SetClipboardText(const std::string& text);
  void SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler);
  const std::vector<MessageBoxCall>& MessageBoxes() const;
  const std::vector<ShellExecuteCall>& ShellExecutes() const;
  void HoldProcesses(bool hold);
  void EndProcesses();
  const std::vector<ULONG>& MemoryListCommands() const;
  bool IsPrivilegeEnabled(const std::string& name) const;

 // Defined beside the services; public so that the functions handed out by
  // GetProcAddress can reach the services that resolved them.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace sim
