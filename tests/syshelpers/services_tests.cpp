#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "syshelpers/Services.h"

namespace syshelpers_test {
namespace {

class ServicesTest : public SimTest {
 protected:
  void SetService(DWORD startType, DWORD state, DWORD startError = 0) {
    sim::Service service;
    service.name = "morvane";
    service.startType = startType;
    service.state = state;
    service.startError = startError;
    service.binaryPath = "\\SystemRoot\\System32\\drivers\\morvane.sys";
    model.services = {service};
  }
  DWORD LastError() { return platform::System().GetLastError(); }
  // Closing the handles of a failed operation must not replace its code.
  void FailEveryClose() { core.InjectFault({"CloseServiceHandle", ERROR_INVALID_HANDLE, 0, -1}); }
  void TearDown() override {
    core.ClearFaults();
    SimTest::TearDown();
  }
};

TEST_F(ServicesTest, MissingServiceGivesTheOpensCode) {
  FailEveryClose();
  EXPECT_EQ(morvane::QueryServiceConfiguration("nosuch"), nullptr);
  EXPECT_EQ(LastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  for (bool (*operation)(const std::string&) : {morvane::IsServiceEnabled, morvane::IsServiceRunning,
                                                 morvane::TryStartService, morvane::TestServiceLoading}) {
    platform::System().SetLastError(0);
    EXPECT_FALSE(operation("nosuch"));
    EXPECT_EQ(LastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  }
}

TEST_F(ServicesTest, AccessMasksConfigurationBlockAndCloseOrder) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED);
  const morvane::ServiceConfig config = morvane::QueryServiceConfiguration("morvane");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->Config().dwStartType, SERVICE_DEMAND_START);
  EXPECT_STREQ(config->Config().lpBinaryPathName, "\\SystemRoot\\System32\\drivers\\morvane.sys");
  const auto queries = ArgsOf("QueryServiceConfigA");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_NE(queries[1].find(", " + std::to_string(config->Size()) + ", "), std::string::npos) << queries[1];

  morvane::IsServiceRunning("morvane");
  morvane::TryStartService("morvane");
  EXPECT_EQ(ArgsOf("OpenSCManagerA"), (std::vector<std::string>{"null, null, 0x20000", "null, null, 0x20000",
                                                                 "null, null, 0xF003F"}));
  const auto opens = ArgsOf("OpenServiceA");
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_NE(opens[0].find("\"morvane\", 0x20001"), std::string::npos) << opens[0];
  EXPECT_NE(opens[1].find("\"morvane\", 0x20004"), std::string::npos) << opens[1];
  EXPECT_NE(opens[2].find("\"morvane\", 0xF01FF"), std::string::npos) << opens[2];
  ASSERT_EQ(ArgsOf("StartServiceA").size(), 1u);
  EXPECT_NE(ArgsOf("StartServiceA")[0].find(", 0, null"), std::string::npos) << "no arguments";
  // The service handle goes first, then the manager that opened it.
  const auto closes = ArgsOf("CloseServiceHandle");
  ASSERT_EQ(closes.size(), 6u);
  EXPECT_EQ(closes[5], opens[2].substr(0, opens[2].find(',')));
  EXPECT_NE(closes[4], closes[5]);
}

TEST_F(ServicesTest, ConfigurationBlockHasExactlyTheSizeAskedFor) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED);
  model.services[0].displayName = "MORVANE polling-rate filter";
  const morvane::ServiceConfig config = morvane::QueryServiceConfiguration("morvane");
  ASSERT_NE(config, nullptr);
  const auto queries = ArgsOf("QueryServiceConfigA");
  ASSERT_EQ(queries.size(), 2u);
  const std::string handle = queries[0].substr(0, queries[0].find(','));
  EXPECT_EQ(queries[0].rfind(handle + ", null, 0, ", 0), 0u) << "first without a buffer: " << queries[0];

  // What the manager asks for, read past the operation.
  SC_HANDLE manager = services.OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_READ);
  SC_HANDLE service = services.OpenServiceA(manager, "morvane", SERVICE_QUERY_CONFIG);
  DWORD needed = 0;
  EXPECT_FALSE(services.QueryServiceConfigA(service, nullptr, 0, &needed));
  services.CloseServiceHandle(service);
  services.CloseServiceHandle(manager);
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
  EXPECT_EQ(config->Size(), needed);
  EXPECT_STREQ(config->Config().lpDisplayName, "MORVANE polling-rate filter");
}

