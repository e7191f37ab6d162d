#include "platform/sim/device_paths.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {
std::string ToLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}
}  // namespace

std::string DeviceInterfacePath(const std::string& instanceId, const GUID& interfaceClass) {
  std::string id = ToLowerAscii(instanceId);
  std::replace(id.begin(), id.end(), '\\', '#');
  return "\\\\?\\" + id + "#" + ToLowerAscii(GuidToString(interfaceClass));
}

std::string ResolvePath(const std::string& directory, const std::string& path) {
  const bool absolute = (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
  if (absolute || directory.empty()) return path;
  std::string relative = path;
  while (relative.rfind(".\\", 0) == 0) relative.erase(0, 2);
  return directory.back() == '\\' ? directory + relative : directory + "\\" + relative;
}

const File* FindModelFile(const MachineModel& model, const std::string& path) {
  const std::string wanted = ToUpperAscii(path);
  for (const File& file : model.files) {
    if (ToUpperAscii(file.path) == wanted) return &file;
  }
  return nullptr;
}

bool HasExtension(const std::string& path, const std::string& extension) {
  return path.size() >= extension.size() &&
         ToUpperAscii(path.substr(path.size() - extension.size())) == ToUpperAscii(extension);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::optional<HinfCommand> ParseHinfCommand(const std::string& commandLine) {
  const std::string text = Trim(commandLine);
  const std::size_t sectionEnd = text.find(' ');
  if (sectionEnd == std::string::npos) return std::nullopt;
  HinfCommand command;
  command.section = text.substr(0, sectionEnd);
  const std::string rest = Trim(text.substr(sectionEnd));
  const std::size_t modeEnd = rest.find(' ');
  if (modeEnd == std::string::npos) return std::nullopt;
  const std::string mode = rest.substr(0, modeEnd);
  if (mode.empty() || mode.size() > 9 || !std::all_of(mode.begin(), mode.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  command.mode = std::stoi(mode);
  command.path = Trim(rest.substr(modeEnd));
  if (command.path.size() >= 2 && command.path.front() == '"' && command.path.back() == '"') {
    command.path = command.path.substr(1, command.path.size() - 2);
  }
  if (command.path.empty()) return std::nullopt;
  return command;
}

}  // namespace sim
