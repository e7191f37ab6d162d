#include "devices/Journal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "devices/AsciiText.h"
#include "devices/Device.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

constexpr std::size_t kFieldCount = 11;
// A stored journal larger than this is taken as damaged, not read.
constexpr DWORD kLargestStored = 4 * JournalMaxBytes;

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { platform::Registry().RegCloseKey(h); }
};
using UniqueRegistryKey = platform::UniqueHandle<RegistryKeyTraits>;

bool SameId(const std::string& a, const std::string& b) { return ToLowerAscii(a) == ToLowerAscii(b); }

// Tabs, line ends, '|', '%' and NUL bytes are written as %XX.
std::string Escape(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '%' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '|' || byte == 0) {
      out += '%';
      out += Hex[byte >> 4];
      out += Hex[byte & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '|' || ch == '\r' || ch == '\n' || ch == '\t') return false;
    if (ch != '%') {
      out += ch;
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    const char decoded = static_cast<char>(high * 16 + low);
    if (decoded != '%' && decoded != '\t' && decoded != '\n' && decoded != '\r' && decoded != '|' && decoded != '\0') {
      return false;  // only what Escape writes
    }
    out += decoded;
    i += 2;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

bool ParseNumber(std::string_view text, DWORD& value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long n = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    n = n * 10 + static_cast<unsigned>(ch - '0');
  }
  if (n > 0xFFFFFFFFull || (text.size() > 1 && text[0] == '0')) return false;
  value = static_cast<DWORD>(n);
  return true;
}

std::string FormatFilters(bool touched, const std::vector<std::string>& filters) {
  if (!touched) return "-";
  std::string out = "=";
  for (std::size_t i = 0; i < filters.size(); ++i) {
    if (i != 0) out += '|';
    out += Escape(filters[i]);
  }
  return out;
}

bool ParseFilters(std::string_view text, bool& touched, std::vector<std::string>& filters) {
  filters.clear();
  if (text == "-") {
    touched = false;
    return true;
  }
  if (text.empty() || text[0] != '=') return false;
  touched = true;
  if (text.size() == 1) return true;
  for (std::string_view part : Split(text.substr(1), '|')) {
    std::string entry;
    if (part.empty() || !Unescape(part, entry)) return false;
    filters.push_back(std::move(entry));
  }
  return true;
}

bool ParseInterval(std::string_view text, bool& touched, DWORD& value) {
  value = 0;
  touched = text != "-";
  return !touched || ParseNumber(text, value);
}

bool ParseState(std::string_view text, JournalState& state) {
  for (JournalState candidate : {JournalState::Pending, JournalState::Done, JournalState::Failed, JournalState::Undone}) {
    if (text == JournalStateName(candidate)) {
      state = candidate;
      return true;
    }
  }
  return false;
}

std::string SystemClock() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string CodeReason(LSTATUS status) { return " (code " + std::to_string(static_cast<DWORD>(status)) + ")"; }

}  // namespace

const char* JournalStateName(JournalState state) {
  switch (state) {
    case JournalState::Pending: return "pending";
    case JournalState::Done: return "done";
    case JournalState::Failed: return "failed";
    case JournalState::Undone: return "undone";
  }
  return "pending";
}

std::string FormatJournal(const std::vector<JournalEntry>& entries) {
  std::string text = std::string(JournalHeader) + "\n";
  for (const JournalEntry& e : entries) {
    const std::string fields[kFieldCount] = {
        std::to_string(e.sequence),
        JournalStateName(e.state),
        Escape(e.time),
        Escape(e.command),
        Escape(e.instanceId),
        Escape(e.hardwareId),
        FormatFilters(e.filtersTouched, e.filtersBefore),
        FormatFilters(e.filtersTouched, e.filtersAfter),
        e.intervalTouched ? std::to_string(e.intervalBefore) : "-",
        e.intervalTouched ? std::to_string(e.intervalAfter) : "-",
        e.service.empty() ? "-" : e.service,
    };
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      if (i != 0) text += '\t';
      text += fields[i];
    }
    text += "\n";
  }
  return text;
}

