#include "setup/Unfinished.h"

#include "devices/Device.h"
#include "platform/platform.h"
#include "setup/SetupF.h"
#include "syshelpers/Services.h"

namespace morvane {

void ResolveUnfinished(TJournal& journal, const TUnfinishedHooks& hooks) {
  for (JournalEntry entry : journal.Unfinished()) {
    const std::string who = entry.instanceId.empty() ? "service morvane" : entry.instanceId;
    const std::string what = who + ": a change begun at " + entry.time + " by \"" + entry.command + "\" was not finished";
    if (entry.instanceId.empty()) {
      // The service's entry: whether the service is there says how it went.
      const bool installed = platform::IsNtPlatform() && QueryServiceConfiguration(FilterServiceName) != nullptr;
      const bool asMeant = (entry.service == "removed") != installed;
      entry.state = asMeant ? JournalState::Done : JournalState::Failed;
      hooks.note(what + (asMeant ? "; the service is as it was to be" : "; the service is as it was"), true);
      journal.Finish(entry);
      continue;
    }
    TDevice* device = hooks.find(entry.instanceId);
    if (device == nullptr) {
      hooks.note(what + "; the device is not present, it is left for a later run", false);
      continue;
    }
    std::vector<std::string> filters;
    DWORD interval = 0;
    if ((entry.filtersTouched && !device->ReadLowerFilters(filters)) ||
        (entry.intervalTouched && !device->ReadOverride(interval))) {
      hooks.note(what + "; the device cannot be read now, it is left for a later run", false);
      continue;
    }
    const bool isAfter = (!entry.filtersTouched || filters == entry.filtersAfter) &&
                         (!entry.intervalTouched || interval == entry.intervalAfter);
    const bool isBefore = (!entry.filtersTouched || filters == entry.filtersBefore) &&
                          (!entry.intervalTouched || interval == entry.intervalBefore);
    const bool undo = entry.command.rfind("/restore", 0) == 0 || entry.command.rfind("undo", 0) == 0 ||
                      entry.command.rfind("/uninstall", 0) == 0 || entry.command.rfind("window: undo", 0) == 0;
    if (isAfter && !isBefore) {
      entry.state = JournalState::Done;
    } else if (undo) {
      // An undo cut short is finished: the device gets what the undo was writing.
      JournalOriginal target;
      target.instanceId = entry.instanceId;
      target.filtersKnown = entry.filtersTouched;
      target.filters = entry.filtersAfter;
      target.intervalKnown = entry.intervalTouched;
      target.interval = entry.intervalAfter;
      const bool ok = hooks.finishUndo(*device, target, "finish " + entry.command);
      hooks.note(what + (ok ? "; it is finished now" : "; it could not be finished"), ok);
      if (ok) {
        entry.state = JournalState::Done;
        journal.Finish(entry);
      }
      continue;
    } else if (isBefore) {
      entry.state = JournalState::Failed;
    } else {
      hooks.note(what + "; the device holds neither what it had nor what was written, it is left as it is", false);
      continue;
    }
    hooks.note(what + (entry.state == JournalState::Done ? "; the device holds the change"
                                                         : "; the device holds what it had before"),
               true);
    journal.Finish(entry);
  }
}

}  // namespace morvane
