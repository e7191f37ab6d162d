// TALON64.EXE as the setup program starts it, under Wine: the INF installs the
// filter service into Wine's service manager, "U" restarts a device Wine knows,
// and every bad command line ends with its own exit code and one line on stderr.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\'));
}

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE h = nullptr) : handle_(h) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE Get() const { return handle_; }
  HANDLE* Out() { return &handle_; }
  void Reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

class OwnedService {
 public:
  explicit OwnedService(SC_HANDLE h) : handle_(h) {}
  ~OwnedService() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  OwnedService(const OwnedService&) = delete;
  OwnedService& operator=(const OwnedService&) = delete;
  SC_HANDLE Get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

struct Outcome {
  DWORD exitCode = 0xFFFFFFFF;
  std::string errors;  // everything written to stderr
};

// Runs TALON64.EXE from the test program's folder with `arguments`, in `directory`.
Outcome RunTalon(const std::string& arguments, const std::string& directory) {
  Outcome outcome;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  OwnedHandle readEnd;
  OwnedHandle writeEnd;
  if (!CreatePipe(readEnd.Out(), writeEnd.Out(), &inherit, 0)) return outcome;
  SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  std::string commandLine = "\"" + ProgramFolder() + "\\TALON64.EXE\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &startup,
                      &process)) {
    return outcome;
  }
  OwnedHandle processHandle(process.hProcess);
  OwnedHandle threadHandle(process.hThread);
  writeEnd.Reset();  // the pipe ends when the child's copy closes

  char chunk[512];
  DWORD got = 0;
  while (ReadFile(readEnd.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) outcome.errors.append(chunk, got);
  WaitForSingleObject(processHandle.Get(), 60000);
  GetExitCodeProcess(processHandle.Get(), &outcome.exitCode);
  return outcome;
}

// A fresh folder under the temporary directory, removed with its files at the end.
class TempFolder {
 public:
  TempFolder() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + "talon64-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string& file : files_) DeleteFileA(file.c_str());
    RemoveDirectoryA(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string Add(const std::string& name, const std::string& content) {
    const std::string file = path_ + "\\" + name;
    OwnedHandle h(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(h.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    files_.push_back(file);
    return file;
  }
  std::string CopyIn(const std::string& from, const std::string& name) {
    const std::string file = path_ + "\\" + name;
    CopyFileA(from.c_str(), file.c_str(), FALSE);
    files_.push_back(file);
    return file;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void ExpectOneLine(const Outcome& outcome, const std::string& part) {
  ASSERT_FALSE(outcome.errors.empty());
  EXPECT_EQ(outcome.errors.find('\n'), outcome.errors.size() - 1) << outcome.errors;
  EXPECT_NE(outcome.errors.find(part), std::string::npos) << outcome.errors;
}

void DeleteFilterService() {
  OwnedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  OwnedService service(OpenServiceA(manager.Get(), "morvane", DELETE));
  if (service.Get() != nullptr) DeleteService(service.Get());
}

std::string FieldOf(HINF inf, const char* section, const char* key, DWORD field) {
  INFCONTEXT line{};
  if (!SetupFindFirstLineA(inf, section, key, &line)) return "<no line>";
  char text[MAX_PATH] = {};
  if (!SetupGetStringFieldA(&line, field, text, sizeof(text), nullptr)) return "<no field>";
  return text;
}

TEST(Talon64Inf, OpensWithoutErrorsAndNamesTheKernelService) {
  const std::string inf = ProgramFolder() + "\\morvane.inf";
  UINT errorLine = 0;  // set only when the parser found an error
  HINF handle = SetupOpenInfFileA(inf.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError() << " at line " << errorLine;
  EXPECT_EQ(errorLine, 0u);
  EXPECT_EQ(FieldOf(handle, "Version", "Signature", 1), "$Windows NT$");
  EXPECT_EQ(FieldOf(handle, "DefaultInstall.Services", "AddService", 1), "morvane");
  EXPECT_EQ(FieldOf(handle, "DefaultInstall.Services", "AddService", 3), "morvane_Service");
  EXPECT_EQ(FieldOf(handle, "morvane_Service", "ServiceType", 1), "1");
  EXPECT_EQ(FieldOf(handle, "morvane_Service", "StartType", 1), "3");
  EXPECT_EQ(FieldOf(handle, "DestinationDirs", "morvane.CopyFiles", 1), "12");
  SetupCloseInfFile(handle);
}

TEST(Talon64Install, CreatesTheDemandStartKernelDriverService) {
  DeleteFilterService();
  TempFolder folder;
  folder.CopyIn(ProgramFolder() + "\\morvane.inf", "morvane.inf");
  folder.Add("morvane.sys", "not a driver, only its place");

  const Outcome outcome = RunTalon("e install morvane.inf", folder.Path());
  EXPECT_EQ(outcome.exitCode, 0u) << outcome.errors;
  EXPECT_EQ(outcome.errors, "");

  OwnedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager.Get(), nullptr);
  OwnedService service(OpenServiceA(manager.Get(), "morvane", SERVICE_QUERY_CONFIG | DELETE));
  ASSERT_NE(service.Get(), nullptr) << "service not created, error " << GetLastError();
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(service.Get(), reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed));
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  const std::string binary = Lower(config->lpBinaryPathName);
  EXPECT_NE(binary.find("\\drivers\\morvane.sys"), std::string::npos) << binary;

  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  const std::string copied = std::string(system) + "\\drivers\\morvane.sys";
  EXPECT_NE(GetFileAttributesA(copied.c_str()), INVALID_FILE_ATTRIBUTES) << copied;

  EXPECT_TRUE(DeleteService(service.Get()));
  DeleteFileA(copied.c_str());
}

TEST(Talon64Install, MissingOrBrokenInfEndsWithItsCode) {
  TempFolder folder;
  Outcome missing = RunTalon("e install morvane.inf", folder.Path());
  EXPECT_EQ(missing.exitCode, 4u);
  ExpectOneLine(missing, "morvane.inf\" not found");

  folder.Add("broken.inf", "this is not an INF file\r\n[\r\n");
  Outcome broken = RunTalon("e install broken.inf", folder.Path());
  EXPECT_EQ(broken.exitCode, 5u);
  ExpectOneLine(broken, "cannot open INF file");
}

// The first present device Wine lists.
std::string SomeWineDevice() {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::string id;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  if (SetupDiEnumDeviceInfo(set, 0, &data)) {
    char text[512] = {};
    if (SetupDiGetDeviceInstanceIdA(set, &data, text, sizeof(text), nullptr)) id = text;
  }
  SetupDiDestroyDeviceInfoList(set);
  return id;
}

// What this system's class installer answers to the property change TALON64 sends
// for `instanceId`: true when it carries the restart out.
bool ClassInstallerRestarts(const std::string& instanceId, DWORD* error) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  bool accepted = false;
  if (SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &data)) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    accepted = SetupDiSetClassInstallParamsA(set, &data, &params.ClassInstallHeader, sizeof(params)) &&
               SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data);
  }
  *error = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  return accepted;
}

