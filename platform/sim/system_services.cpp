#include "platform/sim/system_services.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "platform/sim/device_log.h"
#include "platform/sim/device_paths.h"
#include "platform/sim/version_resource.h"

namespace sim {

namespace {

using namespace logtext;

constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorMrMidNotFound = 317;
constexpr DWORD kErrorNotLocked = 158;
constexpr DWORD kErrorInvalidAddress = 487;
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kStatusInvalidInfoClass = static_cast<LONG>(0xC0000003);
constexpr LONG kStatusPrivilegeNotHeld = static_cast<LONG>(0xC0000061);
constexpr ULONG kMemoryPurgeLowPriorityStandbyList = 5;
// FormatMessageA refuses output buffers of 32K characters and more.
constexpr DWORD kFormatMessageLimit = 0x8000;
constexpr UINT kFirstVersionResourceId = 1;
constexpr int kShellOk = 42;       // ShellExecuteA: above 32 means success
constexpr int kShellFileNotFound = 2;
constexpr int kShellNoAssociation = 31;
constexpr DWORD kErrorNoAssociation = 1155;  // ERROR_NO_ASSOCIATION
constexpr const char* kProfilePrivilege = "SeProfileSingleProcessPrivilege";

template <typename T>
T AsHandle(std::uintptr_t value) {
  return reinterpret_cast<T>(value);
}

// Fixed handles of the modules every process has; they are not counted.
const std::uintptr_t kKernel32Module = 0x7FF0000;
const std::uintptr_t kNtdllModule = 0x7FE0000;
const std::uintptr_t kCurrentProcess = static_cast<std::uintptr_t>(-1);

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameText(const std::string& a, const std::string& b) { return ToUpperAscii(a) == ToUpperAscii(b); }

std::string NarrowModuleName(LPCWSTR name) {
  std::string out;
  if (name == nullptr) return out;
  for (; *name != 0; ++name) out.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
  return out;
}

// Texts of FormatMessageA for the codes a program of this kind meets, as English
// Windows words them.
const std::map<DWORD, std::string>& DefaultMessages() {
  static const std::map<DWORD, std::string> messages = {
      {0, "The operation completed successfully.\r\n"},
      {1, "Incorrect function.\r\n"},
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {8, "Not enough memory resources are available to process this command.\r\n"},
      {13, "The data is invalid.\r\n"},
      {31, "A device attached to the system is not functioning.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {126, "The specified module could not be found.\r\n"},
      {127, "The specified procedure could not be found.\r\n"},
      {193, "%1 is not a valid Win32 application.\r\n"},
      {577, "Windows cannot verify the digital signature for this file. A recent hardware or software change "
            "might have installed a file that is signed incorrectly or damaged, or that might be malicious "
            "software from an unknown source.\r\n"},
      {1056, "An instance of the service is already running.\r\n"},
      {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices "
             "associated with it.\r\n"},
      {1060, "The specified service does not exist as an installed service.\r\n"},
      {1167, "The device is not connected.\r\n"},
      {1275, "This driver has been blocked from loading.\r\n"},
      {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
      {1313, "A specified privilege does not exist.\r\n"},
      {1418, "Thread does not have a clipboard open.\r\n"},
  };
  return messages;
}

// Locally unique identifiers of the privileges, as Windows numbers them.
const std::map<std::string, DWORD, CaseInsensitiveLess>& PrivilegeIds() {
  static const std::map<std::string, DWORD, CaseInsensitiveLess> ids = {
      {"SeCreateTokenPrivilege", 2},      {"SeAssignPrimaryTokenPrivilege", 3},
      {"SeLockMemoryPrivilege", 4},       {"SeIncreaseQuotaPrivilege", 5},
      {"SeMachineAccountPrivilege", 6},   {"SeTcbPrivilege", 7},
      {"SeSecurityPrivilege", 8},         {"SeTakeOwnershipPrivilege", 9},
      {"SeLoadDriverPrivilege", 10},      {"SeSystemProfilePrivilege", 11},
      {"SeSystemtimePrivilege", 12},      {"SeProfileSingleProcessPrivilege", 13},
      {"SeIncreaseBasePriorityPrivilege", 14}, {"SeCreatePagefilePrivilege", 15},
      {"SeCreatePermanentPrivilege", 16}, {"SeBackupPrivilege", 17},
      {"SeRestorePrivilege", 18},         {"SeShutdownPrivilege", 19},
      {"SeDebugPrivilege", 20},
  };
  return ids;
}

std::string PrivilegeName(const LUID& luid) {
  if (luid.HighPart != 0) return {};
  for (const auto& [name, id] : PrivilegeIds()) {
    if (id == luid.LowPart) return name;
  }
  return {};
}

// Code page 1252 for the bytes 0x80-0x9F; the other bytes are Latin-1.
const char16_t kCp1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                  0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

WCHAR WideOf(unsigned char c) {
  return static_cast<WCHAR>(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c);
}

std::optional<char> AnsiOf(WCHAR unit) {
  const auto value = static_cast<char16_t>(unit);
  if (value < 0x80 || (value >= 0xA0 && value < 0x100)) return static_cast<char>(value);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == value && value != 0xFFFD) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

}  // namespace

struct SystemServices::State {
  explicit State(SimCore& c) : core(c) {}

  struct Block {
    std::uintptr_t account = 0;  // the accounting handle (the leak report names it)
    std::vector<BYTE> bytes;
    SIZE_T size = 0;
    bool fixed = false;
    int locks = 0;
  };
  struct LoadedModule {
    std::string path;
    std::vector<BYTE> resource;  // the version resource; empty when there is none
    DWORD resourceError = 0;     // non-zero: looking the version resource up fails with this code
  };
  struct ServiceHandle {
    std::string name;
    DWORD access = 0;
  };

  SimCore& core;
  // Global memory, by the handle the caller holds.
  std::unordered_map<std::uintptr_t, Block> blocks;
  std::unordered_map<std::uintptr_t, LoadedModule> modules;
  std::unordered_map<std::uintptr_t, ServiceHandle> services;
  std::unordered_map<std::uintptr_t, DWORD> managers;  // handle -> access
  std::set<std::string, CaseInsensitiveLess> knownDirectories;
  std::set<std::string, CaseInsensitiveLess> enabledPrivileges;

  bool clipboardOpen = false;
  std::vector<UINT> clipboardOrder;
  std::map<UINT, std::vector<BYTE>> clipboard;

  std::function<int(const MessageBoxCall&)> messageBoxHandler;
  std::vector<MessageBoxCall> messageBoxes;
  std::vector<ShellExecuteCall> shellExecutes;
  std::map<std::uintptr_t, DWORD> processes;  // process handle -> exit code
  std::set<std::uintptr_t> running;           // process handles whose program has not ended yet
  bool holdProcesses = false;
  std::vector<ULONG> memoryListCommands;
  int redirectionDisabled = 0;

  SystemInfo& System() { return core.Model().system; }
  MachineModel& Model() { return core.Model(); }

  bool Fail(DWORD error) {
    core.SetLastError(error);
    return false;
  }
  // True when an injected fault makes this call fail; its error is then set.
  bool Faulted(const char* function) {
    DWORD error = 0;
    if (!core.ShouldFail(function, &error)) return false;
    core.SetLastError(error);
    return true;
  }

  bool Redirected() const {
    SystemInfo& s = core.Model().system;
    return s.wow64 && s.hasWow64Functions && redirectionDisabled == 0;
  }

  // The full path of a file argument, with the 32-bit view of System32 while the
  // redirection of a Wow64 process is on.
  std::string FilePath(const std::string& path) {
    std::string full = ResolvePath(System().currentDirectory, path);
    if (Redirected()) {
      const std::string system32 = ToUpperAscii(System().windowsDirectory + "\\System32");
      const std::string upper = ToUpperAscii(full);
      if (upper.compare(0, system32.size(), system32) == 0 &&
          (upper.size() == system32.size() || upper[system32.size()] == '\\')) {
        full = System().windowsDirectory + "\\SysWOW64" + full.substr(system32.size());
      }
    }
    return full;
  }

  const File* FindFile(const std::string& path) { return FindModelFile(Model(), FilePath(path)); }

  bool DirectoryExists(const std::string& path) {
    std::string wanted = path;
    while (wanted.size() > 3 && wanted.back() == '\\') wanted.pop_back();
    if (knownDirectories.count(wanted) != 0) return true;
    if (SameText(wanted, System().windowsDirectory) || SameText(wanted, System().currentDirectory)) return true;
    if ((wanted.size() == 2 || (wanted.size() == 3 && wanted[2] == '\\')) && wanted[1] == ':') return true;
    const std::string prefix = ToUpperAscii(wanted) + "\\";
    for (const File& file : Model().files) {
      if (ToUpperAscii(file.path).compare(0, prefix.size(), prefix) == 0) return true;
    }
    const std::string windows = ToUpperAscii(System().windowsDirectory) + "\\";
    for (const char* sub : {"SYSTEM32", "SYSTEM32\\DRIVERS", "SYSWOW64", "INF"}) {
      if (ToUpperAscii(wanted) == windows + sub) return true;
    }
    return false;
  }

  Block* FindBlock(HGLOBAL handle) {
    auto it = blocks.find(HandleValue(handle));
    return it == blocks.end() ? nullptr : &it->second;
  }

  void FreeClipboardData() {
    clipboard.clear();
    clipboardOrder.clear();
  }

  std::optional<std::string> MessageText(DWORD id) {
    auto own = System().messages.find(id);
    if (own != System().messages.end()) return own->second;
    auto common = DefaultMessages().find(id);
    if (common != DefaultMessages().end()) return common->second;
    return std::nullopt;
  }

  // The services' effects of the helper program's and the shell's command lines.
  // The helper program's command, with its exit codes: 0 done, 1 unknown command,
  // 3 no such device, 4 no INF file, 6 the installation failed, 7 a reboot is needed.
  DWORD RunHelper(const std::string& parameters) {
    if (System().helperExitCode) return *System().helperExitCode;
    if (parameters.rfind("U ", 0) == 0) {
      const std::string id = parameters.substr(2);
      const Device* device = nullptr;
      for (const Device& candidate : Model().devices) {
        if (ToUpperAscii(candidate.instanceId) == ToUpperAscii(id)) device = &candidate;
      }
      if (device != nullptr && device->present && device->needsReboot) return 7;
      return core.restartDevice && core.restartDevice(id) ? 0 : 3;
    }
    const std::string install = "e install ";
    if (parameters.rfind(install, 0) == 0) {
      std::string inf = parameters.substr(install.size());
      if (inf.size() >= 2 && inf.front() == '"' && inf.back() == '"') inf = inf.substr(1, inf.size() - 2);
      const std::string path = ResolvePath(System().currentDirectory, inf);
      if (FindModelFile(Model(), path) == nullptr) return 4;
      return core.installInf && core.installInf(path) ? 0 : 6;
    }
    return 1;
  }
};

namespace {

// The services that handed out the addresses of the trampolines below; the
// functions the program resolves by name run against them.
SystemServices::State* g_resolver = nullptr;

BOOL WINAPI SimIsWow64Process(HANDLE process, PBOOL wow64) {
  SystemServices::State* s = g_resolver;
  if (s == nullptr) return FALSE;
  s->core.Log("IsWow64Process", Join(Handle(process), Out(wow64)));
  if (s->Faulted("IsWow64Process")) return FALSE;
  if (s->System().isWow64ProcessFails) return s->Fail(ERROR_ACCESS_DENIED);
  if (wow64 == nullptr) return s->Fail(ERROR_INVALID_PARAMETER);
  *wow64 = s->System().wow64 ? TRUE : FALSE;
  return TRUE;
}

BOOL WINAPI SimWow64DisableWow64FsRedirection(PVOID* oldValue) {
  SystemServices::State* s = g_resolver;
  if (s == nullptr) return FALSE;
  s->core.Log("Wow64DisableWow64FsRedirection", Out(oldValue));
  if (s->Faulted("Wow64DisableWow64FsRedirection")) return FALSE;
  if (oldValue == nullptr) return s->Fail(ERROR_INVALID_PARAMETER);
  // A 64-bit process has no redirection to switch off.
  if (!s->System().wow64) return s->Fail(ERROR_INVALID_FUNCTION);
  *oldValue = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(++s->redirectionDisabled));
  return TRUE;
}

BOOL WINAPI SimWow64RevertWow64FsRedirection(PVOID oldValue) {
  SystemServices::State* s = g_resolver;
  if (s == nullptr) return FALSE;
  s->core.Log("Wow64RevertWow64FsRedirection", Handle(oldValue));
  if (s->Faulted("Wow64RevertWow64FsRedirection")) return FALSE;
  if (!s->System().wow64) return s->Fail(ERROR_INVALID_FUNCTION);
  if (oldValue == nullptr || s->redirectionDisabled == 0) return s->Fail(ERROR_INVALID_PARAMETER);
  --s->redirectionDisabled;
  return TRUE;
}

LONG NTAPI SimNtSetSystemInformation(ULONG infoClass, PVOID info, ULONG length) {
  SystemServices::State* s = g_resolver;
  if (s == nullptr) return kStatusInvalidInfoClass;
  s->core.Log("NtSetSystemInformation", Join(Dec(infoClass), Buffer(info, length), Dec(length)));
  if (infoClass != SystemMemoryListInformation) return kStatusInvalidInfoClass;
  if (info == nullptr || length != sizeof(ULONG)) return kStatusInfoLengthMismatch;
  ULONG command = 0;
  std::memcpy(&command, info, sizeof(command));
  s->memoryListCommands.push_back(command);
  if (command > kMemoryPurgeLowPriorityStandbyList) return kStatusInvalidInfoClass;
  if (s->enabledPrivileges.count(kProfilePrivilege) == 0) return kStatusPrivilegeNotHeld;
  return kStatusSuccess;
}

template <typename Fn>
FARPROC AsProc(Fn function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

SystemServices::SystemServices(SimCore& core) : state_(std::make_unique<State>(core)) {
  state_->knownDirectories.insert(core.Model().system.currentDirectory);
}

SystemServices::~SystemServices() {
  if (g_resolver == state_.get()) g_resolver = nullptr;
}

// ---------------------------------------------------------------------------------
// Files, directories, modules and version resources.

HANDLE SystemServices::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  State& s = *state_;
  s.core.Log("CreateFileA", Join(Str(path), Hex(access), Hex(shareMode), Out(security), Dec(disposition),
                                 Hex(flags), Handle(templateFile)));
  if (s.Faulted("CreateFileA")) return INVALID_HANDLE_VALUE;
  if (path == nullptr || *path == '\0') return s.Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  const std::string text = path;
  if (text.rfind("\\\\?\\", 0) == 0 || text.rfind("\\\\.\\", 0) == 0) {
    if (!s.core.openDevicePath) return s.Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    return s.core.openDevicePath(text, access, shareMode, disposition);
  }
  if (disposition != OPEN_EXISTING) return s.Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  const File* file = s.FindFile(text);
  if (file == nullptr) {
    return s.Fail(s.DirectoryExists(FolderOf(s.FilePath(text))) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND),
           INVALID_HANDLE_VALUE;
  }
  if (file->openError != 0) return s.Fail(file->openError), INVALID_HANDLE_VALUE;
  return AsHandle<HANDLE>(s.core.Acquire(ResourceKind::FileHandle, "CreateFileA(\"" + file->path + "\")"));
}

BOOL SystemServices::DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  State& s = *state_;
  s.core.Log("DeviceIoControl", Join(Handle(device), Hex(code), Buffer(inBuffer, inSize), Buffer(outBuffer, outSize),
                                     Out(bytesReturned), Out(overlapped)));
  if (s.Faulted("DeviceIoControl")) return FALSE;
  const std::uintptr_t handle = HandleValue(device);
  if (s.core.isDeviceHandle && s.core.isDeviceHandle(handle)) {
    return s.core.deviceIoControl(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned);
  }
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (s.core.IsLive(handle, ResourceKind::FileHandle)) return s.Fail(ERROR_INVALID_FUNCTION);
  return s.Fail(ERROR_INVALID_HANDLE);
}

BOOL SystemServices::CloseHandle(HANDLE handle) {
  State& s = *state_;
  s.core.Log("CloseHandle", Handle(handle));
  const std::uintptr_t value = HandleValue(handle);
  const bool live = s.core.IsLive(value, ResourceKind::FileHandle) || s.core.IsLive(value, ResourceKind::TokenHandle) ||
                    s.core.IsLive(value, ResourceKind::Process);
  if (!live) return s.Fail(ERROR_INVALID_HANDLE);
  s.core.Release(value);
  s.processes.erase(value);
  s.running.erase(value);
  // A failing close has still closed the handle.
  if (s.Faulted("CloseHandle")) return FALSE;
  return TRUE;
}

namespace {

// The protocol of GetWindowsDirectoryA and GetCurrentDirectoryA: the length copied
// without the NUL, or the size needed with it when the buffer is too small.
DWORD CopyDirectory(const std::string& directory, LPSTR buffer, DWORD size) {
  const DWORD length = static_cast<DWORD>(directory.size());
  if (buffer == nullptr || size <= length) return length + 1;
  std::memcpy(buffer, directory.c_str(), length + 1);
  return length;
}

}  // namespace

UINT SystemServices::GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  State& s = *state_;
  s.core.Log("GetWindowsDirectoryA", Join(Buffer(buffer, size), Dec(size)));
  if (s.Faulted("GetWindowsDirectoryA")) return 0;
  return CopyDirectory(s.System().windowsDirectory, buffer, size);
}

DWORD SystemServices::GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  State& s = *state_;
  s.core.Log("GetCurrentDirectoryA", Join(Dec(size), Buffer(buffer, size)));
  if (s.Faulted("GetCurrentDirectoryA")) return 0;
  return CopyDirectory(s.System().currentDirectory, buffer, size);
}

