// Loading machine files: the whole model, clear messages for bad files, and the
// built-in default machine.
#include <fstream>
#include <string>
#include <vector>

#include "tests/sim/device_test_machine.h"

namespace simtest {
namespace {

std::string LoadError(const std::string& text) {
  try {
    sim::Machine::ParseModel(text);
  } catch (const sim::MachineFileError& e) {
    return e.what();
  }
  return "(loaded)";
}

// A valid tree to break in one place: root, controller, hub with a port.
std::string Tree(const std::string& extraDevice = "", const std::string& hubExtra = "") {
  return R"({"devices": [
    {"id": "R\\0"},
    {"id": "PCI\\C\\1", "parent": "R\\0", "class": "USB"},
    {"id": "USB\\HUB\\1", "parent": "PCI\\C\\1", "class": "USB", "interfaces": ["USB_HUB"],
     "hub": {"connections": [{"port": 1, "device": "USB\\D\\1"})" + hubExtra + R"(]}},
    {"id": "USB\\D\\1", "parent": "USB\\HUB\\1"})" + extraDevice + "]}";
}

TEST(MachineFile, ReadsEveryPartOfTheModel) {
  const sim::MachineModel model = sim::Machine::ParseModel(R"({
    "system": {"platformId": "9x", "wow64": true, "windowsDirectory": "D:\\WIN", "heldPrivileges": ["A"],
               "messages": {"5": "Access is denied.\r\n"}},
    "devices": [
      {"id": "R\\0"},
      {"id": "USB\\HUB\\1", "parent": "R\\0", "class": "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}",
       "present": false, "problem": 28, "status": 10, "statusFails": true,
       "properties": {"DeviceDesc": "Hub", "Address": 3, "HardwareID": ["a", "b"], "30": {"type": 3, "hex": "0a 0B"}},
       "interfaces": ["USB_HUB", "{4D1E55B2-F16F-11CF-88CB-001111000030}"],
       "driverKey": {"bInterval": {"dword": 1}, "Q": {"qword": 5}, "S": "text"}, "hardwareKey": null,
       "hub": {"nodeType": "miParent", "ports": 7, "nodeInfoFails": true, "connections": [
         {"port": 2, "device": "R\\0", "speed": "superPlus", "v2Flags": 5, "openPipes": -1, "actualLength": 9,
          "driverKeyName": "K", "fail": ["ex", "v2", "plain", "driverKey"],
          "pipes": [{"type": "bulk", "interval": 0, "endpoint": 2, "maxPacket": 512, "scheduleOffset": 3},
                    {"attributes": 131}]}]}}],
    "services": [{"name": "morvane", "startType": "disabled", "state": "running", "startError": 1275,
                  "type": "kernelDriver", "binaryPath": "x"}],
    "files": [{"path": "C:\\a.sys", "version": {"fileVersion": "1.0", "language": 7, "codePage": 1252,
               "translation": false}, "loadable": false, "versionInfoApi": false},
              {"path": "C:\\b.inf", "version": null, "content": "[Version]"}]
  })");
  EXPECT_EQ(model.system.platformId, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_TRUE(model.system.wow64);
  EXPECT_EQ(model.system.windowsDirectory, "D:\\WIN");
  EXPECT_EQ(model.system.messages.at(5), "Access is denied.\r\n");
  ASSERT_EQ(model.devices.size(), 2u);
  const sim::Device& hub = model.devices[1];
  EXPECT_FALSE(hub.present);
  EXPECT_EQ(hub.problem, 28u);
  EXPECT_EQ(hub.status, 10u);
  EXPECT_TRUE(hub.statusFails);
  EXPECT_EQ(hub.properties.at(SPDRP_ADDRESS), sim::RegValue::Dword(3));
  EXPECT_EQ(hub.properties.at(SPDRP_HARDWAREID), sim::RegValue::MultiString({"a", "b"}));
  EXPECT_EQ(hub.properties.at(30), sim::RegValue::Binary({0x0A, 0x0B}, 3));
  ASSERT_EQ(hub.interfaces.size(), 2u);
  EXPECT_TRUE(IsEqualGUID(hub.interfaces[1], sim::guids::InterfaceHid));
  EXPECT_EQ(hub.driverKey->at("Q"), sim::RegValue::Qword(5));
  EXPECT_EQ(hub.driverKey->at("S"), sim::RegValue::String("text"));
  EXPECT_FALSE(hub.hardwareKey.has_value());
  EXPECT_EQ(hub.hub->nodeType, 1u);
  EXPECT_EQ(hub.hub->numberOfPorts, 7);
  const sim::PortConnection& port = hub.hub->connections.at(0);
  EXPECT_EQ(port.speed, 4);
  EXPECT_EQ(port.openPipesOverride, -1);
  EXPECT_TRUE(port.exFails && port.v2Fails && port.plainFails && port.driverKeyFails);
  EXPECT_EQ(port.pipes.at(0).maxPacketSize, 512);
  EXPECT_EQ(port.pipes.at(1).attributes, 131);
  EXPECT_EQ(model.services.at(0).startType, SERVICE_DISABLED);
  EXPECT_EQ(model.services.at(0).startError, ERROR_DRIVER_BLOCKED);
  EXPECT_FALSE(model.files.at(0).version->hasTranslation);
  EXPECT_EQ(model.files.at(0).version->codePage, 1252);
  EXPECT_FALSE(model.files.at(1).version.has_value());
}

