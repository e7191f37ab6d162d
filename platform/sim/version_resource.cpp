#include "platform/sim/version_resource.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace sim {
namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;
constexpr DWORD kFixedFileInfoVersion = 0x00010000;
constexpr DWORD kVosNtWindows32 = 0x00040004;
constexpr DWORD kVftDriver = 3;
constexpr WORD kBinaryValue = 0;
constexpr WORD kTextValue = 1;
constexpr std::size_t kHeaderSize = 6;  // wLength, wValueLength, wType
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

struct Node {
  std::string key;
  WORD type = kBinaryValue;
  std::vector<BYTE> value;
  WORD valueLength = 0;  // as stored: bytes for binary values, characters for texts
  std::vector<Node> children;
};

void Align4(std::vector<BYTE>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void PutWord(std::vector<BYTE>& out, std::size_t at, WORD value) { std::memcpy(out.data() + at, &value, 2); }

void AppendUtf16(std::vector<BYTE>& out, const std::string& text) {
  for (unsigned char c : text) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
}

void Serialize(const Node& node, std::vector<BYTE>& out) {
  Align4(out);
  const std::size_t start = out.size();
  out.resize(start + kHeaderSize, 0);
  PutWord(out, start + 2, node.valueLength);
  PutWord(out, start + 4, node.type);
  AppendUtf16(out, node.key);
  Align4(out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) Serialize(child, out);
  PutWord(out, start, static_cast<WORD>(out.size() - start));
}

Node TextNode(const std::string& key, const std::string& text) {
  Node node{key, kTextValue, {}, static_cast<WORD>(text.size() + 1), {}};
  AppendUtf16(node.value, text);
  return node;
}

// "10.0.19041.3636" -> the four parts; missing or unreadable parts are 0.
void ParseVersion(const std::string& text, DWORD* ms, DWORD* ls) {
  unsigned parts[4] = {0, 0, 0, 0};
  std::sscanf(text.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
  *ms = ((parts[0] & 0xFFFFu) << 16) | (parts[1] & 0xFFFFu);
  *ls = ((parts[2] & 0xFFFFu) << 16) | (parts[3] & 0xFFFFu);
}

// One node of a block being read: where its value lies and where its children do.
struct Entry {
  std::size_t start = 0;
  std::size_t end = 0;  // start + wLength
  WORD valueLength = 0;
  WORD type = 0;
  std::string key;
  std::size_t valueOffset = 0;
  std::size_t valueBytes = 0;
  std::size_t childrenOffset = 0;
};

WORD GetWord(const BYTE* block, std::size_t at) {
  WORD value = 0;
  std::memcpy(&value, block + at, 2);
  return value;
}

std::size_t RoundUp4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

std::optional<Entry> ReadEntry(const BYTE* block, std::size_t start, std::size_t limit) {
  if (start + kHeaderSize > limit) return std::nullopt;
  Entry e;
  e.start = start;
  const WORD length = GetWord(block, start);
  if (length < kHeaderSize || start + length > limit) return std::nullopt;
  e.end = start + length;
  e.valueLength = GetWord(block, start + 2);
  e.type = GetWord(block, start + 4);
  std::size_t at = start + kHeaderSize;
  for (;;) {
    if (at + 2 > e.end) return std::nullopt;
    const WORD unit = GetWord(block, at);
    at += 2;
    if (unit == 0) break;
    e.key.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  e.valueOffset = RoundUp4(at);
  e.valueBytes = e.type == kTextValue ? 2 * std::size_t{e.valueLength} : e.valueLength;
  if (e.valueOffset + e.valueBytes > e.end) return std::nullopt;
  e.childrenOffset = RoundUp4(e.valueOffset + e.valueBytes);
  return e;
}

std::optional<Entry> FindChild(const BYTE* block, const Entry& parent, const std::string& key) {
  std::size_t at = parent.childrenOffset;
  while (at < parent.end) {
    std::optional<Entry> child = ReadEntry(block, at, parent.end);
    if (!child) return std::nullopt;
    if (ToUpperAscii(child->key) == ToUpperAscii(key)) return child;
    at = RoundUp4(child->end);
  }
  return std::nullopt;
}

}  // namespace

std::vector<BYTE> BuildVersionResource(const FileVersion& version) {
  VS_FIXEDFILEINFO fixed{};
  fixed.dwSignature = kFixedFileInfoSignature;
  fixed.dwStrucVersion = kFixedFileInfoVersion;
  ParseVersion(version.fileVersion, &fixed.dwFileVersionMS, &fixed.dwFileVersionLS);
  fixed.dwProductVersionMS = fixed.dwFileVersionMS;
  fixed.dwProductVersionLS = fixed.dwFileVersionLS;
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileOS = kVosNtWindows32;
  fixed.dwFileType = kVftDriver;

  Node root{"VS_VERSION_INFO", kBinaryValue, {}, static_cast<WORD>(sizeof(fixed)), {}};
  root.value.resize(sizeof(fixed));
  std::memcpy(root.value.data(), &fixed, sizeof(fixed));

  char table[16];
  std::snprintf(table, sizeof(table), "%04X%04X", version.language, version.codePage);
  Node strings{"StringFileInfo", kTextValue, {}, 0, {}};
  strings.children.push_back(Node{table, kTextValue, {}, 0, {TextNode("FileVersion", version.fileVersion)}});
  root.children.push_back(std::move(strings));

  if (version.hasTranslation) {
    const DWORD translation = DWORD{version.language} | (DWORD{version.codePage} << 16);
    Node var{"Translation", kBinaryValue, std::vector<BYTE>(4), 4, {}};
    std::memcpy(var.value.data(), &translation, 4);
    root.children.push_back(Node{"VarFileInfo", kTextValue, {}, 0, {std::move(var)}});
  }

  std::vector<BYTE> out;
  Serialize(root, out);
  return out;
}

bool QueryVersionValue(void* blockPointer, const std::string& subBlock, VersionValue* value) {
  BYTE* block = static_cast<BYTE*>(blockPointer);
  if (block == nullptr) return false;
  const std::size_t rootLength = GetWord(block, 0);
  std::optional<Entry> entry = ReadEntry(block, 0, rootLength);
  if (!entry) return false;
  std::size_t from = 0;
  while (from < subBlock.size()) {
    std::size_t to = subBlock.find('\\', from);
    if (to == std::string::npos) to = subBlock.size();
    if (to > from) {
      entry = FindChild(block, *entry, subBlock.substr(from, to - from));
      if (!entry) return false;
    }
    from = to + 1;
  }
  if (entry->type == kTextValue && entry->start != 0) {
    // The text is converted into the free space after the resource, at a place of
    // its own: half its offset in the resource, past the resource's end.
    char* ansi = reinterpret_cast<char*>(block + rootLength + entry->valueOffset / 2);
    for (std::size_t i = 0; i < entry->valueLength; ++i) {
      const WORD unit = GetWord(block, entry->valueOffset + 2 * i);
      ansi[i] = unit < 0x100 ? static_cast<char>(unit) : '?';
    }
    if (entry->valueLength > 0) ansi[entry->valueLength - 1] = '\0';
    value->data = ansi;
    value->length = entry->valueLength;
    return entry->valueLength > 0;
  }
  if (entry->valueBytes == 0) return false;
  value->data = block + entry->valueOffset;
  value->length = entry->valueLength;
  return true;
}

}  // namespace sim
