// The two pieces of persistent state through which the filter driver is configured
// for one device: the rate override "bInterval" in the driver key, and the device's
// lower-filter list; and the restart that makes a change take effect.
#include <algorithm>
#include <string>
#include <vector>

#include "devices/AsciiText.h"
#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "devices/SessionChanges.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

constexpr const char* kOverrideValueName = "bInterval";
constexpr const char* kLowerFiltersValueName = "LowerFilters";
constexpr DWORD kLowerFiltersBufferSize = 1024;
// A lower-filter list above this size is taken as a broken answer, not read.
constexpr DWORD kLowerFiltersMaxSize = 1024 * 1024;
// Reads of a list that keeps growing between the size answer and the read.
constexpr int kLowerFiltersReadAttempts = 3;

platform::UniqueDevRegKey OpenDeviceKey(TDevice& device, DWORD keyType) {
  return platform::UniqueDevRegKey(platform::DeviceInstall().SetupDiOpenDevRegKey(
      device.InfoSet, &device.InfoData, DICS_FLAG_GLOBAL, 0, keyType, KEY_ALL_ACCESS));
}

// Errors with which a read reports that there is no list at all.
bool MeansAbsent(DWORD error) {
  return error == ERROR_INVALID_DATA || error == ERROR_FILE_NOT_FOUND || error == ERROR_NOT_FOUND;
}

std::string TextOf(const std::vector<BYTE>& buffer, DWORD size) {
  const std::size_t length = std::min<std::size_t>(size, buffer.size());
  return std::string(reinterpret_cast<const char*>(buffer.data()), length);
}

// The stored form: the entries as lines, NUL bytes counting as line ends.
std::vector<std::string> ParseLowerFilters(std::string content) {
  for (char& c : content) {
    if (c == '\0') c = '\r';
  }
  std::vector<std::string> entries;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < content.size()) {
    const char c = content[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    entries.push_back(content.substr(start, i - start));
    i += (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < content.size()) entries.push_back(content.substr(start));
  while (!entries.empty() && entries.back().empty()) entries.pop_back();
  return entries;
}

// Every entry followed by a NUL, and one more NUL at the end; empty for no entries.
std::string MultiStringOf(const std::vector<std::string>& entries) {
  if (entries.empty()) return {};
  std::string content;
  for (const std::string& entry : entries) {
    content += entry;
    content += '\0';
  }
  content += '\0';
  return content;
}

}  // namespace

bool TDevice::ReadOverrideInterval(DWORD& value) {
  value = 0;
  platform::UniqueDevRegKey key = OpenDeviceKey(*this, DIREG_DRV);
  // A device without a driver key has no override; a key that exists but does not
  // open has not been read.
  if (!key) return platform::System().GetLastError() == ERROR_KEY_DOES_NOT_EXIST;
  DWORD stored = 0;
  DWORD type = 0;
  DWORD size = sizeof(stored);
  const LSTATUS status = platform::Registry().RegQueryValueExA(key.Get(), kOverrideValueName, nullptr, &type,
                                                               reinterpret_cast<LPBYTE>(&stored), &size);
  if (status == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) return true;  // no override
  // A value longer than a DWORD has not been read.
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) {
    platform::System().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  // A shorter value is no override the driver would take.
  if (size == sizeof(stored)) value = stored;
  return true;
}

DWORD TDevice::GetOverrideInterval() {
  DWORD value = 0;
  return ReadOverrideInterval(value) ? value : 0;
}

void TDevice::SetOverrideInterval(DWORD value) {
  platform::UniqueDevRegKey key = OpenDeviceKey(*this, DIREG_DRV);
  if (!key) return;
  LSTATUS status = ERROR_SUCCESS;
  if (value != 0) {
    status = platform::Registry().RegSetValueExA(key.Get(), kOverrideValueName, 0, REG_DWORD,
                                                 reinterpret_cast<const BYTE*>(&value), sizeof(value));
  } else {
    status = platform::Registry().RegDeleteValueA(key.Get(), kOverrideValueName);
    if (status == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) status = ERROR_SUCCESS;  // nothing to remove
  }
  // The registry answers with its status, not the thread's last error; callers that
  // check the write read the reason there.
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) platform::System().SetLastError(static_cast<DWORD>(status));
}

