#include "platform/sim/model.h"

#include <cstdio>

namespace sim {

namespace {
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(UpperAscii(a[i]));
    const unsigned char y = static_cast<unsigned char>(UpperAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::string ToUpperAscii(std::string text) {
  for (char& c : text) c = UpperAscii(c);
  return text;
}

RegValue RegValue::Dword(DWORD value) {
  RegValue v{REG_DWORD, std::vector<BYTE>(4)};
  for (int i = 0; i < 4; ++i) v.data[i] = static_cast<BYTE>(value >> (8 * i));
  return v;
}

RegValue RegValue::Qword(std::uint64_t value) {
  RegValue v{REG_QWORD, std::vector<BYTE>(8)};
  for (int i = 0; i < 8; ++i) v.data[i] = static_cast<BYTE>(value >> (8 * i));
  return v;
}

RegValue RegValue::String(const std::string& text) {
  RegValue v{REG_SZ, std::vector<BYTE>(text.begin(), text.end())};
  v.data.push_back(0);
  return v;
}

RegValue RegValue::MultiString(const std::vector<std::string>& entries) {
  RegValue v{REG_MULTI_SZ, {}};
  for (const std::string& e : entries) {
    v.data.insert(v.data.end(), e.begin(), e.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

RegValue RegValue::Binary(std::vector<BYTE> bytes, DWORD type) { return RegValue{type, std::move(bytes)}; }

RegValue RegValue::Unreadable(DWORD error) { return RegValue{REG_NONE, {}, error}; }

namespace guids {
const GUID DevClassUsb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID DevClassMouse = {0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID DevClassKeyboard = {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID DevClassHid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
const GUID DevClassSystem = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID DevClassDiskDrive = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID InterfaceUsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID InterfaceUsbHub = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
const GUID InterfaceUsbHostController = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
const GUID InterfaceHid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}  // namespace guids

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::optional<GUID> GuidFromString(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  auto hex = [&](std::size_t pos, std::size_t count, std::uint64_t& out) {
    out = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
      const char c = text[i];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      out = out * 16 + static_cast<std::uint64_t>(d);
    }
    return true;
  };
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return std::nullopt;
  GUID g{};
  std::uint64_t v;
  if (!hex(1, 8, v)) return std::nullopt;
  g.Data1 = static_cast<std::uint32_t>(v);
  if (!hex(10, 4, v)) return std::nullopt;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!hex(15, 4, v)) return std::nullopt;
  g.Data3 = static_cast<std::uint16_t>(v);
  const std::size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!hex(bytePos[i], 2, v)) return std::nullopt;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

}  // namespace sim
