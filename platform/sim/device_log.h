// Argument text of the device side's call log (the rules are in sim.h; the text of
// each function is listed in docs/sim-devices.md).
#pragma once

#include <cstdio>
#include <string>

#include "platform/sim/model.h"
#include "platform/types.h"

namespace sim::logtext {

inline std::string Dec(unsigned long long value) { return std::to_string(value); }
inline std::string SignedDec(long long value) { return std::to_string(value); }

inline std::string Hex(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", value);
  return text;
}

// Built by appending: GCC 12 at -O3 warns falsely about `"literal" + std::string`.
inline std::string Str(LPCSTR text) {
  if (text == nullptr) return "null";
  std::string out(1, '"');
  out.append(text);
  out.push_back('"');
  return out;
}

inline std::string Guid(const GUID* guid) { return guid == nullptr ? "null" : GuidToString(*guid); }

inline std::string Handle(const void* handle) {
  if (handle == nullptr) return "null";
  if (handle == INVALID_HANDLE_VALUE) return "invalid";
  std::string out(1, 'h');
  out.append(std::to_string(reinterpret_cast<std::uintptr_t>(handle)));
  return out;
}

// An output place (a pointer the function writes through).
inline std::string Out(const void* place) { return place == nullptr ? "null" : "out"; }

// A buffer as its size in bytes.
inline std::string Buffer(const void* buffer, unsigned long long size) {
  return buffer == nullptr ? "null" : std::to_string(size);
}

// A record as the cbSize it carries.
template <typename Record>
std::string Rec(const Record* record) {
  return record == nullptr ? "null" : std::to_string(record->cbSize);
}

template <typename... Parts>
std::string Join(const Parts&... parts) {
  std::string out;
  bool first = true;
  ((out += first ? "" : ", ", out += std::string(parts), first = false), ...);
  return out;
}

}  // namespace sim::logtext
