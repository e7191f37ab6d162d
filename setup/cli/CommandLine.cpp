#include "setup/cli/CommandLine.h"

#include <cstdlib>

#include "devices/DeviceTables.h"
#include "setup/SetupF.h"

namespace morvane::cli {
namespace {

char Upper(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& ch : result) ch = Upper(ch);
  return result;
}

bool IsSwitch(const std::string& argument) {
  return argument.size() > 1 && (argument.front() == '/' || argument.front() == '-');
}

// The switch's name in upper case without its "/" or "-"; empty when not a switch.
std::string SwitchName(const std::string& argument) { return IsSwitch(argument) ? Upper(argument.substr(1)) : ""; }

bool IsCommandOrOption(const std::string& name) {
  static constexpr const char* Known[] = {"LIST",   "SET",  "INSTALL-SERVICE", "SNAPSHOT", "JSON", "OUT",
                                          "FILTER", "RATE", "RESTART",         "WAIT",     "YES",  "DIAGNOSE",
                                          "MEASURE", "SECONDS", "VERSION", "RESTORE", "UNINSTALL", "KEEP-ON-FAILURE"};
  for (const char* known : Known) {
    if (name == known) return true;
  }
  return false;
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& arguments) : args_(arguments) {}

  ParseResult Run() {
    ParseResult result;
    if (args_.empty() || !IsCommandOrOption(SwitchName(args_.front()))) return result;
    result.isCommand = true;
    result.error = Parse(result.arguments);
    return result;
  }

 private:
  std::string Parse(Arguments& a) {
    bool haveCommand = false;
    bool haveWait = false;
    bool haveSeconds = false;
    for (pos_ = 0; pos_ < args_.size(); ++pos_) {
      const std::string& argument = args_[pos_];
      const std::string name = SwitchName(argument);
      std::string value;
      auto setCommand = [&](Command command) -> std::string {
        if (haveCommand) {
          return "only one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore and "
                 "/uninstall may be given";
        }
        haveCommand = true;
        a.command = command;
        return {};
      };
      std::string error;
      if (name == "LIST") {
        error = setCommand(Command::List);
        if (error.empty() && pos_ + 1 < args_.size() && !IsSwitch(args_[pos_ + 1])) {
          const std::string& text = args_[++pos_];
          a.category = CategoryEndingIn(text);
          if (!a.category) error = "no category ends in \"" + text + "\"";
        }
      } else if (name == "SET") {
        error = setCommand(Command::Set);
        if (error.empty() && (error = Value("/set", "an instance ID", value)).empty()) a.pattern = value;
      } else if (name == "INSTALL-SERVICE") {
        error = setCommand(Command::InstallService);
      } else if (name == "SNAPSHOT") {
        error = setCommand(Command::Snapshot);
        if (error.empty() && (error = Value("/snapshot", "a file name", value)).empty()) a.snapshotFile = value;
      } else if (name == "DIAGNOSE") {
        error = setCommand(Command::Diagnose);
      } else if (name == "MEASURE") {
        error = setCommand(Command::Measure);
        if (error.empty() && (error = Value("/measure", "an instance ID", value)).empty()) a.pattern = value;
      } else if (name == "SECONDS") {
        if ((error = Value("/seconds", "a number of seconds", value)).empty()) {
          unsigned seconds = 0;
          if (!ParseSeconds(value, seconds) || seconds == 0 || seconds > MaxMeasureSeconds) {
            error = "/seconds takes a whole number of seconds from 1 to " + std::to_string(MaxMeasureSeconds) +
                    ", not \"" + value + "\"";
          } else {
            a.measureSeconds = seconds;
          }
          haveSeconds = true;
        }
      } else if (name == "VERSION") {
        error = setCommand(Command::Version);
      } else if (name == "RESTORE") {
        error = setCommand(Command::Restore);
        a.pattern = "all";
        if (error.empty() && pos_ + 1 < args_.size() && !IsSwitch(args_[pos_ + 1]) && !args_[pos_ + 1].empty()) {
          a.pattern = args_[++pos_];
        }
      } else if (name == "UNINSTALL") {
        error = setCommand(Command::Uninstall);
      } else if (name == "KEEP-ON-FAILURE") {
        a.keepOnFailure = true;
      } else if (name == "JSON") {
        a.json = true;
      } else if (name == "OUT") {
        if ((error = Value("/out", "a file name", value)).empty()) a.outFile = value;
      } else if (name == "FILTER") {
        if ((error = Value("/filter", "on or off", value)).empty()) {
          const std::string state = Upper(value);
          if (state == "ON") {
            a.filter = true;
          } else if (state == "OFF") {
            a.filter = false;
          } else {
            error = "/filter takes on or off, not \"" + value + "\"";
          }
        }
      } else if (name == "RATE") {
        if ((error = Value("/rate", "a rate", value)).empty()) a.rate = value;
      } else if (name == "RESTART") {
        a.restart = true;
      } else if (name == "WAIT") {
        if ((error = Value("/wait", "a number of seconds", value)).empty()) {
          if (!ParseSeconds(value, a.waitSeconds)) {
            error = "/wait takes a whole number of seconds from 0 to " + std::to_string(MaxWaitSeconds) +
                    ", not \"" + value + "\"";
          }
          haveWait = true;
        }
      } else if (name == "YES") {
        a.yes = true;
      } else if (IsSwitch(argument)) {
        error = "unknown switch \"" + argument + "\"";
      } else {
        error = "unexpected argument \"" + argument + "\"";
      }
      if (!error.empty()) return error;
    }
    if (!haveCommand) {
      return "one of /list, /set, /install-service, /snapshot, /diagnose, /measure, /version, /restore or /uninstall "
             "is needed";
    }
    if (haveSeconds && a.command != Command::Measure) return "/seconds belongs to /measure";
    return CheckCombination(a, haveWait);
  }

