#include "syshelpers/DriverFiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/platform.h"
#include "syshelpers/Messages.h"
#include "syshelpers/Services.h"

namespace morvane {
namespace {

constexpr char kSystemRootPrefix[] = "\\SYSTEMROOT\\";
constexpr char kObjectManagerPrefix[] = "\\??\\";
constexpr char kDriversDirectory[] = "System32\\DRIVERS\\";
static_assert(sizeof(kSystemRootPrefix) - 1 == 12);
static_assert(sizeof(kObjectManagerPrefix) - 1 == 4);

constexpr DWORD kDriverFileShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
static_assert(kDriverFileShare == 3);
constexpr WORD kVersionResourceId = 1;
constexpr WORD kVersionResourceType = 16;  // RT_VERSION
// wLength, wValueLength and wType of the block's root node.
constexpr std::size_t kVersionHeaderSize = 6;

// The room VerQueryValueA needs: the resource (its root's wLength) and as much again,
// and 4 bytes, after it for the ANSI texts it converts there.
std::size_t VersionRoomFor(std::size_t rootLength) { return 2 * rootLength + 4; }

// The root's wLength: the bytes VerQueryValueA takes the resource to span.
std::size_t VersionRootLength(const BYTE* block) { return static_cast<std::size_t>(block[0] | (block[1] << 8)); }

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithIgnoringAsciiCase(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (UpperAscii(text[i]) != prefix[i]) return false;
  }
  return true;
}

std::string CurrentDirectory() {
  platform::IFiles& files = platform::Files();
  std::vector<char> buffer(MAX_PATH, '\0');
  DWORD n = files.GetCurrentDirectoryA(MAX_PATH, buffer.data());
  if (n >= MAX_PATH) {
    // Longer than the usual buffer: n is the size needed.
    buffer.assign(static_cast<std::size_t>(n) + 1, '\0');
    n = files.GetCurrentDirectoryA(n + 1, buffer.data());
    if (n >= buffer.size()) return {};
  }
  return std::string(buffer.data());
}

template <typename ReadBlock>
std::string VersionThrough(ReadBlock read, const std::string& filePath) {
  try {
    return QueryFileVersionValue(read(filePath));
  } catch (...) {
    return {};
  }
}

}  // namespace

std::string GetServiceImagePath(const std::string& serviceName) {
  const ServiceConfig config = QueryServiceConfiguration(serviceName);
  if (config == nullptr) return {};
  const LPSTR binaryPath = config->Config().lpBinaryPathName;
  std::string path = binaryPath != nullptr ? binaryPath : "";
  if (path.empty()) path = serviceName + ".SYS";
  return path;
}

UINT GetWindowsDir(std::string& directory) {
  platform::IFiles& files = platform::Files();
  const UINT needed = files.GetWindowsDirectoryA(nullptr, 0);
  directory.assign(needed > 0 ? needed - 1 : 0, '\0');
  const UINT result = files.GetWindowsDirectoryA(directory.data(), static_cast<UINT>(directory.size() + 1));
  // Keep only what was written (nothing, when the buffer turned out too small).
  directory.resize(std::strlen(directory.c_str()));
  return result;
}

std::string ResolveDriverPath(const std::string& imagePath) {
  if (imagePath.empty()) return {};
  if (imagePath.find_first_of("\\:") == std::string::npos) return kDriversDirectory + imagePath;
  if (StartsWithIgnoringAsciiCase(imagePath, kSystemRootPrefix)) {
    return imagePath.substr(sizeof(kSystemRootPrefix) - 1);
  }
  if (imagePath.compare(0, sizeof(kObjectManagerPrefix) - 1, kObjectManagerPrefix) == 0) {
    return imagePath.substr(sizeof(kObjectManagerPrefix) - 1);
  }
  return imagePath;
}

DriverFileScope::DriverFileScope() : savedDirectory_(CurrentDirectory()) {}

DriverFileScope::~DriverFileScope() {
  if (!savedDirectory_.empty()) platform::Files().SetCurrentDirectoryA(savedDirectory_.c_str());
}

void DriverFileScope::EnterWindowsDirectory() {
  std::string windows;
  GetWindowsDir(windows);
  platform::Files().SetCurrentDirectoryA(windows.c_str());
}

RedirectionOff::RedirectionOff() { DisableWow64Redirection(token_); }

RedirectionOff::~RedirectionOff() { RevertWow64Redirection(token_); }

platform::UniqueFile OpenDriverFile(const std::string& imagePath) {
  DriverFileScope scope;
  const std::string path = ResolveDriverPath(imagePath);
  scope.EnterWindowsDirectory();
  RedirectionOff redirectionOff;
  return platform::UniqueFile(platform::Files().CreateFileA(path.c_str(), GENERIC_READ, kDriverFileShare, nullptr,
                                                            OPEN_EXISTING, 0, nullptr));
}

