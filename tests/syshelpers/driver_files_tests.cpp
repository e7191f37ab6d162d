#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/sim/version_resource.h"
#include "sim_fixture.h"
#include "syshelpers/DriverFiles.h"
#include "tests/common/forwarding.h"

namespace syshelpers_test {
namespace {

// Forwards to the simulated files and throws from the one function named.
class ThrowingFiles final : public simtest::ForwardingFiles {
 public:
  ThrowingFiles(platform::IFiles& target, std::string function)
      : ForwardingFiles(target), function_(std::move(function)) {}
  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE h) override {
    return Check("CreateFileA"), inner_.CreateFileA(p, a, s, sa, d, f, h);
  }
  UINT GetWindowsDirectoryA(LPSTR b, UINT s) override {
    return Check("GetWindowsDirectoryA"), inner_.GetWindowsDirectoryA(b, s);
  }
  HMODULE LoadLibraryExA(LPCSTR p, HANDLE f, DWORD fl) override {
    return Check("LoadLibraryExA"), inner_.LoadLibraryExA(p, f, fl);
  }
  DWORD GetFileVersionInfoSizeA(LPCSTR p, LPDWORD h) override {
    return Check("GetFileVersionInfoSizeA"), inner_.GetFileVersionInfoSizeA(p, h);
  }

 private:
  void Check(const char* function) {
    if (function_ == function) throw std::runtime_error(function_);
  }
  std::string function_;
};

class DriverFilesTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    model.system.windowsDirectory = "C:\\WINDOWS";
    model.system.currentDirectory = "C:\\MORVANE";
  }
  sim::File& AddFile(const std::string& path, const std::string& version) {
    sim::File file;
    file.path = path;
    if (!version.empty()) file.version = sim::FileVersion{version};
    model.files.push_back(file);
    return model.files.back();
  }
  std::string CurrentDirectory() {
    char buffer[MAX_PATH] = {};
    services.GetCurrentDirectoryA(MAX_PATH, buffer);
    return buffer;
  }
  // Runs `operation` with the simulated files throwing from `function`.
  template <typename F>
  void WithThrowing(const std::string& function, F operation) {
    ThrowingFiles throwing(services, function);
    platform::Backend backend = SystemBackend(services);
    backend.files = &throwing;
    platform::ScopedBackend scope(backend);
    operation();
  }
};

struct PathCase {
  const char* image;
  const char* resolved;
  const char* full;
};

TEST_F(DriverFilesTest, PathTableAndEdgeCases) {
  const PathCase cases[] = {
      {"", "", ""},
      {"mouhid.sys", "System32\\DRIVERS\\mouhid.sys", "C:\\WINDOWS\\System32\\DRIVERS\\mouhid.sys"},
      {"\\SystemRoot\\System32\\drivers\\usbhub.sys", "System32\\drivers\\usbhub.sys",
       "C:\\WINDOWS\\System32\\drivers\\usbhub.sys"},
      {"\\systemroot\\system32\\drivers\\usbhub.sys", "system32\\drivers\\usbhub.sys",
       "C:\\WINDOWS\\system32\\drivers\\usbhub.sys"},
      {"\\??\\C:\\Drivers\\x.sys", "C:\\Drivers\\x.sys", "C:\\Drivers\\x.sys"},
      {"system32\\DRIVERS\\usbccgp.sys", "system32\\DRIVERS\\usbccgp.sys",
       "C:\\WINDOWS\\system32\\DRIVERS\\usbccgp.sys"},
      {"\\Device\\x.sys", "\\Device\\x.sys", "\\Device\\x.sys"},
      {"\\SystemRoot", "\\SystemRoot", "\\SystemRoot"},
      {"C:x.sys", "C:x.sys", "C:x.sys"},
      // Only one rule applies: the second prefix is not looked for after the first.
      {"\\SystemRoot\\\\??\\a.sys", "\\??\\a.sys", "\\??\\a.sys"},
      {"\\\\??\\a.sys", "\\\\??\\a.sys", "\\\\??\\a.sys"},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(morvane::ResolveDriverPath(c.image), c.resolved) << c.image;
    EXPECT_EQ(morvane::GetDriverFullPath(c.image), c.full) << c.image;
  }
}