BOOL SystemServices::SetCurrentDirectoryA(LPCSTR path) {
  State& s = *state_;
  s.core.Log("SetCurrentDirectoryA", Str(path));
  if (s.Faulted("SetCurrentDirectoryA")) return FALSE;
  if (path == nullptr || *path == '\0') return s.Fail(ERROR_INVALID_PARAMETER);
  std::string full = ResolvePath(s.System().currentDirectory, path);
  while (full.size() > 3 && full.back() == '\\') full.pop_back();
  if (!s.DirectoryExists(full)) return s.Fail(ERROR_FILE_NOT_FOUND);
  s.knownDirectories.insert(s.System().currentDirectory);
  s.System().currentDirectory = full;
  return TRUE;
}

HMODULE SystemServices::LoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags) {
  State& s = *state_;
  s.core.Log("LoadLibraryExA", Join(Str(path), Handle(file), Hex(flags)));
  if (s.Faulted("LoadLibraryExA")) return nullptr;
  if (path == nullptr || file != nullptr) return s.Fail(ERROR_INVALID_PARAMETER), nullptr;
  const File* found = s.FindFile(path);
  if (found == nullptr) return s.Fail(kErrorModNotFound), nullptr;
  if (found->loadError != 0) return s.Fail(found->loadError), nullptr;
  if (!found->loadableAsData) return s.Fail(ERROR_BAD_EXE_FORMAT), nullptr;
  State::LoadedModule module;
  module.path = found->path;
  module.resourceError = found->resourceError;
  if (found->version) module.resource = BuildVersionResource(*found->version);
  const std::uintptr_t handle = s.core.Acquire(ResourceKind::Module, "LoadLibraryExA(\"" + found->path + "\")");
  s.modules.emplace(handle, std::move(module));
  return AsHandle<HMODULE>(handle);
}

