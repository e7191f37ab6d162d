#include "devices/DeviceList.h"

#include <string>

#include "devices/DeviceTables.h"
#include "platform/errors.h"
#include "platform/platform.h"

namespace morvane {
namespace {

// Categories from this number on enumerate by the "USB" enumerator, of any setup class.
constexpr int kFirstEnumeratorCategory = 5;

std::uint64_t NextGeneration() {
  static std::uint64_t last = 0;
  return ++last;
}

}  // namespace

TDeviceList::TDeviceList() : generation_(NextGeneration()) {}

TDeviceList::TDeviceList(int category) : generation_(NextGeneration()) {
  platform::IDeviceInstall& setup = platform::DeviceInstall();
  if (category < kFirstEnumeratorCategory) {
    EnumSet.Reset(setup.SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  } else {
    EnumSet.Reset(setup.SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  }
  if (!EnumSet) throw Error("SetupDiGetClassDevs");
  LookupSet.Reset(setup.SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!LookupSet) throw Error("SetupDiCreateDeviceInfoList");

  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!setup.SetupDiEnumDeviceInfo(EnumSet.Get(), index, &data)) {
      const DWORD error = platform::System().GetLastError();
      if (error != ERROR_NO_MORE_ITEMS) EnumerationError_ = error;
      break;
    }
    auto device = std::make_unique<TDevice>(EnumSet.Get(), data, LookupSet.Get());
    if (IsPreSelected(*device, category) && PassesRule(*device, category)) Items.push_back(std::move(device));
  }
}

TDeviceList::~TDeviceList() {
  EnumSet.Reset();
  LookupSet.Reset();
  Items.clear();
}

bool TDeviceList::IsPreSelected(TDevice& device, int category) {
  if (category < kFirstEnumeratorCategory) return true;
  // Of the "USB" enumerator's nodes keep the devices on hub ports: root hubs and the
  // interface nodes below a composite device drop out.
  if (device.IsUsbDevice()) return true;
  if (device.IsHub()) return false;
  return device.GetParentDevice().IsHub();
}

bool TDeviceList::PassesRule(TDevice& device, int category) {
  switch (category) {
    case 0: return device.HasMouseChild();
    case 1: return device.HasKeyboardChild();
    case 2: return device.HasHidChild();
    case 3: return device.QueryConnection();
    case 4: return true;
    case 5: return true;
    case 6: return device.IsFilterInstalled();
    case 7: return device.HasProblem();
    default: throw Error("Unknown Filter");
  }
}

TDevice& TDeviceList::GetDevice(int index) {
  if (index < 0 || index >= Count()) {
    throw Error("TDeviceList.GetDevice(" + std::to_string(static_cast<long long>(index) + 1) + ") from " +
                std::to_string(Count()));
  }
  return *Items[static_cast<std::size_t>(index)];
}

}  // namespace morvane
