// Entry point of TALON64.EXE: the real backend, then the command line.
#include <windows.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "talon64/TalonCommands.h"

int main(int argc, char** argv) {
  platform::Install(platform::win32::RealBackend());
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return static_cast<int>(morvane::RunTalon(args, std::cerr));
  } catch (const std::exception& error) {
    std::cerr << "TALON64: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "TALON64: unexpected failure\n";
  }
  return static_cast<int>(morvane::TalonExit::InternalError);
}