TEST_F(ServicesTest, StartTypesAndStates) {
  for (DWORD type : {SERVICE_BOOT_START, SERVICE_SYSTEM_START, SERVICE_AUTO_START, SERVICE_DEMAND_START}) {
    SetService(type, SERVICE_STOPPED);
    EXPECT_TRUE(morvane::IsServiceEnabled("morvane")) << type;
  }
  for (DWORD state : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_PAUSED}) {
    SetService(SERVICE_DEMAND_START, state);
    EXPECT_FALSE(morvane::IsServiceRunning("morvane")) << state;
  }
}

TEST_F(ServicesTest, StoppedServiceIsStartedOnceByTheLoadingTest) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED);
  EXPECT_TRUE(morvane::TestServiceLoading("morvane"));
  EXPECT_EQ(ArgsOf("StartServiceA").size(), 1u);
  EXPECT_TRUE(morvane::IsServiceRunning("morvane"));
  EXPECT_TRUE(morvane::TestServiceLoading("morvane"));
  EXPECT_EQ(ArgsOf("StartServiceA").size(), 1u) << "a running service is not started again";
  EXPECT_FALSE(morvane::TryStartService("morvane"));
  EXPECT_EQ(LastError(), ERROR_SERVICE_ALREADY_RUNNING);
}

TEST_F(ServicesTest, DisabledServicePassesTheLoadingTestThroughItsRefusal) {
  SetService(SERVICE_DISABLED, SERVICE_STOPPED);
  EXPECT_FALSE(morvane::IsServiceEnabled("morvane"));
  FailEveryClose();
  EXPECT_TRUE(morvane::TestServiceLoading("morvane"));
  EXPECT_EQ(LastError(), ERROR_SERVICE_DISABLED);
}

TEST_F(ServicesTest, RefusedStartKeepsTheRefusalCode) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED, ERROR_INVALID_IMAGE_HASH);
  FailEveryClose();
  EXPECT_FALSE(morvane::TestServiceLoading("morvane"));
  EXPECT_EQ(LastError(), ERROR_INVALID_IMAGE_HASH);
}

TEST_F(ServicesTest, WithoutAdministratorRightsOnlyTheQueriesWork) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED);
  model.system.administrator = false;
  EXPECT_TRUE(morvane::IsServiceEnabled("morvane"));
  EXPECT_FALSE(morvane::TryStartService("morvane"));
  EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(ArgsOf("StartServiceA").empty());
}

TEST_F(ServicesTest, FailedStepsGiveNothing) {
  SetService(SERVICE_DEMAND_START, SERVICE_STOPPED);
  core.InjectFault({"QueryServiceConfigA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_EQ(morvane::QueryServiceConfiguration("morvane"), nullptr);
  core.InjectFault({"QueryServiceConfigA", ERROR_INVALID_PARAMETER, 1, 1});
  EXPECT_EQ(morvane::QueryServiceConfiguration("morvane"), nullptr);
  EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
  core.InjectFault({"QueryServiceStatus", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_FALSE(morvane::IsServiceRunning("morvane"));
  core.InjectFault({"OpenSCManagerA", ERROR_ACCESS_DENIED, 0, 1});
  EXPECT_FALSE(morvane::IsServiceEnabled("morvane"));
  EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace syshelpers_test