// A known device ends as the class installer decides: 0 when it restarts the device,
// the refusal's own code when it does not (Wine's class installer does not carry the
// property change out). A refused restart is never reported as done.
TEST(Talon64Restart, KnownDeviceEndsAsTheClassInstallerDecidesUnknownIdHasItsCode) {
  TempFolder folder;
  const std::string device = SomeWineDevice();
  ASSERT_FALSE(device.empty()) << "Wine lists no device";
  DWORD error = 0;
  const bool restarts = ClassInstallerRestarts(device, &error);
  std::printf("restarting %s: the class installer %s (error 0x%lX)\n", device.c_str(),
              restarts ? "accepts" : "refuses", static_cast<unsigned long>(error));
  const Outcome known = RunTalon("U " + device, folder.Path());
  if (restarts) {
    EXPECT_EQ(known.exitCode, 0u) << device << ": " << known.errors;
    EXPECT_EQ(known.errors, "");
  } else {
    EXPECT_EQ(known.exitCode, 10u) << device << ": " << known.errors;
    ExpectOneLine(known, "device \"" + device + "\" was not restarted");
  }

  const Outcome unknown = RunTalon("U ROOT\\NO_SUCH_DEVICE\\0042", folder.Path());
  EXPECT_EQ(unknown.exitCode, 3u);
  ExpectOneLine(unknown, "no device with instance ID \"ROOT\\NO_SUCH_DEVICE\\0042\"");
}

TEST(Talon64CommandLine, BadCommandLinesGiveTheirMessagesAndCodes) {
  TempFolder folder;
  struct Case {
    const char* arguments;
    DWORD exitCode;
    const char* message;
  };
  for (const Case& c : {Case{"", 2, "missing command"}, Case{"X", 1, "unknown command \"X\""},
                        Case{"U", 2, "U needs an instance ID"}, Case{"e", 2, "e needs a subcommand"},
                        Case{"e remove morvane.inf", 1, "unknown command \"e remove\""},
                        Case{"e install", 2, "e install needs an INF file"}}) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = RunTalon(c.arguments, folder.Path());
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    ExpectOneLine(outcome, c.message);
  }
}

}  // namespace