DWORD TDevice::RateIndexOf(DWORD value) {
  // High speed and faster: the override is the exponent itself.
  if (IsHighSpeedOrFaster()) return std::min(value, kMaxRateIndex);
  for (DWORD i = 0; i <= kMaxRateIndex; ++i) {
    if (value <= RateIntervals[i]) return i;
  }
  return kMaxRateIndex;
}

DWORD TDevice::GetRate() {
  if (!RateKnown) {
    RateIndex = RateIndexOf(GetOverrideInterval());
    RateKnown = true;
  }
  return RateIndex;
}

bool TDevice::ReadRate(DWORD& index) {
  DWORD value = 0;
  if (!ReadOverrideInterval(value)) return false;
  index = RateIndex = RateIndexOf(value);
  RateKnown = true;
  return true;
}

void TDevice::NoteBeforeChange() {
  TSettingsAtStart before;
  before.Known = RateKnown && FilterKnown;
  before.FilterInstalled = FilterFlag;
  before.RateIndex = RateIndex;
  NoteSettingsBeforeChange(InstanceId, before);
}

void TDevice::SetRate(DWORD index) {
  NoteBeforeChange();
  RateKnown = false;
  const DWORD bounded = std::min(index, kMaxRateIndex);
  SetOverrideInterval(IsHighSpeedOrFaster() ? bounded : RateIntervals[bounded]);
}

std::string TDevice::GetRateText() {
  const DWORD rate = GetRate();
  // High speed and faster: 2^(rate-1) microframes of 125 us.
  if (IsHighSpeedOrFaster() && rate > 0) return std::to_string(8000u >> (rate - 1));
  return RateTexts[rate];
}

bool TDevice::ReadLowerFilterContent(std::string& content) {
  content.clear();
  std::vector<BYTE> buffer(kLowerFiltersBufferSize, 0);
  if (platform::IsNtPlatform()) {
    platform::IDeviceInstall& setup = platform::DeviceInstall();
    for (int attempt = 0; attempt < kLowerFiltersReadAttempts; ++attempt) {
      DWORD type = 0;
      DWORD required = 0;
      if (setup.SetupDiGetDeviceRegistryPropertyA(InfoSet, &InfoData, SPDRP_LOWERFILTERS, &type, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), &required)) {
        content = TextOf(buffer, required);
        return true;
      }
      const DWORD error = platform::System().GetLastError();
      if (error != ERROR_INSUFFICIENT_BUFFER) return MeansAbsent(error);
      // Longer than the buffer: read it again whole.
      if (required <= buffer.size() || required > kLowerFiltersMaxSize) return false;
      buffer.assign(required, 0);
    }
    return false;
  }

  // A key that cannot be opened reads as no list; it must not count as read, or the
  // filter would be written alone into a list this read never saw.
  platform::UniqueDevRegKey key = OpenDeviceKey(*this, DIREG_DEV);
  if (!key) return false;
  for (int attempt = 0; attempt < kLowerFiltersReadAttempts; ++attempt) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size());
    const LSTATUS status =
        platform::Registry().RegQueryValueExA(key.Get(), kLowerFiltersValueName, nullptr, &type, buffer.data(), &size);
    if (status == static_cast<LSTATUS>(ERROR_SUCCESS)) {
      content = TextOf(buffer, size);
      return true;
    }
    // The registry answers with its status; the caller that must say why reads it as
    // the last error.
    platform::System().SetLastError(static_cast<DWORD>(status));
    if (status != static_cast<LSTATUS>(ERROR_MORE_DATA)) return MeansAbsent(static_cast<DWORD>(status));
    if (size <= buffer.size() || size > kLowerFiltersMaxSize) return false;
    buffer.assign(size, 0);
  }
  return false;
}

std::vector<std::string> TDevice::GetLowerFilters() {
  std::string content;
  if (!ReadLowerFilterContent(content)) return {};
  return ParseLowerFilters(content);
}

void TDevice::SetLowerFilters(std::vector<std::string>& filters) {
  while (!filters.empty() && filters.back().empty()) filters.pop_back();
  const std::string content = MultiStringOf(filters);
  const auto* data = reinterpret_cast<const BYTE*>(content.data());
  const auto size = static_cast<DWORD>(content.size());
  if (platform::IsNtPlatform()) {
    // No data and size 0 removes the property.
    platform::DeviceInstall().SetupDiSetDeviceRegistryPropertyA(InfoSet, &InfoData, SPDRP_LOWERFILTERS,
                                                                content.empty() ? nullptr : data, size);
    return;
  }
  platform::UniqueDevRegKey key = OpenDeviceKey(*this, DIREG_DEV);
  if (!key) return;
  LSTATUS status = ERROR_SUCCESS;
  if (!content.empty()) {
    status = platform::Registry().RegSetValueExA(key.Get(), kLowerFiltersValueName, 0, REG_MULTI_SZ, data, size);
  } else {
    status = platform::Registry().RegDeleteValueA(key.Get(), kLowerFiltersValueName);
  }
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) platform::System().SetLastError(static_cast<DWORD>(status));
}

