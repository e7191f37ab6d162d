// Entry points of varnel.dll.
//
// The DLL carries its own copy of the platform library, so installing its backend
// here sets only the DLL's own current backend: a host program that uses
// the same seam keeps its own. It is installed once, at process attach, and stays.
#include <windows.h>

#include "platform/platform.h"
#include "varnel/VarnelLogic.h"
#include "varnel/win32/VarnelBackend.h"

// ntdll.dll is mapped into every process before any DLL, so loading it here only
// takes a reference and cannot run another module's initialisation under the
// loader lock.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    platform::Install(morvane::varnel::VarnelBackend());
    morvane::VarnelProcessAttach();
  }
  return TRUE;
}

// Exported as CleanMemory, ordinal 1 (varnel.def). The parameters are register-wide:
// the x64 convention leaves the bits above a one-byte argument undefined, and
// taking the whole register and masking it makes the low byte the only one read,
// whatever the compiler would assume about a narrow parameter.
extern "C" INT WINAPI CleanMemory(ULONG_PTR purgeStandbyList, ULONG_PTR flushModifiedList,
                                  ULONG_PTR emptyWorkingSets, ULONG_PTR purgeLowPriorityStandbyList) {
  try {
    morvane::CleanMemoryFromRegisters(purgeStandbyList, flushModifiedList, emptyWorkingSets,
                                      purgeLowPriorityStandbyList);
  } catch (...) {
    // Nothing may leave a plain C export; the result is 0 in every case.
  }
  return 0;
}
