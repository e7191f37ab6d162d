// TDevice: the program's record of one device node. It answers every question the
// window, the category rules and the settings ask about the device, computes each
// answer that needs a tree walk, an interface test or a hub query on first request,
// and keeps it for the life of the record (the device list rebuilds records after
// any change of the machine's devices).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace morvane {

using TDevInstArray = std::vector<DEVINST>;

class TDevice {
 public:
  // Neither set is owned: both belong to the device list.
  TDevice(HDEVINFO infoSet, const SP_DEVINFO_DATA& infoData, HDEVINFO lookupSet);
  ~TDevice();
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  // Tree and identity.
  bool FindDevInfo(DEVINST devInst, SP_DEVINFO_DATA& data);
  DWORD GetPropertyDword(DWORD property);
  std::string GetPropertyString(DWORD property);
  DEVINST GetParentDevInst();
  // Raises morvane::Error("GetParentDevice.FindDevInfo"); the record stays owned here.
  TDevice& GetParentDevice();
  DEVINST GetControllerDevInst();
  // Raises morvane::Error("GetControllerDevice.FindDevInfo"); the record stays owned here.
  TDevice& GetControllerDevice();
  // The leaf descendants, depth first.
  const TDevInstArray& GetChildren();
  bool IsOfSetupClass(const GUID& setupClass, DEVINST devInst);
  bool HasInterface(const GUID& interfaceClass, DEVINST devInst);
  bool IsOfEnumerator(const std::string& enumerator, DEVINST devInst);
  // The caller closes the handle.
  HANDLE OpenInterface(const GUID& interfaceClass);
  bool IsUsbDevice();
  bool HasMouseChild();
  bool HasKeyboardChild();
  bool HasHidChild();
  bool HasProblem();
  bool IsHub();

  // USB connection, asked of the parent hub once per record.
  bool QueryConnection();
  BYTE GetMinInterval();
  BYTE GetMaxInterval();
  BYTE GetSpeed();
  bool IsHighSpeedOrFaster();
  bool IsLowSpeed();

  bool IsControllerDriverKnown();
  const std::string& GetName();
  std::string JoinDeviceNames(const TDevInstArray& devInsts);
  const std::string& GetChildNames();
  std::string GetServiceName();

  // Rate override ("bInterval" in the driver key) and the lower-filter list.
  DWORD GetOverrideInterval();
  void SetOverrideInterval(DWORD value);
  DWORD GetRate();
  void SetRate(DWORD index);
  std::string GetRateText();
  std::vector<std::string> GetLowerFilters();
  // Drops the list's trailing empty entries, then writes it (empty: removes it).
  void SetLowerFilters(std::vector<std::string>& filters);
  std::string GetLowerFiltersText();
  bool IsFilterInstalled();
  void SetFilterInstalled(bool on);
  // The same answers read again now, for callers that must tell "not set" from "could
  // not be read": false when the read failed, the thread's last error then says why.
  bool ReadFilterInstalled(bool& installed);
  bool ReadRate(DWORD& index);
  // The whole lower-filter list and the override as stored (0: none); false when the
  // read failed, the thread's last error then says why.
  bool ReadLowerFilters(std::vector<std::string>& filters);
  bool ReadOverride(DWORD& value);
  // Writes the override as it is (0 removes it); false with the reason as last error.
  bool WriteOverride(DWORD value);
  // Whether an entry of a lower-filter list is this program's filter.
  static bool IsOurFilter(const std::string& entry);
  // The list SetFilterInstalled writes for `list`: the filter in front when it is
  // missing, every copy of it gone for off, the other entries in their order.
  static std::vector<std::string> WithFilter(const std::vector<std::string>& list, bool on);
  // The override SetRate writes for a rate index.
  DWORD OverrideForRate(DWORD index);
  // Asks the class installer for a property change, which restarts the device.
  void RestartDevice();
  // The same request; true when the class installer accepted it. The window learns
  // of the restart from the device change instead; the helper program reports it.
  bool TryRestartDevice();

  // The hardware IDs, each followed by a NUL byte; empty when they cannot be read.
  std::string GetHardwareIds();
  // The device's identifiers, name, service and driver files with their paths and
  // versions, as CR LF terminated lines (devices/DriverReport.h).
  std::string GetDriverReport();

  HDEVINFO InfoSet;
  SP_DEVINFO_DATA InfoData;
  HDEVINFO LookupSet;
  std::string InstanceId;

 private:
  void CollectLeaves(DEVINST node, bool isDescendant);
  bool AnyChild(bool (TDevice::*test)(const GUID&, DEVINST), const GUID& guid);
  void RunConnectionQuery(bool& result);
  // The lower-filter content as stored; false when it may exist but could not be read
  // whole (on the 9x family also when its key cannot be opened).
  bool ReadLowerFilterContent(std::string& content);
  // The override as stored (0 when there is none); false when it could not be read.
  bool ReadOverrideInterval(DWORD& value);
  DWORD RateIndexOf(DWORD overrideValue);
  // Notes this session's change of the filter or rate (devices/SessionChanges.h) from
  // the values already read.
  void NoteBeforeChange();
  static const char* FilterEntry();

  std::unique_ptr<TDevice> Parent;
  std::unique_ptr<TDevice> Controller;
  TDevInstArray Children;
  bool ChildrenKnown = false;
  bool ProblemFlag = false;
  bool ProblemKnown = false;
  bool ConnectionResult = false;
  bool ConnectionKnown = false;
  BYTE MinInterval = 0;
  BYTE MaxInterval = 0;
  BYTE Speed = 255;
  std::string Name;
  bool NameKnown = false;
  std::string ChildNames;
  bool ChildNamesKnown = false;
  bool FilterFlag = false;
  bool FilterKnown = false;
  DWORD RateIndex = 0;
  bool RateKnown = false;
};

}  // namespace morvane
