#include "devices/DriverReport.h"

#include "devices/AsciiText.h"
#include "devices/Device.h"
#include "devices/DeviceTables.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "syshelpers/DriverFiles.h"

namespace morvane {
namespace {

constexpr char kSeparatorMark = static_cast<char>(0xFF);
constexpr const char* kLineEnd = "\r\n";

// The driver files that serve a device with this service, freshly built per report.
std::vector<std::string> DriverFileList(TDevice& device, const std::string& serviceName) {
  std::vector<std::string> entries;
  if (platform::IsNtPlatform()) {
    entries.push_back(GetServiceImagePath(serviceName));
  } else {
    entries = SplitDriverFileList(serviceName);
  }
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (IsUsbPortMiniport(*entry)) {
      entries.emplace_back(PortDriverEntry);
      break;
    }
  }
  if (device.IsFilterInstalled()) entries.emplace_back(FilterDriverEntry);
  return entries;
}

// The identifier lines without their outer quotes: the marks become quote, line
// end, quote.
std::string IdentifierText(const std::string& instanceId, const std::string& hardwareIds) {
  std::string list = instanceId;
  list += '\0';
  list += hardwareIds;
  list += '\0';
  std::string text;
  for (char c : MarkMultiSzSeparators(list)) {
    if (c == kSeparatorMark) {
      text += "\"\r\n\"";
    } else {
      text += c;
    }
  }
  return text;
}

void AppendLine(std::string& report, const char* label, const std::string& text) {
  report += label;
  report += text;
  report += kLineEnd;
}

}  // namespace

std::string MarkMultiSzSeparators(const std::string& list) {
  std::string text = list;
  bool previousReplaced = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\0') {
      previousReplaced = false;
      continue;
    }
    if (previousReplaced) {
      text.resize(i - 1);
      break;
    }
    text[i] = kSeparatorMark;
    previousReplaced = true;
  }
  return text;
}

bool IsUsbPortMiniport(const std::string& file) {
  const std::size_t separator = file.find_last_of("\\:");
  std::string name = separator == std::string::npos ? file : file.substr(separator + 1);
  const std::size_t period = name.rfind('.');
  if (period != std::string::npos) name.erase(period);
  name = ToUpperAscii(name);
  return name == ControllerDriverNames[1] || name == ControllerDriverNames[2] || name == ControllerDriverNames[3];
}

std::vector<std::string> SplitDriverFileList(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t i = 0;
  while (i < list.size()) {
    const std::size_t start = i;
    while (i < list.size() && list[i] != ',' && list[i] != '\r' && list[i] != '\n') ++i;
    entries.push_back(list.substr(start, i - start));
    if (i < list.size()) {
      // One separator: a comma, CR, LF or CR LF.
      const bool crlf = list[i] == '\r' && i + 1 < list.size() && list[i + 1] == '\n';
      i += crlf ? 2 : 1;
    }
  }
  return entries;
}

std::string TDevice::GetHardwareIds() { return GetPropertyString(SPDRP_HARDWAREID); }

std::string TDevice::GetDriverReport() {
  const std::string serviceName = GetServiceName();
  std::string report;
  AppendLine(report, "\"", IdentifierText(InstanceId, GetHardwareIds()) + "\"");
  AppendLine(report, "  Name: ", GetName());
  AppendLine(report, "  Driver: ", serviceName);
  for (const std::string& entry : DriverFileList(*this, serviceName)) {
    AppendLine(report, "  Binary: ", entry);
    const platform::UniqueFile file = OpenDriverFile(entry);
    if (!file) continue;
    AppendLine(report, "    Path: ", GetDriverFullPath(entry));
    const std::string version = GetDriverFileVersion(entry);
    if (!version.empty()) AppendLine(report, "    Version: ", version);
  }
  return report;
}

}  // namespace morvane
