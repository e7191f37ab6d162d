// CleanMemory over the simulated machine: which commands are issued for which
// argument bytes, the two privilege adjustments with their exact records, and the
// failure paths of the privilege steps.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/system_services.h"
#include "varnel/VarnelLogic.h"

namespace {

using morvane::CleanMemory;
using morvane::CleanMemoryFromRegisters;
using morvane::VarnelModuleState;

// Forwards to the simulated token functions and keeps a copy of every record as it
// was at the moment of the call.
class RecordingSecurity final : public platform::ISecurity {
 public:
  struct Adjustment {
    HANDLE token;
    BOOL disableAll;
    PTOKEN_PRIVILEGES newState;
    TOKEN_PRIVILEGES newStateContent;
    DWORD bufferLength;
    PTOKEN_PRIVILEGES previousState;
    PDWORD returnLength;
  };

  explicit RecordingSecurity(platform::ISecurity& inner) : inner_(inner) {}

  BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) override {
    lookupSystemNameWasNull = systemName == nullptr;
    lookupName = name;
    const BOOL ok = inner_.LookupPrivilegeValueA(systemName, name, luid);
    if (ok) lookedUpId = *luid;
    return ok;
  }
  BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) override {
    openedProcess = process;
    openAccess = access;
    const BOOL ok = inner_.OpenProcessToken(process, access, token);
    if (ok) openedToken = *token;
    return ok;
  }
  BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                             PTOKEN_PRIVILEGES previousState, PDWORD returnLength) override {
    adjustments.push_back({token, disableAll, newState, *newState, bufferLength, previousState, returnLength});
    const BOOL ok = inner_.AdjustTokenPrivileges(token, disableAll, newState, bufferLength, previousState,
                                                 returnLength);
    if (ok && returnLength != nullptr && reportedLength) *returnLength = *reportedLength;
    return ok;
  }

  std::optional<DWORD> reportedLength;  // replaces the length the first adjustment reports
  bool lookupSystemNameWasNull = false;
  std::string lookupName;
  std::optional<LUID> lookedUpId;
  HANDLE openedProcess = nullptr;
  DWORD openAccess = 0;
  std::optional<HANDLE> openedToken;
  std::vector<Adjustment> adjustments;

 private:
  platform::ISecurity& inner_;
};

class VarnelTest : public ::testing::Test {
 protected:
  VarnelTest() {
    platform::Backend backend;
    backend.files = &services;
    backend.system = &services;
    backend.security = &security;
    scope_.emplace(backend);
  }

  void TearDown() override {
    EXPECT_EQ(core.LiveCount(sim::ResourceKind::TokenHandle), 0u) << core.LeakReport();
    // The native-API module is kept for the library's lifetime, on purpose.
    EXPECT_EQ(core.LiveCount() - core.LiveCount(sim::ResourceKind::Module), 0u) << core.LeakReport();
  }

  // Simulates loading the library, then runs one call and returns the commands it issued.
  std::vector<ULONG> Run(BYTE a, BYTE b, BYTE c, BYTE d) {
    Attach();
    const std::size_t before = services.MemoryListCommands().size();
    EXPECT_EQ(CleanMemory(a, b, c, d), 0);
    return CommandsSince(before);
  }
  void Attach() {
    if (!attached_) morvane::VarnelProcessAttach();
    attached_ = true;
  }
  std::vector<ULONG> CommandsSince(std::size_t before) const {
    const std::vector<ULONG>& all = services.MemoryListCommands();
    return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
  }
  std::size_t Count(const std::string& function) const {
    std::size_t n = 0;
    for (const sim::Call& call : core.Calls()) n += call.function == function ? 1 : 0;
    return n;
  }
  bool ProfilingEnabled() const { return services.IsPrivilegeEnabled(morvane::ProfileSingleProcessPrivilege); }

  sim::MachineModel model;
  sim::SimCore core{model};
  sim::SystemServices services{core};
  RecordingSecurity security{services};

 private:
  std::optional<platform::ScopedBackend> scope_;
  bool attached_ = false;
};

