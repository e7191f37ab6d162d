// Entry point of TALON64.EXE: the real backend, then the command line.
//
// The program is built for the GUI subsystem, so that the window starting it through
// the shell does not flash a console whose one line vanishes with it. Where its
// message goes: to the standard error handle it was given (a redirection), else to
// the console of the program that started it, else into a message box.
#include <windows.h>

#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "talon64/TalonCommands.h"

namespace {

bool WriteAll(HANDLE handle, const std::string& text) {
  DWORD written = 0;
  return ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
         written == text.size();
}

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

void Deliver(const std::string& message) {
  if (message.empty()) return;
  if (Usable(::GetStdHandle(STD_ERROR_HANDLE)) && WriteAll(::GetStdHandle(STD_ERROR_HANDLE), message)) return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    const HANDLE console = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    const bool written = Usable(console) && WriteAll(console, message);
    if (Usable(console)) ::CloseHandle(console);
    ::FreeConsole();
    if (written) return;
  }
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  platform::User().MessageBoxA(nullptr, text.c_str(), "TALON64", MB_OK | MB_ICONERROR);
}

}  // namespace

int main(int argc, char** argv) {
  platform::Install(platform::win32::RealBackend());
  std::ostringstream errors;
  int exitCode = static_cast<int>(morvane::TalonExit::InternalError);
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    exitCode = static_cast<int>(morvane::RunTalon(args, errors));
  } catch (const std::exception& error) {
    errors << "TALON64: " << error.what() << '\n';
  } catch (...) {
    errors << "TALON64: unexpected failure\n";
  }
  Deliver(errors.str());
  return exitCode;
}