TEST_F(DriverFilesTest, ServiceImagePath) {
  sim::Service withPath{"usbhub", "", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                        "\\SystemRoot\\System32\\drivers\\usbhub.sys"};
  sim::Service withoutPath{"MorVane", "", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, ""};
  model.services = {withPath, withoutPath};
  EXPECT_EQ(morvane::GetServiceImagePath("usbhub"), "\\SystemRoot\\System32\\drivers\\usbhub.sys");
  EXPECT_EQ(morvane::GetServiceImagePath("MorVane"), "MorVane.SYS");
  EXPECT_EQ(morvane::GetServiceImagePath("nosuch"), "");
}

TEST_F(DriverFilesTest, WindowsDirectoryIsReadWithTheSizeAskedFor) {
  std::string directory = "old";
  EXPECT_EQ(morvane::GetWindowsDir(directory), 10u);
  EXPECT_EQ(directory, "C:\\WINDOWS");
  EXPECT_EQ(ArgsOf("GetWindowsDirectoryA"), (std::vector<std::string>{"null, 0", "11, 11"}));
}

TEST_F(DriverFilesTest, DriverFileIsOpenedBelowTheWindowsDirectoryWithRedirectionOff) {
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\mouhid.sys", "10.0.1");
  model.system.wow64 = true;
  platform::UniqueFile file = morvane::OpenDriverFile("mouhid.sys");
  EXPECT_TRUE(file);
  EXPECT_EQ(ArgsOf("CreateFileA"),
            std::vector<std::string>{"\"System32\\DRIVERS\\mouhid.sys\", 0x80000000, 0x3, null, 3, 0x0, null"});
  EXPECT_EQ(Sequence({"SetCurrentDirectoryA", "Wow64DisableWow64FsRedirection", "CreateFileA",
                      "Wow64RevertWow64FsRedirection"}),
            (std::vector<std::string>{"SetCurrentDirectoryA", "Wow64DisableWow64FsRedirection", "CreateFileA",
                                      "Wow64RevertWow64FsRedirection", "SetCurrentDirectoryA"}));
  EXPECT_EQ(ArgsOf("SetCurrentDirectoryA"), (std::vector<std::string>{"\"C:\\WINDOWS\"", "\"C:\\MORVANE\""}));
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");

  EXPECT_FALSE(morvane::OpenDriverFile("missing.sys"));
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
  model.system.hasWow64Functions = false;
  EXPECT_TRUE(morvane::OpenDriverFile("\\SystemRoot\\System32\\DRIVERS\\MOUHID.SYS"));
}