JournalParse ParseJournal(std::string_view text) {
  JournalParse result;
  auto fail = [&result](std::size_t line, const std::string& what) {
    result.ok = false;
    result.error = "line " + std::to_string(line) + ": " + what;
    result.entries.clear();
    return result;
  };
  if (text.size() > kLargestStored) return fail(1, "the journal is larger than any the program writes");
  if (text.empty() || text.back() != '\n') return fail(1, "the journal does not end with a complete line");
  std::vector<std::string_view> lines = Split(text.substr(0, text.size() - 1), '\n');
  if (lines.front() != JournalHeader) return fail(1, "not a journal of this program (its first line is not \"" + std::string(JournalHeader) + "\")");
  unsigned last = 0;
  for (std::size_t n = 1; n < lines.size(); ++n) {
    const std::size_t lineNo = n + 1;
    const std::vector<std::string_view> f = Split(lines[n], '\t');
    if (f.size() != kFieldCount) {
      return fail(lineNo, "an entry has " + std::to_string(f.size()) + " fields instead of " + std::to_string(kFieldCount));
    }
    JournalEntry e;
    DWORD sequence = 0;
    if (!ParseNumber(f[0], sequence) || sequence == 0) return fail(lineNo, "the entry's number is not a number");
    if (sequence <= last) return fail(lineNo, "the entries are not in the order they were written");
    last = sequence;
    e.sequence = sequence;
    if (!ParseState(f[1], e.state)) return fail(lineNo, "the entry's state is unknown");
    if (!Unescape(f[2], e.time) || !Unescape(f[3], e.command) || !Unescape(f[4], e.instanceId) ||
        !Unescape(f[5], e.hardwareId)) {
      return fail(lineNo, "a text of the entry is badly escaped");
    }
    bool afterTouched = false;
    if (!ParseFilters(f[6], e.filtersTouched, e.filtersBefore) || !ParseFilters(f[7], afterTouched, e.filtersAfter) ||
        afterTouched != e.filtersTouched) {
      return fail(lineNo, "the entry's LowerFilters lists are damaged");
    }
    bool intervalAfterTouched = false;
    if (!ParseInterval(f[8], e.intervalTouched, e.intervalBefore) ||
        !ParseInterval(f[9], intervalAfterTouched, e.intervalAfter) || intervalAfterTouched != e.intervalTouched) {
      return fail(lineNo, "the entry's bInterval values are damaged");
    }
    if (f[10] == "installed" || f[10] == "removed") {
      e.service = std::string(f[10]);
    } else if (f[10] != "-") {
      return fail(lineNo, "the entry's service field is unknown");
    }
    if (e.instanceId.empty() && (e.filtersTouched || e.intervalTouched)) {
      return fail(lineNo, "an entry changes a device without naming it");
    }
    result.entries.push_back(std::move(e));
  }
  if (result.entries.size() > JournalMaxEntries) return fail(lines.size(), "the journal holds more entries than the program keeps");
  result.ok = true;
  return result;
}

std::function<std::string()>& TJournal::Clock() {
  static std::function<std::string()> clock = SystemClock;
  return clock;
}

bool TJournal::Load() {
  entries_.clear();
  error_.clear();
  loaded_ = false;
  absent_ = false;
  platform::IRegistry& registry = platform::Registry();
  HKEY raw = nullptr;
  LSTATUS status = registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, JournalKeyPath, 0, KEY_QUERY_VALUE, &raw);
  if (status == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    loaded_ = true;  // no journal yet
    absent_ = true;
    return true;
  }
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS) || raw == nullptr) {
    error_ = "the key HKEY_LOCAL_MACHINE\\" + std::string(JournalKeyPath) + " cannot be opened" + CodeReason(status);
    platform::System().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  UniqueRegistryKey key(raw);
  DWORD type = 0;
  DWORD size = 0;
  status = registry.RegQueryValueExA(key.Get(), JournalValueName, nullptr, &type, nullptr, &size);
  if (status == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    loaded_ = true;
    absent_ = true;
    return true;
  }
  std::vector<BYTE> bytes;
  if (status == static_cast<LSTATUS>(ERROR_SUCCESS) && size <= kLargestStored) {
    bytes.assign(size, 0);
    status = registry.RegQueryValueExA(key.Get(), JournalValueName, nullptr, &type, bytes.data(), &size);
  }
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) {
    error_ = "the journal cannot be read" + CodeReason(status);
    platform::System().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  if (size > kLargestStored || size > bytes.size()) {
    error_ = "the journal is damaged: it is larger than any the program writes";
    return false;
  }
  if (type != REG_BINARY) {
    error_ = "the journal is damaged: its value has type " + std::to_string(type) + " instead of REG_BINARY";
    return false;
  }
  JournalParse parsed = ParseJournal(std::string_view(reinterpret_cast<const char*>(bytes.data()), size));
  if (!parsed.ok) {
    error_ = "the journal is damaged: " + parsed.error;
    return false;
  }
  entries_ = std::move(parsed.entries);
  loaded_ = true;
  return true;
}

