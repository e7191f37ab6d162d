// The 64-bit helper program's commands, independent of the process that runs them:
//
//   TALON64 U <instance id>       restarts that device through its class installer
//   TALON64 e install <inf>       installs the INF's DefaultInstall section, services included
//
// Every outcome has its own exit code; every failure also writes one line to the
// error stream.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "talon64/TalonExit.h"

namespace morvane {

inline constexpr const char* FilterServiceName = "morvane";
inline constexpr const char* FilterDriverFileName = "morvane.sys";

// Runs one command line; `args` are the arguments after the program name.
TalonExit RunTalon(const std::vector<std::string>& args, std::ostream& errors);

// Restarts the device, or reports why not.
TalonExit RestartDeviceById(const std::string& instanceId, std::ostream& errors);

// Installs the INF (a path relative to the current directory, or a full one).
TalonExit InstallInf(const std::string& infPath, std::ostream& errors);

// The full path of `path`: kept when it names a drive or starts at a root, else
// relative to the current directory.
std::string FullInfPath(const std::string& path);

}  // namespace morvane
