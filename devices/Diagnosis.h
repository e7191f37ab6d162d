// Why the filter does not load: the facts behind it, read over the platform seam
// (the filter service's configuration, state and start error, the system's Memory
// Integrity, Secure Boot and test-signing settings, Windows' version, and the
// problems of the devices that carry the filter), and each cause found in one plain
// sentence with what the user can do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace morvane {

// The system's values behind the diagnosis, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kMemoryIntegrityKey =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceGuard\\Scenarios\\HypervisorEnforcedCodeIntegrity";
inline constexpr const char* kSecureBootKey = "SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State";
inline constexpr const char* kControlKey = "SYSTEM\\CurrentControlSet\\Control";
struct MachineValueName {
  const char* key;
  const char* value;
};
inline constexpr MachineValueName DiagnosisValues[] = {
    {kMemoryIntegrityKey, "Enabled"}, {kSecureBootKey, "UEFISecureBootEnabled"}, {kControlKey, "SystemStartOptions"}};

struct FilteredDeviceProblem {
  std::string instanceId;
  ULONG problem = 0;
};

struct DiagnosisFacts {
  bool serviceInstalled = false;
  bool serviceEnabled = false;
  bool serviceRunning = false;
  std::string driverFile;         // the full path the service loads; empty when not named
  bool driverFilePresent = false;
  DWORD startError = 0;           // the error of a start tried now; 0 when it started or was not tried
  std::optional<bool> memoryIntegrity;  // none: not read (no such key on this Windows, or refused)
  std::optional<bool> secureBoot;
  std::optional<bool> testSigning;
  DWORD majorVersion = 0, minorVersion = 0, buildNumber = 0;
  bool ntFamily = true;
  std::vector<FilteredDeviceProblem> devices;  // devices with the filter attached and a problem
};

struct DiagnosisCause {
  std::string id;    // a short name for scripts ("memory-integrity", "not-installed", ...)
  std::string text;  // one sentence and what to do
};

struct Diagnosis {
  DiagnosisFacts facts;
  std::vector<DiagnosisCause> causes;  // empty: nothing keeps the filter from loading
};

// Reads the facts (a stopped, enabled service is started once to learn its start
// error, as the window's own test of the service does) and finds the causes.
Diagnosis Diagnose();

// The causes of a set of facts, in the order they are to be mended.
std::vector<DiagnosisCause> FindCauses(const DiagnosisFacts& facts);

// The diagnosis as CR LF lines, and as JSON (version 1).
std::string DiagnosisText(const Diagnosis& diagnosis);
std::string DiagnosisJson(const Diagnosis& diagnosis);

}  // namespace morvane
