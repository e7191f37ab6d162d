// The exit codes of the 64-bit helper program, shared with the programs that start it.
#pragma once

namespace morvane {

enum class TalonExit : int {
  Success = 0,
  UnknownCommand = 1,
  MissingArgument = 2,
  UnknownDevice = 3,        // no device with that instance ID
  MissingInf = 4,           // the INF file does not exist
  BadInf = 5,               // the INF exists but cannot be opened (syntax, access)
  InstallFailed = 6,        // the installation left no filter service, a disabled one, or not the INF's driver file
  RebootNeeded = 7,         // the device takes the change only after a restart of Windows
  DeviceListFailed = 8,     // no device-information set could be created
  InternalError = 9,        // an exception reached the entry point
  RestartRefused = 10,      // the class installer did not accept the property change
  MissingDriver = 11,       // the driver file the INF copies is not beside it
};

// An exit code of the helper program in words.
inline const char* TalonExitText(unsigned long code) {
  switch (static_cast<TalonExit>(code)) {
    case TalonExit::Success: return "done";
    case TalonExit::UnknownCommand: return "it does not know the command";
    case TalonExit::MissingArgument: return "the command lacks an argument";
    case TalonExit::UnknownDevice: return "no device has that instance ID";
    case TalonExit::MissingInf: return "the INF file is not there";
    case TalonExit::BadInf: return "the INF file cannot be opened";
    case TalonExit::InstallFailed: return "the installation left no filter service, a disabled one, or not the INF's driver file";
    case TalonExit::RebootNeeded: return "Windows must be restarted for the change to take effect";
    case TalonExit::DeviceListFailed: return "it could not make a device list";
    case TalonExit::InternalError: return "it failed unexpectedly";
    case TalonExit::RestartRefused: return "the class installer did not accept the property change";
    case TalonExit::MissingDriver: return "the driver file is not beside the INF file";
  }
  return "an exit code it does not have";
}

}  // namespace morvane
