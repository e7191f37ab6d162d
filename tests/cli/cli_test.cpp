// The command line's parse and its commands over the built-in simulated PC.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "devices/AsciiText.h"
#include "devices/Journal.h"
#include "platform/platform.h"
#include "devices/SessionChanges.h"
#include "platform/sim/sim.h"
#include "setup/SetupF.h"
#include "setup/cli/CommandLine.h"
#include "morvane/MorvaneVersion.h"
#include "setup/cli/Commands.h"

namespace morvane::cli {
namespace {

using sim::RegValue;

const std::string kMouse = "USB\\VID_1A2C&PID_0E24\\*";     // full speed, behind xHCI
const std::string kLowMouse = "USB\\VID_0461&PID_4D81\\*";  // low speed, behind a hub
const std::string kStorage = "USB\\VID_0951&PID_1666\\*";   // high speed, bulk pipes only

TEST(CommandLineParse, NonSwitchArgumentsStayTheWindowsCategory) {
  for (const char* line : {"setup.exe", "setup.exe /mice", "setup.exe -KEYBOARDS", "setup.exe /usb /list",
                           "setup.exe /foo", "setup.exe hids"}) {
    EXPECT_FALSE(ParseCommandLine(line).isCommand) << line;
  }
  EXPECT_EQ(SplitCommandLine("\"C:\\a b\\setup.exe\" /set \"USB\\VID_1 2\" /rate  500").size(), 4u);
  EXPECT_EQ(SplitCommandLine("\"C:\\a b\\setup.exe\" /set \"USB\\VID_1 2\"")[1], "USB\\VID_1 2");
  EXPECT_EQ(SplitCommandLine("x \"a\"b c")[0], FirstCommandLineArgument("x \"a\"b c"));
}

TEST(CommandLineParse, SwitchesAndTheirValues) {
  auto p = ParseCommandLine("setup.exe /list \"with Interrupts\" /JSON /out Z:\\t.json");
  ASSERT_TRUE(p.isCommand);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.arguments.category, 3);
  EXPECT_TRUE(p.arguments.json);
  EXPECT_EQ(p.arguments.outFile, "Z:\\t.json");
  p = ParseCommandLine("setup.exe -set USB\\VID_1* /filter ON /rate 500 /restart /wait 0 /yes");
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.arguments.command, Command::Set);
  EXPECT_EQ(p.arguments.pattern, "USB\\VID_1*");
  EXPECT_EQ(p.arguments.filter, true);
  EXPECT_EQ(p.arguments.rate, "500");
  EXPECT_TRUE(p.arguments.restart && p.arguments.yes);
  EXPECT_EQ(p.arguments.waitSeconds, 0u);
  EXPECT_EQ(ParseCommandLine("s /install-service").arguments.waitSeconds, DefaultWaitSeconds);
  EXPECT_EQ(ParseCommandLine("s /snapshot a.json").arguments.snapshotFile, "a.json");
  p = ParseCommandLine("s /measure USB\\VID_1A2C* /seconds 12 /json /out m.json");
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.arguments.command, Command::Measure);
  EXPECT_EQ(p.arguments.pattern, "USB\\VID_1A2C*");
  EXPECT_EQ(p.arguments.measureSeconds, 12u);
  EXPECT_TRUE(p.arguments.json);
  EXPECT_EQ(ParseCommandLine("s /measure X").arguments.measureSeconds, DefaultMeasureSeconds);
}

TEST(CommandLineParse, BadCommandLinesSayWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"s /list /bogus", "unknown switch \"/bogus\""},
      {"s /set", "/set needs an instance ID"},
      {"s /set /filter on", "/set needs an instance ID"},
      {"s /set X", "/set needs /filter, /rate or /restart"},
      {"s /set X /filter maybe", "/filter takes on or off, not \"maybe\""},
      {"s /set X /rate", "/rate needs a rate"},
      {"s /set X /restart /wait -1", "/wait needs a number of seconds"},
      {"s /set X /restart /wait 3601", "/wait takes a whole number of seconds from 0 to 3600, not \"3601\""},
      {"s /list nothing", "no category ends in \"nothing\""},
      {"s /list /set X", "only one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore and /uninstall may be given"},
      {"s /json", "one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore or /uninstall is needed"},
      {"s /set X /filter on /keep-on-failure", "/keep-on-failure belongs to /set with /restart"},
      {"s /restore X /rate 500", "/restore takes only a device, /restart, /wait, /yes and /out"},
      {"s /uninstall /restart", "/uninstall takes only /yes and /out"},
      {"s /restore /uninstall", "only one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore and /uninstall may be given"},
      {"s /list /yes", "/list takes only a category, /json and /out"},
      {"s /list all extra", "unexpected argument \"extra\""},
      {"s /measure", "/measure needs an instance ID"},
      {"s /measure X /seconds 0", "/seconds takes a whole number of seconds from 1 to 600, not \"0\""},
      {"s /measure X /seconds 601", "/seconds takes a whole number of seconds from 1 to 600, not \"601\""},
      {"s /list /seconds 3", "/seconds belongs to /measure"},
      {"s /measure X /yes", "/measure takes only an instance ID, /seconds, /json and /out"},
      {"s /measure X /rate 1000", "/measure takes only an instance ID, /seconds, /json and /out"},
  };
  for (const auto& [line, error] : cases) {
    const auto p = ParseCommandLine(line);
    EXPECT_TRUE(p.isCommand) << line;
    EXPECT_EQ(p.error, error) << line;
  }
}

TEST(CommandLineParse, PatternsAndCategories) {
  EXPECT_TRUE(MatchesPattern("usb\\vid_046d&pid_c08b\\*", "USB\\VID_046D&PID_C08B\\5&1&0&1"));
  EXPECT_TRUE(MatchesPattern("USB\\*&PID_C0?B\\*1", "USB\\VID_046D&PID_C08B\\5&1&0&1"));
  EXPECT_FALSE(MatchesPattern("USB\\VID_046D", "USB\\VID_046D&PID_C08B\\5"));
  EXPECT_FALSE(MatchesPattern("*C08C*", "USB\\VID_046D&PID_C08B\\5"));
  // A '*' stays a wildcard where the text holds a '*' of its own.
  EXPECT_TRUE(MatchesPattern("**", "**/inseao"));
  EXPECT_TRUE(MatchesPattern("USB\\\\*", "USB\\\\**C"));
  EXPECT_FALSE(MatchesPattern("*x", "**"));
  EXPECT_EQ(CategoryEndingIn("s"), 3);  // the last name ending in it, as the window's rule
  EXPECT_EQ(CategoryEndingIn("PROBLEM"), 7);
  EXPECT_EQ(CategoryEndingIn("x"), std::nullopt);
}