// A 32-bit process on 64-bit Windows: the driver exists only in the native System32,
// which the redirection hides outside the two operations.
TEST_F(DriverFilesTest, NativeOnlyDriverIsFoundAndVersionedByAWow64Process) {
  AddFile("C:\\WINDOWS\\System32\\drivers\\native.sys", "10.0.22621.1");
  model.system.wow64 = true;
  const std::string full = "C:\\WINDOWS\\System32\\drivers\\native.sys";
  EXPECT_EQ(morvane::GetFileVersionString(full), "") << "redirected to SysWOW64";

  EXPECT_TRUE(morvane::OpenDriverFile("native.sys"));
  EXPECT_EQ(morvane::GetDriverFileVersion("native.sys"), "10.0.22621.1");
  EXPECT_EQ(morvane::GetDriverFileVersion("\\SystemRoot\\System32\\drivers\\native.sys"), "10.0.22621.1");

  // Switched back on with the token it was switched off with.
  EXPECT_EQ(morvane::GetFileVersionString(full), "");
  HANDLE after = services.CreateFileA(full.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(after, INVALID_HANDLE_VALUE);
  if (after != INVALID_HANDLE_VALUE) services.CloseHandle(after);
  EXPECT_EQ(ArgsOf("Wow64DisableWow64FsRedirection").size(), 3u);
  EXPECT_EQ(ArgsOf("Wow64RevertWow64FsRedirection").size(), 3u);
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
}

TEST_F(DriverFilesTest, DirectoryAndRedirectionAreRestoredWhenAnExceptionPasses) {
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\mouhid.sys", "10.0.1");
  WithThrowing("CreateFileA", [] { EXPECT_THROW(morvane::OpenDriverFile("mouhid.sys"), std::runtime_error); });
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
  EXPECT_EQ(ArgsOf("Wow64RevertWow64FsRedirection").size(), 1u);
  WithThrowing("GetWindowsDirectoryA",
               [] { EXPECT_THROW(morvane::GetDriverFileVersion("mouhid.sys"), std::runtime_error); });
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
  // The version routes swallow what their file functions throw.
  WithThrowing("LoadLibraryExA", [] { EXPECT_EQ(morvane::GetDriverFileVersion("mouhid.sys"), "10.0.1"); });
  WithThrowing("GetFileVersionInfoSizeA", [] { EXPECT_EQ(morvane::GetVersionFromVersionInfo("x"), ""); });
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
}

TEST_F(DriverFilesTest, LongCurrentDirectoryIsRestored) {
  const std::string deep = "C:\\" + std::string(300, 'd');
  model.system.currentDirectory = deep;
  EXPECT_EQ(morvane::GetDriverFileVersion("missing.sys"), "");
  EXPECT_EQ(ArgsOf("SetCurrentDirectoryA").back(), "\"" + deep + "\"");
}

TEST_F(DriverFilesTest, VersionThroughBothRoutes) {
  AddFile("C:\\WINDOWS\\System32\\drivers\\usbhub.sys", "10.0.19041.1");
  sim::File& german = AddFile("C:\\WINDOWS\\System32\\drivers\\de.sys", "5.1.2600.0");
  german.version->language = 0x0407;
  german.version->codePage = 0x04E4;
  const std::string path = "\\SystemRoot\\System32\\drivers\\usbhub.sys";
  EXPECT_EQ(morvane::GetDriverFileVersion(path), "10.0.19041.1");
  EXPECT_EQ(ArgsOf("GetFileVersionInfoSizeA").size(), 0u) << "the resource route comes first";
  EXPECT_EQ(morvane::GetVersionFromResource("C:\\WINDOWS\\System32\\drivers\\usbhub.sys"), "10.0.19041.1");
  EXPECT_EQ(morvane::GetVersionFromVersionInfo("C:\\WINDOWS\\System32\\drivers\\usbhub.sys"), "10.0.19041.1");
  core.ClearCalls();
  EXPECT_EQ(morvane::GetDriverFileVersion("\\SystemRoot\\System32\\drivers\\de.sys"), "5.1.2600.0");
  const auto queries = ArgsOf("VerQueryValueA");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_NE(queries[1].find("\"\\StringFileInfo\\040704E4\\FileVersion\""), std::string::npos) << queries[1];
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
}

// Answers the two version queries with pointers into the caller's block at chosen
// offsets and lengths, as a malformed resource would make VerQueryValueA answer.
class MalformedVersionFiles final : public simtest::ForwardingFiles {
 public:
  using ForwardingFiles::ForwardingFiles;
  BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) override {
    const bool translation = std::string(subBlock).find("Translation") != std::string::npos;
    const std::size_t offset = translation ? translationOffset : textOffset;
    *value = const_cast<BYTE*>(static_cast<const BYTE*>(block)) + offset;
    *length = translation ? translationLength : textLength;
    return TRUE;
  }
  std::size_t translationOffset = 0, textOffset = 0;
  UINT translationLength = 4, textLength = 0;
};