BOOL SystemServices::FreeLibrary(HMODULE module) {
  State& s = *state_;
  s.core.Log("FreeLibrary", Handle(module));
  const std::uintptr_t handle = HandleValue(module);
  if (handle == kKernel32Module || handle == kNtdllModule) return TRUE;
  if (!s.core.IsLive(handle, ResourceKind::Module)) return s.Fail(ERROR_INVALID_HANDLE);
  s.core.Release(handle);
  s.modules.erase(handle);  // its resources go with it
  if (s.Faulted("FreeLibrary")) return FALSE;
  return TRUE;
}

HRSRC SystemServices::FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  State& s = *state_;
  const auto resourceName = [](LPCSTR id) {
    return IS_INTRESOURCE(id) ? "#" + std::to_string(HandleValue(id)) : Str(id);
  };
  s.core.Log("FindResourceA", Join(Handle(module), resourceName(name), resourceName(type)));
  if (s.Faulted("FindResourceA")) return nullptr;
  auto it = s.modules.find(HandleValue(module));
  if (it == s.modules.end()) return s.Fail(ERROR_INVALID_HANDLE), nullptr;
  const bool versionType = IS_INTRESOURCE(type) && HandleValue(type) == HandleValue(RT_VERSION);
  if (versionType && it->second.resourceError != 0) return s.Fail(it->second.resourceError), nullptr;
  if (!versionType || it->second.resource.empty()) {
    return s.Fail(ERROR_RESOURCE_TYPE_NOT_FOUND), nullptr;
  }
  if (!IS_INTRESOURCE(name) || HandleValue(name) != kFirstVersionResourceId) {
    return s.Fail(ERROR_RESOURCE_NAME_NOT_FOUND), nullptr;
  }
  // The resource handle is the module's; a module has one resource here.
  return AsHandle<HRSRC>(HandleValue(module) + 1);
}

HGLOBAL SystemServices::LoadResource(HMODULE module, HRSRC resource) {
  State& s = *state_;
  s.core.Log("LoadResource", Join(Handle(module), Handle(resource)));
  if (s.Faulted("LoadResource")) return nullptr;
  auto it = s.modules.find(HandleValue(module));
  if (it == s.modules.end() || HandleValue(resource) != HandleValue(module) + 1) return s.Fail(ERROR_INVALID_HANDLE), nullptr;
  return AsHandle<HGLOBAL>(HandleValue(module) + 2);
}

LPVOID SystemServices::LockResource(HGLOBAL resourceData) {
  State& s = *state_;
  s.core.Log("LockResource", Handle(resourceData));
  if (s.Faulted("LockResource")) return nullptr;
  auto it = s.modules.find(HandleValue(resourceData) - 2);
  if (it == s.modules.end() || it->second.resource.empty()) return nullptr;
  return it->second.resource.data();
}

