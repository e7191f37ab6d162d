// The state setup-sim.exe leaves behind: the simulated machine's devices with their
// lower filters and driver-key values, its services, and the texts the grid drew.
// Written as JSON to the file named by MORVANE_MACHINE_DUMP when the program ends
// (docs/window.md describes the format).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/model.h"

namespace morvane::win {

// Cell texts by (row, column), as the grid last drew them.
using GridTexts = std::map<std::pair<int, int>, std::string>;

std::string MachineStateJson(const sim::MachineModel& model, const GridTexts& grid);
// The same with "meter": the texts the last rate meter window drew (caption first),
// an empty list when none was open.
std::string MachineStateJson(const sim::MachineModel& model, const GridTexts& grid,
                             const std::vector<std::string>& meterTexts);

}  // namespace morvane::win