void TJournal::Prune() {
  auto tooBig = [this] { return entries_.size() > JournalMaxEntries || FormatJournal(entries_).size() > JournalMaxBytes; };
  while (tooBig()) {
    // The oldest finished entry that is not the first of its device for a value.
    bool removed = false;
    for (std::size_t i = 0; i < entries_.size() && !removed; ++i) {
      const JournalEntry& e = entries_[i];
      if (e.state == JournalState::Pending) continue;
      // A failed entry changed nothing and says nothing of the past; the first entry
      // of a device for a value says what the device held originally.
      const bool failed = e.state == JournalState::Failed;
      bool firstFilters = !failed && e.filtersTouched, firstInterval = !failed && e.intervalTouched;
      for (std::size_t j = 0; j < i; ++j) {
        if (!SameId(entries_[j].instanceId, e.instanceId) || entries_[j].state == JournalState::Failed) continue;
        if (entries_[j].filtersTouched) firstFilters = false;
        if (entries_[j].intervalTouched) firstInterval = false;
      }
      if (firstFilters || firstInterval) continue;
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      removed = true;
    }
    if (!removed) return;
  }
}

bool TJournal::Store() {
  Prune();
  const std::string text = FormatJournal(entries_);
  if (entries_.size() > JournalMaxEntries || text.size() > JournalMaxBytes) {
    error_ = "the journal is full: it holds the first change of too many devices";
    return false;
  }
  platform::IRegistry& registry = platform::Registry();
  HKEY raw = nullptr;
  DWORD disposition = 0;
  LSTATUS status = registry.RegCreateKeyExA(HKEY_LOCAL_MACHINE, JournalKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &raw, &disposition);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS) || raw == nullptr) {
    error_ = "the key HKEY_LOCAL_MACHINE\\" + std::string(JournalKeyPath) + " cannot be made" + CodeReason(status);
    platform::System().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  UniqueRegistryKey key(raw);
  status = registry.RegSetValueExA(key.Get(), JournalValueName, 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) {
    error_ = "the journal cannot be written" + CodeReason(status);
    platform::System().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  return true;
}

bool TJournal::Begin(JournalEntry& entry) {
  if (!loaded_ && !Load()) return false;
  // A journal that was not there is looked for once more before one is written in
  // its place: a read that said "none" wrongly must not cost the entries it holds.
  if (absent_ && entries_.empty()) {
    if (!Load()) return false;
    absent_ = entries_.empty();
  }
  if (entry.instanceId.empty() && (entry.filtersTouched || entry.intervalTouched)) {
    error_ = "a change of a device without its instance ID is not recorded";
    return false;
  }
  const std::vector<JournalEntry> before = entries_;
  entry.sequence = entries_.empty() ? 1 : entries_.back().sequence + 1;
  entry.state = JournalState::Pending;
  entry.time = Clock()();
  entries_.push_back(entry);
  if (Store()) return true;
  entries_ = before;  // what the registry still holds
  return false;
}

bool TJournal::Finish(const JournalEntry& entry) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const JournalEntry& e) { return e.sequence == entry.sequence; });
  if (it == entries_.end()) {
    error_ = "the journal no longer holds entry " + std::to_string(entry.sequence);
    return false;
  }
  const JournalEntry previous = *it;
  *it = entry;
  if (Store()) return true;
  *it = previous;
  return false;
}

std::vector<std::string> TJournal::Devices() const {
  std::vector<std::string> devices;
  for (const JournalEntry& e : entries_) {
    if (e.instanceId.empty()) continue;
    if (std::none_of(devices.begin(), devices.end(), [&](const std::string& d) { return SameId(d, e.instanceId); })) {
      devices.push_back(e.instanceId);
    }
  }
  return devices;
}

std::optional<JournalOriginal> TJournal::OriginalOf(const std::string& instanceId) const {
  JournalOriginal original;
  bool any = false;
  for (const JournalEntry& e : entries_) {
    if (!SameId(e.instanceId, instanceId)) continue;
    if (!any) original.instanceId = e.instanceId;
    any = true;
    // Only a change that was made or may have been made says what was there before.
    if (e.state == JournalState::Failed) continue;
    if (e.filtersTouched && !original.filtersKnown) {
      original.filtersKnown = true;
      original.filters = e.filtersBefore;
    }
    if (e.intervalTouched && !original.intervalKnown) {
      original.intervalKnown = true;
      original.interval = e.intervalBefore;
    }
  }
  if (!any) return std::nullopt;
  return original;
}