bool TDevice::ReadLowerFilters(std::vector<std::string>& filters) {
  filters.clear();
  std::string content;
  if (!ReadLowerFilterContent(content)) return false;
  filters = ParseLowerFilters(content);
  return true;
}

bool TDevice::ReadOverride(DWORD& value) { return ReadOverrideInterval(value); }

bool TDevice::WriteOverride(DWORD value) {
  RateKnown = false;
  platform::System().SetLastError(0);
  SetOverrideInterval(value);
  DWORD stored = 0;
  const DWORD code = platform::System().GetLastError();
  if (!ReadOverrideInterval(stored)) return false;
  if (stored != value) {
    platform::System().SetLastError(code != 0 ? code : ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}

bool TDevice::IsOurFilter(const std::string& entry) { return ToLowerAscii(entry) == FilterEntry(); }

std::vector<std::string> TDevice::WithFilter(const std::vector<std::string>& list, bool on) {
  const bool present = std::any_of(list.begin(), list.end(), IsOurFilter);
  if (on && present) return list;
  std::vector<std::string> result;
  if (on) result.push_back(FilterEntry());
  for (const std::string& entry : list) {
    if (!IsOurFilter(entry)) result.push_back(entry);
  }
  return result;
}

DWORD TDevice::OverrideForRate(DWORD index) {
  const DWORD bounded = std::min(index, kMaxRateIndex);
  return IsHighSpeedOrFaster() ? bounded : RateIntervals[bounded];
}

std::string TDevice::GetLowerFiltersText() {
  std::string text;
  for (const std::string& entry : GetLowerFilters()) {
    text += entry;
    text += ',';
  }
  if (!text.empty()) text.pop_back();
  return text;
}

const char* TDevice::FilterEntry() { return platform::IsNtPlatform() ? "morvane" : "morvane.sys"; }

bool TDevice::IsFilterInstalled() {
  if (!FilterKnown) {
    bool installed = false;
    ReadFilterInstalled(installed);  // a list that cannot be read shows the filter off
    FilterFlag = installed;
    FilterKnown = true;
  }
  return FilterFlag;
}

bool TDevice::ReadFilterInstalled(bool& installed) {
  installed = false;
  std::string content;
  if (!ReadLowerFilterContent(content)) return false;
  const std::string entry = FilterEntry();
  for (const std::string& filter : ParseLowerFilters(content)) {
    if (ToLowerAscii(filter) == entry) installed = true;
  }
  FilterFlag = installed;
  FilterKnown = true;
  return true;
}

void TDevice::SetFilterInstalled(bool on) {
  NoteBeforeChange();
  FilterKnown = false;
  const std::string entry = FilterEntry();
  // A list that exists but could not be read whole is never written back.
  std::string content;
  if (!ReadLowerFilterContent(content)) return;
  std::vector<std::string> filters = ParseLowerFilters(content);

  bool found = false;
  bool changed = false;
  for (std::size_t i = filters.size(); i-- > 0;) {
    if (ToLowerAscii(filters[i]) != entry) continue;
    found = true;
    if (!on) {
      filters.erase(filters.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
    }
  }
  if (on && !found) {
    filters.insert(filters.begin(), entry);
    changed = true;
  }
  if (changed) SetLowerFilters(filters);
}

void TDevice::RestartDevice() { TryRestartDevice(); }

bool TDevice::TryRestartDevice() {
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = DICS_PROPCHANGE;
  params.Scope = DICS_FLAG_CONFIGSPECIFIC;
  params.HwProfile = 0;
  platform::IDeviceInstall& setup = platform::DeviceInstall();
  if (!setup.SetupDiSetClassInstallParamsA(InfoSet, &InfoData, &params.ClassInstallHeader, sizeof(params))) {
    return false;
  }
  if (!setup.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, InfoSet, &InfoData)) return false;
  NoteDeviceRestarted(InstanceId);
  return true;
}

}  // namespace morvane
