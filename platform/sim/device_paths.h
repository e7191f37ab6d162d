// Text helpers of the device side: device-interface paths, file paths relative to
// the current directory, and the command line of InstallHinfSectionA.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/model.h"

namespace sim {

// "\\?\" + the instance ID lower-cased with "\" turned into "#" + "#" + the
// interface class GUID lower-cased in braces.
std::string DeviceInterfacePath(const std::string& instanceId, const GUID& interfaceClass);

// A path as given, when it is absolute ("C:..." or "\..."), else joined to `directory`.
std::string ResolvePath(const std::string& directory, const std::string& path);

// The file of the model with this path (case-insensitive), or null.
const File* FindModelFile(const MachineModel& model, const std::string& path);

bool HasExtension(const std::string& path, const std::string& extension);  // case-insensitive

// The folder part of a path, without the last backslash ("" when there is none).
std::string FolderOf(const std::string& path);

// "<section> <mode> <path>" as rundll32 hands it to InstallHinfSection; the path
// may be quoted and may contain blanks.
struct HinfCommand {
  std::string section;
  int mode = 0;
  std::string path;
};
std::optional<HinfCommand> ParseHinfCommand(const std::string& commandLine);

}  // namespace sim
