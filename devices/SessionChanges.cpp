#include "devices/SessionChanges.h"

#include <map>

#include "devices/AsciiText.h"

namespace morvane {
namespace {

std::map<std::string, TSettingsAtStart>& Notes() {
  static std::map<std::string, TSettingsAtStart> notes;
  return notes;
}

}  // namespace

void NoteSettingsBeforeChange(const std::string& instanceId, const TSettingsAtStart& before) {
  if (instanceId.empty()) return;
  Notes().emplace(ToUpperAscii(instanceId), before);  // an earlier note is kept
}

void NoteDeviceRestarted(const std::string& instanceId) { Notes().erase(ToUpperAscii(instanceId)); }

std::optional<TSettingsAtStart> SettingsAtStart(const std::string& instanceId) {
  const auto it = Notes().find(ToUpperAscii(instanceId));
  if (it == Notes().end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> DevicesChangedThisSession() {
  std::vector<std::string> ids;
  for (const auto& [id, settings] : Notes()) ids.push_back(id);
  return ids;
}

void ForgetSessionChanges() { Notes().clear(); }

}  // namespace morvane
