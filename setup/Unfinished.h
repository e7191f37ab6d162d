// Changes a previous run began and did not finish (entries of the journal left
// pending): what the device holds now decides how each one went. An undo cut short is
// finished; a change whose device holds either what it had or what was written is
// marked so; anything else is told and left as it is. The window and the command
// line both resolve them before they change anything.
#pragma once

#include <functional>
#include <string>

#include "devices/Journal.h"

namespace morvane {

class TDevice;

struct TUnfinishedHooks {
  // The device of that instance ID, or nullptr when it is not present.
  std::function<TDevice*(const std::string& instanceId)> find;
  // Puts `target` on the device, recording it in the journal as `command`; true
  // when the device then holds it.
  std::function<bool(TDevice& device, const JournalOriginal& target, const std::string& command)> finishUndo;
  // One sentence for each entry: what was found and what became of it; `resolved`
  // is false for an entry left pending.
  std::function<void(const std::string& note, bool resolved)> note;
};

// Resolves every pending entry of `journal`, which is loaded.
void ResolveUnfinished(TJournal& journal, const TUnfinishedHooks& hooks);

}  // namespace morvane
