// The journal of changes: its stored form, its bounds, what it says a device held
// originally, and its reading and writing over the simulated registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/Journal.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace morvane {
namespace {

JournalEntry Change(const std::string& id, std::vector<std::string> before, std::vector<std::string> after) {
  JournalEntry e;
  e.command = "/set x /filter on";
  e.instanceId = id;
  e.hardwareId = "USB\\VID_1";
  e.filtersTouched = true;
  e.filtersBefore = std::move(before);
  e.filtersAfter = std::move(after);
  return e;
}

TEST(JournalText, EntriesReadBackAsWrittenWithEveryAwkwardCharacter) {
  JournalEntry a = Change("USB\\VID_1&PID_2\\3|4%5", {"kb\tfix", "a|b"}, {"morvane", "kb\tfix", "a|b"});
  a.sequence = 1;
  a.state = JournalState::Done;
  a.time = "2026-12-09T04:00:00Z";
  a.command = "/set \"USB\\VID_1*\" /filter on\r\n";
  JournalEntry b;
  b.sequence = 7;
  b.state = JournalState::Pending;
  b.instanceId = "USB\\VID_9\\9";
  b.intervalTouched = true;
  b.intervalBefore = 0;
  b.intervalAfter = 4294967295u;
  JournalEntry c;
  c.sequence = 8;
  c.state = JournalState::Undone;
  c.service = "removed";
  JournalEntry d = Change("USB\\VID_2\\2", {}, {"morvane"});
  d.sequence = 9;
  d.state = JournalState::Failed;
  const std::vector<JournalEntry> entries{a, b, c, d};
  const std::string text = FormatJournal(entries);
  EXPECT_EQ(text.rfind("MORVANE JOURNAL 1\n", 0), 0u);
  EXPECT_NE(text.find("=morvane|kb%09fix|a%7Cb"), std::string::npos) << text;
  const JournalParse parsed = ParseJournal(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.entries, entries);
  EXPECT_TRUE(ParseJournal("MORVANE JOURNAL 1\n").ok);
}

TEST(JournalText, ADamagedJournalIsAnErrorWithItsReason) {
  const std::string good = FormatJournal({[] {
    JournalEntry e = Change("USB\\A", {}, {"morvane"});
    e.sequence = 1;
    return e;
  }()});
  const std::pair<std::string, std::string> cases[] = {
      {"", "line 1: the journal does not end with a complete line"},
      {good.substr(0, good.size() - 3), "line 1: the journal does not end with a complete line"},
      {"SOMETHING ELSE\n", "line 1: not a journal of this program"},
      {"MORVANE JOURNAL 1\n1\tdone\n", "line 2: an entry has 2 fields instead of 11"},
      {"MORVANE JOURNAL 1\nx\tdone\tt\tc\ti\th\t-\t-\t-\t-\t-\n", "line 2: the entry's number is not a number"},
      {"MORVANE JOURNAL 1\n2\tdone\tt\tc\ti\th\t-\t-\t-\t-\t-\n1\tdone\tt\tc\ti\th\t-\t-\t-\t-\t-\n",
       "line 3: the entries are not in the order they were written"},
      {"MORVANE JOURNAL 1\n1\tmaybe\tt\tc\ti\th\t-\t-\t-\t-\t-\n", "line 2: the entry's state is unknown"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc%4\ti\th\t-\t-\t-\t-\t-\n", "line 2: a text of the entry is badly escaped"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc%41\ti\th\t-\t-\t-\t-\t-\n", "line 2: a text of the entry is badly escaped"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc\ti\th\t=a\t-\t-\t-\t-\n", "line 2: the entry's LowerFilters lists are damaged"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc\ti\th\t=a||b\t=a\t-\t-\t-\n", "line 2: the entry's LowerFilters lists are damaged"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc\ti\th\t-\t-\t4294967296\t0\t-\n", "line 2: the entry's bInterval values are damaged"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc\ti\th\t-\t-\t-\t-\tgone\n", "line 2: the entry's service field is unknown"},
      {"MORVANE JOURNAL 1\n1\tdone\tt\tc\t\th\t=\t=a\t-\t-\t-\n", "line 2: an entry changes a device without naming it"},
      {std::string(JournalMaxBytes * 4 + 1, '\n'), "line 1: the journal is larger than any the program writes"},
  };
  for (const auto& [text, error] : cases) {
    const JournalParse parsed = ParseJournal(text);
    EXPECT_FALSE(parsed.ok) << text;
    EXPECT_EQ(parsed.error.substr(0, error.size()), error) << text;
    EXPECT_TRUE(parsed.entries.empty());
  }
}

class JournalRegistryTest : public ::testing::Test {
 protected:
  JournalRegistryTest()
      : machine(sim::Machine::FromJson(R"({"devices": [{"id": "HTREE\\ROOT\\0"}]})")), scope(machine->Backend()) {
    TJournal::Clock() = [] { return std::string("2026-12-09T04:00:00Z"); };
  }
  ~JournalRegistryTest() override { EXPECT_EQ(machine->LeakReport(), ""); }
  sim::RegValue* Stored() {
    auto& keys = machine->Model().system.machineKeys;
    auto key = keys.find(JournalKeyPath);
    if (key == keys.end()) return nullptr;
    auto value = key->second.find(JournalValueName);
    return value == key->second.end() ? nullptr : &value->second;
  }
  std::unique_ptr<sim::Machine> machine;
  platform::ScopedBackend scope;
};

TEST_F(JournalRegistryTest, ItLivesInOneBinaryValueOfTheProgramsOwnKey) {
  TJournal journal;
  ASSERT_TRUE(journal.Load()) << journal.Error();  // none yet: empty
  EXPECT_TRUE(journal.Entries().empty());
  JournalEntry e = Change("USB\\VID_1\\1", {"kbdfix"}, {"morvane", "kbdfix"});
  ASSERT_TRUE(journal.Begin(e)) << journal.Error();
  EXPECT_EQ(e.sequence, 1u);
  EXPECT_EQ(e.time, "2026-12-09T04:00:00Z");
  ASSERT_NE(Stored(), nullptr);
  EXPECT_EQ(Stored()->type, REG_BINARY);
  TJournal reread;
  ASSERT_TRUE(reread.Load());
  ASSERT_EQ(reread.Entries().size(), 1u);
  EXPECT_EQ(reread.Entries()[0].state, JournalState::Pending);  // written before the change
  e.state = JournalState::Done;
  ASSERT_TRUE(journal.Finish(e));
  ASSERT_TRUE(reread.Load());
  EXPECT_EQ(reread.Entries()[0].state, JournalState::Done);
  EXPECT_EQ(machine->CountCalls("RegCreateKeyExA"), 2u);
}

TEST_F(JournalRegistryTest, AValueThatIsNotAJournalIsReportedNotRead) {
  machine->Model().system.machineKeys[JournalKeyPath][JournalValueName] = sim::RegValue::String("hello");
  TJournal journal;
  EXPECT_FALSE(journal.Load());
  EXPECT_EQ(journal.Error(), "the journal is damaged: its value has type 1 instead of REG_BINARY");
  // Nothing is recorded on top of a journal that cannot be read.
  JournalEntry e = Change("USB\\A", {}, {"morvane"});
  EXPECT_FALSE(journal.Begin(e));
  EXPECT_EQ(Stored()->type, REG_SZ);
  machine->Model().system.machineKeys[JournalKeyPath][JournalValueName] = sim::RegValue::Unreadable(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(journal.Load());
  EXPECT_EQ(journal.Error(), "the journal cannot be read (code 5)");
  machine->InjectFault({"RegOpenKeyExA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_FALSE(journal.Load());
  EXPECT_EQ(journal.Error(), "the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane cannot be opened (code 5)");
}

TEST_F(JournalRegistryTest, AWriteThatFailsLeavesTheJournalAsTheRegistryHoldsIt) {
  TJournal journal;
  JournalEntry first = Change("USB\\A", {}, {"morvane"});
  ASSERT_TRUE(journal.Begin(first));
  machine->InjectFault({"RegSetValueExA", ERROR_ACCESS_DENIED, 0, 1});
  JournalEntry second = Change("USB\\B", {}, {"morvane"});
  EXPECT_FALSE(journal.Begin(second));
  EXPECT_EQ(journal.Error(), "the journal cannot be written (code 5)");
  EXPECT_EQ(journal.Entries().size(), 1u);
  machine->InjectFault({"RegCreateKeyExA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_FALSE(journal.Begin(second));
  EXPECT_EQ(journal.Error(), "the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane cannot be made (code 5)");
  TJournal reread;
  ASSERT_TRUE(reread.Load());
  EXPECT_EQ(reread.Entries(), journal.Entries());
}

TEST_F(JournalRegistryTest, TheOldestEntryPerDeviceSaysWhatItHeldAndSurvivesTheBound) {
  TJournal journal;
  JournalEntry failed = Change("USB\\A", {"never"}, {"never"});
  ASSERT_TRUE(journal.Begin(failed));
  failed.state = JournalState::Failed;  // nothing changed: says nothing of the past
  ASSERT_TRUE(journal.Finish(failed));
  JournalEntry first = Change("usb\\a", {"kbdfix"}, {"morvane", "kbdfix"});
  ASSERT_TRUE(journal.Begin(first));
  first.state = JournalState::Done;
  ASSERT_TRUE(journal.Finish(first));
  JournalEntry rate;
  rate.instanceId = "USB\\A";
  rate.intervalTouched = true;
  rate.intervalBefore = 8;
  rate.intervalAfter = 1;
  ASSERT_TRUE(journal.Begin(rate));
  rate.state = JournalState::Done;
  ASSERT_TRUE(journal.Finish(rate));
  // Many more changes of the same device and others: the journal stays bounded and
  // keeps every device's first entry.
  for (int i = 0; i < 600; ++i) {
    JournalEntry e = Change(i % 2 == 0 ? "USB\\A" : "USB\\B" + std::to_string(i % 40), {"x" + std::to_string(i)},
                            {"morvane", "x" + std::to_string(i)});
    ASSERT_TRUE(journal.Begin(e)) << i << ": " << journal.Error();
    e.state = JournalState::Done;
    ASSERT_TRUE(journal.Finish(e)) << i;
  }
  EXPECT_LE(journal.Entries().size(), JournalMaxEntries);
  EXPECT_LE(FormatJournal(journal.Entries()).size(), JournalMaxBytes);
  const auto original = journal.OriginalOf("USB\\A");
  ASSERT_TRUE(original.has_value());
  EXPECT_TRUE(original->filtersKnown);
  EXPECT_EQ(original->filters, std::vector<std::string>{"kbdfix"});
  EXPECT_TRUE(original->intervalKnown);
  EXPECT_EQ(original->interval, 8u);
  EXPECT_EQ(journal.OriginalOf("USB\\B1")->filters, std::vector<std::string>{"x1"});
  EXPECT_FALSE(journal.OriginalOf("USB\\C").has_value());
  EXPECT_TRUE(journal.WroteOverride("usb\\A"));
  EXPECT_FALSE(journal.WroteOverride("USB\\B1"));
  EXPECT_EQ(journal.Devices().size(), 21u);  // A and the twenty odd B's
  TJournal reread;
  ASSERT_TRUE(reread.Load()) << reread.Error();
  EXPECT_EQ(reread.Entries(), journal.Entries());
}

TEST_F(JournalRegistryTest, AJournalFullOfFirstEntriesRefusesTheNextDevice) {
  TJournal journal;
  std::size_t devices = 0;
  for (; devices < JournalMaxEntries; ++devices) {
    JournalEntry e = Change("USB\\VID_" + std::to_string(devices), {std::string(200, 'f')}, {"morvane"});
    if (!journal.Begin(e)) break;
  }
  EXPECT_LT(devices, JournalMaxEntries);  // the byte bound came first
  JournalEntry next = Change("USB\\NEXT", {std::string(200, 'f')}, {"morvane"});
  EXPECT_FALSE(journal.Begin(next));
  EXPECT_EQ(journal.Error(), "the journal is full: it holds the first change of too many devices");
  TJournal reread;
  ASSERT_TRUE(reread.Load());
  EXPECT_EQ(reread.Entries().size(), devices);
}

}  // namespace
}  // namespace morvane