TEST(MachineFile, NumberBeyondADoubleIsAMachineFileError) {
  // The JSON parser raises its own out-of-range error for these; the loader raises
  // only MachineFileError.
  EXPECT_EQ(LoadError(R"({"system": {"platformId": 1e400}})"), "/: invalid JSON: number overflow parsing '1e400'");
  EXPECT_EQ(LoadError("[-6e73797300]"), "/: invalid JSON: number overflow parsing '-6e73797300'");
  EXPECT_THROW(sim::Machine::FromJson(R"({"devices": [{"id": "A", "problem": 2e308}]})"), sim::MachineFileError);
}

TEST(MachineFile, BadFilesNameThePlaceAndTheProblem) {
  EXPECT_EQ(LoadError(Tree()), "(loaded)");
  EXPECT_EQ(LoadError("{\n  \"devices\": [,]\n}").rfind("/: invalid JSON at line 2, column 15", 0), 0u)
      << LoadError("{\n  \"devices\": [,]\n}");
  EXPECT_EQ(LoadError(R"({"device": []})"), "/device: unknown key \"device\"");
  EXPECT_EQ(LoadError(R"({"devices": [{"id": 5}]})"), "/devices/0/id: expected a string");
  EXPECT_EQ(LoadError(R"({"devices": {}})"), "/devices: expected an array");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "class": "Mice"})")).substr(0, 45),
            "/devices/4/class: unknown setup class \"Mice\";");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "usb\\d\\1", "parent": "R\\0"})")),
            "/devices/4/id: the instance ID \"usb\\d\\1\" is used twice (first at /devices/3)");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "NOPE\\0"})")),
            "/devices/4/parent: no device has the instance ID \"NOPE\\0\"");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1"})")),
            "/devices/4: a second root device (the first is /devices/0); every other device needs a \"parent\"");
  EXPECT_EQ(LoadError(R"({"devices": [{"id": "A", "parent": "B"}, {"id": "B", "parent": "A"}]})"),
            "/devices: no root device: one device must have no \"parent\"");
  EXPECT_EQ(LoadError(R"({"devices": [{"id": "R"}, {"id": "A", "parent": "B"}, {"id": "B", "parent": "A"}]})"),
            "/devices/1/parent: the parents form a cycle");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 1})")),
            "/devices/2/hub/connections/1/port: port 1 is listed twice (first at /devices/2/hub/connections/0)");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2, "device": "USB\\GONE\\1"})")),
            "/devices/2/hub/connections/1/device: no device has the instance ID \"USB\\GONE\\1\"");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2, "speed": 256})")),
            "/devices/2/hub/connections/1/speed: expected an integer from 0 to 255");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 0})")),
            "/devices/2/hub/connections/1/port: expected an integer from 1 to 255");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2.5})")),
            "/devices/2/hub/connections/1/port: expected an integer from 1 to 255");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2, "pipes": [{"type": "interupt"}]})")).substr(0, 60),
            "/devices/2/hub/connections/1/pipes/0/type: unknown name \"int");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "driverKey": {"v": {"dword": -1}}})")),
            "/devices/4/driverKey/v/dword: expected an integer from 0 to 4294967295");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "driverKey": {"v": {"type": 3, "hex": "abc"}}})")),
            "/devices/4/driverKey/v/hex: expected hex digits in pairs, such as \"0a0b\"");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "properties": {"Nmae": "x"}})")).substr(0, 42),
            "/devices/4/properties/Nmae: unknown proper");
  EXPECT_EQ(LoadError(R"({"services": [{"name": "a"}, {"name": "A"}]})"),
            "/services/1/name: the service \"A\" is listed twice");
  EXPECT_EQ(LoadError(R"({"files": [{"version": null}]})"), "/files/0: missing \"path\"");
  EXPECT_EQ(LoadError(R"([1, 2])"), "/: expected an object");
}

