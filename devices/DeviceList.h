// TDeviceList: the present USB devices of one category, in enumeration order. The
// list owns its records and the two device-information sets they refer to: the
// enumerated set (every record's InfoSet) and the lookup set into which records open
// other devices (the set of every parent and controller record).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/Device.h"
#include "platform/handles.h"

namespace morvane {

class TDeviceList {
 public:
  // An empty list without sets.
  TDeviceList();
  // Enumerates the category (a position of DeviceCategories). Raises morvane::Error
  // ("SetupDiGetClassDevs", "SetupDiCreateDeviceInfoList", "Unknown Filter", or the
  // error of a record operation); nothing is left behind then.
  explicit TDeviceList(int category);
  ~TDeviceList();
  TDeviceList(const TDeviceList&) = delete;
  TDeviceList& operator=(const TDeviceList&) = delete;

  int Count() const { return static_cast<int>(Items.size()); }
  // Not 0: the enumeration ended on this error before its last device, so the list
  // may lack devices.
  DWORD EnumerationError() const { return EnumerationError_; }
  // Raises morvane::Error("TDeviceList.GetDevice(<index + 1>) from <count>") outside the list.
  TDevice& GetDevice(int index);

  // A number no other list made in this process has: a holder of an earlier list's
  // answers tells from it that the list was made again.
  std::uint64_t Generation() const { return generation_; }

  HDEVINFO GetEnumSet() const { return EnumSet.Get(); }
  HDEVINFO GetLookupSet() const { return LookupSet.Get(); }

 private:
  static bool IsPreSelected(TDevice& device, int category);
  static bool PassesRule(TDevice& device, int category);

  // Declared so that a constructor that raises releases in the destructor's order:
  // EnumSet, then LookupSet, then the records.
  std::vector<std::unique_ptr<TDevice>> Items;
  platform::UniqueDevInfo LookupSet;
  platform::UniqueDevInfo EnumSet;
  std::uint64_t generation_;
  DWORD EnumerationError_ = 0;
};

}  // namespace morvane