  static std::string CheckCombination(const Arguments& a, bool haveWait) {
    const bool setOptions = a.filter || a.rate || a.restart;
    if (a.keepOnFailure && !(a.command == Command::Set && a.restart)) return "/keep-on-failure belongs to /set with /restart";
    switch (a.command) {
      case Command::List:
        if (setOptions || a.yes || haveWait) return "/list takes only a category, /json and /out";
        break;
      case Command::Set:
        if (!setOptions) return "/set needs /filter, /rate or /restart";
        if (a.json) return "/json belongs to /list";
        break;
      case Command::InstallService:
        if (setOptions || a.json) return "/install-service takes only /yes, /wait and /out";
        break;
      case Command::Snapshot:
        if (setOptions || a.json || a.yes || haveWait) return "/snapshot takes only a file name and /out";
        break;
      case Command::Diagnose:
        if (setOptions || a.yes || haveWait) return "/diagnose takes only /json and /out";
        break;
      case Command::Measure:
        if (setOptions || a.yes || haveWait) return "/measure takes only an instance ID, /seconds, /json and /out";
        break;
      case Command::Version:
        if (setOptions || a.json || a.yes || haveWait) return "/version takes only /out";
        break;
      case Command::Restore:
        if (a.filter || a.rate || a.json) return "/restore takes only a device, /restart, /wait, /yes and /out";
        break;
      case Command::Uninstall:
        if (setOptions || a.json) return "/uninstall takes only /yes and /out";
        break;
    }
    return {};
  }

  // The argument after a switch; it may not itself be a switch.
  std::string Value(const char* option, const char* what, std::string& value) {
    if (pos_ + 1 >= args_.size() || IsSwitch(args_[pos_ + 1]) || args_[pos_ + 1].empty()) {
      return std::string(option) + " needs " + what;
    }
    value = args_[++pos_];
    return {};
  }

  static bool ParseSeconds(const std::string& text, unsigned& seconds) {
    if (text.empty() || text.size() > 4) return false;
    for (char ch : text) {
      if (ch < '0' || ch > '9') return false;
    }
    const unsigned long number = std::strtoul(text.c_str(), nullptr, 10);
    if (number > MaxWaitSeconds) return false;
    seconds = static_cast<unsigned>(number);
    return true;
  }

  const std::vector<std::string>& args_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) { return CommandLineArguments(line); }

ParseResult ParseArguments(const std::vector<std::string>& arguments) { return Parser(arguments).Run(); }

ParseResult ParseCommandLine(std::string_view commandLine) { return ParseArguments(SplitCommandLine(commandLine)); }

std::optional<int> CategoryEndingIn(std::string_view text) {
  const std::string wanted = Upper(text);
  if (wanted.empty()) return std::nullopt;
  std::optional<int> found;
  for (int i = 0; i < static_cast<int>(DeviceCategories.size()); ++i) {
    const std::string name = Upper(DeviceCategories[i]);
    if (wanted.size() <= name.size() && name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0) {
      found = i;
    }
  }
  return found;
}

bool MatchesPattern(std::string_view pattern, std::string_view text) {
  // Iterative glob match with one backtracking point for the last '*'.
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    // A '*' is always a wildcard, also where the text holds a '*' itself.
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || Upper(pattern[p]) == Upper(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace morvane::cli
