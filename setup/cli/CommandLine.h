// The switches of the command line: /list, /set, /install-service, /snapshot, /diagnose,
// /measure, /version, /restore and /uninstall, with their options. A command line whose first
// argument is none of these switches is the window's, and its first argument picks the
// category as before.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::cli {

// One exit code per outcome; docs/command-line.md lists them.
enum ExitCode : int {
  ExitDone = 0,
  ExitNothingToDo = 1,
  ExitDeviceNotFound = 2,
  ExitRefusedWithoutYes = 3,
  ExitNotAdministrator = 4,
  ExitWriteRefused = 5,
  ExitNotSeenInTime = 6,
  ExitBadCommandLine = 7,
  ExitNotAvailable = 8,
  ExitMachineNotLoaded = 9,  // setup-sim.exe only: its machine file cannot be read
  ExitOutputNotWritten = 10,   // the file named by /out cannot be written
  ExitDeviceProblem = 11,      // the restarted device came back with a problem
  ExitRateNotReached = 12,     // /measure: the expected rate was not reached (or could not be judged)
  ExitUndone = 13,             // the restarted device did not come back healthy: its change was undone
  ExitRebootNeeded = 3010,     // done, and Windows must be restarted for it to take effect
};

enum class Command { List, Set, InstallService, Snapshot, Diagnose, Measure, Version, Restore, Uninstall };

inline constexpr unsigned DefaultWaitSeconds = 10;
inline constexpr unsigned MaxWaitSeconds = 3600;
inline constexpr unsigned DefaultMeasureSeconds = 5;
inline constexpr unsigned MaxMeasureSeconds = 600;

struct Arguments {
  Command command = Command::List;
  // /list
  std::optional<int> category;  // a position of DeviceCategories; "All" when absent
  bool json = false;
  // /set, /measure and /restore
  std::string pattern;  // an instance ID, '*' and '?' as wildcards; /restore: one, or "all"
  // /measure
  unsigned measureSeconds = DefaultMeasureSeconds;
  std::optional<bool> filter;
  std::optional<std::string> rate;  // as typed; its index depends on each device's speed
  bool restart = false;
  // /set /restart: a device that does not come back healthy keeps the change
  bool keepOnFailure = false;
  // /set and /install-service
  bool yes = false;
  unsigned waitSeconds = DefaultWaitSeconds;
  // Every command
  std::string outFile;
  // /snapshot
  std::string snapshotFile;
};

struct ParseResult {
  bool isCommand = false;  // false: the window runs, with the category rule
  std::string error;       // not empty: a bad command line, said in one line
  Arguments arguments;
};

// Every argument of a Windows command line after the program name, split as
// FirstCommandLineArgument splits the first one.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

ParseResult ParseCommandLine(std::string_view commandLine);
ParseResult ParseArguments(const std::vector<std::string>& arguments);

// The category whose name ends in `text` (ASCII case ignored; the last such one),
// or none when no name does.
std::optional<int> CategoryEndingIn(std::string_view text);

// '*' matches any run of characters, '?' one character; ASCII case is ignored, as the
// device manager compares instance IDs.
bool MatchesPattern(std::string_view pattern, std::string_view text);

}  // namespace morvane::cli
