// Driver image paths as the service manager and the device registry give them:
// resolved against the Windows directory, opened, and their file versions read.
//
// File access happens with the Windows directory as the current directory and with
// the Wow64 file-system redirection off, so that a 32-bit program on 64-bit Windows
// reaches the native System32. Both are put back before the operation returns,
// also when an exception passes.
#pragma once

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/types.h"

namespace morvane {

// For one driver-file operation: the Windows directory is current (the previous one
// is restored at the end of the scope) and the redirection is off (switched back on
// before the directory is restored):
//
//   DriverFileScope scope;
//   scope.EnterWindowsDirectory();
//   RedirectionOff redirectionOff;
class DriverFileScope {
 public:
  DriverFileScope();
  ~DriverFileScope();
  DriverFileScope(const DriverFileScope&) = delete;
  DriverFileScope& operator=(const DriverFileScope&) = delete;

  void EnterWindowsDirectory();

 private:
  std::string savedDirectory_;
};

class RedirectionOff {
 public:
  RedirectionOff();
  ~RedirectionOff();
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  PVOID token_ = nullptr;
};

// An in-memory, writable copy of a file's VS_VERSIONINFO resource; empty when none.
using VersionBlock = std::vector<BYTE>;

// The service's binary path; the name plus ".SYS" when that path is empty; empty
// when the configuration cannot be read.
std::string GetServiceImagePath(const std::string& serviceName);

// Puts the Windows directory into `directory`; returns the platform's count.
UINT GetWindowsDir(std::string& directory);

// Bare file names go to System32\DRIVERS\; the "\SystemRoot\" and "\??\" prefixes are
// removed; anything else stays as it is.
std::string ResolveDriverPath(const std::string& imagePath);

// The driver file opened for reading, relative to the Windows directory; invalid
// when it cannot be opened.
platform::UniqueFile OpenDriverFile(const std::string& imagePath);

// The version resource read by loading the file as a data file, and through the
// version-information functions.
VersionBlock ReadVersionResource(const std::string& filePath);
VersionBlock ReadFileVersionInfo(const std::string& filePath);

// The "FileVersion" string of the block's first translation; empty when absent.
std::string QueryFileVersionValue(const VersionBlock& block);

// One route each; empty on any failure, exceptions included.
std::string GetVersionFromResource(const std::string& filePath);
std::string GetVersionFromVersionInfo(const std::string& filePath);

// The resource route, then the version-information route.
std::string GetFileVersionString(const std::string& filePath);

// The version of a driver given by its image path, read as OpenDriverFile reaches it.
std::string GetDriverFileVersion(const std::string& imagePath);

// The path to show: relative paths are put below the Windows directory.
std::string GetDriverFullPath(const std::string& imagePath);

}  // namespace morvane