DWORD SystemServices::SizeofResource(HMODULE module, HRSRC resource) {
  State& s = *state_;
  s.core.Log("SizeofResource", Join(Handle(module), Handle(resource)));
  if (s.Faulted("SizeofResource")) return 0;
  auto it = s.modules.find(HandleValue(module));
  if (it == s.modules.end() || HandleValue(resource) != HandleValue(module) + 1) return s.Fail(ERROR_INVALID_HANDLE), 0;
  return static_cast<DWORD>(it->second.resource.size());
}

DWORD SystemServices::GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
  State& s = *state_;
  s.core.Log("GetFileVersionInfoSizeA", Join(Str(path), Out(handle)));
  if (handle != nullptr) *handle = 0;
  if (s.Faulted("GetFileVersionInfoSizeA")) return 0;
  const File* file = path == nullptr ? nullptr : s.FindFile(path);
  if (file == nullptr) return s.Fail(ERROR_FILE_NOT_FOUND), 0;
  if (file->versionError != 0) return s.Fail(file->versionError), 0;
  if (!file->version || !file->versionInfoApi) return s.Fail(ERROR_RESOURCE_TYPE_NOT_FOUND), 0;
  // Room for the resource and for the ANSI texts converted after it.
  return static_cast<DWORD>(2 * BuildVersionResource(*file->version).size() + 4);
}

BOOL SystemServices::GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data) {
  State& s = *state_;
  s.core.Log("GetFileVersionInfoA", Join(Str(path), Dec(handle), Dec(size), Buffer(data, size)));
  if (s.Faulted("GetFileVersionInfoA")) return FALSE;
  if (data == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  const File* file = path == nullptr ? nullptr : s.FindFile(path);
  if (file == nullptr) return s.Fail(ERROR_FILE_NOT_FOUND);
  if (file->versionError != 0) return s.Fail(file->versionError);
  if (!file->version || !file->versionInfoApi) return s.Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  const std::vector<BYTE> resource = BuildVersionResource(*file->version);
  std::memset(data, 0, size);
  std::memcpy(data, resource.data(), std::min<std::size_t>(size, resource.size()));
  if (size < resource.size()) {
    // A truncated copy says so in its length, so that reading it stays inside.
    const WORD truncated = static_cast<WORD>(size & ~DWORD{3});
    if (size >= 2) std::memcpy(data, &truncated, 2);
  }
  return TRUE;
}

BOOL SystemServices::VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) {
  State& s = *state_;
  s.core.Log("VerQueryValueA", Join(Out(block), Str(subBlock), Out(value), Out(length)));
  if (s.Faulted("VerQueryValueA")) return FALSE;
  if (block == nullptr || subBlock == nullptr || value == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  VersionValue found;
  // The ANSI conversion writes into the caller's block, as the real function does.
  if (!QueryVersionValue(const_cast<void*>(block), subBlock, &found)) {
    *value = nullptr;
    if (length != nullptr) *length = 0;
    return s.Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  *value = found.data;
  if (length != nullptr) *length = found.length;
  return TRUE;
}

// ---------------------------------------------------------------------------------
// Service control manager.

namespace {

constexpr DWORD kManagerWriteRights = SC_MANAGER_ALL_ACCESS & ~(STANDARD_RIGHTS_READ | SC_MANAGER_CONNECT | 0x4 | 0x10);
constexpr DWORD kServiceReadRights = STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | 0x8 | 0x80;

}  // namespace

SC_HANDLE SystemServices::OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  State& s = *state_;
  s.core.Log("OpenSCManagerA", Join(Str(machine), Str(database), Hex(access)));
  if (s.Faulted("OpenSCManagerA")) return nullptr;
  if (machine != nullptr && *machine != '\0') return s.Fail(1722), nullptr;  // RPC_S_SERVER_UNAVAILABLE
  if (s.System().serviceManagerError != 0) return s.Fail(s.System().serviceManagerError), nullptr;
  if (!s.System().administrator && (access & kManagerWriteRights) != 0) return s.Fail(ERROR_ACCESS_DENIED), nullptr;
  const std::uintptr_t handle = s.core.Acquire(ResourceKind::ServiceManager, "OpenSCManagerA(" + Hex(access) + ")");
  s.managers.emplace(handle, access);
  return AsHandle<SC_HANDLE>(handle);
}

SC_HANDLE SystemServices::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
  State& s = *state_;
  s.core.Log("OpenServiceA", Join(Handle(manager), Str(serviceName), Hex(access)));
  if (s.Faulted("OpenServiceA")) return nullptr;
  if (!s.core.IsLive(HandleValue(manager), ResourceKind::ServiceManager)) return s.Fail(ERROR_INVALID_HANDLE), nullptr;
  if (serviceName == nullptr) return s.Fail(ERROR_INVALID_PARAMETER), nullptr;
  const Service* service = nullptr;
  for (const Service& candidate : s.Model().services) {
    if (SameText(candidate.name, serviceName)) service = &candidate;
  }
  if (service == nullptr) return s.Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
  if (service->openError != 0) return s.Fail(service->openError), nullptr;
  if (!s.System().administrator && (access & ~kServiceReadRights) != 0) return s.Fail(ERROR_ACCESS_DENIED), nullptr;
  const std::uintptr_t handle =
      s.core.Acquire(ResourceKind::ServiceHandle, "OpenServiceA(\"" + service->name + "\", " + Hex(access) + ")");
  s.services.emplace(handle, State::ServiceHandle{service->name, access});
  return AsHandle<SC_HANDLE>(handle);
}

namespace {

Service* ServiceOf(MachineModel& model, const std::string& name) {
  for (Service& service : model.services) {
    if (SameText(service.name, name)) return &service;
  }
  return nullptr;
}

}  // namespace

BOOL SystemServices::QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                                         LPDWORD bytesNeeded) {
  State& s = *state_;
  s.core.Log("QueryServiceConfigA", Join(Handle(service), Buffer(config, bufferSize), Dec(bufferSize), Out(bytesNeeded)));
  if (s.Faulted("QueryServiceConfigA")) return FALSE;
  auto it = s.services.find(HandleValue(service));
  if (it == s.services.end() || !s.core.IsLive(HandleValue(service), ResourceKind::ServiceHandle)) {
    return s.Fail(ERROR_INVALID_HANDLE);
  }
  if ((it->second.access & SERVICE_QUERY_CONFIG) == 0) return s.Fail(ERROR_ACCESS_DENIED);
  const Service* model = ServiceOf(s.Model(), it->second.name);
  if (model == nullptr) return s.Fail(1072);  // ERROR_SERVICE_MARKED_FOR_DELETE
  if (model->configError != 0) return s.Fail(model->configError);
  if (bytesNeeded == nullptr) return s.Fail(kErrorInvalidAddress);

  // The record, then its strings: binary path, load order group, dependencies
  // (double NUL), start name, display name.
  const std::string startName = model->type == SERVICE_KERNEL_DRIVER ? "" : "LocalSystem";
  const std::string empty;
  const std::size_t stringsSize = (model->binaryPath.size() + 1) + 1 + 2 + (startName.size() + 1) +
                                  (model->displayName.size() + 1);
  const DWORD needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGA) + stringsSize);
  *bytesNeeded = needed;
  if (config == nullptr || bufferSize < needed) return s.Fail(ERROR_INSUFFICIENT_BUFFER);

  std::memset(config, 0, needed);
  config->dwServiceType = model->type;
  config->dwStartType = model->startType;
  config->dwErrorControl = model->errorControl;
  char* at = reinterpret_cast<char*>(config) + sizeof(QUERY_SERVICE_CONFIGA);
  const auto put = [&at](const std::string& text, std::size_t terminators) {
    char* start = at;
    std::memcpy(at, text.c_str(), text.size());
    at += text.size() + terminators;
    return start;
  };
  config->lpBinaryPathName = put(model->binaryPath, 1);
  config->lpLoadOrderGroup = put(empty, 1);
  config->lpDependencies = put(empty, 2);
  config->lpServiceStartName = put(startName, 1);
  config->lpDisplayName = put(model->displayName, 1);
  return TRUE;
}

