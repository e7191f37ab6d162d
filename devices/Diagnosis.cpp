#include "devices/Diagnosis.h"

#include <algorithm>
#include <exception>

#include "devaccess/DevAccess.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "syshelpers/DriverFiles.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"

namespace morvane {
namespace {

constexpr const char* kService = "morvane";
// Codes not every Windows header names.
constexpr DWORD kErrorInvalidImageHash = 577;
constexpr DWORD kErrorDriverBlocked = 1275;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr int kAllCategory = 5;

// A machine key closed at the end of its scope.
class MachineKey {
 public:
  explicit MachineKey(const char* path) {
    if (platform::Registry().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~MachineKey() {
    if (key_ != nullptr) platform::Registry().RegCloseKey(key_);
  }
  MachineKey(const MachineKey&) = delete;
  MachineKey& operator=(const MachineKey&) = delete;
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::optional<DWORD> ReadDword(const char* path, const char* name) {
  MachineKey key(path);
  if (key.Get() == nullptr) return std::nullopt;
  DWORD value = 0, type = 0, size = sizeof value;
  if (platform::Registry().RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                                            &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> ReadString(const char* path, const char* name) {
  MachineKey key(path);
  if (key.Get() == nullptr) return std::nullopt;
  std::vector<BYTE> buffer(1024, 0);
  DWORD type = 0, size = static_cast<DWORD>(buffer.size());
  if (platform::Registry().RegQueryValueExA(key.Get(), name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  std::string text(reinterpret_cast<const char*>(buffer.data()), std::min<std::size_t>(size, buffer.size()));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string Upper(std::string text) {
  for (char& ch : text) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return text;
}

std::string CodeAndText(DWORD code) {
  const std::string text = GetSysErrorText(code);
  return "code " + std::to_string(code) + (text.empty() ? "" : ": " + text);
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto unit = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (unit < 0x20 || unit >= 0x7F) {
      static constexpr char Hex[] = "0123456789abcdef";
      out += "\\u00";
      out += Hex[unit >> 4];
      out += Hex[unit & 0xF];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string JsonBool(const std::optional<bool>& value) {
  return !value ? "null" : (*value ? "true" : "false");
}

const char* YesNoUnknown(const std::optional<bool>& value) { return !value ? "not known" : (*value ? "on" : "off"); }

}  // namespace

std::vector<DiagnosisCause> FindCauses(const DiagnosisFacts& f) {
  std::vector<DiagnosisCause> causes;
  if (!f.serviceInstalled) {
    causes.push_back({"not-installed",
                      "The filter service is not installed: choose \"Install Service\" in the window, or run "
                      "setup.exe /install-service."});
    return causes;
  }
  if (!f.driverFilePresent) {
    causes.push_back({"driver-file-missing", "The filter's driver file " +
                                                 (f.driverFile.empty() ? std::string("(not named)") : f.driverFile) +
                                                 " is missing: install the service again."});
  }
  if (!f.serviceEnabled) {
    causes.push_back({"disabled",
                      "The filter service is disabled: install the service again, which sets it to start on demand."});
  }
  switch (f.startError) {
    case 0: break;
    case kErrorInvalidImageHash:
      if (f.memoryIntegrity.value_or(false)) {
        causes.push_back({"memory-integrity",
                          "Memory Integrity (Core isolation) is on and refuses the filter driver (code 577): turn "
                          "it off in Windows Security, Device security, Core isolation details, and restart Windows."});
      } else if (f.secureBoot.value_or(false) && !f.testSigning.value_or(false)) {
        causes.push_back({"signature-secure-boot",
                          "Windows refuses the filter driver's signature (code 577), and test signing is off while "
                          "Secure Boot is on: test signing can be turned on (bcdedit /set testsigning on, then a "
                          "restart) only after Secure Boot is turned off in the firmware settings."});
      } else if (!f.testSigning.value_or(false)) {
        causes.push_back({"signature-test-signing-off",
                          "Windows refuses the filter driver's signature (code 577) and test signing is off: turn it "
                          "on with bcdedit /set testsigning on as administrator, then restart Windows."});
      } else {
        causes.push_back({"signature",
                          "Windows refuses the filter driver's signature (code 577) although test signing is on: "
                          "install the service again from a complete copy of the program's folder."});
      }
      break;
    case kErrorDriverBlocked:
      causes.push_back({"blocked",
                        "Windows blocks the filter driver (code 1275): it is on the list of drivers this Windows "
                        "refuses to load; turn off the vulnerable driver blocklist in Windows Security, Device "
                        "security, Core isolation details, or use a driver Windows does not block."});
      break;
    case kErrorBadExeFormat:
      causes.push_back({"bad-image",
                        "The filter driver file is no driver for this Windows (code 193): it is damaged or made for "
                        "another processor; install the service again from the program's folder."});
      break;
    case ERROR_SERVICE_DISABLED:
      break;  // said above
    default:
      causes.push_back({"start-failed", "The filter service cannot start (" + CodeAndText(f.startError) + ")."});
      break;
  }
  for (const FilteredDeviceProblem& device : f.devices) {
    const bool signature = device.problem == 52;
    causes.push_back({signature ? "device-signature" : "device-problem",
                      device.instanceId + " carries the filter and has problem " + std::to_string(device.problem) +
                          ": " + GetProblemText(device.problem) +
                          (signature ? "; the causes above about signatures apply to it" :
                                       "; restart the device, and if it stays, detach the filter from it") +
                          "."});
  }
  return causes;
}

Diagnosis Diagnose() {
  Diagnosis d;
  DiagnosisFacts& f = d.facts;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (platform::System().GetVersionExA(&version)) {
    f.majorVersion = version.dwMajorVersion;
    f.minorVersion = version.dwMinorVersion;
    f.buildNumber = version.dwBuildNumber & 0xFFFF;
    f.ntFamily = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  if (f.ntFamily) {
    f.serviceInstalled = QueryServiceConfiguration(kService) != nullptr;
    if (f.serviceInstalled) {
      f.serviceEnabled = IsServiceEnabled(kService);
      const std::string imagePath = GetServiceImagePath(kService);
      f.driverFile = imagePath.empty() ? std::string() : GetDriverFullPath(imagePath);
      f.driverFilePresent = !imagePath.empty() && static_cast<bool>(OpenDriverFile(imagePath));
      f.serviceRunning = IsServiceRunning(kService);
      if (!f.serviceRunning && f.serviceEnabled) {
        platform::System().SetLastError(0);
        if (TryStartService(kService)) {
          f.serviceRunning = IsServiceRunning(kService);
        } else {
          f.startError = platform::System().GetLastError();
        }
      }
    }
    if (const auto hvci = ReadDword(kMemoryIntegrityKey, "Enabled")) f.memoryIntegrity = *hvci != 0;
    if (const auto secure = ReadDword(kSecureBootKey, "UEFISecureBootEnabled")) f.secureBoot = *secure != 0;
    if (const auto options = ReadString(kControlKey, "SystemStartOptions")) {
      f.testSigning = Upper(*options).find("TESTSIGNING") != std::string::npos;
    }
  }
  try {
    TDeviceList list(kAllCategory);
    for (int i = 0; i < list.Count(); ++i) {
      TDevice& device = list.GetDevice(i);
      if (!device.IsFilterInstalled()) continue;
      const ULONG problem = GetDevNodeProblem(device.InfoData.DevInst);
      if (problem != 0) f.devices.push_back({device.InstanceId, problem});
    }
  } catch (const std::exception&) {
    // Without the device list the devices' problems are not known; the rest stands.
  }
  d.causes = FindCauses(f);
  return d;
}

std::string DiagnosisText(const Diagnosis& d) {
  const DiagnosisFacts& f = d.facts;
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\r\n"; };
  line("Windows " + std::to_string(f.majorVersion) + "." + std::to_string(f.minorVersion) + " build " +
       std::to_string(f.buildNumber) + (f.ntFamily ? "" : " (9x family)"));
  if (!f.serviceInstalled) {
    line("service morvane: not installed");
  } else {
    line(std::string("service morvane: ") + (f.serviceEnabled ? "enabled" : "disabled") + ", " +
         (f.serviceRunning ? "running" : "not running") +
         (f.startError != 0 ? ", its start fails (" + CodeAndText(f.startError) + ")" : ""));
    line("driver file: " + (f.driverFile.empty() ? std::string("not named") : f.driverFile) +
         (f.driverFilePresent ? "" : " (missing)"));
  }
  line(std::string("Memory Integrity: ") + YesNoUnknown(f.memoryIntegrity) + "; Secure Boot: " +
       YesNoUnknown(f.secureBoot) + "; test signing: " + YesNoUnknown(f.testSigning));
  if (d.causes.empty()) {
    line("Nothing keeps the filter from loading: the service is installed, enabled and starts.");
  }
  for (const DiagnosisCause& cause : d.causes) line(cause.text);
  return out;
}

std::string DiagnosisJson(const Diagnosis& d) {
  const DiagnosisFacts& f = d.facts;
  std::string out = "{\"version\": 1, \"windows\": {\"major\": " + std::to_string(f.majorVersion) +
                    ", \"minor\": " + std::to_string(f.minorVersion) + ", \"build\": " + std::to_string(f.buildNumber) +
                    ", \"nt\": " + (f.ntFamily ? "true" : "false") + "},\r\n";
  out += " \"service\": {\"installed\": " + std::string(f.serviceInstalled ? "true" : "false") +
         ", \"enabled\": " + (f.serviceEnabled ? "true" : "false") + ", \"running\": " +
         (f.serviceRunning ? "true" : "false") + ", \"startError\": " + std::to_string(f.startError) +
         ", \"driverFile\": " + Json(f.driverFile) + ", \"driverFilePresent\": " +
         (f.driverFilePresent ? "true" : "false") + "},\r\n";
  out += " \"memoryIntegrity\": " + JsonBool(f.memoryIntegrity) + ", \"secureBoot\": " + JsonBool(f.secureBoot) +
         ", \"testSigning\": " + JsonBool(f.testSigning) + ",\r\n \"devices\": [";
  for (std::size_t i = 0; i < f.devices.size(); ++i) {
    out += std::string(i == 0 ? "" : ", ") + "{\"instanceId\": " + Json(f.devices[i].instanceId) +
           ", \"problem\": " + std::to_string(f.devices[i].problem) + "}";
  }
  out += "],\r\n \"causes\": [";
  for (std::size_t i = 0; i < d.causes.size(); ++i) {
    out += std::string(i == 0 ? "\r\n  " : ",\r\n  ") + "{\"id\": " + Json(d.causes[i].id) +
           ", \"text\": " + Json(d.causes[i].text) + "}";
  }
  out += d.causes.empty() ? "]}\r\n" : "\r\n ]}\r\n";
  return out;
}

}  // namespace morvane
