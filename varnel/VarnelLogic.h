// The memory trimming library's logic: the module-wide state and CleanMemory,
// written against the platform seam so that it runs over the simulated machine as
// well as over the real Windows backend. The DLL entry points (varnel/win32) only
// install the real backend and forward here.
#pragma once

#include "platform/types.h"

namespace morvane {

// The memory-list commands of NtSetSystemInformation(SystemMemoryListInformation).
inline constexpr ULONG MemoryEmptyWorkingSets = 2;
inline constexpr ULONG MemoryFlushModifiedList = 3;
inline constexpr ULONG MemoryPurgeStandbyList = 4;
inline constexpr ULONG MemoryPurgeLowPriorityStandbyList = 5;

inline constexpr const char* ProfileSingleProcessPrivilege = "SeProfileSingleProcessPrivilege";
inline constexpr DWORD TokenAdjustAndQuery = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
static_assert(TokenAdjustAndQuery == 0x28);

// Storage shared by every call. CleanMemory works in it, so calls must not overlap:
// callers call from one thread at a time and the library does no locking.
struct VarnelState {
  HMODULE NativeModule = nullptr;  // "ntdll.dll", loaded at process attach, never freed
  LUID PrivilegeId{};
  HANDLE Token = nullptr;          // open only during one call
  TOKEN_PRIVILEGES NewState{};
  TOKEN_PRIVILEGES PreviousState{};
  DWORD ReturnedLength = 0;
};

VarnelState& VarnelModuleState();

// Process attach: loads the native-API module and keeps its handle.
void VarnelProcessAttach();

// Enables the profiling privilege in the process token, then issues, for each flag
// that is exactly 1, in this order: purge standby list (4), flush modified list (3),
// empty working sets (2), purge low-priority standby list (5). Always returns 0.
INT CleanMemory(BYTE purgeStandbyList, BYTE flushModifiedList, BYTE emptyWorkingSets,
                BYTE purgeLowPriorityStandbyList);

// The exported entry's view of its arguments: each arrives in a full 64-bit register
// whose bits above the first byte the caller may have left undefined, so only the
// low byte of each is passed on.
INT CleanMemoryFromRegisters(ULONG_PTR purgeStandbyList, ULONG_PTR flushModifiedList, ULONG_PTR emptyWorkingSets,
                             ULONG_PTR purgeLowPriorityStandbyList);

}  // namespace morvane