BOOL SystemServices::QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  State& s = *state_;
  s.core.Log("QueryServiceStatus", Join(Handle(service), Out(status)));
  if (s.Faulted("QueryServiceStatus")) return FALSE;
  auto it = s.services.find(HandleValue(service));
  if (it == s.services.end() || !s.core.IsLive(HandleValue(service), ResourceKind::ServiceHandle)) {
    return s.Fail(ERROR_INVALID_HANDLE);
  }
  if ((it->second.access & SERVICE_QUERY_STATUS) == 0) return s.Fail(ERROR_ACCESS_DENIED);
  if (status == nullptr) return s.Fail(kErrorInvalidAddress);
  const Service* model = ServiceOf(s.Model(), it->second.name);
  if (model == nullptr) return s.Fail(1072);
  if (model->statusError != 0) return s.Fail(model->statusError);
  *status = SERVICE_STATUS{};
  status->dwServiceType = model->type;
  status->dwCurrentState = model->state;
  status->dwControlsAccepted = model->state == SERVICE_RUNNING ? 1u : 0u;  // SERVICE_ACCEPT_STOP
  return TRUE;
}

BOOL SystemServices::StartServiceA(SC_HANDLE service, DWORD argCount, LPCSTR* args) {
  State& s = *state_;
  s.core.Log("StartServiceA", Join(Handle(service), Dec(argCount), args == nullptr ? "null" : "out"));
  if (s.Faulted("StartServiceA")) return FALSE;
  auto it = s.services.find(HandleValue(service));
  if (it == s.services.end() || !s.core.IsLive(HandleValue(service), ResourceKind::ServiceHandle)) {
    return s.Fail(ERROR_INVALID_HANDLE);
  }
  if ((it->second.access & SERVICE_START) == 0) return s.Fail(ERROR_ACCESS_DENIED);
  Service* model = ServiceOf(s.Model(), it->second.name);
  if (model == nullptr) return s.Fail(1072);
  if (model->startType == SERVICE_DISABLED) return s.Fail(ERROR_SERVICE_DISABLED);
  if (model->state != SERVICE_STOPPED) return s.Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (model->startError != 0) return s.Fail(model->startError);
  model->state = SERVICE_RUNNING;
  return TRUE;
}

BOOL SystemServices::DeleteService(SC_HANDLE service) {
  State& s = *state_;
  s.core.Log("DeleteService", Handle(service));
  if (s.Faulted("DeleteService")) return FALSE;
  auto it = s.services.find(HandleValue(service));
  if (it == s.services.end() || !s.core.IsLive(HandleValue(service), ResourceKind::ServiceHandle)) {
    return s.Fail(ERROR_INVALID_HANDLE);
  }
  if ((it->second.access & DELETE) == 0) return s.Fail(ERROR_ACCESS_DENIED);
  auto& services = s.Model().services;
  const auto found = std::find_if(services.begin(), services.end(),
                                  [&](const Service& candidate) { return SameText(candidate.name, it->second.name); });
  if (found == services.end()) return s.Fail(1072);  // ERROR_SERVICE_MARKED_FOR_DELETE
  // The service manager drops it once its last handle is closed; nothing here holds
  // it open longer than the caller does.
  services.erase(found);
  return TRUE;
}

BOOL SystemServices::CloseServiceHandle(SC_HANDLE handle) {
  State& s = *state_;
  s.core.Log("CloseServiceHandle", Handle(handle));
  const std::uintptr_t value = HandleValue(handle);
  if (!s.core.IsLive(value, ResourceKind::ServiceHandle) && !s.core.IsLive(value, ResourceKind::ServiceManager)) {
    return s.Fail(ERROR_INVALID_HANDLE);
  }
  s.core.Release(value);
  s.services.erase(value);
  s.managers.erase(value);
  // A failing close has still closed the handle.
  if (s.Faulted("CloseServiceHandle")) return FALSE;
  return TRUE;
}

// ---------------------------------------------------------------------------------
// Message boxes, the clipboard and the shell.

int SystemServices::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  State& s = *state_;
  s.core.Log("MessageBoxA", Join(Handle(owner), Str(text), Str(caption), Hex(type)));
  DWORD error = 0;
  if (s.core.ShouldFail("MessageBoxA", &error)) {
    s.core.SetLastError(error);
    return 0;
  }
  MessageBoxCall call{owner, text == nullptr ? "" : text, caption == nullptr ? "Error" : caption, type};
  s.messageBoxes.push_back(call);
  if (s.messageBoxHandler) return s.messageBoxHandler(call);  // may show further boxes
  return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}

BOOL SystemServices::OpenClipboard(HWND owner) {
  State& s = *state_;
  s.core.Log("OpenClipboard", Handle(owner));
  if (s.Faulted("OpenClipboard")) return FALSE;
  if (s.System().clipboardBusy || s.clipboardOpen) return s.Fail(ERROR_ACCESS_DENIED);
  s.clipboardOpen = true;
  return TRUE;
}

BOOL SystemServices::EmptyClipboard() {
  State& s = *state_;
  s.core.Log("EmptyClipboard", "");
  if (s.Faulted("EmptyClipboard")) return FALSE;
  if (!s.clipboardOpen) return s.Fail(ERROR_CLIPBOARD_NOT_OPEN);
  s.FreeClipboardData();
  return TRUE;
}

HANDLE SystemServices::SetClipboardData(UINT format, HANDLE data) {
  State& s = *state_;
  s.core.Log("SetClipboardData", Join(Dec(format), Handle(data)));
  if (s.Faulted("SetClipboardData")) return nullptr;
  if (!s.clipboardOpen) return s.Fail(ERROR_CLIPBOARD_NOT_OPEN), nullptr;
  State::Block* block = s.FindBlock(data);
  if (block == nullptr) return s.Fail(ERROR_INVALID_HANDLE), nullptr;
  // The clipboard owns the block from now on.
  std::vector<BYTE> bytes(block->bytes.begin(), block->bytes.begin() + static_cast<std::ptrdiff_t>(block->size));
  s.core.Release(block->account);
  s.blocks.erase(HandleValue(data));
  if (s.clipboard.count(format) == 0) s.clipboardOrder.push_back(format);
  s.clipboard[format] = std::move(bytes);
  return data;
}

BOOL SystemServices::CloseClipboard() {
  State& s = *state_;
  s.core.Log("CloseClipboard", "");
  if (!s.clipboardOpen) return s.Fail(ERROR_CLIPBOARD_NOT_OPEN);
  s.clipboardOpen = false;
  if (s.Faulted("CloseClipboard")) return FALSE;
  return TRUE;
}