// The state a write changes: every device's lower filters and driver-key values.
std::string RegistryState(sim::Machine& machine) {
  std::string state;
  for (const auto& device : machine.Model().devices) {
    state += device.instanceId + "|";
    const auto filters = device.properties.find(SPDRP_LOWERFILTERS);
    if (filters != device.properties.end()) state.append(filters->second.data.begin(), filters->second.data.end());
    if (device.driverKey) {
      for (const auto& [name, value] : *device.driverKey) {
        state += name + "=" + std::string(value.data.begin(), value.data.end()) + ";";
      }
    }
    state += "\n";
  }
  return state;
}

class CommandTest : public ::testing::Test {
 protected:
  CommandTest() : machine(sim::Machine::Default()), scope(machine->Backend()) {
    host.watch = &watch;
    machine->SetDeviceChangeHandler([this] {
      if (forwardChanges) watch.Notify();
    });
    machine->SetDeviceEventHandler([this](bool arrival, const std::string& instanceId) {
      if (forwardChanges) watch.NotifyEvent(arrival, instanceId);
    });
  }
  ~CommandTest() override {
    machine->SetDeviceChangeHandler({});
    machine->SetDeviceEventHandler({});
    EXPECT_EQ(machine->LeakReport(), "");
  }
  CommandResult Run(const std::string& arguments) { return RunParsed(ParseCommandLine("setup.exe " + arguments), host); }
  sim::Device& Only(const std::string& pattern) {
    for (auto& device : machine->Model().devices) {
      if (MatchesPattern(pattern, device.instanceId)) return device;
    }
    throw std::runtime_error("no device " + pattern);
  }
  bool FilterOn(const std::string& pattern) {
    const auto& props = Only(pattern).properties;
    const auto it = props.find(SPDRP_LOWERFILTERS);
    return it != props.end() && std::string(it->second.data.begin(), it->second.data.end()).find("morvane") == 0;
  }

  // A virtual watch that runs `onWait` each time the command lets time pass.
  class ScriptedWatch : public VirtualDeviceChangeWatch {
   public:
    explicit ScriptedWatch(std::function<void()>& hook) : hook_(hook) {}
    void Wait(unsigned milliseconds) override {
      VirtualDeviceChangeWatch::Wait(milliseconds);
      if (hook_) hook_();
    }

   private:
    std::function<void()>& hook_;
  };

  std::unique_ptr<sim::Machine> machine;
  platform::ScopedBackend scope;
  std::function<void()> onWait;
  ScriptedWatch watch{onWait};
  CommandHost host;
  bool forwardChanges = true;
};

