#include "syshelpers/Messages.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace morvane {
namespace {

constexpr UINT kSharedMoveable = GMEM_MOVEABLE | GMEM_DDESHARE;
static_assert(kSharedMoveable == 0x2002);

// No arguments are passed, so inserts ("%1") must be left as they are: without
// FORMAT_MESSAGE_IGNORE_INSERTS the system would read them from a null array.
constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS;
static_assert(kMessageFlags == 0x3200);
constexpr DWORD kMessageBufferSize = 0x8000;
// The size passed is one character less than the buffer: Wine's FormatMessageA
// refuses sizes of 32K characters and more (ERROR_INVALID_PARAMETER), and no system
// message comes anywhere near that length.
constexpr DWORD kMessageSizeLimit = kMessageBufferSize - 1;

constexpr DWORD kLangNeutral = 0;
constexpr DWORD kLangEnglishUs = 0x0409;

std::string SysErrorMessage(DWORD code) {
  if (code == 0) return "A Win32 API function failed";
  const std::string text = GetSysErrorText(code);
  std::vector<char> buffer(text.size() + 64);
  std::snprintf(buffer.data(), buffer.size(), "Win32 Error.  Code: %d.\n%s", static_cast<int>(code), text.c_str());
  return buffer.data();
}

// Looked up in kernel32.dll at every call: the answer depends on the system the
// program runs on, and a null address means the function does not exist there.
template <typename Fn>
Fn ResolveKernel32(LPCSTR name) {
  platform::ISystem& system = platform::System();
  HMODULE kernel32 = system.GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  FARPROC proc = system.GetProcAddress(kernel32, name);
  if (proc == nullptr) return nullptr;
  // Through void(*)(), the one function type every function pointer converts from
  // without a cast-function-type warning.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// One clipboard format: a copy of `bytes` handed to SetClipboardData. The block is
// freed when the clipboard does not take it. Returns false when it was refused.
bool SetClipboardBlock(UINT format, const void* bytes, SIZE_T count, DWORD* error) {
  platform::UniqueGlobal block = CopyToGlobalMemory(bytes, count);
  if (platform::User().SetClipboardData(format, block.Get()) == nullptr) {
    *error = platform::System().GetLastError();
    return false;  // the block is freed here, keeping the last error
  }
  block.Release();  // the clipboard owns it now
  return true;
}

void PutAnsiText(const std::string& text) {
  DWORD error = 0;
  if (!SetClipboardBlock(CF_TEXT, text.c_str(), text.size() + 1, &error)) throw SysError(error);
}

// Returns normally when the Unicode copy was set or, with `required` false, when it
// could not be; raises SysError when it was required.
void PutUnicodeText(const std::string& text, bool required) {
  platform::ISystem& system = platform::System();
  const int length = static_cast<int>(text.size());
  const int units = system.MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  DWORD error = 0;
  if (units > 0) {
    std::vector<WCHAR> wide(static_cast<std::size_t>(units) + 1, 0);
    if (system.MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), units) == units) {
      if (SetClipboardBlock(CF_UNICODETEXT, wide.data(), wide.size() * sizeof(WCHAR), &error)) return;
    } else {
      error = system.GetLastError();
    }
  } else {
    error = system.GetLastError();
  }
  if (required) throw SysError(error);
}

}  // namespace

SysError::SysError(DWORD code) : Error(SysErrorMessage(code)), code_(code) {}

void RaiseLastSysError() { throw SysError(platform::System().GetLastError()); }

bool ShowMessageBox(HWND owner, const std::string& text, bool warning, bool defaultYes) {
  const char* title = warning ? " Warning !!!" : " Information";
  UINT style = MB_YESNO | (warning ? MB_ICONWARNING : MB_ICONINFORMATION);
  if (!defaultYes) style |= MB_DEFBUTTON2;
  return platform::User().MessageBoxA(owner, text.c_str(), title, style) == IDNO;
}