HINSTANCE SystemServices::ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                        LPCSTR directory, INT show) {
  State& s = *state_;
  s.core.Log("ShellExecuteA", Join(Handle(owner), Str(verb), Str(file), Str(parameters), Str(directory), Dec(show)));
  s.shellExecutes.push_back(ShellExecuteCall{verb == nullptr ? "" : verb, file == nullptr ? "" : file,
                                             parameters == nullptr ? "" : parameters, directory == nullptr, show});
  const auto result = [](int code) { return AsHandle<HINSTANCE>(static_cast<std::uintptr_t>(code)); };
  DWORD error = 0;
  if (s.core.ShouldFail("ShellExecuteA", &error)) {
    s.core.SetLastError(error);
    return result(kShellFileNotFound);
  }
  if (file == nullptr) return result(kShellFileNotFound);
  const std::string base = directory != nullptr ? std::string(directory) : s.System().currentDirectory;
  const std::string path = ResolvePath(base, file);
  if (FindModelFile(s.Model(), path) == nullptr) {
    s.core.SetLastError(ERROR_FILE_NOT_FOUND);
    return result(kShellFileNotFound);
  }
  const std::string theVerb = verb == nullptr ? "" : ToUpperAscii(verb);
  if (HasExtension(path, ".inf")) {
    // The shell's "install" verb on an INF runs its DefaultInstall section.
    if (theVerb != "INSTALL") return result(kShellNoAssociation);
    if (s.core.installInf) s.core.installInf(path);
    return result(kShellOk);
  }
  if (HasExtension(path, ".exe") && (theVerb.empty() || theVerb == "OPEN")) {
    // Only the helper program does something here; it runs to its end before the
    // call returns, as if the program waited for it.
    if (SameText(BaseName(path), "TALON64.EXE")) s.RunHelper(parameters == nullptr ? "" : parameters);
    return result(kShellOk);
  }
  return result(kShellNoAssociation);
}

BOOL SystemServices::ShellExecuteExA(LPSHELLEXECUTEINFOA info) {
  State& s = *state_;
  if (info == nullptr) {
    s.core.Log("ShellExecuteExA", "null");
    return s.Fail(ERROR_INVALID_PARAMETER);
  }
  s.core.Log("ShellExecuteExA", Join(Hex(info->fMask), Str(info->lpVerb), Str(info->lpFile), Str(info->lpParameters),
                                     Str(info->lpDirectory), Dec(info->nShow)));
  if (info->cbSize != sizeof(SHELLEXECUTEINFOA)) return s.Fail(ERROR_INVALID_PARAMETER);
  info->hProcess = nullptr;
  const auto instance = [](int code) { return AsHandle<HINSTANCE>(static_cast<std::uintptr_t>(code)); };
  const char* file = info->lpFile;
  s.shellExecutes.push_back(ShellExecuteCall{info->lpVerb == nullptr ? "" : info->lpVerb, file == nullptr ? "" : file,
                                             info->lpParameters == nullptr ? "" : info->lpParameters,
                                             info->lpDirectory == nullptr, info->nShow});
  if (s.Faulted("ShellExecuteExA")) {
    info->hInstApp = instance(kShellFileNotFound);
    return FALSE;
  }
  if (file == nullptr) return s.Fail(ERROR_FILE_NOT_FOUND);
  const std::string base = info->lpDirectory != nullptr ? std::string(info->lpDirectory) : s.System().currentDirectory;
  const std::string path = ResolvePath(base, file);
  if (FindModelFile(s.Model(), path) == nullptr) {
    info->hInstApp = instance(kShellFileNotFound);
    return s.Fail(ERROR_FILE_NOT_FOUND);
  }
  const std::string verb = info->lpVerb == nullptr ? "" : ToUpperAscii(info->lpVerb);
  DWORD exitCode = 0;
  if (HasExtension(path, ".inf") && verb == "INSTALL") {
    // The shell's "install" verb runs the DefaultInstall section in a program whose
    // exit code says nothing about it.
    if (s.core.installInf) s.core.installInf(path);
  } else if (HasExtension(path, ".exe") && (verb.empty() || verb == "OPEN")) {
    if (SameText(BaseName(path), "TALON64.EXE")) exitCode = s.RunHelper(info->lpParameters == nullptr ? "" : info->lpParameters);
  } else {
    info->hInstApp = instance(kShellNoAssociation);
    return s.Fail(kErrorNoAssociation);
  }
  info->hInstApp = instance(kShellOk);
  if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) != 0) {
    const std::uintptr_t handle = s.core.Acquire(ResourceKind::Process, "ShellExecuteExA(" + std::string(file) + ")");
    s.processes[handle] = exitCode;
    if (s.holdProcesses) s.running.insert(handle);
    info->hProcess = AsHandle<HANDLE>(handle);
  }
  return TRUE;
}

DWORD SystemServices::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  State& s = *state_;
  s.core.Log("WaitForSingleObject", Join(Handle(handle), Dec(milliseconds)));
  if (s.Faulted("WaitForSingleObject")) return WAIT_FAILED;
  if (!s.core.IsLive(HandleValue(handle), ResourceKind::Process)) return s.Fail(ERROR_INVALID_HANDLE), WAIT_FAILED;
  if (s.running.count(HandleValue(handle)) != 0) {
    if (milliseconds != INFINITE) return WAIT_TIMEOUT;
    s.running.erase(HandleValue(handle));  // the wait lasts until the program ends
  }
  return WAIT_OBJECT_0;
}

BOOL SystemServices::GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  State& s = *state_;
  s.core.Log("GetExitCodeProcess", Join(Handle(process), Out(exitCode)));
  if (s.Faulted("GetExitCodeProcess")) return FALSE;
  const auto it = s.processes.find(HandleValue(process));
  if (it == s.processes.end() || !s.core.IsLive(it->first, ResourceKind::Process)) return s.Fail(ERROR_INVALID_HANDLE);
  if (exitCode == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  *exitCode = s.running.count(it->first) != 0 ? static_cast<DWORD>(STILL_ACTIVE) : it->second;
  return TRUE;
}

BOOL SystemServices::SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) {
  State& s = *state_;
  s.core.Log("SystemParametersInfoA", Join(Dec(action), Dec(param), Out(data), Dec(winIni)));
  if (s.Faulted("SystemParametersInfoA")) return FALSE;
  if (action != SPI_GETHIGHCONTRAST) return s.Fail(ERROR_INVALID_SPI_VALUE);
  auto* contrast = static_cast<HIGHCONTRASTA*>(data);
  if (contrast == nullptr || param < sizeof(HIGHCONTRASTA) || contrast->cbSize < sizeof(HIGHCONTRASTA)) {
    return s.Fail(ERROR_INVALID_PARAMETER);
  }
  contrast->dwFlags = HCF_AVAILABLE | (s.System().highContrast ? HCF_HIGHCONTRASTON : 0);
  contrast->lpszDefaultScheme = nullptr;
  return TRUE;
}

// ---------------------------------------------------------------------------------
// Global memory.

HGLOBAL SystemServices::GlobalAlloc(UINT flags, SIZE_T bytes) {
  State& s = *state_;
  s.core.Log("GlobalAlloc", Join(Hex(flags), Dec(bytes)));
  if (s.Faulted("GlobalAlloc")) return nullptr;
  State::Block block;
  block.size = bytes;
  block.bytes.assign(std::max<SIZE_T>(bytes, 1), 0);
  block.fixed = (flags & GMEM_MOVEABLE) == 0;
  block.account = s.core.Acquire(ResourceKind::GlobalMemory, "GlobalAlloc(" + Hex(flags) + ", " + Dec(bytes) + ")");
  // A fixed block's handle is its address.
  const std::uintptr_t handle = block.fixed ? HandleValue(block.bytes.data()) : block.account;
  s.blocks.emplace(handle, std::move(block));
  return AsHandle<HGLOBAL>(handle);
}

