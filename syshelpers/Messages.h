// The question box, Wow64 detection and redirection, the clipboard, and the text
// helpers for interval ranges and system error messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/types.h"

namespace morvane {

// A failed system call, carrying the last error code it left. The message is the
// code with the system's text for it, or a generic text when the code is 0.
class SysError : public Error {
 public:
  explicit SysError(DWORD code);
  DWORD Code() const noexcept { return code_; }

 private:
  DWORD code_;
};

// Throws SysError with the thread's current last error code.
[[noreturn]] void RaiseLastSysError();

// A Yes/No question. Returns true exactly when the user answered No; a box that
// cannot be shown counts as Yes, so callers that abort on true go on.
bool ShowMessageBox(HWND owner, const std::string& text, bool warning, bool defaultYes);

// The current process is a 32-bit process on 64-bit Windows.
bool IsWow64();

// Switch the calling thread's file-system redirection off and back on. Both return
// the platform call's result, or -1 when this system has no such function (the
// token then stays null).
int DisableWow64Redirection(PVOID& token);
int RevertWow64Redirection(PVOID token);

// A new moveable global block holding a copy of `count` bytes; raises SysError.
platform::UniqueGlobal CopyToGlobalMemory(const void* source, SIZE_T count);

// Puts the text on the clipboard as CF_UNICODETEXT and CF_TEXT. Returns false for an
// empty text or when the clipboard cannot be opened; raises SysError when a format
// cannot be set (blocks already handed to the clipboard stay there).
bool CopyTextToClipboard(const std::string& text);

// "" for 0 and 0, "8" for 8 and 8, otherwise "first - second" (not sorted).
std::string FormatIntervalRange(std::uint32_t first, std::uint32_t second);

// The system's message text for an error code, without trailing blanks, control
// characters and periods; empty when there is none. GetSysErrorText tries the
// neutral language first, then US English.
std::string GetSysErrorTextInLanguage(DWORD code, DWORD language);
std::string GetSysErrorText(DWORD code);

// What a device node's problem number means, in one plain sentence without a final
// period; a generic sentence naming the number for one not listed.
std::string GetProblemText(ULONG problem);

}  // namespace morvane
