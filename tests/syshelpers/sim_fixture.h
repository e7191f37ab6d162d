// A simulated machine with only its system side, installed as the current backend
// for one test; every test ends with nothing left open.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/system_services.h"

namespace syshelpers_test {

inline platform::Backend SystemBackend(sim::SystemServices& services) {
  platform::Backend backend;
  backend.files = &services;
  backend.serviceControl = &services;
  backend.user = &services;
  backend.memory = &services;
  backend.system = &services;
  backend.security = &services;
  return backend;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { scope_.emplace(SystemBackend(services)); }
  void TearDown() override {
    EXPECT_EQ(core.LeakReport(), "");
    scope_.reset();
  }

  std::vector<std::string> ArgsOf(const std::string& function) const {
    std::vector<std::string> args;
    for (const sim::Call& call : core.Calls()) {
      if (call.function == function) args.push_back(call.args);
    }
    return args;
  }
  // The functions called, in order, restricted to those named.
  std::vector<std::string> Sequence(const std::vector<std::string>& names) const {
    std::vector<std::string> order;
    for (const sim::Call& call : core.Calls()) {
      for (const std::string& name : names) {
        if (call.function == name) order.push_back(name);
      }
    }
    return order;
  }

  sim::MachineModel model;
  sim::SimCore core{model};
  sim::SystemServices services{core};

 private:
  std::optional<platform::ScopedBackend> scope_;
};

}  // namespace syshelpers_test