LPVOID SystemServices::GlobalLock(HGLOBAL handle) {
  State& s = *state_;
  s.core.Log("GlobalLock", Handle(handle));
  if (s.Faulted("GlobalLock")) return nullptr;
  State::Block* block = s.FindBlock(handle);
  if (block == nullptr) return s.Fail(ERROR_INVALID_HANDLE), nullptr;
  ++block->locks;
  return block->bytes.data();
}

BOOL SystemServices::GlobalUnlock(HGLOBAL handle) {
  State& s = *state_;
  s.core.Log("GlobalUnlock", Handle(handle));
  if (s.Faulted("GlobalUnlock")) return FALSE;
  State::Block* block = s.FindBlock(handle);
  if (block == nullptr) return s.Fail(ERROR_INVALID_HANDLE);
  if (block->fixed) return FALSE;
  if (block->locks == 0) return s.Fail(kErrorNotLocked);
  if (--block->locks > 0) return TRUE;
  s.core.SetLastError(ERROR_SUCCESS);
  return FALSE;
}

HGLOBAL SystemServices::GlobalFree(HGLOBAL handle) {
  State& s = *state_;
  s.core.Log("GlobalFree", Handle(handle));
  if (s.Faulted("GlobalFree")) return handle;
  State::Block* block = s.FindBlock(handle);
  if (block == nullptr) return s.Fail(ERROR_INVALID_HANDLE), handle;
  s.core.Release(block->account);
  s.blocks.erase(HandleValue(handle));
  return nullptr;
}

// ---------------------------------------------------------------------------------
// System facts.

DWORD SystemServices::GetLastError() { return state_->core.LastError(); }
void SystemServices::SetLastError(DWORD code) { state_->core.SetLastError(code); }

BOOL SystemServices::GetVersionExA(LPOSVERSIONINFOA info) {
  State& s = *state_;
  s.core.Log("GetVersionExA", info == nullptr ? "null" : Dec(info->dwOSVersionInfoSize));
  if (s.Faulted("GetVersionExA")) return FALSE;
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) return s.Fail(ERROR_INSUFFICIENT_BUFFER);
  const DWORD size = info->dwOSVersionInfoSize;
  std::memset(info, 0, sizeof(OSVERSIONINFOA));
  info->dwOSVersionInfoSize = size;
  info->dwPlatformId = s.System().platformId;
  if (s.System().platformId == VER_PLATFORM_WIN32_NT) {
    // What GetVersionExA tells a program without a compatibility manifest.
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
  } else {
    info->dwMajorVersion = 4;
    info->dwMinorVersion = 10;
    info->dwBuildNumber = 0x040A08AE;  // 98 Second Edition: the version in the high word
    std::memcpy(info->szCSDVersion, " A ", 4);
  }
  return TRUE;
}

HANDLE SystemServices::GetCurrentProcess() { return AsHandle<HANDLE>(kCurrentProcess); }

HMODULE SystemServices::GetModuleHandleA(LPCSTR moduleName) {
  State& s = *state_;
  s.core.Log("GetModuleHandleA", Str(moduleName));
  if (s.Faulted("GetModuleHandleA")) return nullptr;
  const std::string name = moduleName == nullptr ? "" : ToUpperAscii(BaseName(moduleName));
  if (name == "KERNEL32.DLL" || name == "KERNEL32") return AsHandle<HMODULE>(kKernel32Module);
  if (name == "NTDLL.DLL" || name == "NTDLL") return AsHandle<HMODULE>(kNtdllModule);
  return s.Fail(kErrorModNotFound), nullptr;
}

HMODULE SystemServices::LoadLibraryW(LPCWSTR moduleName) {
  State& s = *state_;
  const std::string name = NarrowModuleName(moduleName);
  s.core.Log("LoadLibraryW", Str(name.c_str()));
  if (s.Faulted("LoadLibraryW")) return nullptr;
  const std::string upper = ToUpperAscii(BaseName(name));
  if (upper != "NTDLL.DLL" && upper != "NTDLL" && upper != "KERNEL32.DLL" && upper != "KERNEL32") {
    return s.Fail(kErrorModNotFound), nullptr;
  }
  // Each load is a reference the caller owns; the handle names the module.
  const std::uintptr_t handle = s.core.Acquire(ResourceKind::Module, "LoadLibraryW(\"" + name + "\")");
  State::LoadedModule module;
  module.path = upper.rfind("NTDLL", 0) == 0 ? "ntdll.dll" : "kernel32.dll";
  s.modules.emplace(handle, std::move(module));
  return AsHandle<HMODULE>(handle);
}

FARPROC SystemServices::GetProcAddress(HMODULE module, LPCSTR procName) {
  State& s = *state_;
  s.core.Log("GetProcAddress", Join(Handle(module), procName != nullptr && IS_INTRESOURCE(procName)
                                                          ? "#" + std::to_string(HandleValue(procName))
                                                          : Str(procName)));
  if (s.Faulted("GetProcAddress")) return nullptr;
  std::string moduleName;
  if (HandleValue(module) == kKernel32Module) {
    moduleName = "kernel32.dll";
  } else if (HandleValue(module) == kNtdllModule) {
    moduleName = "ntdll.dll";
  } else if (auto it = s.modules.find(HandleValue(module)); it != s.modules.end()) {
    moduleName = it->second.path;
  } else {
    return s.Fail(kErrorModNotFound), nullptr;
  }
  if (procName == nullptr || IS_INTRESOURCE(procName)) return s.Fail(ERROR_PROC_NOT_FOUND), nullptr;
  const std::string name = procName;
  FARPROC address = nullptr;
  if (moduleName == "kernel32.dll" && s.System().hasWow64Functions) {
    if (name == "IsWow64Process") address = AsProc(&SimIsWow64Process);
    if (name == "Wow64DisableWow64FsRedirection") address = AsProc(&SimWow64DisableWow64FsRedirection);
    if (name == "Wow64RevertWow64FsRedirection") address = AsProc(&SimWow64RevertWow64FsRedirection);
  }
  if (moduleName == "ntdll.dll" && s.System().hasNtSetSystemInformation && name == "NtSetSystemInformation") {
    address = AsProc(&SimNtSetSystemInformation);
  }
  if (address == nullptr) return s.Fail(ERROR_PROC_NOT_FOUND), nullptr;
  g_resolver = &s;
  return address;
}

DWORD SystemServices::FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                                     DWORD size, void* arguments) {
  State& s = *state_;
  s.core.Log("FormatMessageA", Join(Hex(flags), Out(source), Dec(messageId), Dec(languageId), Buffer(buffer, size),
                                    Dec(size), Out(arguments)));
  if (s.Faulted("FormatMessageA")) return 0;
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) return s.Fail(ERROR_INVALID_PARAMETER), 0;
  if (buffer == nullptr || size >= kFormatMessageLimit) return s.Fail(ERROR_INVALID_PARAMETER), 0;
  // Neutral and US English find the English texts; other languages have none.
  if (languageId != 0 && languageId != 0x0409) return s.Fail(1815), 0;  // ERROR_RESOURCE_LANG_NOT_FOUND
  const std::optional<std::string> text = s.MessageText(messageId);
  if (!text) return s.Fail(kErrorMrMidNotFound), 0;
  // Inserts are read from the arguments unless they are to be left alone.
  if ((flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && text->find('%') != std::string::npos && arguments == nullptr) {
    return s.Fail(ERROR_INVALID_PARAMETER), 0;
  }
  if (text->size() + 1 > size) return s.Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  std::memcpy(buffer, text->c_str(), text->size() + 1);
  return static_cast<DWORD>(text->size());
}

