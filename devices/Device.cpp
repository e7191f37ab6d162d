#include "devices/Device.h"

#include "devaccess/DevAccess.h"
#include "devices/AsciiText.h"
#include "devices/DeviceTables.h"
#include "platform/errors.h"
#include "platform/platform.h"

namespace morvane {
namespace {

// Far deeper than any real device tree; ends the upward walk on a tree that loops.
constexpr int kMaxTreeDepth = 1024;

}  // namespace

TDevice::TDevice(HDEVINFO infoSet, const SP_DEVINFO_DATA& infoData, HDEVINFO lookupSet)
    : InfoSet(infoSet), InfoData(infoData), LookupSet(lookupSet) {
  InstanceId = GetInstanceId(InfoSet, InfoData);
}

TDevice::~TDevice() = default;

bool TDevice::FindDevInfo(DEVINST devInst, SP_DEVINFO_DATA& data) {
  return OpenDevInstInfo(LookupSet, devInst, data);
}

DWORD TDevice::GetPropertyDword(DWORD property) { return GetRegistryPropertyDword(InfoSet, InfoData, property); }

std::string TDevice::GetPropertyString(DWORD property) {
  return GetRegistryPropertyString(InfoSet, InfoData, property);
}

DEVINST TDevice::GetParentDevInst() {
  DEVINST parent = 0;
  if (platform::ConfigManager().CM_Get_Parent(&parent, InfoData.DevInst, 0) != CR_SUCCESS) return 0;
  return parent;
}

TDevice& TDevice::GetParentDevice() {
  if (!Parent) {
    SP_DEVINFO_DATA data{};
    // A node without a parent has none to find. The 0 of a failed lookup is no answer:
    // Wine hands out 0 as the handle of whichever node the process opened first.
    DEVINST parent = 0;
    if (platform::ConfigManager().CM_Get_Parent(&parent, InfoData.DevInst, 0) != CR_SUCCESS ||
        !FindDevInfo(parent, data)) {
      throw Error("GetParentDevice.FindDevInfo");
    }
    Parent = std::make_unique<TDevice>(LookupSet, data, LookupSet);
  }
  return *Parent;
}

DEVINST TDevice::GetControllerDevInst() {
  const DEVINST own = InfoData.DevInst;
  DEVINST current = own;
  DEVINST fallback = own;
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    DEVINST parent = 0;
    if (platform::ConfigManager().CM_Get_Parent(&parent, current, 0) != CR_SUCCESS) break;
    current = parent;
    if (HasInterface(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, current)) return current;
    // A controller whose driver registers no controller interface: remember the
    // nearest ancestor above the hubs (normally the controller's bus device).
    if (fallback == own && !IsOfEnumerator("USB", current) && !HasInterface(GUID_DEVINTERFACE_USB_HUB, current)) {
      fallback = current;
    }
  }
  return fallback;
}

TDevice& TDevice::GetControllerDevice() {
  if (!Controller) {
    SP_DEVINFO_DATA data{};
    if (!FindDevInfo(GetControllerDevInst(), data)) throw Error("GetControllerDevice.FindDevInfo");
    Controller = std::make_unique<TDevice>(LookupSet, data, LookupSet);
  }
  return *Controller;
}

void TDevice::CollectLeaves(DEVINST node, bool isDescendant) {
  platform::IConfigManager& cm = platform::ConfigManager();
  // A node is neither its own child nor its own sibling: an answer that leaves the
  // node in place is no answer (Wine's CM_Get_Child succeeds without writing one),
  // and following it would never end.
  DEVINST child = node;
  if (cm.CM_Get_Child(&child, node, 0) != CR_SUCCESS || child == node) {
    if (isDescendant) Children.push_back(node);
    return;
  }
  for (;;) {
    CollectLeaves(child, true);
    DEVINST sibling = child;
    if (cm.CM_Get_Sibling(&sibling, child, 0) != CR_SUCCESS || sibling == child) break;
    child = sibling;
  }
}

