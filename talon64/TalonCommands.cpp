#include "talon64/TalonCommands.h"

#include <cstdio>
#include <ostream>

#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Services.h"

namespace morvane {
namespace {

constexpr const char* Usage = "usage: TALON64 U <instance id> | TALON64 e install <inf file>";

bool SameCommand(const std::string& given, const char* command) {
  const std::string expected = command;
  if (given.size() != expected.size()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(given[i]) != lower(expected[i])) return false;
  }
  return true;
}

// The arguments from `first` on, joined by single spaces: the C runtime splits an
// instance ID or a path that contains blanks into several arguments.
std::string JoinFrom(const std::vector<std::string>& args, std::size_t first) {
  std::string joined;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (!joined.empty() && !args[i].empty()) joined += ' ';
    joined += args[i];
  }
  return joined;
}

std::string Hex(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(code));
  return text;
}

TalonExit Fail(std::ostream& errors, TalonExit code, const std::string& message) {
  errors << "TALON64: " << message << '\n';
  return code;
}

std::string CurrentDirectory() {
  platform::IFiles& files = platform::Files();
  std::string buffer(MAX_PATH, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = files.GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(length, '\0');  // too small: `length` counts the terminating NUL
  }
  return {};
}

// The folder part of a full path, without its trailing separator; empty when none.
std::string FolderOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

bool FileOpens(const std::string& path) {
  const platform::UniqueFile file(platform::Files().CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  return static_cast<bool>(file);
}

}  // namespace

std::string FullInfPath(const std::string& path) {
  const bool hasDrive = path.size() >= 2 && path[1] == ':';
  const bool fromRoot = !path.empty() && (path[0] == '\\' || path[0] == '/');
  if (hasDrive || fromRoot) return path;
  std::string directory = CurrentDirectory();
  if (directory.empty()) return path;
  if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
  return directory + path;
}

