#include "varnel/VarnelLogic.h"

#include <array>

#include "platform/handles.h"
#include "platform/platform.h"

namespace morvane {
namespace {

constexpr DWORD PrivilegesRecordSize = sizeof(TOKEN_PRIVILEGES);
static_assert(PrivilegesRecordSize == 16);
static_assert(offsetof(TOKEN_PRIVILEGES, Privileges) == 4);
static_assert(offsetof(LUID_AND_ATTRIBUTES, Attributes) == 8);

void SetSinglePrivilege(TOKEN_PRIVILEGES& record, const LUID& id, DWORD attributes) {
  record.PrivilegeCount = 1;
  record.Privileges[0].Luid = id;
  record.Privileges[0].Attributes = attributes;
}

// Enables the profiling privilege in two steps: the first adjustment (attributes 0)
// reports the privilege's previous state, which the second then sends back with
// SE_PRIVILEGE_ENABLED. The token is closed before this returns, whenever it was opened.
void EnableProfilePrivilege(VarnelState& state) {
  platform::ISecurity& security = platform::Security();
  const BOOL lookedUp = security.LookupPrivilegeValueA(nullptr, ProfileSingleProcessPrivilege, &state.PrivilegeId);

  platform::ScopeExit forgetToken([&state] { state.Token = nullptr; });
  const BOOL tokenOpen =
      security.OpenProcessToken(platform::System().GetCurrentProcess(), TokenAdjustAndQuery, &state.Token);
  const platform::UniqueKernelHandle tokenOwner(tokenOpen ? state.Token : nullptr);
  if (!lookedUp || !tokenOpen) return;

  SetSinglePrivilege(state.NewState, state.PrivilegeId, 0);
  if (!security.AdjustTokenPrivileges(state.Token, FALSE, &state.NewState, PrivilegesRecordSize,
                                      &state.PreviousState, &state.ReturnedLength)) {
    return;
  }
  SetSinglePrivilege(state.PreviousState, state.PrivilegeId, SE_PRIVILEGE_ENABLED);
  security.AdjustTokenPrivileges(state.Token, FALSE, &state.PreviousState, state.ReturnedLength, nullptr, nullptr);
}

// GetProcAddress hands out a generic function pointer; the round trip through
// void(*)() is the one cast between function types the compilers accept silently.
PFN_NtSetSystemInformation ResolveNtSetSystemInformation(HMODULE nativeModule) {
  // GetProcAddress with a null module would search the host program instead.
  if (nativeModule == nullptr) return nullptr;
  const FARPROC address = platform::System().GetProcAddress(nativeModule, "NtSetSystemInformation");
  return reinterpret_cast<PFN_NtSetSystemInformation>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

VarnelState& VarnelModuleState() {
  static VarnelState state;
  return state;
}

void VarnelProcessAttach() {
  VarnelModuleState().NativeModule = platform::System().LoadLibraryW(MORVANE_WTEXT("ntdll.dll"));
}

INT CleanMemory(BYTE purgeStandbyList, BYTE flushModifiedList, BYTE emptyWorkingSets,
                BYTE purgeLowPriorityStandbyList) {
  VarnelState& state = VarnelModuleState();
  state.ReturnedLength = PrivilegesRecordSize;
  EnableProfilePrivilege(state);

  const PFN_NtSetSystemInformation setSystemInformation = ResolveNtSetSystemInformation(state.NativeModule);
  if (setSystemInformation == nullptr) return 0;

  struct Request {
    BYTE flag;
    ULONG command;
  };
  const std::array<Request, 4> requests{{
      {purgeStandbyList, MemoryPurgeStandbyList},
      {flushModifiedList, MemoryFlushModifiedList},
      {emptyWorkingSets, MemoryEmptyWorkingSets},
      {purgeLowPriorityStandbyList, MemoryPurgeLowPriorityStandbyList},
  }};
  for (const Request& request : requests) {
    if (request.flag != 1) continue;
    ULONG command = request.command;
    setSystemInformation(SystemMemoryListInformation, &command, sizeof(command));
  }
  return 0;
}

INT CleanMemoryFromRegisters(ULONG_PTR purgeStandbyList, ULONG_PTR flushModifiedList, ULONG_PTR emptyWorkingSets,
                             ULONG_PTR purgeLowPriorityStandbyList) {
  const auto lowByte = [](ULONG_PTR value) { return static_cast<BYTE>(value & 0xFF); };
  return CleanMemory(lowByte(purgeStandbyList), lowByte(flushModifiedList), lowByte(emptyWorkingSets),
                     lowByte(purgeLowPriorityStandbyList));
}

}  // namespace morvane
