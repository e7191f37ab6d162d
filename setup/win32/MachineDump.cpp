#include "setup/win32/MachineDump.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace morvane::win {
namespace {

using nlohmann::json;

std::string Hex(const std::vector<BYTE>& bytes) {
  std::string text;
  char digits[3];
  for (BYTE b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

// The strings of a REG_SZ or REG_MULTI_SZ value, each up to its NUL.
std::vector<std::string> Strings(const std::vector<BYTE>& data) {
  std::vector<std::string> strings;
  std::string current;
  for (BYTE b : data) {
    if (b != 0) {
      current.push_back(static_cast<char>(b));
    } else if (!current.empty()) {
      strings.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) strings.push_back(std::move(current));
  return strings;
}

json Value(const sim::RegValue& value) {
  json v;
  switch (value.type) {
    case REG_DWORD: {
      DWORD number = 0;
      if (value.data.size() >= sizeof number) std::memcpy(&number, value.data.data(), sizeof number);
      v = {{"type", "REG_DWORD"}, {"value", number}};
      break;
    }
    case REG_SZ: {
      const auto strings = Strings(value.data);
      v = {{"type", "REG_SZ"}, {"value", strings.empty() ? std::string() : strings.front()}};
      break;
    }
    case REG_MULTI_SZ:
      v = {{"type", "REG_MULTI_SZ"}, {"value", Strings(value.data)}};
      break;
    default:
      v = {{"type", value.type}, {"hex", Hex(value.data)}};
      break;
  }
  return v;
}

json Values(const sim::ValueMap& values) {
  json object = json::object();
  for (const auto& [name, value] : values) object[name] = Value(value);
  return object;
}

}  // namespace

std::string MachineStateJson(const sim::MachineModel& model, const GridTexts& grid) {
  json devices = json::array();
  for (const auto& device : model.devices) {
    json d;
    d["instanceId"] = device.instanceId;
    d["present"] = device.present;
    d["problem"] = device.problem;
    const auto filters = device.properties.find(SPDRP_LOWERFILTERS);
    d["lowerFilters"] = filters == device.properties.end() ? json::array() : json(Strings(filters->second.data));
    d["driverKey"] = device.driverKey ? Values(*device.driverKey) : json(nullptr);
    devices.push_back(std::move(d));
  }
  json services = json::array();
  for (const auto& service : model.services) {
    services.push_back({{"name", service.name}, {"startType", service.startType}, {"state", service.state}});
  }
  json rows = json::array();
  for (const auto& [cell, text] : grid) {
    const auto [row, col] = cell;
    while (static_cast<int>(rows.size()) <= row) rows.push_back(json::array());
    while (static_cast<int>(rows[static_cast<std::size_t>(row)].size()) <= col) {
      rows[static_cast<std::size_t>(row)].push_back("");
    }
    rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = text;
  }
  // The keys below HKEY_LOCAL_MACHINE, and the program's journal of changes as the
  // lines it holds (the journal is text in a REG_BINARY value).
  json registry = json::object();
  json journal = nullptr;
  for (const auto& [path, values] : model.system.machineKeys) {
    registry[path] = Values(values);
    if (path == "SOFTWARE\\Morvane") {
      const auto value = values.find("Journal");
      if (value != values.end()) {
        journal = json::array();
        std::string line;
        for (BYTE b : value->second.data) {
          if (b == '\n') {
            journal.push_back(line);
            line.clear();
          } else {
            line += static_cast<char>(b);
          }
        }
        if (!line.empty()) journal.push_back(line);
      }
    }
  }
  json state = {{"devices", devices}, {"services", services}, {"grid", rows}, {"registry", registry},
                {"journal", journal}};
  return state.dump(2);
}

std::string MachineStateJson(const sim::MachineModel& model, const GridTexts& grid,
                             const std::vector<std::string>& meterTexts) {
  json state = json::parse(MachineStateJson(model, grid));
  state["meter"] = meterTexts;
  return state.dump(2);
}

}  // namespace morvane::win