TalonExit RestartDeviceById(const std::string& instanceId, std::ostream& errors) {
  platform::IDeviceInstall& setup = platform::DeviceInstall();
  const platform::UniqueDevInfo set(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set) {
    return Fail(errors, TalonExit::DeviceListFailed,
                "cannot create a device list (error " + Hex(platform::System().GetLastError()) + ")");
  }
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  if (!setup.SetupDiOpenDeviceInfoA(set.Get(), instanceId.c_str(), nullptr, 0, &data)) {
    return Fail(errors, TalonExit::UnknownDevice,
                "no device with instance ID \"" + instanceId + "\" (error " +
                    Hex(platform::System().GetLastError()) + ")");
  }

  TDevice device(set.Get(), data, set.Get());
  if (!device.TryRestartDevice()) {
    return Fail(errors, TalonExit::RestartRefused,
                "device \"" + instanceId + "\" was not restarted (error " + Hex(platform::System().GetLastError()) +
                    ")");
  }

  SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof(params);
  if (setup.SetupDiGetDeviceInstallParamsA(set.Get(), &device.InfoData, &params) &&
      (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
    return Fail(errors, TalonExit::RebootNeeded,
                "device \"" + instanceId + "\" takes the change only after Windows is restarted");
  }
  return TalonExit::Success;
}

TalonExit InstallInf(const std::string& infPath, std::ostream& errors) {
  const std::string fullPath = FullInfPath(infPath);
  {
    UINT errorLine = 0;
    const platform::UniqueInf inf(
        platform::DeviceInstall().SetupOpenInfFileA(fullPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
    if (!inf) {
      const DWORD error = platform::System().GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return Fail(errors, TalonExit::MissingInf, "INF file \"" + fullPath + "\" not found");
      }
      return Fail(errors, TalonExit::BadInf,
                  "cannot open INF file \"" + fullPath + "\" (error " + Hex(error) + ", line " +
                      std::to_string(errorLine) + ")");
    }
  }

  // A service left by an earlier installation would pass the check below although this
  // one copies nothing, so the driver file the INF copies has to be beside it first.
  const std::string sourceDriver = FolderOf(fullPath) + "\\" + FilterDriverFileName;
  if (!FileOpens(sourceDriver)) {
    const DWORD error = platform::System().GetLastError();
    return Fail(errors, TalonExit::MissingDriver,
                "driver file \"" + sourceDriver + "\" not found beside the INF file (error " + Hex(error) + ")");
  }

  // As the shell's "install" verb runs it: 128 takes the source files from the INF's
  // folder, 4 asks before a reboot that the installation needs.
  const std::string commandLine = "DefaultInstall 132 " + fullPath;
  platform::DeviceInstall().InstallHinfSectionA(nullptr, nullptr, commandLine.c_str(), SW_SHOW);

  // InstallHinfSection reports nothing; the service it had to create tells, and the
  // driver file its configuration names has to be there for it to ever load.
  if (!QueryServiceConfiguration(FilterServiceName)) {
    return Fail(errors, TalonExit::InstallFailed,
                "installing \"" + fullPath + "\" did not install the service \"" + FilterServiceName + "\"");
  }
  // The INF starts the service on demand: one still disabled was not installed again.
  if (!IsServiceEnabled(FilterServiceName)) {
    return Fail(errors, TalonExit::InstallFailed,
                "installing \"" + fullPath + "\" left the service \"" + FilterServiceName + "\" disabled");
  }
  const std::string imagePath = GetServiceImagePath(FilterServiceName);
  if (!OpenDriverFile(imagePath)) {
    return Fail(errors, TalonExit::InstallFailed,
                "installing \"" + fullPath + "\" left the service \"" + FilterServiceName +
                    "\" without its driver file \"" + GetDriverFullPath(imagePath) + "\"");
  }
  // Over an earlier installation the service and a driver file are there whether or
  // not this one copied anything: the file the service loads has to be the INF's.
  // When either version cannot be read, nothing tells them apart and the check is left.
  const std::string sourceVersion = GetFileVersionString(sourceDriver);
  const std::string installedVersion = GetDriverFileVersion(imagePath);
  if (!sourceVersion.empty() && !installedVersion.empty() && sourceVersion != installedVersion) {
    return Fail(errors, TalonExit::InstallFailed,
                "installing \"" + fullPath + "\" left the driver file \"" + GetDriverFullPath(imagePath) +
                    "\" at version " + installedVersion + ", not the version " + sourceVersion + " beside the INF file");
  }
  return TalonExit::Success;
}

TalonExit RunTalon(const std::vector<std::string>& args, std::ostream& errors) {
  if (args.empty()) return Fail(errors, TalonExit::MissingArgument, std::string("missing command; ") + Usage);
  const std::string& command = args[0];

  if (SameCommand(command, "U")) {
    const std::string instanceId = JoinFrom(args, 1);
    if (instanceId.empty()) {
      return Fail(errors, TalonExit::MissingArgument, std::string("U needs an instance ID; ") + Usage);
    }
    return RestartDeviceById(instanceId, errors);
  }

  if (SameCommand(command, "e")) {
    if (args.size() < 2 || args[1].empty()) {
      return Fail(errors, TalonExit::MissingArgument, std::string("e needs a subcommand; ") + Usage);
    }
    if (!SameCommand(args[1], "install")) {
      return Fail(errors, TalonExit::UnknownCommand, "unknown command \"e " + args[1] + "\"; " + Usage);
    }
    const std::string infPath = JoinFrom(args, 2);
    if (infPath.empty()) {
      return Fail(errors, TalonExit::MissingArgument, std::string("e install needs an INF file; ") + Usage);
    }
    return InstallInf(infPath, errors);
  }

  return Fail(errors, TalonExit::UnknownCommand, "unknown command \"" + command + "\"; " + Usage);
}

}  // namespace morvane