TEST(MachineFile, ReadsFailuresWithTheirErrorCodesAndTextsGivenByteForByte) {
  const sim::MachineModel model = sim::Machine::ParseModel(R"({
    "system": {"windowsDirectory": {"ansi": "C:\\WIND\u00c9"}, "serviceManagerError": 1115},
    "devices": [
      {"id": {"ansi": "R\\\u00e9"}},
      {"id": "USB\\HUB\\1", "parent": {"ansi": "R\\\u00e9"}, "driverKeyError": 5, "hardwareKeyError": 1015,
       "properties": {"FriendlyName": {"error": 1117}, "DeviceDesc": {"ansi": "Ger\u00e4t"},
                      "HardwareID": [{"ansi": "\u00ff"}, "b"]},
       "driverKey": {"bInterval": {"error": 5}},
       "hub": {"nodeInfoFails": 21, "openError": 32, "connections": [
         {"port": 1, "fail": {"ex": 1167, "plain": 21, "v2": 50, "driverKey": 5, "driverKeyName": 31}},
         {"port": 2, "fail": ["ex"], "driverKeyName": {"ansi": "K\u00e9"}}]}}],
    "services": [{"name": {"ansi": "s\u00e9"}, "openError": 5, "configError": 1060, "statusError": 6,
                  "binaryPath": {"ansi": "\u00e9.sys"}}],
    "files": [{"path": "C:\\a.sys", "openError": 32},
              {"path": "C:\\b.sys", "loadError": 5, "resourceError": 1812, "versionError": 1392}]
  })");
  EXPECT_EQ(model.system.windowsDirectory, "C:\\WIND\xC9");
  EXPECT_EQ(model.devices.at(0).instanceId, "R\\\xE9");
  const sim::Device& hub = model.devices.at(1);
  EXPECT_EQ(hub.parent, "R\\\xE9");
  EXPECT_EQ(hub.driverKeyError, 5u);
  EXPECT_EQ(hub.hardwareKeyError, 1015u);
  EXPECT_EQ(hub.properties.at(SPDRP_FRIENDLYNAME), sim::RegValue::Unreadable(1117));
  EXPECT_EQ(hub.properties.at(SPDRP_DEVICEDESC), sim::RegValue::String("Ger\xE4t"));
  EXPECT_EQ(hub.properties.at(SPDRP_HARDWAREID), sim::RegValue::MultiString({"\xFF", "b"}));
  EXPECT_EQ(hub.driverKey->at("bInterval").readError, 5u);
  EXPECT_TRUE(hub.hub->nodeInfoFails);
  EXPECT_EQ(hub.hub->nodeInfoError, 21u);
  EXPECT_EQ(hub.hub->openError, 32u);
  const sim::PortConnection& one = hub.hub->connections.at(0);
  EXPECT_TRUE(one.exFails && one.plainFails && one.v2Fails && one.driverKeyFails);
  EXPECT_EQ(one.exError, 1167u);
  EXPECT_EQ(one.plainError, 21u);
  EXPECT_EQ(one.v2Error, 50u);
  EXPECT_EQ(one.driverKeyError, 5u);
  EXPECT_TRUE(one.driverKeyNameFails);
  EXPECT_EQ(one.driverKeyNameError, 31u);
  const sim::PortConnection& two = hub.hub->connections.at(1);
  EXPECT_TRUE(two.exFails);
  EXPECT_EQ(two.exError, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_FALSE(two.plainFails);
  EXPECT_FALSE(two.driverKeyNameFails);
  EXPECT_EQ(model.system.serviceManagerError, 1115u);
  EXPECT_EQ(model.files.at(0).openError, 32u);
  EXPECT_EQ(model.files.at(0).loadError, 0u);
  EXPECT_EQ(model.files.at(1).openError, 0u);
  EXPECT_EQ(model.files.at(1).loadError, 5u);
  EXPECT_EQ(model.files.at(1).resourceError, 1812u);
  EXPECT_EQ(model.files.at(1).versionError, 1392u);
  EXPECT_EQ(two.driverKeyName, "K\xE9");
  const sim::Service& service = model.services.at(0);
  EXPECT_EQ(service.name, "s\xE9");
  EXPECT_EQ(service.binaryPath, "\xE9.sys");
  EXPECT_EQ(service.openError, 5u);
  EXPECT_EQ(service.configError, 1060u);
  EXPECT_EQ(service.statusError, 6u);

  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "driverKeyError": 0})")),
            "/devices/4/driverKeyError: expected an integer from 1 to 4294967295");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": {"ansi": "X\u20ac"}, "parent": "R\\0"})")),
            "/devices/4/id/ansi: expected characters U+0000 to U+00FF, one per byte");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": {"ansi": "X", "more": 1}, "parent": "R\\0"})")),
            "/devices/4/id: expected a string");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2, "fail": {"exx": 5}})")),
            "/devices/2/hub/connections/1/fail/exx: unknown control \"exx\"; expected \"ex\", \"v2\", \"plain\", "
            "\"driverKey\" or \"driverKeyName\"");
  EXPECT_EQ(LoadError(R"({"files": [{"path": "C:\\a.sys", "versionError": 0}]})"),
            "/files/0/versionError: expected an integer from 1 to 4294967295");
  EXPECT_EQ(LoadError(R"({"system": {"serviceManagerError": -5}})"),
            "/system/serviceManagerError: expected an integer from 1 to 4294967295");
  EXPECT_EQ(LoadError(Tree("", R"(, {"port": 2, "fail": {"ex": true}})")),
            "/devices/2/hub/connections/1/fail/ex: expected an integer from 1 to 4294967295");
  EXPECT_EQ(LoadError(Tree(R"(, {"id": "X\\1", "parent": "R\\0", "driverKey": {"v": {"error": 5, "dword": 1}}})"))
                .substr(0, 50),
            "/devices/4/driverKey/v: expected a registry value:");
  EXPECT_EQ(LoadError(R"({"devices": [{"id": "R", "hub": {"nodeInfoFails": "yes"}}]})"),
            "/devices/0/hub/nodeInfoFails: expected true or false or an error code");
}