std::vector<JournalEntry> TJournal::Unfinished() const {
  std::vector<JournalEntry> pending;
  for (const JournalEntry& e : entries_) {
    if (e.state == JournalState::Pending) pending.push_back(e);
  }
  return pending;
}

bool TJournal::WroteOverride(const std::string& instanceId) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const JournalEntry& e) {
    return SameId(e.instanceId, instanceId) && e.intervalTouched && e.state != JournalState::Failed &&
           e.intervalAfter != 0;
  });
}

TRecordedChange::TRecordedChange(TJournal& journal, TDevice& device, std::string command, bool filters, bool interval)
    : journal_(journal), device_(device) {
  entry_.command = std::move(command);
  entry_.instanceId = device.InstanceId;
  entry_.filtersTouched = filters;
  entry_.intervalTouched = interval;
}

TRecordedChange::~TRecordedChange() {
  if (begun_ && !finished_) {
    try {
      Finish();
    } catch (...) {
      // The entry stays pending: the next start resolves it.
    }
  }
}

bool TRecordedChange::Begin(const std::function<void(JournalEntry&)>& intended) {
  platform::System().SetLastError(0);
  if (entry_.instanceId.empty()) {
    failure_ = "its instance ID cannot be read";
    failureCode_ = 0;
    return false;
  }
  if (entry_.filtersTouched && !device_.ReadLowerFilters(entry_.filtersBefore)) {
    failure_ = "its LowerFilters cannot be read";
    failureCode_ = platform::System().GetLastError();
    return false;
  }
  if (entry_.intervalTouched && !device_.ReadOverride(entry_.intervalBefore)) {
    failure_ = "its bInterval cannot be read";
    failureCode_ = platform::System().GetLastError();
    return false;
  }
  entry_.filtersAfter = entry_.filtersBefore;
  entry_.intervalAfter = entry_.intervalBefore;
  if (intended) intended(entry_);
  // A change asked for because the device differs, which the read says it does not:
  // one read that answered "no such value" must not stand for what the device holds,
  // so it is read once more.
  if (intended && entry_.filtersAfter == entry_.filtersBefore && entry_.intervalAfter == entry_.intervalBefore) {
    std::vector<std::string> filters = entry_.filtersBefore;
    DWORD interval = entry_.intervalBefore;
    if ((!entry_.filtersTouched || device_.ReadLowerFilters(filters)) &&
        (!entry_.intervalTouched || device_.ReadOverride(interval))) {
      entry_.filtersBefore = entry_.filtersAfter = filters;
      entry_.intervalBefore = entry_.intervalAfter = interval;
      intended(entry_);
    }
  }
  // Read after the device's own values: a failure of this read costs only the ID.
  const std::string ids = device_.GetHardwareIds();
  entry_.hardwareId = ids.substr(0, ids.find('\0'));
  if (!journal_.Begin(entry_)) {
    failure_ = "nothing was changed: the journal of changes cannot be written: " + journal_.Error();
    failureCode_ = 0;
    return false;
  }
  begun_ = true;
  return true;
}

bool TRecordedChange::Finish() {
  finished_ = true;
  const DWORD lastError = platform::System().GetLastError();  // the change's reason, kept for its caller
  const std::vector<std::string> meantFilters = entry_.filtersAfter;
  const DWORD meantInterval = entry_.intervalAfter;
  bool read = true;
  if (entry_.filtersTouched) read = device_.ReadLowerFilters(entry_.filtersAfter) && read;
  if (entry_.intervalTouched) read = device_.ReadOverride(entry_.intervalAfter) && read;
  // The device does not hold what was written: read once more before the entry
  // says so, as one read that failed as "no such value" looks the same.
  if (read && begun_ && (entry_.filtersAfter != meantFilters || entry_.intervalAfter != meantInterval)) {
    std::vector<std::string> filters;
    DWORD interval = 0;
    if ((!entry_.filtersTouched || device_.ReadLowerFilters(filters)) &&
        (!entry_.intervalTouched || device_.ReadOverride(interval))) {
      if (entry_.filtersTouched) entry_.filtersAfter = filters;
      if (entry_.intervalTouched) entry_.intervalAfter = interval;
    }
  }
  const bool changed =
      !read || entry_.filtersAfter != entry_.filtersBefore || entry_.intervalAfter != entry_.intervalBefore;
  entry_.state = changed ? JournalState::Done : JournalState::Failed;
  const bool stored = journal_.Finish(entry_);
  platform::System().SetLastError(lastError);
  return stored;
}

}  // namespace morvane
