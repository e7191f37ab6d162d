// Version resources of any shape, through both version routes: the file loaded as a
// data file with its RT_VERSION resource, and the version-information functions.
// The files' functions answer from the input; VerQueryValueA is the simulated one,
// which walks the block as the real function does.
//
// Input: a mode byte (bit 0: a well-formed resource built from the fields below,
// bit 1: with its translation), a byte of failures (bit 0 LoadLibraryExA, 1
// FindResourceA, 2 LockResource, 3 SizeofResource gives 0, 4
// GetFileVersionInfoSizeA gives 0, 5 GetFileVersionInfoA), the 16-bit size that
// GetFileVersionInfoSizeA reports (0: the usual room, twice the resource and 4);
// then either language, code page, the "FileVersion" text and byte patches
// (16-bit offset, value) of a well-formed resource, or the raw resource bytes.
//
// Checked: nothing is read or written outside the blocks (the resource is an
// exact-size allocation); a version is text without NUL bytes and never longer than
// the resource; a well-formed, unpatched resource gives its "FileVersion" text on
// both routes; every module is freed, the current directory is put back and nothing
// of the simulated machine is left open.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "platform/sim/version_resource.h"
#include "syshelpers/DriverFiles.h"
#include "tests/common/forwarding.h"

namespace {

using fuzz::Require;

const char* const kDriverPath = "C:\\WINDOWS\\System32\\drivers\\ravenflt.sys";

enum Failure : std::uint8_t {
  LoadFails = 1,
  FindFails = 2,
  LockFails = 4,
  SizeIsZero = 8,
  InfoSizeIsZero = 16,
  InfoFails = 32,
};

// A file whose version resource the input gives.
class ScriptedFile : public simtest::ForwardingFiles {
 public:
  ScriptedFile(platform::IFiles& inner, std::vector<BYTE> resource, std::uint8_t failures, DWORD infoSize)
      : ForwardingFiles(inner), failures_(failures), infoSize_(infoSize) {
    // Exact size on the heap: any read past the resource is seen.
    resourceSize_ = resource.size();
    resource_ = std::make_unique<BYTE[]>(resourceSize_ == 0 ? 1 : resourceSize_);
    if (resourceSize_ != 0) std::memcpy(resource_.get(), resource.data(), resourceSize_);
  }

  HMODULE LoadLibraryExA(LPCSTR, HANDLE, DWORD) override {
    if (failures_ & LoadFails) return nullptr;
    ++modulesOpen;
    return kModule;
  }
  BOOL FreeLibrary(HMODULE module) override {
    Require(module == kModule && modulesOpen > 0, "a module freed that was not loaded");
    --modulesOpen;
    return TRUE;
  }
  HRSRC FindResourceA(HMODULE module, LPCSTR, LPCSTR) override {
    Require(module == kModule && modulesOpen > 0, "a resource looked up in a module that is not loaded");
    return (failures_ & FindFails) ? nullptr : kResource;
  }
  HGLOBAL LoadResource(HMODULE, HRSRC resource) override {
    Require(resource == kResource, "another resource loaded");
    return kResourceData;
  }
  LPVOID LockResource(HGLOBAL data) override {
    Require(data == kResourceData, "another resource locked");
    return (failures_ & LockFails) ? nullptr : resource_.get();
  }
  DWORD SizeofResource(HMODULE, HRSRC) override {
    return (failures_ & SizeIsZero) ? 0 : static_cast<DWORD>(resourceSize_);
  }
  DWORD GetFileVersionInfoSizeA(LPCSTR, LPDWORD handle) override {
    if (handle != nullptr) *handle = 0;
    if (failures_ & InfoSizeIsZero) return 0;
    return infoSize_ != 0 ? infoSize_ : static_cast<DWORD>(2 * resourceSize_ + 4);
  }
  BOOL GetFileVersionInfoA(LPCSTR, DWORD, DWORD size, LPVOID data) override {
    if (failures_ & InfoFails) return FALSE;
    std::memcpy(data, resource_.get(), std::min<std::size_t>(size, resourceSize_));
    return TRUE;
  }

  int modulesOpen = 0;

 private:
  inline static const HMODULE kModule = reinterpret_cast<HMODULE>(0x5000);
  inline static const HRSRC kResource = reinterpret_cast<HRSRC>(0x5001);
  inline static const HGLOBAL kResourceData = reinterpret_cast<HGLOBAL>(0x5002);
  std::uint8_t failures_;
  DWORD infoSize_;
  std::unique_ptr<BYTE[]> resource_;
  std::size_t resourceSize_ = 0;
};

void CheckVersionText(const std::string& version, std::size_t resourceSize, const char* route) {
  Require(version.find('\0') == std::string::npos, "a version with a NUL byte", route);
  Require(version.size() <= resourceSize, "a version longer than the resource", route);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  fuzz::FuzzInput input(data, size);
  const std::uint8_t mode = input.Byte();
  const std::uint8_t failures = input.Byte();
  const DWORD infoSize = input.Word();

  std::vector<BYTE> resource;
  std::string expected;
  bool exact = false;
  if (mode & 1) {
    sim::FileVersion version;
    version.language = input.Word();
    version.codePage = input.Word();
    version.fileVersion = input.SizedText();
    version.hasTranslation = (mode & 2) != 0;
    resource = sim::BuildVersionResource(version);
    const int patches = input.Byte() % 16;
    for (int i = 0; i < patches; ++i) {
      const std::uint16_t offset = input.Word();
      const std::uint8_t value = input.Byte();
      if (!resource.empty()) resource[offset % resource.size()] = value;
    }
    exact = patches == 0 && failures == 0 && infoSize == 0;
    if (version.hasTranslation) expected = version.fileVersion.substr(0, version.fileVersion.find('\0'));
  } else {
    resource = input.Rest();
  }

  sim::Machine machine;
  machine.Model().system.windowsDirectory = "C:\\WINDOWS";
  platform::Backend backend = machine.Backend();
  ScriptedFile file(*backend.files, resource, failures, infoSize);
  backend.files = &file;
  {
    platform::ScopedBackend scope(backend);
    const std::string fromResource = morvane::GetVersionFromResource(kDriverPath);
    const std::string fromInfo = morvane::GetVersionFromVersionInfo(kDriverPath);
    const std::string driverVersion = morvane::GetDriverFileVersion(kDriverPath);
    CheckVersionText(fromResource, resource.size(), "resource route");
    CheckVersionText(fromInfo, resource.size(), "version-information route");
    Require(driverVersion == (fromResource.empty() ? fromInfo : fromResource),
            "the driver's version is neither route's answer");
    if (exact) {
      Require(fromResource == expected, "the resource route read another version", fromResource);
      Require(fromInfo == expected, "the version-information route read another version", fromInfo);
    }
  }
  Require(file.modulesOpen == 0, "a module left loaded");
  Require(machine.Model().system.currentDirectory == "C:\\MORVANE", "the current directory was not put back");
  Require(machine.LeakReport().empty(), "resources left open", machine.LeakReport());
  return 0;
}