VersionBlock ReadVersionResource(const std::string& filePath) {
  platform::IFiles& files = platform::Files();
  platform::UniqueModule module(files.LoadLibraryExA(filePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return {};
  const HRSRC resource =
      files.FindResourceA(module.Get(), MAKEINTRESOURCEA(kVersionResourceId), MAKEINTRESOURCEA(kVersionResourceType));
  if (resource == nullptr) return {};
  const HGLOBAL loaded = files.LoadResource(module.Get(), resource);
  if (loaded == nullptr) return {};
  const void* data = files.LockResource(loaded);
  if (data == nullptr) return {};
  const DWORD size = files.SizeofResource(module.Get(), resource);
  if (size == 0) return {};
  // The space after the copy is where VerQueryValueA puts the ANSI texts it converts.
  VersionBlock block(VersionRoomFor(size), 0);
  std::memcpy(block.data(), data, size);
  return block;
}

VersionBlock ReadFileVersionInfo(const std::string& filePath) {
  platform::IFiles& files = platform::Files();
  DWORD handle = 0;
  const DWORD size = files.GetFileVersionInfoSizeA(filePath.c_str(), &handle);
  if (size == 0) return {};
  VersionBlock block(size, 0);
  if (!files.GetFileVersionInfoA(filePath.c_str(), handle, size, block.data())) return {};
  // A block that claims more than was read is cut off; one without room for the
  // ANSI texts gets that room, zero-filled, after the bytes read.
  if (size < kVersionHeaderSize || VersionRootLength(block.data()) > size) return {};
  if (block.size() < VersionRoomFor(VersionRootLength(block.data()))) {
    block.resize(VersionRoomFor(VersionRootLength(block.data())), 0);
  }
  return block;
}

namespace {

// The bytes of a value VerQueryValueA found, from its pointer up to `length` bytes and
// never past the block; empty when the pointer is not inside the block at all.
std::size_t BytesInside(const VersionBlock& block, const void* value, std::size_t length) {
  const auto first = reinterpret_cast<std::uintptr_t>(block.data());
  const auto at = reinterpret_cast<std::uintptr_t>(value);
  if (block.empty() || at < first || at >= first + block.size()) return 0;
  return std::min<std::size_t>(length, first + block.size() - at);
}

}  // namespace

std::string QueryFileVersionValue(const VersionBlock& block) {
  // VerQueryValueA walks the block as far as its root's wLength says and writes the
  // texts it converts after that: both have to lie inside the block.
  if (block.size() < kVersionHeaderSize) return {};
  const std::size_t rootLength = VersionRootLength(block.data());
  if (rootLength < kVersionHeaderSize || VersionRoomFor(rootLength) > block.size()) return {};
  platform::IFiles& files = platform::Files();
  LPVOID value = nullptr;
  UINT length = 0;
  if (!files.VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) || value == nullptr) {
    return {};
  }
  DWORD translation = 0;
  if (BytesInside(block, value, length) < sizeof(translation)) return {};
  std::memcpy(&translation, value, sizeof(translation));
  const unsigned language = translation & 0xFFFFu;
  const unsigned codePage = translation >> 16;
  char query[64];
  std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04X%04X\\FileVersion", language, codePage);
  value = nullptr;
  length = 0;
  if (!files.VerQueryValueA(block.data(), query, &value, &length) || value == nullptr) return {};
  // `length` counts characters with the terminating NUL; a malformed resource may have
  // neither a NUL nor a length that fits, so both bounds apply.
  const char* text = static_cast<const char*>(value);
  const std::size_t available = BytesInside(block, value, length);
  return std::string(text, strnlen(text, available));
}

std::string GetVersionFromResource(const std::string& filePath) {
  return VersionThrough(ReadVersionResource, filePath);
}

std::string GetVersionFromVersionInfo(const std::string& filePath) {
  return VersionThrough(ReadFileVersionInfo, filePath);
}

std::string GetFileVersionString(const std::string& filePath) {
  std::string version = GetVersionFromResource(filePath);
  if (version.empty()) version = GetVersionFromVersionInfo(filePath);
  return version;
}

std::string GetDriverFileVersion(const std::string& imagePath) {
  DriverFileScope scope;
  const std::string path = ResolveDriverPath(imagePath);
  scope.EnterWindowsDirectory();
  RedirectionOff redirectionOff;
  return GetFileVersionString(path);
}

std::string GetDriverFullPath(const std::string& imagePath) {
  std::string path = ResolveDriverPath(imagePath);
  if (!path.empty() && path.find(':') == std::string::npos && path[0] != '\\') {
    std::string windows;
    GetWindowsDir(windows);
    path = windows + "\\" + path;
  }
  return path;
}

}  // namespace morvane