const TDevInstArray& TDevice::GetChildren() {
  if (!ChildrenKnown) {
    Children.clear();
    CollectLeaves(InfoData.DevInst, false);
    ChildrenKnown = true;
  }
  return Children;
}

bool TDevice::IsOfSetupClass(const GUID& setupClass, DEVINST devInst) {
  SP_DEVINFO_DATA data{};
  return FindDevInfo(devInst, data) && IsEqualGUID(data.ClassGuid, setupClass);
}

bool TDevice::HasInterface(const GUID& interfaceClass, DEVINST devInst) {
  SP_DEVINFO_DATA data{};
  return FindDevInfo(devInst, data) && InstanceHasInterface(GetInstanceId(LookupSet, data), interfaceClass);
}

bool TDevice::IsOfEnumerator(const std::string& enumerator, DEVINST devInst) {
  SP_DEVINFO_DATA data{};
  return FindDevInfo(devInst, data) && ToUpperAscii(GetEnumeratorName(LookupSet, data)) == ToUpperAscii(enumerator);
}

HANDLE TDevice::OpenInterface(const GUID& interfaceClass) { return OpenInterfaceHandle(InstanceId, interfaceClass); }

bool TDevice::IsUsbDevice() { return InstanceHasInterface(InstanceId, GUID_DEVINTERFACE_USB_DEVICE); }

bool TDevice::AnyChild(bool (TDevice::*test)(const GUID&, DEVINST), const GUID& guid) {
  for (DEVINST child : GetChildren()) {
    if ((this->*test)(guid, child)) return true;
  }
  return false;
}

bool TDevice::HasMouseChild() { return AnyChild(&TDevice::IsOfSetupClass, GUID_DEVCLASS_MOUSE); }
bool TDevice::HasKeyboardChild() { return AnyChild(&TDevice::IsOfSetupClass, GUID_DEVCLASS_KEYBOARD); }
bool TDevice::HasHidChild() { return AnyChild(&TDevice::HasInterface, GUID_DEVINTERFACE_HID); }

bool TDevice::HasProblem() {
  if (!ProblemKnown) {
    ProblemFlag = DevNodeHasProblem(InfoData.DevInst);
    ProblemKnown = true;
  }
  return ProblemFlag;
}

bool TDevice::IsHub() { return InstanceHasInterface(InstanceId, GUID_DEVINTERFACE_USB_HUB); }

bool TDevice::IsControllerDriverKnown() {
  const std::string service = ToUpperAscii(GetControllerDevice().GetServiceName());
  if (service.empty()) return false;
  for (const char* known : ControllerDriverNames) {
    if (service.find(known) != std::string::npos) return true;
  }
  return false;
}

const std::string& TDevice::GetName() {
  if (!NameKnown) {
    Name = GetDisplayName(InfoSet, InfoData);
    NameKnown = true;
  }
  return Name;
}

std::string TDevice::JoinDeviceNames(const TDevInstArray& devInsts) {
  std::string text;
  for (DEVINST devInst : devInsts) {
    SP_DEVINFO_DATA data{};
    if (!FindDevInfo(devInst, data)) continue;
    const std::string name = GetDisplayName(LookupSet, data);
    text = text.empty() ? name : text + "; " + name;
  }
  return text;
}

const std::string& TDevice::GetChildNames() {
  if (!ChildNamesKnown) {
    ChildNames = JoinDeviceNames(GetChildren());
    ChildNamesKnown = true;
  }
  return ChildNames;
}

std::string TDevice::GetServiceName() {
  std::string service = GetPropertyString(SPDRP_SERVICE);
  // The 9x family names the driver in the driver key instead.
  if (service.empty() && !platform::IsNtPlatform()) {
    service = GetDevRegString(InfoSet, InfoData, DIREG_DRV, "NTMPDriver");
  }
  return service;
}

}  // namespace morvane