TEST(MachineFile, MissingFileAndFailedLoadsLeaveNoMachine) {
  try {
    sim::Machine::FromFile("/nonexistent/machine.json");
    FAIL() << "loaded";
  } catch (const sim::MachineFileError& e) {
    EXPECT_EQ(std::string(e.what()), "/nonexistent/machine.json: the machine file cannot be read");
  }
  const std::string path = ::testing::TempDir() + "bad-machine.json";
  std::ofstream(path) << R"({"devices": [{"id": "R"}, {"id": "X", "parent": "R", "hub": {"ports": 300}}]})";
  try {
    sim::Machine::FromFile(path);
    FAIL() << "loaded";
  } catch (const sim::MachineFileError& e) {
    EXPECT_EQ(std::string(e.what()), path + ": /devices/1/hub/ports: expected an integer from 0 to 255");
  }
}

class DefaultMachine : public MachineTest {
 protected:
  DefaultMachine() : MachineTest(sim::Machine::Default()) {}

  std::vector<std::string> ChildrenOf(const std::string& id) {
    std::vector<std::string> ids;
    DEVINST child = 0;
    if (Cm().CM_Get_Child(&child, machine_->DevInstOf(id), 0) != CR_SUCCESS) return ids;
    do {
      char buffer[256];
      EXPECT_EQ(Cm().CM_Get_Device_IDA(child, buffer, sizeof(buffer), 0), CR_SUCCESS);
      ids.push_back(buffer);
    } while (Cm().CM_Get_Sibling(&child, child, 0) == CR_SUCCESS);
    return ids;
  }