TEST_F(DriverFilesTest, VersionValuesAreBoundedByTheirLengthAndTheBlock) {
  MalformedVersionFiles files(services);
  platform::Backend backend = SystemBackend(services);
  backend.files = &files;
  platform::ScopedBackend scope(backend);

  // A 64-byte block: a 24-byte root with the room for the converted texts after it,
  // the translation at offset 4, and text without a terminating NUL up to the end.
  morvane::VersionBlock block(64, 'x');
  block[0] = 24;
  block[1] = 0;
  block[4] = 0x09;
  block[5] = 0x04;
  block[6] = 0xB0;
  block[7] = 0x04;
  files.translationOffset = 4;
  files.textOffset = 56;
  files.textLength = 1000;
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "xxxxxxxx") << "stops at the end of the block";
  files.textLength = 3;
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "xxx") << "stops at the length given";
  block[58] = 0;
  files.textLength = 8;
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "xx") << "stops at the NUL";

  files.translationOffset = 62;  // two bytes left for a four-byte translation
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "");
  files.translationOffset = 4;
  files.translationLength = 2;
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "");
  files.translationLength = 4;
  files.textOffset = 64;  // just past the block
  EXPECT_EQ(morvane::QueryFileVersionValue(block), "");
}

// The resource and the version-information answers of one file, patched as a
// malformed file would have them.
class PatchedVersionFiles final : public simtest::ForwardingFiles {
 public:
  using ForwardingFiles::ForwardingFiles;
  DWORD GetFileVersionInfoSizeA(LPCSTR p, LPDWORD h) override {
    const DWORD size = inner_.GetFileVersionInfoSizeA(p, h);
    return infoSize != 0 ? infoSize : size;
  }
  BOOL GetFileVersionInfoA(LPCSTR p, DWORD h, DWORD n, LPVOID d) override {
    const BOOL ok = inner_.GetFileVersionInfoA(p, h, n, d);
    if (ok && rootLength != 0) std::memcpy(d, &rootLength, sizeof(rootLength));
    return ok;
  }
  DWORD infoSize = 0;
  WORD rootLength = 0;
};

TEST_F(DriverFilesTest, BlockWhoseRootIsLongerThanTheBlockReadsAsEmpty) {
  const std::vector<BYTE> resource = sim::BuildVersionResource(sim::FileVersion{"1.2.3.4"});
  const auto blockOf = [&](std::size_t size, std::size_t rootLength) {
    morvane::VersionBlock block(size, 0);
    std::memcpy(block.data(), resource.data(), std::min(size, resource.size()));
    if (size >= 2) {
      block[0] = static_cast<BYTE>(rootLength & 0xFF);
      block[1] = static_cast<BYTE>(rootLength >> 8);
    }
    return block;
  };
  const std::size_t room = 2 * resource.size() + 4;
  EXPECT_EQ(morvane::QueryFileVersionValue(blockOf(room, resource.size())), "1.2.3.4");
  // Walked as far as the root says and converted after that, these would be read
  // and written past the block.
  EXPECT_EQ(morvane::QueryFileVersionValue(blockOf(room, 2 * resource.size())), "");
  EXPECT_EQ(morvane::QueryFileVersionValue(blockOf(resource.size() + 4, resource.size())), "") << "no room";
  EXPECT_EQ(morvane::QueryFileVersionValue(blockOf(3, resource.size())), "") << "shorter than a header";
  EXPECT_EQ(morvane::QueryFileVersionValue(blockOf(room, 2)), "") << "a root shorter than a header";
}

TEST_F(DriverFilesTest, VersionInfoBlockGetsRoomForTheTextsAndNeverClaimsMoreThanWasRead) {
  AddFile("C:\\x.sys", "1.2.3.4");
  PatchedVersionFiles files(services);
  platform::Backend backend = SystemBackend(services);
  backend.files = &files;
  platform::ScopedBackend scope(backend);
  const std::size_t size = sim::BuildVersionResource(sim::FileVersion{"1.2.3.4"}).size();

  files.infoSize = static_cast<DWORD>(size);  // just the resource, no room after it
  const morvane::VersionBlock roomy = morvane::ReadFileVersionInfo("C:\\x.sys");
  EXPECT_EQ(roomy.size(), 2 * size + 4);
  EXPECT_EQ(morvane::GetVersionFromVersionInfo("C:\\x.sys"), "1.2.3.4");

  files.infoSize = 0;
  files.rootLength = static_cast<WORD>(3 * size);  // more than the block holds
  EXPECT_TRUE(morvane::ReadFileVersionInfo("C:\\x.sys").empty());
  EXPECT_EQ(morvane::GetVersionFromVersionInfo("C:\\x.sys"), "");
}