TEST_F(VarnelTest, AttachLoadsTheNativeModuleAndKeepsIt) {
  VarnelModuleState().NativeModule = nullptr;
  morvane::VarnelProcessAttach();
  EXPECT_NE(VarnelModuleState().NativeModule, nullptr);
  ASSERT_EQ(Count("LoadLibraryW"), 1u);
  for (const sim::Call& call : core.Calls()) {
    if (call.function == "LoadLibraryW") {
      EXPECT_NE(call.args.find("\"ntdll.dll\""), std::string::npos) << call.args;
    }
  }
  EXPECT_EQ(CleanMemory(1, 0, 0, 0), 0);
  EXPECT_EQ(Count("FreeLibrary"), 0u);
  EXPECT_EQ(Count("LoadLibraryW"), 1u) << "a call must not load the module again";
}

TEST_F(VarnelTest, EveryCombinationOfFlagsIssuesItsCommandsInFixedOrder) {
  const ULONG commandOf[4] = {4, 3, 2, 5};
  for (int mask = 0; mask < 16; ++mask) {
    std::vector<ULONG> expected;
    BYTE flags[4];
    for (int i = 0; i < 4; ++i) {
      flags[i] = (mask >> i) & 1;
      if (flags[i]) expected.push_back(commandOf[i]);
    }
    EXPECT_EQ(Run(flags[0], flags[1], flags[2], flags[3]), expected) << "mask " << mask;
  }
  EXPECT_TRUE(ProfilingEnabled());
}

TEST_F(VarnelTest, OnlyAByteOfExactlyOneIssuesItsCommand) {
  for (BYTE other : {BYTE{2}, BYTE{255}, BYTE{0x81}, BYTE{0x10}}) {
    EXPECT_EQ(Run(other, other, other, other), std::vector<ULONG>{}) << int(other);
    EXPECT_EQ(Run(1, other, 1, other), (std::vector<ULONG>{4, 2})) << int(other);
    EXPECT_EQ(Run(other, 1, other, 1), (std::vector<ULONG>{3, 5})) << int(other);
  }
}

TEST_F(VarnelTest, OnlyTheLowByteOfEachRegisterIsRead) {
  Attach();
  std::size_t before = services.MemoryListCommands().size();
  EXPECT_EQ(CleanMemoryFromRegisters(0x101, 0x100, 0xFFFFFFFF00000001ull, 0xFFFFFFFFFFFFFF00ull), 0);
  EXPECT_EQ(CommandsSince(before), (std::vector<ULONG>{4, 2}));

  before = services.MemoryListCommands().size();
  EXPECT_EQ(CleanMemoryFromRegisters(0xCCCCCCCCCCCCCC00ull, 0xABCD01, 0x8000000000000000ull, 0x7F01), 0);
  EXPECT_EQ(CommandsSince(before), (std::vector<ULONG>{3, 5}));

  before = services.MemoryListCommands().size();
  EXPECT_EQ(CleanMemoryFromRegisters(0x102, 0x1FF, 0x11, 0x100000000ull), 0);
  EXPECT_EQ(CommandsSince(before), std::vector<ULONG>{});
}