  std::size_t SetCount(const GUID* guid, LPCSTR enumerator, DWORD flags) {
    platform::UniqueDevInfo set(Di().SetupDiGetClassDevsA(guid, enumerator, nullptr, flags));
    return machine_->SetSize(set.Get());
  }
};

TEST_F(DefaultMachine, LoadsWithTheTreeInDeviceManagerOrder) {
  EXPECT_EQ(machine_->DevInstOf("HTREE\\ROOT\\0"), 1u);
  EXPECT_EQ(ChildrenOf("HTREE\\ROOT\\0"), std::vector<std::string>{"ACPI\\PNP0A08\\0"});
  EXPECT_EQ(ChildrenOf("ACPI\\PNP0A08\\0"),
            (std::vector<std::string>{"PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10\\3&11583659&0&A0",
                                      "PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04\\3&11583659&0&D0",
                                      "PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01\\4&2A3E1F0&0&000A"}));
  EXPECT_EQ(ChildrenOf("USB\\ROOT_HUB30\\4&2A7C8D4&0&0"),
            (std::vector<std::string>{"USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1", "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2",
                                      "USB\\VID_05E3&PID_0610\\6&1F2A3B4C&0&3",
                                      "USB\\VID_0951&PID_1666\\60A44C413B8DF1B0C9B800F6",
                                      "USB\\VID_0BDA&PID_B812\\123456", "USB\\VID_1A2C&PID_7A11\\6&1F2A3B4C&0&6"}));
  EXPECT_EQ(ChildrenOf("USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2"),
            (std::vector<std::string>{"USB\\VID_1A2C&PID_2124&MI_00\\7&1A9B8C7D&0&0000",
                                      "USB\\VID_1A2C&PID_2124&MI_01\\7&1A9B8C7D&0&0001"}));

  EXPECT_EQ(SetCount(&sim::guids::InterfaceUsbDevice, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), 8u);
  EXPECT_EQ(SetCount(&sim::guids::InterfaceUsbHostController, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), 2u)
      << "the AMD controller registers no host-controller interface";
  EXPECT_EQ(SetCount(nullptr, "USB", DIGCF_PRESENT | DIGCF_ALLCLASSES), 15u);
  EXPECT_EQ(machine_->FindService("morvane")->state, SERVICE_STOPPED);
  EXPECT_NE(machine_->FindFile("C:\\MORVANE\\TALON64.EXE"), nullptr);
}

}  // namespace
}  // namespace simtest
