// The PC snapshot: a recording of everything the program reads about the machine's
// USB devices, written as a machine file (docs/machine-format.md) that the simulated
// machine loads. It is taken over the platform seam only, so it records whichever
// backend is installed: the real PC in setup.exe, the simulated one in setup-sim.exe
// and in the tests.
//
// Recorded: the device nodes the device list reaches (both enumerations, every
// ancestor up to the root and every descendant) with parent, setup class, status,
// problem, the registry properties and interfaces the program reads, the driver-key
// and hardware-key values it reads; for every hub the answers of the hub I/O controls
// per port; the services the devices name plus the filter service; the driver files
// the driver report versions; platform, Wow64 and the Windows directory. A call that
// fails is recorded as failing (a control in the port's "fail" list, a key as null).
//
// The recording only reads: nothing is written, started or changed on the machine.
// The same machine gives the same bytes.
#pragma once

#include <string>

namespace morvane {

// The machine file of the current backend's machine.
std::string RecordMachineSnapshot();

// Records the machine into the file at `path` (created or replaced). 0 on success;
// otherwise a non-zero exit code and a message for the user in `error`.
int WriteSnapshotCommand(const std::string& path, std::string& error);

}  // namespace morvane