int SystemServices::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                                        int wideLength) {
  State& s = *state_;
  s.core.Log("MultiByteToWideChar", Join(Dec(codePage), Hex(flags), Str(text), SignedDec(length),
                                         Buffer(wide, static_cast<unsigned long long>(wideLength) * 2),
                                         SignedDec(wideLength)));
  if (s.Faulted("MultiByteToWideChar")) return 0;
  if (text == nullptr || length == 0 || length < -1 || wideLength < 0 || (wide == nullptr && wideLength != 0)) {
    return s.Fail(ERROR_INVALID_PARAMETER), 0;
  }
  const std::size_t count = length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
  if (wideLength == 0) return static_cast<int>(count);
  if (count > static_cast<std::size_t>(wideLength)) return s.Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  for (std::size_t i = 0; i < count; ++i) wide[i] = WideOf(static_cast<unsigned char>(text[i]));
  return static_cast<int>(count);
}

int SystemServices::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                                        int length, LPCSTR defaultChar, PBOOL usedDefault) {
  State& s = *state_;
  s.core.Log("WideCharToMultiByte", Join(Dec(codePage), Hex(flags), Out(wide), SignedDec(wideLength),
                                         Buffer(text, static_cast<unsigned long long>(length)), SignedDec(length),
                                         Str(defaultChar), Out(usedDefault)));
  if (s.Faulted("WideCharToMultiByte")) return 0;
  if (wide == nullptr || wideLength == 0 || wideLength < -1 || length < 0 || (text == nullptr && length != 0)) {
    return s.Fail(ERROR_INVALID_PARAMETER), 0;
  }
  std::size_t count = 0;
  if (wideLength == -1) {
    while (wide[count] != 0) ++count;
    ++count;
  } else {
    count = static_cast<std::size_t>(wideLength);
  }
  if (usedDefault != nullptr) *usedDefault = FALSE;
  if (length == 0) return static_cast<int>(count);
  if (count > static_cast<std::size_t>(length)) return s.Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  const char fallback = defaultChar != nullptr && *defaultChar != '\0' ? *defaultChar : '?';
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<char> c = AnsiOf(wide[i]);
    if (!c && usedDefault != nullptr) *usedDefault = TRUE;
    text[i] = c.value_or(fallback);
  }
  return static_cast<int>(count);
}

// ---------------------------------------------------------------------------------
// Tokens and privileges.

BOOL SystemServices::LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
  State& s = *state_;
  s.core.Log("LookupPrivilegeValueA", Join(Str(systemName), Str(name), Out(luid)));
  if (s.Faulted("LookupPrivilegeValueA")) return FALSE;
  if (systemName != nullptr && *systemName != '\0') return s.Fail(1722), FALSE;
  if (name == nullptr || luid == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  auto it = PrivilegeIds().find(name);
  if (it == PrivilegeIds().end()) return s.Fail(ERROR_NO_SUCH_PRIVILEGE);
  luid->LowPart = it->second;
  luid->HighPart = 0;
  return TRUE;
}

BOOL SystemServices::OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  State& s = *state_;
  s.core.Log("OpenProcessToken", Join(Handle(process), Hex(access), Out(token)));
  if (s.Faulted("OpenProcessToken")) return FALSE;
  if (token == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (HandleValue(process) != kCurrentProcess) return s.Fail(ERROR_INVALID_HANDLE);
  *token = AsHandle<HANDLE>(s.core.Acquire(ResourceKind::TokenHandle, "OpenProcessToken(" + Hex(access) + ")"));
  return TRUE;
}

BOOL SystemServices::AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
  State& s = *state_;
  s.core.Log("AdjustTokenPrivileges", Join(Handle(token), Dec(static_cast<unsigned>(disableAll)), Out(newState),
                                           Dec(bufferLength), Out(previousState), Out(returnLength)));
  if (s.Faulted("AdjustTokenPrivileges")) return FALSE;
  if (!s.core.IsLive(HandleValue(token), ResourceKind::TokenHandle)) return s.Fail(ERROR_INVALID_HANDLE);
  if (!disableAll && newState == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  if (previousState != nullptr && returnLength == nullptr) return s.Fail(998);  // ERROR_NOACCESS

  // What changes: name -> enabled afterwards.
  std::vector<std::pair<std::string, bool>> changes;
  bool allAssigned = true;
  if (disableAll) {
    for (const std::string& name : s.enabledPrivileges) changes.emplace_back(name, false);
  } else {
    const DWORD count = newState->PrivilegeCount;
    for (DWORD i = 0; i < count; ++i) {
      const LUID_AND_ATTRIBUTES& entry = newState->Privileges[i];
      const std::string name = PrivilegeName(entry.Luid);
      if (name.empty() || s.System().heldPrivileges.count(name) == 0) {
        allAssigned = false;
        continue;
      }
      const bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (enable != (s.enabledPrivileges.count(name) != 0)) changes.emplace_back(name, enable);
    }
  }

  if (previousState != nullptr) {
    const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                            changes.size() * sizeof(LUID_AND_ATTRIBUTES));
    *returnLength = needed;
    if (bufferLength < needed) return s.Fail(ERROR_INSUFFICIENT_BUFFER);
    previousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
      LUID_AND_ATTRIBUTES& entry = previousState->Privileges[i];
      entry.Luid.LowPart = PrivilegeIds().at(changes[i].first);
      entry.Luid.HighPart = 0;
      entry.Attributes = changes[i].second ? 0 : SE_PRIVILEGE_ENABLED;  // the state before
    }
  }
  for (const auto& [name, enable] : changes) {
    if (enable) {
      s.enabledPrivileges.insert(name);
    } else {
      s.enabledPrivileges.erase(name);
    }
  }
  s.core.SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

// ---------------------------------------------------------------------------------
// Observation and scripting.

std::vector<UINT> SystemServices::ClipboardFormats() const { return state_->clipboardOrder; }

std::optional<std::vector<BYTE>> SystemServices::ClipboardData(UINT format) const {
  auto it = state_->clipboard.find(format);
  if (it == state_->clipboard.end()) return std::nullopt;
  return it->second;
}

void SystemServices::SetClipboardText(const std::string& text) {
  State& s = *state_;
  s.FreeClipboardData();
  s.clipboardOrder = {CF_TEXT};
  s.clipboard[CF_TEXT] = std::vector<BYTE>(text.begin(), text.end());
  s.clipboard[CF_TEXT].push_back(0);
}

void SystemServices::SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler) {
  state_->messageBoxHandler = std::move(handler);
}

const std::vector<MessageBoxCall>& SystemServices::MessageBoxes() const { return state_->messageBoxes; }
const std::vector<ShellExecuteCall>& SystemServices::ShellExecutes() const { return state_->shellExecutes; }
void SystemServices::HoldProcesses(bool hold) { state_->holdProcesses = hold; }
void SystemServices::EndProcesses() { state_->running.clear(); }
const std::vector<ULONG>& SystemServices::MemoryListCommands() const { return state_->memoryListCommands; }

bool SystemServices::IsPrivilegeEnabled(const std::string& name) const {
  return state_->enabledPrivileges.count(name) != 0;
}

}  // namespace sim
