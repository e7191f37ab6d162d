// The driver report of a device (TDevice::GetDriverReport) and the text helpers it
// is built from.
//
// The report, every line ended by CR LF:
//   "<instance ID>"            then each hardware ID, one per line, in double quotes
//     Name: <display name>
//     Driver: <service name>
//     Binary: <entry>          for each driver file, in list order
//       Path: <full path>      when the file can be opened
//       Version: <version>     when it can be opened and has a version text
//
// The driver files: on the NT family the service's image path; on the 9x family the
// service name read as a comma-separated file list. After the last USB port
// miniport among them comes "USBPORT.SYS", and "MORVANE.SYS" ends the list when the
// filter is attached to the device.
#pragma once

#include <string>
#include <vector>

namespace morvane {

inline constexpr const char* PortDriverEntry = "USBPORT.SYS";
inline constexpr const char* FilterDriverEntry = "MORVANE.SYS";

// A NUL-separated list with each separator turned into the byte 0xFF. Two NUL bytes
// in a row end the list: the text is cut before them.
std::string MarkMultiSzSeparators(const std::string& list);

// The file name, without directory and extension and in any ASCII case, is that of
// an EHCI, UHCI or OHCI miniport of the USB port driver.
bool IsUsbPortMiniport(const std::string& file);

// The entries of a 9x driver-file list: one per comma-separated piece (line breaks
// separate too); a separator at the very end adds no empty entry, blanks stay.
std::vector<std::string> SplitDriverFileList(const std::string& list);

}  // namespace morvane