TEST_F(VarnelTest, PrivilegeIsEnabledInTwoAdjustmentsWithExactRecords) {
  security.reportedLength = 12;  // whatever the first adjustment reports is sent back as the length
  EXPECT_EQ(Run(0, 0, 0, 0), std::vector<ULONG>{});
  const morvane::VarnelState& state = VarnelModuleState();

  EXPECT_TRUE(security.lookupSystemNameWasNull);
  EXPECT_EQ(security.lookupName, "SeProfileSingleProcessPrivilege");
  ASSERT_TRUE(security.lookedUpId.has_value());
  EXPECT_EQ(security.openedProcess, services.GetCurrentProcess());
  EXPECT_EQ(security.openAccess, 0x28u);
  ASSERT_TRUE(security.openedToken.has_value());

  ASSERT_EQ(security.adjustments.size(), 2u);
  const auto& first = security.adjustments[0];
  EXPECT_EQ(first.token, *security.openedToken);
  EXPECT_EQ(first.disableAll, FALSE);
  EXPECT_EQ(first.newState, &state.NewState);
  EXPECT_EQ(first.newStateContent.PrivilegeCount, 1u);
  EXPECT_EQ(first.newStateContent.Privileges[0].Luid.LowPart, security.lookedUpId->LowPart);
  EXPECT_EQ(first.newStateContent.Privileges[0].Luid.HighPart, security.lookedUpId->HighPart);
  EXPECT_EQ(first.newStateContent.Privileges[0].Attributes, 0u);
  EXPECT_EQ(first.bufferLength, 16u);
  EXPECT_EQ(first.previousState, &state.PreviousState);
  EXPECT_EQ(first.returnLength, &state.ReturnedLength);

  const auto& second = security.adjustments[1];
  EXPECT_EQ(second.token, *security.openedToken);
  EXPECT_EQ(second.disableAll, FALSE);
  EXPECT_EQ(second.newState, &state.PreviousState);
  EXPECT_EQ(second.newStateContent.PrivilegeCount, 1u);
  EXPECT_EQ(second.newStateContent.Privileges[0].Luid.LowPart, security.lookedUpId->LowPart);
  EXPECT_EQ(second.newStateContent.Privileges[0].Luid.HighPart, security.lookedUpId->HighPart);
  EXPECT_EQ(second.newStateContent.Privileges[0].Attributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  EXPECT_EQ(second.bufferLength, 12u);
  EXPECT_EQ(second.previousState, nullptr);
  EXPECT_EQ(second.returnLength, nullptr);

  EXPECT_TRUE(ProfilingEnabled());
  EXPECT_EQ(Count("CloseHandle"), 1u);
}

TEST_F(VarnelTest, TokenIsClosedBeforeTheCommandsAreResolved) {
  Run(1, 1, 1, 1);
  std::vector<std::string> order;
  for (const sim::Call& call : core.Calls()) {
    for (const char* name : {"LookupPrivilegeValueA", "OpenProcessToken", "AdjustTokenPrivileges", "CloseHandle",
                             "GetProcAddress"}) {
      if (call.function == name) order.push_back(name);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"LookupPrivilegeValueA", "OpenProcessToken", "AdjustTokenPrivileges",
                                             "AdjustTokenPrivileges", "CloseHandle", "GetProcAddress"}));
}

TEST_F(VarnelTest, ReturnedLengthStartsAt16OnEveryCall) {
  Attach();
  VarnelModuleState().ReturnedLength = 99;
  core.InjectFault({"LookupPrivilegeValueA", ERROR_NO_SUCH_PRIVILEGE});
  EXPECT_EQ(CleanMemory(0, 0, 0, 0), 0);
  EXPECT_EQ(VarnelModuleState().ReturnedLength, 16u);
}

TEST_F(VarnelTest, FailedPrivilegeStepsStillIssueTheCommandsAndCloseTheToken) {
  struct Case {
    const char* fault;
    std::size_t adjustments;
    std::size_t closes;
  };
  for (const Case& c : {Case{"LookupPrivilegeValueA", 0, 1}, Case{"AdjustTokenPrivileges", 1, 1},
                        Case{"OpenProcessToken", 0, 0}}) {
    SCOPED_TRACE(c.fault);
    security.adjustments.clear();
    core.ClearCalls();
    core.InjectFault({c.fault, ERROR_ACCESS_DENIED});
    EXPECT_EQ(Run(1, 1, 1, 1), (std::vector<ULONG>{4, 3, 2, 5}));
    EXPECT_EQ(security.adjustments.size(), c.adjustments);
    EXPECT_EQ(Count("CloseHandle"), c.closes);
    EXPECT_EQ(core.LiveCount(sim::ResourceKind::TokenHandle), 0u);
    EXPECT_FALSE(ProfilingEnabled());
  }
}

TEST_F(VarnelTest, PrivilegeNotHeldStillIssuesTheCommands) {
  model.system.heldPrivileges.clear();
  EXPECT_EQ(Run(0, 0, 1, 0), std::vector<ULONG>{2});
  EXPECT_FALSE(ProfilingEnabled());
}

TEST_F(VarnelTest, MissingEntryOrModuleIssuesNothing) {
  model.system.hasNtSetSystemInformation = false;
  EXPECT_EQ(Run(1, 1, 1, 1), std::vector<ULONG>{});
  EXPECT_TRUE(ProfilingEnabled()) << "the privilege steps do not depend on the entry";

  // A module that could not be loaded is never searched: GetProcAddress with a null
  // module would look in the host program.
  model.system.hasNtSetSystemInformation = true;
  VarnelModuleState().NativeModule = nullptr;
  core.ClearCalls();
  const std::size_t before = services.MemoryListCommands().size();
  EXPECT_EQ(CleanMemory(1, 1, 1, 1), 0);
  EXPECT_EQ(CommandsSince(before), std::vector<ULONG>{});
  EXPECT_EQ(Count("GetProcAddress"), 0u);
}

}  // namespace