TEST_F(DriverFilesTest, ResourceBlockIsTwiceTheResourcePlusFour) {
  AddFile("C:\\x.sys", "1.2.3.4");
  HMODULE module = services.LoadLibraryExA("C:\\x.sys", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC resource = services.FindResourceA(module, MAKEINTRESOURCEA(1), RT_VERSION);
  const DWORD size = services.SizeofResource(module, resource);
  const BYTE* data = static_cast<const BYTE*>(services.LockResource(services.LoadResource(module, resource)));
  const std::vector<BYTE> original(data, data + size);
  services.FreeLibrary(module);
  ASSERT_GT(size, 0u);
  const morvane::VersionBlock block = morvane::ReadVersionResource("C:\\x.sys");
  ASSERT_EQ(block.size(), 2 * size + 4);
  EXPECT_EQ(std::vector<BYTE>(block.begin(), block.begin() + size), original);
  EXPECT_EQ(std::vector<BYTE>(block.begin() + size, block.end()), std::vector<BYTE>(size + 4, 0));
}

TEST_F(DriverFilesTest, FileNotLoadableAsDataIsVersionedThroughTheSecondRoute) {
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\hid.sys", "6.3").loadableAsData = false;
  EXPECT_EQ(morvane::GetVersionFromResource("C:\\WINDOWS\\System32\\DRIVERS\\hid.sys"), "");
  EXPECT_EQ(morvane::GetDriverFileVersion("hid.sys"), "6.3");
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\api.sys", "7.0").versionInfoApi = false;
  EXPECT_EQ(morvane::GetVersionFromVersionInfo("C:\\WINDOWS\\System32\\DRIVERS\\api.sys"), "");
  EXPECT_EQ(morvane::GetDriverFileVersion("api.sys"), "7.0");
}

TEST_F(DriverFilesTest, NoTranslationOrNoVersionGivesEmpty) {
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\nt.sys", "1.0").version->hasTranslation = false;
  AddFile("C:\\WINDOWS\\System32\\DRIVERS\\none.sys", "");
  for (const char* path : {"C:\\WINDOWS\\System32\\DRIVERS\\nt.sys", "C:\\WINDOWS\\System32\\DRIVERS\\none.sys"}) {
    EXPECT_EQ(morvane::GetVersionFromResource(path), "") << path;
    EXPECT_EQ(morvane::GetVersionFromVersionInfo(path), "") << path;
  }
  EXPECT_EQ(morvane::QueryFileVersionValue({}), "");
  EXPECT_EQ(morvane::GetDriverFileVersion("nt.sys"), "");
  EXPECT_EQ(CurrentDirectory(), "C:\\MORVANE");
}

TEST_F(DriverFilesTest, ModuleIsFreedWhenAResourceStepFails) {
  AddFile("C:\\x.sys", "1.2.3.4");
  for (const char* step : {"FindResourceA", "LoadResource", "LockResource", "SizeofResource"}) {
    core.InjectFault({step, ERROR_RESOURCE_DATA_NOT_FOUND, 0, 1});
    EXPECT_TRUE(morvane::ReadVersionResource("C:\\x.sys").empty()) << step;
    EXPECT_EQ(core.LeakReport(), "") << step;
  }
  core.InjectFault({"GetFileVersionInfoA", ERROR_INVALID_DATA, 0, 1});
  EXPECT_TRUE(morvane::ReadFileVersionInfo("C:\\x.sys").empty());
  EXPECT_FALSE(morvane::ReadFileVersionInfo("C:\\x.sys").empty());
}

}  // namespace
}  // namespace syshelpers_test