TEST_F(CommandTest, ListShowsTheRowsOfACategoryAsTableAndJson) {
  auto r = Run("/list mice");
  EXPECT_EQ(r.exitCode, ExitDone);
  EXPECT_EQ(r.output.rfind("Instance ID", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("Raptor Pro Gaming Mouse"), std::string::npos);
  EXPECT_EQ(r.output.find("Mass Storage"), std::string::npos);  // not a mouse
  r = Run("/list /json");
  EXPECT_EQ(r.exitCode, ExitDone);
  EXPECT_EQ(r.output.rfind("{\"version\": 1, \"category\": \"All\", \"devices\": [", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("\"instanceId\": \"USB\\\\VID_1A2C&PID_0E24\\\\"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"speed\": \"Low\""), std::string::npos);
  EXPECT_NE(r.output.find("\"rate\": \"Default\""), std::string::npos);
}

TEST_F(CommandTest, BadCommandLineAndDeviceNotFound) {
  auto r = Run("/set X /unknown");
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  EXPECT_EQ(r.output, "error: bad command line: unknown switch \"/unknown\"\r\n");
  r = Run("/set USB\\VID_FFFF* /filter on /yes");
  EXPECT_EQ(r.exitCode, ExitDeviceNotFound);
  EXPECT_NE(r.output.find("matching \"USB\\VID_FFFF*\""), std::string::npos);
  const std::string before = RegistryState(*machine);
  r = Run("/set " + kStorage + " /rate 125 /yes");  // a high-speed device's rates end at 250
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  EXPECT_NE(r.output.find("its rates are Default, 8000, 4000, 2000, 1000, 500, 250"), std::string::npos) << r.output;
  r = Run("/set " + kMouse + " /rate 8000 /yes");
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  EXPECT_EQ(RegistryState(*machine), before);
  r = Run("/snapshot x.json");
  EXPECT_EQ(r.exitCode, ExitNotAvailable);
  EXPECT_EQ(r.output, "error: /snapshot is not available in this program\r\n");
}

// /version says the project's version (the one the version resources and the release
// archive's name carry) and changes nothing.
TEST_F(CommandTest, VersionSaysTheProjectVersionAndTouchesNothing) {
  const std::string before = RegistryState(*machine);
  auto r = Run("/version");
  EXPECT_EQ(r.exitCode, ExitDone);
  EXPECT_EQ(r.output, std::string("MORVANE Setup ") + MORVANE_VERSION_TEXT + "\r\n");
  EXPECT_TRUE(std::regex_match(r.output, std::regex("MORVANE Setup [0-9]+\\.[0-9]+\\.[0-9]+\r\n"))) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  r = Run("-VERSION /out");
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  r = Run("/version /json");
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  EXPECT_EQ(r.output, "error: bad command line: /version takes only /out\r\n");
  EXPECT_EQ(ParseCommandLine("s /version /list").error,
            "only one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore and /uninstall may be given");
}

TEST_F(CommandTest, SetWritesTheFilterAndRateAndNothingWhenAsked) {
  auto r = Run("/set " + kMouse + " /filter on /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_TRUE(FilterOn(kMouse));
  EXPECT_NE(r.output.find(": rate 500"), std::string::npos) << r.output;
  const std::string written = RegistryState(*machine);
  r = Run("/set " + kMouse + " /filter on /rate 500");
  EXPECT_EQ(r.exitCode, ExitNothingToDo) << r.output;
  EXPECT_EQ(RegistryState(*machine), written);
  r = Run("/set " + kMouse + " /filter off /rate default");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_FALSE(FilterOn(kMouse));
}

TEST_F(CommandTest, ARefusedSetWritesNothingForAnyMatchedDevice) {
  // The low-speed mouse's overclocking asks Q6; the other matched device asks nothing.
  const std::string before = RegistryState(*machine);
  auto r = Run("/set USB\\VID_*&PID_4D81\\* /rate 1000");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_NE(r.output.find(SetupQuestions::Overclocking()), std::string::npos);
  // Every device: most would be written at once, the storage stick asks Q4, so none is.
  r = Run("/set USB\\VID_*\\* /filter on /rate 500");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_EQ(r.output.rfind("error: refused without /yes", 0), 0u) << r.output;
  r = Run("/set " + kStorage + " /filter on");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_NE(r.output.find(SetupQuestions::NoInterruptPipes()), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  r = Run("/set " + kLowMouse + " /rate 1000 /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(RegistryState(*machine), before);
}

TEST_F(CommandTest, NotAdministratorAndWriteRefused) {
  machine->Model().system.administrator = false;
  const std::string before = RegistryState(*machine);
  auto r = Run("/set " + kMouse + " /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitNotAdministrator);
  EXPECT_EQ(Run("/install-service /yes").exitCode, ExitNotAdministrator);
  EXPECT_EQ(RegistryState(*machine), before);
  machine->Model().system.administrator = true;
  // The journal's entry is written, the override is not.
  machine->InjectFault({"RegSetValueExA", ERROR_GEN_FAILURE, 1, 1});
  r = Run("/set " + kMouse + " /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("bInterval"), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  // Every write refused: the journal's first, so nothing is tried.
  machine->InjectFault({"RegSetValueExA", ERROR_GEN_FAILURE, 0, -1});
  r = Run("/set " + kMouse + " /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("nothing was changed: the journal of changes cannot be written"), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
}

TEST_F(CommandTest, RestartTakesTheRouteOfThatWindowsAndWaits) {
  auto r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(machine->CountCalls("SetupDiCallClassInstaller"), 1u);
  EXPECT_TRUE(machine->ShellExecutes().empty());
  EXPECT_GE(watch.Now(), SettleInterval);  // it waited for the changes to settle, on its own clock

  machine->Model().system.wow64 = true;
  r = Run("/set " + kMouse + " /restart /wait 3");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  ASSERT_EQ(machine->ShellExecutes().size(), 1u);
  EXPECT_EQ(machine->ShellExecutes()[0].file, "TALON64.EXE");
  EXPECT_EQ(machine->ShellExecutes()[0].parameters.rfind("U USB\\VID_1A2C&PID_0E24\\", 0), 0u);

  forwardChanges = false;  // the restart happens, but no change reaches the program
  const auto start = watch.Now();
  r = Run("/set " + kMouse + " /restart /wait 4");
  EXPECT_EQ(r.exitCode, ExitNotSeenInTime) << r.output;
  EXPECT_EQ(watch.Now() - start, 4000u);
}

TEST_F(CommandTest, RestartRefusedAndInstallService) {
  machine->InjectFault({"SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 0, 1});
  auto r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("(code 31"), std::string::npos) << r.output;

  const bool had = machine->FindService("morvane") != nullptr;
  r = Run("/install-service");
  if (had) {
    EXPECT_EQ(r.exitCode, ExitNothingToDo);
    r = Run("/install-service /yes");
  }
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(machine->FindService("morvane"), nullptr);
  ASSERT_FALSE(machine->ShellExecutes().empty());
  EXPECT_EQ(machine->ShellExecutes().back().verb, "install");
}

TEST_F(CommandTest, AFilterListThatCannotBeReadIsAnErrorNotNothingToDo) {
  ASSERT_LE(Run("/set " + kMouse + " /filter on /yes").exitCode, ExitNothingToDo);
  ASSERT_TRUE(FilterOn(kMouse));
  const std::pair<DWORD, std::string> errors[] = {
      {ERROR_ACCESS_DENIED, "5"}, {ERROR_INSUFFICIENT_BUFFER, "122"}, {ERROR_NO_SUCH_DEVINST, "0xE000020B"}};
  for (const auto& [error, code] : errors) {
    RegValue& filters = Only(kMouse).properties[SPDRP_LOWERFILTERS];
    const RegValue kept = filters;
    filters.readError = error;
    auto r = Run("/set " + kMouse + " /filter off");
    EXPECT_EQ(r.exitCode, ExitWriteRefused) << error << "\n" << r.output;
    EXPECT_EQ(r.output.find("already as asked"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("error: USB\\VID_1A2C&PID_0E24\\"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("cannot be read"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(code " + code), std::string::npos) << r.output;
    r = Run("/set " + kMouse + " /filter on");
    EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
    Only(kMouse).properties[SPDRP_LOWERFILTERS] = kept;
    EXPECT_TRUE(FilterOn(kMouse));  // nothing was written over the list that could not be read
  }
  EXPECT_EQ(Run("/set " + kMouse + " /filter off").exitCode, ExitDone);
  EXPECT_FALSE(FilterOn(kMouse));
}

TEST_F(CommandTest, ARateThatCannotBeReadIsAnErrorNotNothingToDo) {
  auto& key = *Only(kMouse).driverKey;
  key["bInterval"] = RegValue::Unreadable(ERROR_ACCESS_DENIED);
  const std::string before = RegistryState(*machine);
  auto r = Run("/set " + kMouse + " /rate default");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("the rate cannot be read"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("(code 5"), std::string::npos) << r.output;
  r = Run("/set " + kMouse + " /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
}

// The hub does not answer for the full-speed mouse's port, so its speed is unknown.
void ForgetSpeed(sim::Machine& machine, const std::string& pattern) {
  for (auto& device : machine.Model().devices) {
    if (!device.hub) continue;
    for (auto& connection : device.hub->connections) {
      if (!MatchesPattern(pattern, connection.device)) continue;
      connection.exFails = connection.v2Fails = connection.plainFails = true;
    }
  }
}

TEST_F(CommandTest, ARateForADeviceOfUnknownSpeedIsRefusedWithoutYes) {
  ForgetSpeed(*machine, kMouse);
  const std::string before = RegistryState(*machine);
  auto r = Run("/set " + kMouse + " /rate 1000");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_EQ(r.output.rfind("error: refused without /yes", 0), 0u) << r.output;
  EXPECT_NE(r.output.find(": its speed could not be read"), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  r = Run("/set " + kMouse + " /rate 1000 /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(Only(kMouse).driverKey->at("bInterval"), RegValue::Dword(4));
  r = Run("/set " + kMouse + " /rate 1000");  // nothing to write: nothing to ask
  EXPECT_EQ(r.exitCode, ExitNothingToDo) << r.output;
}

// Restarts: counted only when the device went away and came back, read again after.

TEST_F(CommandTest, AHelperThatRestartsNothingIsNotARestartEvenWhenAnotherDeviceArrives) {
  machine->Model().system.wow64 = true;
  machine->Model().system.helperExitCode = 0;  // starts, ends with 0, restarts nothing
  // Another device arrives 300 ms after the helper ended.
  bool added = false;
  onWait = [&] {
    if (added || watch.Now() < 300) return;
    added = true;
    sim::Device stick;
    stick.instanceId = "USB\\VID_1234&PID_5678\\ARRIVED";
    stick.parent = Only(kMouse).parent;
    stick.classGuid = sim::guids::DevClassUsb;
    machine->AddDevice(stick);
  };
  auto r = Run("/set " + kMouse + " /restart /wait 3");
  EXPECT_TRUE(added);
  EXPECT_EQ(r.exitCode, ExitNotSeenInTime) << r.output;
  EXPECT_NE(r.output.find(": the device was not seen going away within 3 s"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find(": restarted"), std::string::npos) << r.output;
  EXPECT_EQ(machine->RestartCount(Only(kMouse).instanceId), 0u);
}

TEST_F(CommandTest, TheHelperIsStartedWithItsProcessAndItsExitCodeIsRead) {
  machine->Model().system.wow64 = true;
  auto r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(machine->RestartCount(Only(kMouse).instanceId), 1u);
  const auto started = machine->CallsTo("ShellExecuteExA");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].args.rfind("0x540, null, \"TALON64.EXE\", \"U USB\\VID_1A2C&PID_0E24\\", 0), 0u)
      << started[0].args;
  EXPECT_EQ(machine->CountCalls("GetExitCodeProcess"), 1u);

  machine->Model().system.helperExitCode = 10;
  r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("TALON64.EXE ended with code 10 (the class installer did not accept the property change)"),
            std::string::npos)
      << r.output;
  machine->Model().system.helperExitCode = 3;
  EXPECT_EQ(Run("/set " + kMouse + " /restart").exitCode, ExitDeviceNotFound);
  machine->Model().system.helperExitCode.reset();
  machine->InjectFault({"ShellExecuteExA", ERROR_ACCESS_DENIED, 0, 1});
  r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("could not be started (code 5"), std::string::npos) << r.output;
}

TEST_F(CommandTest, ARebootNeededIsExitCode3010OnBothRoutes) {
  Only(kMouse).needsReboot = true;
  for (const bool wow64 : {false, true}) {
    machine->Model().system.wow64 = wow64;
    const auto start = watch.Now();
    auto r = Run("/set " + kMouse + " /restart");
    EXPECT_EQ(r.exitCode, ExitRebootNeeded) << wow64 << "\n" << r.output;
    EXPECT_EQ(r.exitCode, 3010);
    EXPECT_NE(r.output.find(": Windows must be restarted for the change to take effect"), std::string::npos) << r.output;
    EXPECT_EQ(watch.Now() - start, 0u) << "no wait for a restart that is not coming";
  }
  EXPECT_EQ(machine->RestartCount(Only(kMouse).instanceId), 0u);
  // With other devices that restart: they are restarted, and the reboot is still needed.
  machine->Model().system.wow64 = false;
  Only(kMouse).needsReboot = false;
  Only(kLowMouse).needsReboot = true;
  auto r = Run("/set USB\\VID_0??1&* /restart");  // the low-speed mouse and the storage stick
  EXPECT_EQ(r.exitCode, ExitRebootNeeded) << r.output;
  EXPECT_NE(r.output.find(": restarted\r\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(": Windows must be restarted"), std::string::npos) << r.output;
}

TEST_F(CommandTest, ADeviceThatComesBackWithAProblemIsAFailureInWords) {
  Only(kMouse).problemAfterRestart = 52;
  auto r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitDeviceProblem) << r.output;
  EXPECT_NE(r.output.find(": the device came back with problem 52: Windows cannot verify the digital signature of a "
                          "driver of the device"),
            std::string::npos)
      << r.output;
  Only(kMouse).problemAfterRestart = 0;
  Only(kMouse).problem = 0;
  // The filter attached while its service cannot start: problem 39 after the restart.
  for (auto& service : machine->Model().services) {
    if (service.name == "morvane") service.startError = ERROR_INVALID_IMAGE_HASH;
  }
  // Kept as asked: the problem is the outcome.
  r = Run("/set " + kMouse + " /filter on /restart /yes /keep-on-failure");
  EXPECT_EQ(r.exitCode, ExitDeviceProblem) << r.output;
  EXPECT_NE(r.output.find("problem 39: Windows cannot load a driver of the device"), std::string::npos) << r.output;
}

TEST_F(CommandTest, ARestartNotSeenOrUnreadableSaysSo) {
  forwardChanges = false;
  auto r = Run("/set " + kMouse + " /restart /wait 2");
  EXPECT_EQ(r.exitCode, ExitNotSeenInTime) << r.output;
  forwardChanges = true;
  machine->InjectFault({"SetupDiGetDeviceInstallParamsA", ERROR_INVALID_PARAMETER, 0, 1});
  r = Run("/set " + kMouse + " /restart");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("the restart's outcome cannot be read"), std::string::npos) << r.output;
  CommandHost noWatch;
  noWatch.watchError = "the window for device changes cannot be made (code 8)";
  r = RunParsed(ParseCommandLine("setup.exe /set " + kMouse + " /restart"), noWatch);
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_EQ(r.output, "error: /restart cannot watch the devices: the window for device changes cannot be made (code 8)\r\n");
}

// /install-service: done only when the helper says so and the service has its driver file.

TEST_F(CommandTest, AnInstallationWhoseHelperFailsIsNotDone) {
  machine->Model().system.wow64 = true;
  ASSERT_NE(machine->FindService("morvane"), nullptr);
  machine->Model().system.helperExitCode = 6;
  auto r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("TALON64.EXE ended with code 6"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("installed,"), std::string::npos) << r.output;
  machine->Model().system.helperExitCode.reset();
  r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(r.output, "service morvane installed, enabled\r\n");
}

TEST_F(CommandTest, AnInstalledServiceWithoutItsDriverFileIsNotDone) {
  auto& files = machine->Model().files;
  std::erase_if(files, [](const sim::File& f) { return f.path == "C:\\WINDOWS\\System32\\drivers\\morvane.sys"; });
  machine->Model().system.wow64 = true;
  machine->Model().system.helperExitCode = 0;  // says done, copies nothing
  auto r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("the service morvane is installed, but its driver file"), std::string::npos) << r.output;
  // The shell's installation on 32-bit Windows, with the INF's driver file missing too.
  machine->Model().system.wow64 = false;
  std::erase_if(files, [](const sim::File& f) { return f.path == "C:\\MORVANE\\morvane.sys"; });
  r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("its driver file"), std::string::npos) << r.output;
}

// /diagnose: why the filter does not load, on three PCs.

class DiagnoseTest : public CommandTest {
 protected:
  // System facts as a machine file gives them.
  void UseRegistry(const std::string& registryJson) {
    machine->Model().system.machineKeys =
        sim::Machine::ParseModel("{\"system\": {\"registry\": " + registryJson + "}}").system.machineKeys;
  }
  void ServiceStartFails(DWORD error) {
    for (auto& service : machine->Model().services) {
      if (service.name == "morvane") service.startError = error;
    }
  }
};

TEST_F(DiagnoseTest, MemoryIntegrityOnWithTheServiceRefused577) {
  UseRegistry(R"({"SYSTEM\\CurrentControlSet\\Control\\DeviceGuard\\Scenarios\\HypervisorEnforcedCodeIntegrity":
                    {"Enabled": {"dword": 1}},
                  "SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State": {"UEFISecureBootEnabled": {"dword": 1}},
                  "SYSTEM\\CurrentControlSet\\Control": {"SystemStartOptions": " NOEXECUTE=OPTIN"}})");
  ServiceStartFails(ERROR_INVALID_IMAGE_HASH);
  auto r = Run("/diagnose /json");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find("\"startError\": 577"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"memoryIntegrity\": true, \"secureBoot\": true, \"testSigning\": false"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("{\"id\": \"memory-integrity\", \"text\": \"Memory Integrity (Core isolation) is on"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("signature-secure-boot"), std::string::npos) << r.output;
  r = Run("/diagnose");
  EXPECT_NE(r.output.find("its start fails (code 577"), std::string::npos) << r.output;
}

TEST_F(DiagnoseTest, TestSigningOffWithSecureBootOn) {
  UseRegistry(R"({"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State": {"UEFISecureBootEnabled": {"dword": 1}},
                  "SYSTEM\\CurrentControlSet\\Control": {"SystemStartOptions": " NOEXECUTE=OPTIN  NOVGA"}})");
  ServiceStartFails(ERROR_INVALID_IMAGE_HASH);
  auto r = Run("/diagnose /json");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find("\"memoryIntegrity\": null, \"secureBoot\": true, \"testSigning\": false"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("{\"id\": \"signature-secure-boot\""), std::string::npos) << r.output;
  // The filter's device comes back from a restart with problem 39 then.
  ASSERT_TRUE(machine->RestartDevice(Only(kMouse).instanceId));
  r = Run("/diagnose /json");
  EXPECT_NE(r.output.find("\"devices\": [{\"instanceId\": \"USB\\\\VID_1A2C&PID_0E24\\\\6&1F2A3B4C&0&1\", \"problem\": 39}]"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("\"device-problem\""), std::string::npos) << r.output;
}

TEST_F(DiagnoseTest, EverythingFineAndTestSigningSeen) {
  UseRegistry(R"({"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State": {"UEFISecureBootEnabled": {"dword": 0}},
                  "SYSTEM\\CurrentControlSet\\Control": {"SystemStartOptions": " TESTSIGNING  NOEXECUTE=OPTIN"}})");
  auto r = Run("/diagnose /json");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find("\"running\": true, \"startError\": 0"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"secureBoot\": false, \"testSigning\": true"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"causes\": []}"), std::string::npos) << r.output;
  r = Run("/diagnose");
  EXPECT_NE(r.output.find("Nothing keeps the filter from loading"), std::string::npos) << r.output;
  // Without the service: that is the cause, and nothing is started.
  std::erase_if(machine->Model().services, [](const sim::Service& s) { return s.name == "morvane"; });
  r = Run("/diagnose /json");
  EXPECT_NE(r.output.find("{\"id\": \"not-installed\""), std::string::npos) << r.output;
  EXPECT_EQ(Run("/diagnose /yes").exitCode, ExitBadCommandLine);
}


// ---- The journal, the undo of a restart that fails, /restore and /uninstall ----

constexpr const char* kKeyboard = "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2";

class JournalTest : public CommandTest {
 protected:
  JournalTest() { TJournal::Clock() = [] { return std::string("2026-12-09T04:00:00Z"); }; }
  ~JournalTest() override { TJournal::Clock() = [] { return std::string("?"); }; }
  // The journal as the machine's registry holds it.
  std::vector<JournalEntry> Journal() {
    auto& keys = machine->Model().system.machineKeys;
    const auto key = keys.find(JournalKeyPath);
    if (key == keys.end()) return {};
    const auto value = key->second.find(JournalValueName);
    if (value == key->second.end()) return {};
    EXPECT_EQ(value->second.type, REG_BINARY);
    const JournalParse parsed =
        ParseJournal(std::string(value->second.data.begin(), value->second.data.end()));
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.entries;
  }
  std::vector<std::string> Filters(const std::string& pattern) {
    const auto& props = Only(pattern).properties;
    const auto it = props.find(SPDRP_LOWERFILTERS);
    std::vector<std::string> list;
    if (it == props.end()) return list;
    std::string current;
    for (BYTE b : it->second.data) {
      if (b != 0) {
        current += static_cast<char>(b);
      } else if (!current.empty()) {
        list.push_back(current);
        current.clear();
      }
    }
    return list;
  }
  void SetFilters(const std::string& pattern, const std::vector<std::string>& list) {
    Only(pattern).properties[SPDRP_LOWERFILTERS] = RegValue::MultiString(list);
  }
};

TEST_F(JournalTest, EverySetIsRecordedBeforeAndAfterWithTheWholeList) {
  SetFilters(kLowMouse, {"kbfilter", "ravenflt"});
  auto r = Run("/set " + kLowMouse + " /filter on /rate 125 /yes");
  ASSERT_EQ(r.exitCode, ExitDone) << r.output;
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 1u);
  const JournalEntry& e = entries[0];
  EXPECT_EQ(e.state, JournalState::Done);
  EXPECT_EQ(e.instanceId, Only(kLowMouse).instanceId);
  EXPECT_EQ(e.hardwareId.rfind("USB\\VID_0461&PID_4D81", 0), 0u) << e.hardwareId;
  EXPECT_EQ(e.command, "/set " + kLowMouse + " /filter on /rate 125");
  EXPECT_EQ(e.time, "2026-12-09T04:00:00Z");
  EXPECT_TRUE(e.filtersTouched);
  EXPECT_EQ(e.filtersBefore, (std::vector<std::string>{"kbfilter", "ravenflt"}));
  EXPECT_EQ(e.filtersAfter, (std::vector<std::string>{"morvane", "kbfilter", "ravenflt"}));
  EXPECT_TRUE(e.intervalTouched);
  EXPECT_EQ(e.intervalBefore, 0u);
  EXPECT_NE(e.intervalAfter, 0u);
  // Nothing to do writes nothing.
  r = Run("/set " + kLowMouse + " /filter on /rate 125 /yes");
  EXPECT_EQ(r.exitCode, ExitNothingToDo) << r.output;
  EXPECT_EQ(Journal().size(), 1u);
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenOrReadStopsTheChange) {
  const std::string before = RegistryState(*machine);
  machine->InjectFault({"RegSetValueExA", ERROR_ACCESS_DENIED, 0, 1});
  auto r = Run("/set " + kLowMouse + " /filter on /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("nothing was changed: the journal of changes cannot be written"), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  // A damaged journal: its reason, never a crash, and nothing changed.
  machine->Model().system.machineKeys[JournalKeyPath][JournalValueName] =
      RegValue::Binary({'M', 'O', 'R', 'V', 'A', 'N', 'E', ' ', 'J', 'O', 'U', 'R', 'N', 'A', 'L', ' ', '1', '\n', '1',
                        '\t', 'x', '\n'},
                       REG_BINARY);
  r = Run("/set " + kLowMouse + " /filter on /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("the journal is damaged: line 2: an entry has 2 fields instead of 11"), std::string::npos)
      << r.output;
  EXPECT_EQ(RegistryState(*machine), before);
  r = Run("/restore all /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("the journal is damaged"), std::string::npos) << r.output;
}

// The keyboard's stack fails to start with the filter (problem 10): the change is
// undone, the keyboard restarted again, and the journal and the output say so.
TEST_F(JournalTest, AKeyboardThatComesBackWithProblem10IsDetachedAndRestartedAgain) {
  Only(kKeyboard).problemWithFilter = 10;
  const auto restartsBefore = machine->RestartCount(kKeyboard);
  auto r = Run(std::string("/set ") + kKeyboard + " /filter on /restart /yes");
  EXPECT_EQ(r.exitCode, ExitUndone) << r.output;
  EXPECT_NE(r.output.find("the device came back with problem 10"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("the change was undone because the device did not come back healthy"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find(std::string(kKeyboard) + ": restarted\r\n"), std::string::npos) << r.output;
  EXPECT_EQ(machine->RestartCount(kKeyboard), restartsBefore + 2);
  EXPECT_TRUE(Filters(kKeyboard).empty());
  EXPECT_EQ(Only(kKeyboard).problem, 0u);
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].state, JournalState::Done);
  EXPECT_EQ(entries[0].filtersAfter, std::vector<std::string>{"morvane"});
  EXPECT_EQ(entries[1].command, std::string("undo /set ") + kKeyboard + " /filter on /restart");
  EXPECT_EQ(entries[1].state, JournalState::Done);
  EXPECT_EQ(entries[1].filtersBefore, std::vector<std::string>{"morvane"});
  EXPECT_TRUE(entries[1].filtersAfter.empty());
  // Opted out: the problem stays, and is the outcome.
  r = Run(std::string("/set ") + kKeyboard + " /filter on /restart /yes /keep-on-failure");
  EXPECT_EQ(r.exitCode, ExitDeviceProblem) << r.output;
  EXPECT_EQ(Filters(kKeyboard), std::vector<std::string>{"morvane"});
}

TEST_F(JournalTest, RestorePutsBackTheOldestEntrysValuesAndNothingElse) {
  SetFilters(kLowMouse, {"kbfilter"});
  ASSERT_EQ(Run("/set " + kLowMouse + " /filter on /rate 125 /yes").exitCode, ExitDone);
  ASSERT_EQ(Run("/set " + kLowMouse + " /rate 500 /yes").exitCode, ExitDone);
  ASSERT_EQ(Run("/set " + kStorage + " /rate 500 /yes").exitCode, ExitDone);
  // Another driver adds itself meanwhile: it stays, ours goes.
  SetFilters(kLowMouse, {"morvane", "kbfilter", "newcomer"});
  const std::string mouseBefore = RegistryState(*machine);
  auto r = Run("/restore " + kLowMouse);
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  // The question shows what the device holds and what it will hold: the newcomer stays.
  EXPECT_NE(r.output.find(Only(kLowMouse).instanceId + ": LowerFilters morvane,kbfilter,newcomer -> kbfilter,newcomer, bInterval "),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find(" -> (none) (another driver changed its LowerFilters since"), std::string::npos) << r.output;
  EXPECT_EQ(RegistryState(*machine), mouseBefore);
  r = Run("/restore " + kLowMouse + " /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(Filters(kLowMouse), (std::vector<std::string>{"kbfilter", "newcomer"}));
  EXPECT_EQ(Only(kLowMouse).driverKey->count("bInterval"), 0u);
  EXPECT_EQ(Only(kStorage).driverKey->count("bInterval"), 1u);  // not named: untouched
  EXPECT_NE(r.output.find("only this program's entry is put back"), std::string::npos) << r.output;
  r = Run("/restore all /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(Only(kStorage).driverKey->count("bInterval"), 0u);
  EXPECT_NE(r.output.find(": already as it was"), std::string::npos) << r.output;
  r = Run("/restore " + kStorage);
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_NE(r.output.find(Only(kStorage).instanceId + ": already as it was"), std::string::npos) << r.output;
  EXPECT_EQ(Run("/restore all /yes").exitCode, ExitNothingToDo);
  EXPECT_EQ(Run("/restore USB\\VID_FFFF* /yes").exitCode, ExitDeviceNotFound);
}

TEST_F(JournalTest, AnUndoCutShortIsFinishedOnTheNextRun) {
  SetFilters(kLowMouse, {"kbfilter"});
  ASSERT_EQ(Run("/set " + kLowMouse + " /filter on /yes").exitCode, ExitDone);
  // /restore records its entry, its write is refused, and so is the journal's mark:
  // the entry stays pending with what it was about to write, as after a crash.
  machine->InjectFault({"SetupDiSetDeviceRegistryPropertyA", ERROR_ACCESS_DENIED, 0, 1});
  machine->InjectFault({"RegSetValueExA", ERROR_GEN_FAILURE, 1, 1});
  auto r = Run("/restore all /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_EQ(Filters(kLowMouse), (std::vector<std::string>{"morvane", "kbfilter"}));
  auto entries = Journal();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].state, JournalState::Pending);
  EXPECT_EQ(entries[1].filtersAfter, std::vector<std::string>{"kbfilter"});
  r = Run("/set " + kStorage + " /rate 500 /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find("was not finished; it is finished now"), std::string::npos) << r.output;
  EXPECT_EQ(Filters(kLowMouse), std::vector<std::string>{"kbfilter"});
  for (const JournalEntry& e : Journal()) EXPECT_NE(e.state, JournalState::Pending) << e.sequence;
}

// Our filter among others on 20 devices: in lower case, in upper case, twice, alone,
// and one list that cannot be read.
std::string TwentyDeviceMachine() {
  std::string devices;
  const char* lists[] = {
      R"(["morvane", "ravenflt"])", R"(["kbdfix", "MORVANE", "zfilter"])", R"(["Morvane", "other", "morvane"])",
      R"(["aaa", "bbb", "morvane"])", R"(["morvane"])"};
  for (int i = 1; i <= 22; ++i) {
    char id[64];
    std::snprintf(id, sizeof id, "USB\\\\VID_AAAA&PID_%04d\\\\SN%02d", i, i);
    std::string filters = i == 7    ? R"({"error": 5})"
                          : i > 20 ? R"(["upperA", "upperB"])"
                                   : lists[i % 5];
    devices += std::string(",\n{\"id\": \"") + id +
               R"(", "parent": "USB\\ROOT_HUB30\\4&1&0&0", "class": "USB", "interfaces": ["USB_DEVICE"],
                 "properties": {"DeviceDesc": "Device )" + std::to_string(i) +
               R"(", "Service": "usbccgp", "HardwareID": ["USB\\VID_AAAA"], "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\00)" +
               std::to_string(10 + i) + R"(", "LowerFilters": )" + filters + R"(},
                 "driverKey": {"DriverDesc": "d", "bInterval": {"dword": 2}}})";
  }
  return R"({"system": {"platformId": "NT"},
  "services": [{"name": "morvane", "displayName": "morvane", "binaryPath": "\\SystemRoot\\System32\\drivers\\morvane.sys"}],
  "devices": [
    {"id": "HTREE\\ROOT\\0", "properties": {"DeviceDesc": "Root"}},
    {"id": "PCI\\VEN_8086&DEV_A36D\\3&1&0&A0", "parent": "HTREE\\ROOT\\0", "class": "USB", "interfaces": ["USB_HOST_CONTROLLER"],
     "properties": {"DeviceDesc": "xHCI", "Service": "USBXHCI", "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0000"},
     "driverKey": {"DriverDesc": "xHCI"}},
    {"id": "USB\\ROOT_HUB30\\4&1&0&0", "parent": "PCI\\VEN_8086&DEV_A36D\\3&1&0&A0", "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "Root Hub", "Service": "USBHUB3", "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0001"},
     "driverKey": {"DriverDesc": "Root Hub"}})" +
         devices + "]}";
}

TEST_F(JournalTest, UninstallTakesOnlyOurEntryOutOfTwentyDevicesAndReportsTheUnreadableOne) {
  machine = sim::Machine::FromJson(TwentyDeviceMachine());
  platform::ScopedBackend twenty(machine->Backend());
  // The override of device 3 is the program's, by the journal; the others' are not.
  ASSERT_EQ(Run("/set USB\\VID_AAAA&PID_0003\\* /rate 250 /yes").exitCode, ExitDone);
  std::map<std::string, std::vector<std::string>> before;
  for (const auto& d : machine->Model().devices) {
    if (d.instanceId.rfind("USB\\VID_AAAA", 0) == 0 && d.instanceId.find("0007") == std::string::npos) {
      before[d.instanceId] = Filters(d.instanceId);
    }
  }
  const sim::RegValue unreadable = Only("USB\\VID_AAAA&PID_0007\\*").properties.at(SPDRP_LOWERFILTERS);
  const std::string untouched = RegistryState(*machine);
  auto r = Run("/uninstall");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_NE(r.output.find("SN02: LowerFilters Morvane,other,morvane -> other"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("SN07: its LowerFilters cannot be read, it is left as it is (code 5"), std::string::npos)
      << r.output;
  EXPECT_EQ(RegistryState(*machine), untouched);

  r = Run("/uninstall /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;  // the unreadable list is an error
  EXPECT_NE(r.output.find("error: USB\\VID_AAAA&PID_0007\\SN07: its LowerFilters cannot be read"), std::string::npos)
      << r.output;
  // Every other filter in its order; ours gone however it was written.
  for (const auto& [id, list] : before) {
    std::vector<std::string> expected;
    for (const std::string& f : list) {
      if (ToLowerAscii(f) != "morvane") expected.push_back(f);
    }
    EXPECT_EQ(Filters(id), expected) << id;
    if (expected.empty()) {
      EXPECT_EQ(Only(id).properties.count(SPDRP_LOWERFILTERS), 0u) << id;
    }
  }
  EXPECT_EQ(Only("USB\\VID_AAAA&PID_0007\\*").properties.at(SPDRP_LOWERFILTERS), unreadable);
  EXPECT_EQ(Only("USB\\VID_AAAA&PID_0003\\*").driverKey->count("bInterval"), 0u);  // ours: deleted
  EXPECT_EQ(Only("USB\\VID_AAAA&PID_0004\\*").driverKey->count("bInterval"), 1u);  // not ours: kept
  // A device may still name the filter: the service stays, and says so.
  EXPECT_NE(machine->FindService("morvane"), nullptr);
  EXPECT_NE(r.output.find("service morvane is kept"), std::string::npos) << r.output;
  // Once the list reads, the next run finishes the job and removes the service.
  machine->FindDevice("USB\\VID_AAAA&PID_0007\\SN07")->properties[SPDRP_LOWERFILTERS] =
      RegValue::MultiString({"x", "morvane"});
  r = Run("/uninstall /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(Filters("USB\\VID_AAAA&PID_0007\\*"), std::vector<std::string>{"x"});
  EXPECT_EQ(machine->FindService("morvane"), nullptr);
  EXPECT_NE(r.output.find("service morvane removed"), std::string::npos) << r.output;
  EXPECT_EQ(Run("/uninstall /yes").exitCode, ExitNothingToDo);
  EXPECT_EQ(machine->LeakReport(), "");
}

// The installation of the service is recorded before it starts and marked after it;
// /uninstall then says that this program installed the service it removes.
TEST_F(JournalTest, TheServiceInstallationIsRecordedAndUninstallSaysWhoInstalledIt) {
  ASSERT_NE(machine->FindService("morvane"), nullptr);
  auto r = Run("/uninstall");
  EXPECT_EQ(r.exitCode, ExitRefusedWithoutYes) << r.output;
  EXPECT_NE(r.output.find("service morvane: removed (the journal does not say this program installed it)"),
            std::string::npos)
      << r.output;
  // A journal that cannot be written: nothing is started.
  const std::size_t startsBefore = machine->ShellExecutes().size();
  machine->InjectFault({"RegSetValueExA", ERROR_ACCESS_DENIED, 0, 1});
  r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitWriteRefused) << r.output;
  EXPECT_NE(r.output.find("nothing was changed: the journal of changes cannot be written"), std::string::npos)
      << r.output;
  EXPECT_EQ(machine->ShellExecutes().size(), startsBefore);
  EXPECT_TRUE(Journal().empty());
  r = Run("/install-service /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  const auto entries = Journal();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].instanceId.empty());
  EXPECT_EQ(entries[0].service, "installed");
  EXPECT_EQ(entries[0].state, JournalState::Done);
  EXPECT_EQ(entries[0].command.rfind("/install-service", 0), 0u) << entries[0].command;
  r = Run("/uninstall");
  EXPECT_NE(r.output.find("service morvane: removed (installed by this program at 2026-12-09T04:00:00Z)"),
            std::string::npos)
      << r.output;
}

TEST_F(JournalTest, InSafeModeTheRegistryIsChangedAndTheLineSaysWhen) {
  machine->Model().system.machineKeys["SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Option"]["OptionValue"] =
      RegValue::Dword(1);
  ASSERT_EQ(Run("/set " + kLowMouse + " /filter on /yes").exitCode, ExitDone);
  auto r = Run("/restore all /restart /yes");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find("Safe Mode: the registry is changed, the devices change at the next start of Windows"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(machine->RestartCount(Only(kLowMouse).instanceId), 0u);
  EXPECT_FALSE(FilterOn(kLowMouse));
}

}  // namespace
}  // namespace morvane::cli

namespace morvane::cli {
namespace {

// /measure over the simulated machine's Raw Input: the players' streams are read as
// the simulated counter moves on with the command's waits.
class MeasureTest : public CommandTest {
 protected:
  class SimInput : public IInputWindow {
   public:
    explicit SimInput(sim::Machine& machine) : machine_(machine) {}
    HWND Window() override { return window; }
    std::string Error() override { return "no window in this test"; }
    void Wait(unsigned milliseconds, const std::function<void(HRAWINPUT)>& onInput) override {
      waited += milliseconds;
      // In steps of 1 ms, a few WM_INPUT handled on their own, the rest left queued
      // for the command's buffered read, as a busy message loop would.
      for (unsigned ms = 0; ms < milliseconds; ++ms) {
        machine_.RawInput().Advance(10'000);
        if (ms % 10 == 0) {
          if (HRAWINPUT input = machine_.RawInput().NextMessage()) onInput(input);
        }
      }
    }
    HWND window = reinterpret_cast<HWND>(0x5151);
    unsigned waited = 0;

   private:
    sim::Machine& machine_;
  };

  MeasureTest() { host.input = &input; }
  ~MeasureTest() override { ForgetSessionChanges(); }

  void Play(const std::string& device, std::uint32_t rate) {
    sim::RawInputStream stream;
    stream.device = device;
    stream.rate = rate;
    stream.start = machine->RawInput().Now() + 1;
    machine->RawInput().Play(stream);
  }

  SimInput input{*machine};
};

const char* const kGaming = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
const char* const kOptical = "USB\\VID_0461&PID_4D81\\7&3B9C1D2E&0&1";
const char* const kHubRow = "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3";

TEST_F(MeasureTest, TheGamingMouseReachesItsOverrideAndTheExitCodeSaysSo) {
  Play(kGaming, 1000);
  Play(kOptical, 125);
  const auto r = Run(std::string("/measure ") + kGaming + " /seconds 2");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_EQ(input.waited, 2000u);
  EXPECT_EQ(r.output,
            std::string("Device: USB Composite Device - Raptor Pro Gaming Mouse (") + kGaming + ")\r\n"
            "Measured: 2 s\r\n"
            "Rate: 1000 reports/s\r\n"
            "Expected: 1000 reports/s\r\n"
            "Interval: min 1.00 ms, median 1.00 ms, p99 1.00 ms, max 1.00 ms\r\n"
            "Reports: 2000\r\n"
            "Late (over 1.5x expected): 0.0 %\r\n"
            "Histogram: <0.9x 0 | 0.9-1.1x 1999 | 1.1-1.5x 0 | 1.5-3x 0 | >3x 0\r\n"
            "Verdict: Reaches 1000 reports/s, as set.\r\n");
  // Unregistered at the end: nothing is queued for the window afterwards.
  EXPECT_FALSE(machine->RawInput().IsRegistered(1, 2));
}

TEST_F(MeasureTest, JsonCarriesTheFiguresAndTheVerdict) {
  Play(kGaming, 8000);
  const auto r = Run(std::string("/measure ") + kGaming + " /seconds 1 /json");
  EXPECT_EQ(r.exitCode, ExitRateNotReached) << r.output;  // 8000 of the expected 1000: not as set
  EXPECT_EQ(r.output.rfind("{\"version\": 1, \"device\": \"USB\\\\VID_1A2C&PID_0E24\\\\6&1F2A3B4C&0&1\"", 0), 0u)
      << r.output;
  for (const char* field :
       {"\"seconds\": 1,", "\"reports\": 8000,", "\"rate\": 8000,", "\"expectedRate\": 1000,",
        "\"afterRestart\": false,", "\"fromOverride\": true,", "\"medianUs\": 125,", "\"p99Us\": 125,",
        "\"maxUs\": 125,", "\"latePercent\": 0.0,",
        "\"intervals\": 2000,", "\"histogram\": {\"<0.9x\": 2000, \"0.9-1.1x\": 0, \"1.1-1.5x\": 0, \"1.5-3x\": 0, \">3x\": 0}",
        "\"motionLimited\": false,", "\"reached\": false,",
        "\"verdict\": \"Reaches 8000 reports/s, more than the expected 1000.\"}\r\n"}) {
    EXPECT_NE(r.output.find(field), std::string::npos) << field << "\n" << r.output;
  }
}

TEST_F(MeasureTest, AHubRowMeasuresTheMouseBelowItAtItsOwnRate) {
  Play(kOptical, 125);
  const auto r = Run(std::string("/measure ") + kHubRow + " /seconds 2");
  EXPECT_EQ(r.exitCode, ExitDone) << r.output;
  EXPECT_NE(r.output.find(std::string("(") + kOptical + ")"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Expected: 125 reports/s\r\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Verdict: Reaches 125 reports/s, as the device asks.\r\n"), std::string::npos) << r.output;
}

TEST_F(MeasureTest, AnOverrideThatNoFilterReadsIsNotReached) {
  (*Only(kOptical).driverKey)["bInterval"] = sim::RegValue::Dword(1);
  Play(kOptical, 125);
  const auto r = Run(std::string("/measure ") + kOptical + " /seconds 2");
  EXPECT_EQ(r.exitCode, ExitRateNotReached) << r.output;
  EXPECT_NE(r.output.find("Verdict: Stays at 125 reports/s: the override is not active (the filter is not attached).\r\n"),
            std::string::npos)
      << r.output;
}

TEST_F(MeasureTest, ReportsThatFollowTheMotionGiveNoRate) {
  // Two players on one mouse: reports at uneven gaps of several polls, as a slow hand gives.
  Play(kGaming, 310);
  Play(kGaming, 170);
  const auto r = Run(std::string("/measure ") + kGaming + " /seconds 2");
  EXPECT_EQ(r.exitCode, ExitRateNotReached) << r.output;
  EXPECT_NE(r.output.find("Rate: - (the reports follow the motion)\r\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Verdict: Move the mouse faster: the reports follow the motion.\r\n"), std::string::npos)
      << r.output;
}

TEST_F(MeasureTest, NoMouseNoWindowNoRawInput) {
  auto r = Run("/measure USB\\VID_0951*");  // the flash disk: no mouse
  EXPECT_EQ(r.exitCode, ExitDeviceNotFound);
  EXPECT_EQ(r.output, "error: no present USB device with a mouse matches USB\\VID_0951*\r\n");
  EXPECT_EQ(input.waited, 0u);

  r = Run("/measure USB\\*");  // the gaming and the optical mouse
  EXPECT_EQ(r.exitCode, ExitBadCommandLine);
  EXPECT_EQ(r.output, std::string("error: USB\\* matches 2 mice: ") + kGaming + ", " + kOptical +
                          "; /measure takes one\r\n");  // the hub's row leads to the optical mouse too

  input.window = nullptr;
  r = Run(std::string("/measure ") + kGaming);
  EXPECT_EQ(r.exitCode, ExitWriteRefused);
  EXPECT_EQ(r.output, "error: the window that receives the reports cannot be made: no window in this test\r\n");

  input.window = reinterpret_cast<HWND>(0x5151);
  machine->InjectFault({"RegisterRawInputDevices", ERROR_ACCESS_DENIED});
  r = Run(std::string("/measure ") + kGaming);
  EXPECT_EQ(r.exitCode, ExitWriteRefused);
  EXPECT_EQ(r.output.rfind("error: Raw Input refused the mice's reports (code 5", 0), 0u) << r.output;
  EXPECT_EQ(input.waited, 0u);

  host.input = nullptr;
  r = Run(std::string("/measure ") + kGaming);
  EXPECT_EQ(r.exitCode, ExitNotAvailable);
}

}  // namespace
}  // namespace morvane::cli
