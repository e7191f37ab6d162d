// The program's exception for a broken precondition. Its message names the failing
// step ("GetParentDevice.FindDevInfo", "SetupDiGetClassDevs", ...) and is shown to
// the user by the window's message loop.
#pragma once

#include <stdexcept>
#include <string>

namespace morvane {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace morvane
