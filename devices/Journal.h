// The journal of every change the program makes to a device or to the filter
// service: what a device's lower-filter list and rate override held before and after,
// when, and by which command. Each entry is written before its change is made and
// marked when the change is over, so that a change cut short is known at the next
// start, and so that what each device held before the program's first change to it
// can be put back.
//
// The journal is one REG_BINARY value, "Journal", of the program's own key
// HKEY_LOCAL_MACHINE\SOFTWARE\Morvane (docs/journal.md says why there): one write of
// one value replaces it whole, so a journal is never half written.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace morvane {

inline constexpr const char* JournalKeyPath = "SOFTWARE\\Morvane";
inline constexpr const char* JournalValueName = "Journal";
inline constexpr const char* JournalHeader = "MORVANE JOURNAL 1";
// Bounds: older finished entries are dropped to stay below both, except the first
// entry of each device for each value, which says what the device held originally.
inline constexpr std::size_t JournalMaxEntries = 256;
inline constexpr std::size_t JournalMaxBytes = 64 * 1024;

enum class JournalState { Pending, Done, Failed, Undone };

// A list or value the entry does not change is "untouched".
struct JournalEntry {
  unsigned sequence = 0;
  JournalState state = JournalState::Pending;
  std::string time;        // UTC, "2026-12-09T03:40:00Z"
  std::string command;     // "/set ... /filter on", "window: filter on", ...
  std::string instanceId;  // empty for an entry of the service alone
  std::string hardwareId;  // the first hardware ID
  bool filtersTouched = false;
  std::vector<std::string> filtersBefore, filtersAfter;  // the whole LowerFilters list
  bool intervalTouched = false;
  DWORD intervalBefore = 0, intervalAfter = 0;  // the "bInterval" override; 0: none
  std::string service;  // "", "installed" or "removed"

  bool operator==(const JournalEntry&) const = default;
};

const char* JournalStateName(JournalState state);

struct JournalParse {
  bool ok = false;
  std::string error;  // not empty when !ok: "line N: what is wrong"
  std::vector<JournalEntry> entries;
};

// The stored text to entries and back. Parsing never throws and accepts nothing that
// FormatJournal would not write.
JournalParse ParseJournal(std::string_view text);
std::string FormatJournal(const std::vector<JournalEntry>& entries);

// What a device held before the program first changed it, by the journal.
struct JournalOriginal {
  std::string instanceId;
  bool filtersKnown = false;
  std::vector<std::string> filters;
  bool intervalKnown = false;
  DWORD interval = 0;
};

// The journal in the registry, over the platform seam.
class TJournal {
 public:
  // Reads it; false when it cannot be read or is damaged, Error() says why. A journal
  // that is not there yet is empty.
  bool Load();
  const std::string& Error() const { return error_; }
  const std::vector<JournalEntry>& Entries() const { return entries_; }

  // Adds the entry as pending (its sequence and time filled in) and writes the
  // journal; false when it could not be written, and then nothing may be changed.
  bool Begin(JournalEntry& entry);
  // Marks the entry and records what the device now holds; false when the journal
  // could not be written.
  bool Finish(const JournalEntry& entry);

  // The devices the journal names, in the order of their first change.
  std::vector<std::string> Devices() const;
  std::optional<JournalOriginal> OriginalOf(const std::string& instanceId) const;
  // Entries left pending: changes a previous run began and did not finish.
  std::vector<JournalEntry> Unfinished() const;
  // Whether the journal says the program ever wrote the device's override.
  bool WroteOverride(const std::string& instanceId) const;

  // The clock the entries are stamped with (UTC text); tests set their own.
  static std::function<std::string()>& Clock();

 private:
  bool Store();
  void Prune();

  std::vector<JournalEntry> entries_;
  std::string error_;
  bool loaded_ = false;
  bool absent_ = false;  // the last read found no journal
};

class TDevice;

// One change of one device, recorded before it is made and finished with what the
// device then holds, on every way out (a change whose Finish was not called is
// finished when the record goes).
class TRecordedChange {
 public:
  TRecordedChange(TJournal& journal, TDevice& device, std::string command, bool filters, bool interval);
  ~TRecordedChange();
  TRecordedChange(const TRecordedChange&) = delete;
  TRecordedChange& operator=(const TRecordedChange&) = delete;

  // Reads what the device holds and writes the pending entry with what is about to be
  // written (`intended` sets the entry's "after"), so that a run cut short can be
  // finished; false when either cannot be done, and then nothing may be changed.
  bool Begin(const std::function<void(JournalEntry&)>& intended = {});
  // Why Begin failed: "its LowerFilters cannot be read", ..., and the system's code.
  const std::string& FailureText() const { return failure_; }
  DWORD FailureCode() const { return failureCode_; }
  // Re-reads the device; the entry is done when anything changed, failed when not.
  // False when the journal could not be written (the entry then stays pending).
  bool Finish();
  const JournalEntry& Entry() const { return entry_; }

 private:
  TJournal& journal_;
  TDevice& device_;
  JournalEntry entry_;
  bool begun_ = false;
  bool finished_ = false;
  std::string failure_;
  DWORD failureCode_ = 0;
};

}  // namespace morvane