bool IsWow64() {
  auto isWow64Process = ResolveKernel32<PFN_IsWow64Process>("IsWow64Process");
  if (isWow64Process == nullptr) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(platform::System().GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

int DisableWow64Redirection(PVOID& token) {
  token = nullptr;
  auto disable = ResolveKernel32<PFN_Wow64DisableWow64FsRedirection>("Wow64DisableWow64FsRedirection");
  if (disable == nullptr) return -1;
  return disable(&token);
}

int RevertWow64Redirection(PVOID token) {
  auto revert = ResolveKernel32<PFN_Wow64RevertWow64FsRedirection>("Wow64RevertWow64FsRedirection");
  if (revert == nullptr) return -1;
  return revert(token);
}

platform::UniqueGlobal CopyToGlobalMemory(const void* source, SIZE_T count) {
  platform::IMemory& memory = platform::Memory();
  platform::UniqueGlobal block(memory.GlobalAlloc(kSharedMoveable, count));
  if (!block) RaiseLastSysError();
  void* data = memory.GlobalLock(block.Get());
  if (data == nullptr) RaiseLastSysError();  // the block is freed on the way out
  const HGLOBAL handle = block.Get();  // the block itself is moved out on return
  platform::ScopeExit unlock([&memory, handle] { memory.GlobalUnlock(handle); });
  if (count > 0) std::memcpy(data, source, count);
  return block;
}

bool CopyTextToClipboard(const std::string& text) {
  if (text.empty()) return false;
  platform::IUser& user = platform::User();
  if (!user.OpenClipboard(nullptr)) return false;
  platform::ScopeExit close([&] {
    // Closing must not replace the code a failing step left.
    platform::ISystem& system = platform::System();
    const DWORD lastError = system.GetLastError();
    user.CloseClipboard();
    system.SetLastError(lastError);
  });
  user.EmptyClipboard();
  if (platform::IsNtPlatform()) {
    PutUnicodeText(text, true);
    PutAnsiText(text);
  } else {
    PutAnsiText(text);
    PutUnicodeText(text, false);
  }
  return true;
}

std::string FormatIntervalRange(std::uint32_t first, std::uint32_t second) {
  if (first == 0 && second == 0) return {};
  std::string result = std::to_string(first);
  if (second != first) result += " - " + std::to_string(second);
  return result;
}

std::string GetSysErrorTextInLanguage(DWORD code, DWORD language) {
  std::vector<char> buffer(kMessageBufferSize, '\0');
  DWORD n = platform::System().FormatMessageA(kMessageFlags, nullptr, code, language, buffer.data(),
                                              kMessageSizeLimit, nullptr);
  if (n > kMessageSizeLimit) n = 0;  // never trust a count beyond the buffer
  while (n > 0) {
    const unsigned char last = static_cast<unsigned char>(buffer[n - 1]);
    if (last > 0x20 && last != '.') break;
    --n;
  }
  return std::string(buffer.data(), n);
}

std::string GetSysErrorText(DWORD code) {
  std::string text = GetSysErrorTextInLanguage(code, kLangNeutral);
  if (text.empty()) text = GetSysErrorTextInLanguage(code, kLangEnglishUs);
  return text;
}

std::string GetProblemText(ULONG problem) {
  struct Meaning {
    ULONG problem;
    const char* text;
  };
  static constexpr Meaning Meanings[] = {
      {1, "the device is not configured correctly"},
      {3, "its driver may be damaged, or the system is short of memory"},
      {10, "the device cannot start"},
      {12, "the device cannot find enough free resources"},
      {14, "the device works only after Windows is restarted"},
      {18, "its drivers have to be installed again"},
      {19, "its configuration in the registry is incomplete or damaged"},
      {21, "Windows is removing the device"},
      {22, "the device is disabled"},
      {24, "the device is not present, not working, or lacks its drivers"},
      {28, "the drivers of the device are not installed"},
      {29, "the firmware has disabled the device"},
      {31, "Windows cannot load the drivers the device needs"},
      {32, "a driver service of the device is disabled"},
      {37, "a driver of the device failed to initialise"},
      {38, "a previous instance of a driver of the device is still in memory"},
      {39, "Windows cannot load a driver of the device: it may be damaged, missing or not allowed to load"},
      {40, "the service key of a driver of the device is missing or wrong"},
      {41, "a driver loaded, but Windows cannot find the device"},
      {43, "the device reported a failure and Windows stopped it"},
      {45, "the device is not connected"},
      {47, "the device has been prepared for safe removal"},
      {48, "a driver of the device is blocked from starting because of known problems with it"},
      {49, "the registry has grown too large for more devices"},
      {52, "Windows cannot verify the digital signature of a driver of the device"},
  };
  for (const Meaning& meaning : Meanings) {
    if (meaning.problem == problem) return meaning.text;
  }
  return "the device has problem " + std::to_string(problem);
}

}  // namespace morvane
