// Command lines: the splitting into arguments, the window's category argument, the
// switches of the command-line mode and the instance-ID patterns of /set.
//
// Input: the command line itself, program name included. Checked: arguments hold no
// double quote and split again to themselves when quoted; the first argument is the
// first of the list; the category is the last one whose name ends in the argument;
// a parsed command line is a consistent one; the pattern match agrees with a plain
// dynamic-programming match.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/DeviceTables.h"
#include "fuzz/FuzzInput.h"
#include "setup/SetupF.h"
#include "setup/cli/CommandLine.h"

namespace {

using fuzz::Require;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EndsWithIgnoringCase(std::string_view name, std::string_view tail) {
  if (tail.size() > name.size()) return false;
  const std::size_t from = name.size() - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (Upper(name[from + i]) != Upper(tail[i])) return false;
  }
  return true;
}

// The last category whose name ends in the argument, one leading "/" or "-" removed.
int ExpectedCategory(std::string_view argument) {
  if (!argument.empty() && (argument.front() == '/' || argument.front() == '-')) argument.remove_prefix(1);
  int selected = 0;
  if (argument.empty()) return selected;
  for (int i = 0; i < static_cast<int>(morvane::DeviceCategories.size()); ++i) {
    if (EndsWithIgnoringCase(morvane::DeviceCategories[i], argument)) selected = i;
  }
  return selected;
}

// '*' any run, '?' one character, letters compared without ASCII case.
bool ExpectedMatch(std::string_view pattern, std::string_view text) {
  std::vector<std::vector<bool>> m(pattern.size() + 1, std::vector<bool>(text.size() + 1, false));
  m[0][0] = true;
  for (std::size_t p = 1; p <= pattern.size(); ++p) {
    const char pc = pattern[p - 1];
    m[p][0] = m[p - 1][0] && pc == '*';
    for (std::size_t t = 1; t <= text.size(); ++t) {
      if (pc == '*') {
        m[p][t] = m[p - 1][t] || m[p][t - 1];
      } else {
        m[p][t] = m[p - 1][t - 1] && (pc == '?' || Upper(pc) == Upper(text[t - 1]));
      }
    }
  }
  return m[pattern.size()][text.size()];
}

std::string Quoted(const std::vector<std::string>& arguments) {
  std::string line = "setup.exe";
  for (const std::string& argument : arguments) line += " \"" + argument + "\"";
  return line;
}

void CheckSplitting(const std::string& line, const std::vector<std::string>& arguments) {
  std::size_t total = 0;
  for (const std::string& argument : arguments) {
    Require(argument.find('"') == std::string::npos, "an argument keeps a double quote", argument);
    total += argument.size();
  }
  Require(total <= line.size(), "the arguments are longer than the line");
  Require(morvane::CommandLineArguments(Quoted(arguments)) == arguments,
          "quoted arguments do not split back to themselves");
  Require(morvane::FirstCommandLineArgument(line) == (arguments.empty() ? std::string() : arguments.front()),
          "the first argument differs from the first of the list");
  Require(morvane::cli::SplitCommandLine(line) == arguments, "the two splittings differ");
}

void CheckCategory(const std::vector<std::string>& arguments) {
  const std::string first = arguments.empty() ? std::string() : arguments.front();
  const int category = morvane::CategoryFromArgument(first);
  Require(category == ExpectedCategory(first), "the category argument selects another category", first);

  const std::optional<int> ending = morvane::cli::CategoryEndingIn(first);
  if (ending) {
    Require(*ending >= 0 && *ending < static_cast<int>(morvane::DeviceCategories.size()), "category out of range");
    Require(EndsWithIgnoringCase(morvane::DeviceCategories[*ending], first), "the category does not end in the text");
  }
  const bool plain = !first.empty() && first.front() != '/' && first.front() != '-';
  if (plain) Require(ending.value_or(0) == category, "the two category rules disagree", first);
}

void CheckParse(const std::string& line, const std::vector<std::string>& arguments) {
  const morvane::cli::ParseResult parsed = morvane::cli::ParseCommandLine(line);
  if (!parsed.isCommand) {
    Require(parsed.error.empty(), "the window's command line carries an error");
    return;
  }
  Require(!arguments.empty(), "a command without arguments");
  if (!parsed.error.empty()) return;
  const morvane::cli::Arguments& a = parsed.arguments;
  Require(a.waitSeconds <= morvane::cli::MaxWaitSeconds, "a wait above the limit");
  const bool setOptions = a.filter || a.rate || a.restart;
  switch (a.command) {
    case morvane::cli::Command::List:
      Require(!setOptions && !a.yes, "/list accepted options of /set");
      if (a.category) {
        Require(*a.category >= 0 && *a.category < static_cast<int>(morvane::DeviceCategories.size()),
                "/list with a category out of range");
      }
      break;
    case morvane::cli::Command::Set:
      Require(!a.pattern.empty() && setOptions && !a.json, "an inconsistent /set");
      break;
    case morvane::cli::Command::InstallService:
      Require(!setOptions && !a.json, "an inconsistent /install-service");
      break;
    case morvane::cli::Command::Snapshot:
      Require(!a.snapshotFile.empty() && !setOptions && !a.json && !a.yes, "an inconsistent /snapshot");
      break;
    case morvane::cli::Command::Diagnose:
      Require(!setOptions && !a.yes, "an inconsistent /diagnose");
      break;
    case morvane::cli::Command::Restore:
      Require(!a.pattern.empty() && !a.filter && !a.rate && !a.json, "an inconsistent /restore");
      break;
    case morvane::cli::Command::Uninstall:
      Require(!setOptions && !a.json, "an inconsistent /uninstall");
      break;
    case morvane::cli::Command::Measure:
      Require(!a.pattern.empty() && !setOptions && !a.yes, "an inconsistent /measure");
      Require(a.measureSeconds >= 1 && a.measureSeconds <= morvane::cli::MaxMeasureSeconds,
              "/measure's seconds out of range");
      break;
    case morvane::cli::Command::Version:
      Require(!setOptions && !a.json && !a.yes, "an inconsistent /version");
      break;
  }
  Require(!a.keepOnFailure || (a.command == morvane::cli::Command::Set && a.restart), "/keep-on-failure without /set /restart");
  if (a.rate) Require(!a.rate->empty(), "an empty /rate value");
}

void CheckPattern(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return;
  const std::string& pattern = arguments[0];
  const std::string& text = arguments[1];
  if (pattern.size() > 256 || text.size() > 256) return;  // keeps the reference match cheap
  Require(morvane::cli::MatchesPattern(pattern, text) == ExpectedMatch(pattern, text), "the pattern match is wrong",
          pattern + " / " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::TimedInput timed;
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments = morvane::CommandLineArguments(line);
  CheckSplitting(line, arguments);
  CheckCategory(arguments);
  CheckParse(line, arguments);
  CheckPattern(arguments);
  return 0;
}
