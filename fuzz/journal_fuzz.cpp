// The journal of changes as the registry may hold it: damaged, cut short, of another
// type, or written by hand.
//
// Input: a type byte (0: REG_BINARY, otherwise that type), then the stored bytes.
//
// Checked: reading never throws or crashes; a journal that reads is the parser's
// answer and formats back to a text that reads as the same entries; one that does
// not read has a reason; a change recorded on top of a journal that read keeps, for
// every device, what the journal says the device held originally; nothing is left
// open.
#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "devices/Journal.h"
#include "fuzz/FuzzInput.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

using fuzz::Require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  fuzz::FuzzInput input(data, size);
  const std::uint8_t typeByte = input.Byte();
  const DWORD type = typeByte == 0 ? REG_BINARY : typeByte;
  const std::vector<std::uint8_t> stored = input.Rest();
  const std::string text(stored.begin(), stored.end());

  const morvane::JournalParse parsed = morvane::ParseJournal(text);
  if (parsed.ok) {
    Require(parsed.error.empty(), "a journal that reads has an error");
    const morvane::JournalParse again = morvane::ParseJournal(morvane::FormatJournal(parsed.entries));
    Require(again.ok && again.entries == parsed.entries, "a journal does not read back as written");
  } else {
    Require(!parsed.error.empty() && parsed.entries.empty(), "a journal that does not read has no reason");
  }

  auto machine = sim::Machine::FromJson(R"({"devices": [{"id": "HTREE\\ROOT\\0"}]})");
  machine->Model().system.machineKeys[morvane::JournalKeyPath][morvane::JournalValueName] =
      sim::RegValue::Binary(std::vector<BYTE>(stored.begin(), stored.end()), type);
  {
    platform::ScopedBackend scope(machine->Backend());
    morvane::TJournal::Clock() = [] { return std::string("2026-12-09T04:00:00Z"); };
    morvane::TJournal journal;
    const bool loaded = journal.Load();
    Require(loaded == (parsed.ok && type == REG_BINARY), "the registry's journal reads otherwise than its text");
    if (!loaded) {
      Require(!journal.Error().empty(), "a journal that does not load has no reason");
    } else {
      Require(journal.Entries() == parsed.entries, "the loaded entries are not the parsed ones");
      std::vector<std::pair<std::string, std::optional<morvane::JournalOriginal>>> originals;
      for (const std::string& id : journal.Devices()) originals.emplace_back(id, journal.OriginalOf(id));
      morvane::JournalEntry entry;
      entry.command = "/set fuzz /filter on";
      entry.instanceId = "USB\\VID_FFFF&PID_FFFF\\FUZZ";
      entry.filtersTouched = true;
      entry.filtersAfter = {"morvane"};
      if (journal.Begin(entry)) {
        for (const auto& [id, original] : originals) {
          const auto now = journal.OriginalOf(id);
          Require(now.has_value() && original.has_value() && now->filtersKnown == original->filtersKnown &&
                      now->filters == original->filters && now->intervalKnown == original->intervalKnown &&
                      now->interval == original->interval,
                  "recording a change lost what a device held originally", id);
        }
        morvane::TJournal reread;
        Require(reread.Load() && reread.Entries() == journal.Entries(), "the written journal does not read back");
      } else {
        Require(!journal.Error().empty(), "a refused record has no reason");
      }
    }
  }
  Require(machine->LeakReport().empty(), "a key was left open", machine->LeakReport());
  return 0;
}
